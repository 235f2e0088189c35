#!/usr/bin/env bash
# Takes the README's picture of the main window with real public mail loaded: a
# private X server (Xvfb) with a tray host (trayer), a store filled from the
# corpus with glimmerfen-cli, the filter built, the program started in the
# tray, its window opened by a double click on the tray icon and one email
# clicked so that its header, text and rating show.
# Usage: scripts/screenshots.sh [OUT_DIR]      (default: docs/screenshots)
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
out_dir="$(realpath -m "${1:-$repo/docs/screenshots}")"
app="${GLIMMERFEN_APP:-$repo/out/bin/glimmerfen}"
cli="${GLIMMERFEN_CLI:-$repo/out/bin/glimmerfen-cli}"

bash "$repo/scripts/install-deps.sh" screenshot
if [[ ! -x "$app" || ! -x "$cli" ]]; then
  make -C "$repo" compile
fi
corpus="$(bash "$repo/scripts/corpus-dir.sh")"

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
for n in $(seq 120 200); do
  [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { display=":$n"; break; }
done
export DISPLAY="$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

waitfor() {  # waitfor SECONDS COMMAND...: until the command succeeds
  local limit=$(($1 * 10)); shift
  for ((i = 0; i < limit; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "screenshots: timed out waiting for: $*" >&2
  exit 1
}

Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
waitfor 20 xwininfo -root
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
  >"$work/trayer.log" 2>&1 &
pids+=($!)
waitfor 20 xdotool search --name '^panel$'

# A store like a user's after some weeks: training folders, held examples, new mail.
data="$work/data"
mkdir -p "$data/backup"
mapfile -t ham < <(find "$corpus/ham" -type f | sort)
mapfile -t spam < <(find "$corpus/spam" -type f | sort)
"$cli" -C "$data" init >/dev/null
"$cli" -C "$data" import goodA "${ham[@]:0:120}" >/dev/null
"$cli" -C "$data" import badA "${spam[@]:0:120}" >/dev/null
"$cli" -C "$data" import goodB "${ham[@]:120:40}" >/dev/null
"$cli" -C "$data" import badB "${spam[@]:120:40}" >/dev/null
"$cli" -C "$data" import newA "${ham[@]:200:14}" "${spam[@]:200:9}" >/dev/null
"$cli" -C "$data" build-table >/dev/null
"$cli" -C "$data" state --bayes on >/dev/null
"$cli" -C "$data" settings --local-port 4110 >/dev/null

(cd "$data" && exec "$app") >"$work/app.log" 2>&1 &
pids+=($!)
docked() { xwininfo -root -tree | grep -q '("glimmerfen" "Glimmerfen")'; }
waitfor 20 docked

# The tray icon sits in trayer's panel at the top right: double click it.
read -r icon_x icon_y < <(xwininfo -root -tree | sed -n 's/.*("glimmerfen" "Glimmerfen").* +\([0-9]*\)+\([0-9]*\)$/\1 \2/p' | head -1)
xdotool mousemove $((icon_x + 11)) $((icon_y + 11)) click --repeat 2 --delay 80 1
waitfor 20 xdotool search --onlyvisible --name '^Glimmerfen!$'
window="$(xdotool search --onlyvisible --name '^Glimmerfen!$' | head -1)"
xdotool windowmove "$window" 20 40 windowsize "$window" 1180 720
sleep 1

# Click the third email of New Emails: the header list starts right of the
# 300-pixel folder list, below the menu, toolbar and column header.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 450)) $((Y + 130)) click 1
sleep 1

mkdir -p "$out_dir"
import -window root "$out_dir/main-window.png"
echo "screenshots: wrote $out_dir/main-window.png"
