#!/usr/bin/env bash
# Takes the pictures of the README and the help: the main window with real
# public mail loaded, and every dialog opened from the running program's menus.
# A private X server (Xvfb) with a tray host (trayer), a store filled from the
# corpus with glimmerfen-cli and the filter built; the program starts in the
# tray, its window is opened by a double click on the tray icon and one email
# is clicked so that its header, text and rating show; then each dialog is
# opened with the keyboard, photographed and closed. Two more accounts beside
# main fill the accounts list, and a first start in an empty data directory
# shows the assistant.
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
"$cli" -C "$data" build >/dev/null
"$cli" -C "$data" state --bayes on >/dev/null
"$cli" -C "$data" list-add black Subject Insensitive "viagra" >/dev/null
"$cli" -C "$data" list-add black From Insensitive "@cheap-meds.example" >/dev/null
"$cli" -C "$data" list-add white From Insensitive "@linux.ie" >/dev/null
"$cli" -C "$data" list-add white To Sensitive "Me <me@example.org>" >/dev/null
"$cli" -C "$data" schedule --days Mon,Thu --time 7:30 --pm >/dev/null
"$cli" -C "$data" settings --server pop.example.com --security tls --local-port 4110 >/dev/null
"$cli" -C "$data" accounts add work --server pop.work.example --pop3-port 995 \
  --local-port 4111 >/dev/null
"$cli" -C "$data" accounts add family --server-ip 192.0.2.25 --pop3-port 110 \
  --local-port 4112 --security starttls >/dev/null

(cd "$data" && exec "$app" --data-dir "$data") >"$work/app.log" 2>&1 &
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

shoot() {  # shoot TITLE FILE: a window by its exact title, which must be showing
  local id
  id="$(xdotool search --onlyvisible --name "^$1\$" | head -1)"
  [[ -n "$id" ]] || { echo "screenshots: \"$1\" closed before its picture" >&2; exit 1; }
  import -window "$id" "$out_dir/$2.png"
  echo "screenshots: wrote $out_dir/$2.png"
}

# dialog FILE TITLE KEY...: opens a window with the keys, photographs it, closes it.
dialog() {
  local file="$1" title="$2"; shift 2
  xdotool windowfocus --sync "$window"
  xdotool key --delay 120 "$@"
  waitfor 20 xdotool search --onlyvisible --name "^$title\$"
  sleep 0.5
  shoot "$title" "$file"
  xdotool windowfocus "$(xdotool search --onlyvisible --name "^$title\$" | head -1)" key Escape
  sleep 0.5
  if xdotool search --onlyvisible --name "^$title\$" >/dev/null; then
    echo "screenshots: \"$title\" did not close on Escape" >&2
    exit 1
  fi
}

dialog server-settings "Server Settings" alt+s p
dialog accounts "Accounts" alt+s a
dialog restart-server "Server" alt+s r
# The Filtering menu has two items each on A and D: walk it with the arrows.
dialog dnsbl-panel "DNSBL Panel" alt+i Return
dialog build-panel "Bayes Auto-Filter Build Panel" alt+i Down Return
dialog white-list "White List - for emails you don't want filtered out" alt+i Down Down Return
dialog black-list "Black List - for emails you want filtered out" alt+i Down Down Down Return
dialog about "About Glimmerfen" alt+h a
dialog help "Glimmerfen Help" alt+h h

# The builder's progress, asked for as glimmerfen-cli build-now asks. The
# build is quick: photograph the dialog as soon as it shows.
"$cli" -C "$data" build-now >/dev/null
waitfor 30 xdotool search --onlyvisible --name '^Auto-Filter Builder$'
shoot "Auto-Filter Builder" builder

# A second installation on the same local port meets the port conflict.
other="$work/other"
mkdir -p "$other/backup"
"$cli" -C "$other" init >/dev/null
"$cli" -C "$other" settings --local-port 4110 >/dev/null
(cd "$other" && exec "$app" --data-dir "$other") >"$work/other.log" 2>&1 &
pids+=($!)
waitfor 20 xdotool search --onlyvisible --name '^WARNING: Server Port Conflict$'
sleep 0.5
shoot "WARNING: Server Port Conflict" port-conflict

# A first start in an empty data directory: the note about the tray, then,
# once it is put away, the assistant. Nothing is tested from it, so no name
# is looked up.
fresh="$work/fresh"
mkdir -p "$fresh"
(cd "$fresh" && exec "$app" --data-dir "$fresh") >"$work/fresh.log" 2>&1 &
fresh_pid=$!
pids+=("$fresh_pid")
waitfor 20 xdotool search --all --pid "$fresh_pid" --onlyvisible --name '^Glimmerfen!$'
note="$(xdotool search --all --pid "$fresh_pid" --onlyvisible --name '^Glimmerfen!$' | head -1)"
xdotool windowfocus --sync "$note" key Return
waitfor 20 xdotool search --onlyvisible --name '^Glimmerfen Setup$'
assistant="$(xdotool search --onlyvisible --name '^Glimmerfen Setup$' | head -1)"
xdotool windowmove "$assistant" 40 60
xdotool windowfocus --sync "$assistant" type --delay 40 pop.example.org
sleep 0.5
shoot "Glimmerfen Setup" assistant

# The help shows the dialogs too; keep its copies the same pictures.
if [[ "$out_dir" == "$repo/docs/screenshots" ]]; then
  for shot in server-settings restart-server dnsbl-panel build-panel white-list builder \
              port-conflict; do
    cp "$out_dir/$shot.png" "$repo/ui/resources/help/shots/$shot.png"
  done
  echo "screenshots: updated the help's copies in ui/resources/help/shots"
fi
