#!/usr/bin/env bash
# CI job: what `cmake --install` and `make package` put on a machine. Installs
# the build tree into a scratch prefix and checks the exact file list, the menu
# entry, the metainfo, the man pages, the bash completion, the icons and the
# systemd unit; then builds the .deb, checks its fields and contents, and runs
# the programs it unpacks. Every check runs; the job fails if any did.
# Usage: .ci/install-check.sh    (BUILD_DIR=out/x to use another build tree)
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-out}
APP_ID=io.github.glimmerfen.Glimmerfen
ICON_SIZES=(16 22 24 32 48 64 128 256)

failures=()
pass() { echo "install-check: ok: $*"; }
fail() {
    echo "install-check: FAILED: $*" >&2
    failures+=("$1")
}

# Relative to the prefix; files only (directories come with them).
expected_files() {
    printf '%s\n' \
        bin/glimmerfen \
        bin/glimmerfen-cli \
        lib/systemd/user/glimmerfen-proxy.service \
        "share/applications/$APP_ID.desktop" \
        share/bash-completion/completions/glimmerfen-cli \
        "share/icons/hicolor/scalable/apps/$APP_ID.svg" \
        share/man/man1/glimmerfen-cli.1 \
        share/man/man1/glimmerfen.1 \
        "share/metainfo/$APP_ID.metainfo.xml"
    local size
    for size in "${ICON_SIZES[@]}"; do
        echo "share/icons/hicolor/${size}x${size}/apps/$APP_ID.png"
    done
}

# $1 what, $2 the actual list (one path a line): the same set as expected_files.
check_file_list() {
    local what=$1 actual=$2 difference
    difference=$(diff <(expected_files | sort) <(sort <<<"$actual") | grep '^[<>]' || true)
    if [[ -z $difference ]]; then
        pass "$what holds exactly the $(expected_files | wc -l) expected files"
    else
        fail "$what file list" "(< missing, > not expected)"
        echo "$difference" >&2
    fi
}

# The commands `glimmerfen-cli --help` lists: its two-space-indented words.
help_commands() {
    "$1" --help | sed -n 's/^  \([a-z][a-z-]*\).*/\1/p'
}

check_desktop_entry() {
    local file=$1/share/applications/$APP_ID.desktop
    if desktop-file-validate "$file"; then
        pass "desktop-file-validate $APP_ID.desktop"
    else
        fail "desktop entry" "desktop-file-validate rejects $file"
    fi
    grep -qx 'Exec=glimmerfen' "$file" || fail "desktop entry Exec" "Exec is not glimmerfen"
    grep -qx "Icon=$APP_ID" "$file" || fail "desktop entry Icon" "Icon is not $APP_ID"
}

check_metainfo() {
    local file=$1/share/metainfo/$APP_ID.metainfo.xml
    if appstreamcli validate --no-net "$file"; then
        pass "appstreamcli validate $APP_ID.metainfo.xml"
    else
        fail "metainfo" "appstreamcli rejects $file"
    fi
    local version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
    grep -q "<release version=\"$version\"" "$file" ||
        fail "metainfo release" "no release for the project's version $version"
}

# groff -ww warns about anything it has to guess; the page must need no guessing.
check_man_pages() {
    local page warnings
    for page in "$1"/share/man/man1/*.1; do
        warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
        if [[ -z $warnings ]] && MANWIDTH=80 man -l "$page" >/dev/null 2>&1; then
            pass "man page $(basename "$page") renders without warnings"
        else
            fail "man page $(basename "$page")" "${warnings:-man -l fails}"
        fi
    done
    local text command missing=()
    text=$(MANWIDTH=200 man -l "$1/share/man/man1/glimmerfen-cli.1" 2>/dev/null | col -b || true)
    for command in $(help_commands "$1/bin/glimmerfen-cli"); do
        grep -qE "^ +$command( |$)" <<<"$text" || missing+=("$command")
    done
    if ((${#missing[@]} == 0)); then
        pass "glimmerfen-cli(1) describes every command of --help"
    else
        fail "glimmerfen-cli(1) commands" "not described: ${missing[*]}"
    fi
}

# Each case: the command line typed so far, then | and the words offered,
# in the order offered. A trailing space means a new word is being started.
COMPLETION_CASES='glimmerfen-cli st|state
glimmerfen-cli list |newA goodA badA goodB badB trashA
glimmerfen-cli -C /tmp move newA |newA goodA badA goodB badB trashA
glimmerfen-cli -C /tmp rate-folder go|goodA goodB
glimmerfen-cli import ba|badA badB
glimmerfen-cli lists |white black
glimmerfen-cli list-add white |From Subject To
glimmerfen-cli list-add black To |Sensitive Insensitive
glimmerfen-cli state |--bayes --spamhaus --spamcop
glimmerfen-cli state --spamcop |on off
glimmerfen-cli schedule --days Mon,T|Mon,Tue Mon,Thu
glimmerfen-cli schedule --|--days --time --am --pm
glimmerfen-cli settings --|--server --server-ip --pop3-port --local-port --security --trust-certificate
glimmerfen-cli settings --security |plain starttls tls
glimmerfen-cli dnsbl 192.0.2.1 |spamhaus spamcop
glimmerfen-cli autostart |on off
glimmerfen-cli accounts |add set remove
glimmerfen-cli accounts add work --|--server --server-ip --pop3-port --local-port --security --trust-certificate
glimmerfen-cli accounts add work --server pop.work.example --security |plain starttls tls
glimmerfen-cli accounts set main --local-port 1071 --s|--server --server-ip --security
glimmerfen-cli -C @STORE@ accounts set |main home\ mail work
glimmerfen-cli -C @STORE@ accounts remove w|work
glimmerfen-cli header |on off
glimmerfen-cli -|-C --help'

# A store with two accounts beside main, for the cases that complete account
# names (@STORE@): prints its directory.
completion_store() {
    local cli=$1/bin/glimmerfen-cli store=$scratch/completion-store
    mkdir -m 700 "$store"
    "$cli" -C "$store" init >/dev/null &&
        "$cli" -C "$store" accounts add "home mail" --server-ip 192.0.2.7 --pop3-port 110 \
            --local-port 1071 >/dev/null &&
        "$cli" -C "$store" accounts add work --server pop.work.example --pop3-port 995 \
            --local-port 1072 >/dev/null
    echo "$store"
}

# Loads the completion the way an interactive shell does (bash-completion's
# loader, looking in XDG_DATA_DIRS), then feeds it each case; the program is
# the installed one, for the cases that ask it for names.
check_completion() {
    local prefix=$1 results cases
    cases=${COMPLETION_CASES//@STORE@/$(completion_store "$prefix")}
    results=$(PATH="$prefix/bin:$PATH" XDG_DATA_DIRS="$prefix/share" bash --norc --noprofile -c '
        source /usr/share/bash-completion/bash_completion
        __load_completion glimmerfen-cli || { echo "LOAD-FAILED"; exit 0; }
        complete -p glimmerfen-cli | grep -q -- "-F _glimmerfen_cli " || { echo "NOT-REGISTERED"; exit 0; }
        while IFS="|" read -r line _; do
            read -r -a COMP_WORDS <<<"$line"
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
            _glimmerfen_cli glimmerfen-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            echo "$line|${COMPREPLY[*]}"
        done <<<"$0"
        # A first word offers every command of --help.
        COMP_WORDS=(glimmerfen-cli "") COMP_CWORD=1 COMPREPLY=()
        _glimmerfen_cli glimmerfen-cli "" glimmerfen-cli
        echo "COMMANDS|${COMPREPLY[*]}"' "$cases")
    case $results in
    LOAD-FAILED) fail "bash completion" "bash-completion's loader finds nothing in $prefix/share"; return ;;
    NOT-REGISTERED) fail "bash completion" "loaded, but glimmerfen-cli has no completion function"; return ;;
    esac
    local wrong
    wrong=$(diff <(echo "$cases") <(grep -v '^COMMANDS|' <<<"$results") | grep '^[<>]' || true)
    if [[ -z $wrong ]]; then
        pass "bash completion: $(wc -l <<<"$cases") cases offer what they should"
    else
        fail "bash completion" "(< expected, > offered)"
        echo "$wrong" >&2
    fi
    local offered command missing=()
    offered=" $(sed -n 's/^COMMANDS|//p' <<<"$results") "
    for command in $(help_commands "$prefix/bin/glimmerfen-cli"); do
        [[ $offered == *" $command "* ]] || missing+=("$command")
    done
    if ((${#missing[@]} == 0)); then
        pass "bash completion offers every command of --help"
    else
        fail "bash completion commands" "not offered: ${missing[*]}"
    fi
}

# Each PNG's header says the size its folder promises; the SVG is an SVG.
check_icons() {
    if python3 - "$1/share/icons/hicolor" "$APP_ID" "${ICON_SIZES[@]}" <<'EOF'; then
import struct, sys
import xml.etree.ElementTree as ElementTree
root, name, sizes = sys.argv[1], sys.argv[2], sys.argv[3:]
bad = []
for size in map(int, sizes):
    path = f"{root}/{size}x{size}/apps/{name}.png"
    with open(path, "rb") as png:
        head = png.read(26)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        bad.append(f"{path}: not a PNG")
        continue
    width, height, depth, colour = struct.unpack(">IIBB", head[16:26])
    if (width, height) != (size, size) or colour != 6:
        bad.append(f"{path}: {width}x{height}, colour type {colour} (want {size}x{size} RGBA)")
svg = ElementTree.parse(f"{root}/scalable/apps/{name}.svg").getroot()
if svg.tag != "{http://www.w3.org/2000/svg}svg" or not svg.get("viewBox"):
    bad.append("the scalable icon is no SVG with a viewBox")
for line in bad:
    print(line, file=sys.stderr)
sys.exit(1 if bad else 0)
EOF
        pass "icons: ${#ICON_SIZES[@]} PNG sizes and the SVG"
    else
        fail "icons" "see above"
    fi
}

# $1 the unit file, $2 the glimmerfen-cli it must start (its path once installed).
check_unit() {
    local unit=$1 cli=$2 exec_start strangers
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    strangers=$(grep -E '^Exec[A-Za-z]*=' "$unit" | grep -v "=$cli " || true)
    if [[ $exec_start == "$cli proxy" && -z $strangers ]]; then
        pass "unit starts $exec_start"
    else
        fail "unit ExecStart" "'$exec_start', not '$cli proxy'${strangers:+, or another program: $strangers}"
    fi
}

# Runs the unit's commands as systemd would on a first start, in an empty home:
# the proxy must come up and end cleanly on the SIGTERM of `systemctl stop`.
check_unit_commands() {
    local unit=$1 home=$2 port pid status=0
    mkdir -p "$home"
    # A free port in the range the proxy accepts (1025-5000).
    port=$(python3 -c '
import random, socket
for port in random.sample(range(1025, 5001), 3976):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
        print(port)
        break')
    # As a login session has them: a home, and no XDG_DATA_HOME of the job's.
    local -a session=(env -u XDG_DATA_HOME HOME="$home") pre start
    # systemd splits the command lines at blanks; none has quotes.
    read -r -a pre <<<"$(sed -n 's/^ExecStartPre=//p' "$unit")"
    read -r -a start <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
    if ((${#pre[@]} > 0)) && ! "${session[@]}" "${pre[@]}" >"$home/pre.log" 2>&1; then
        fail "unit ExecStartPre" "'${pre[*]}' failed: $(cat "$home/pre.log")"
        return
    fi
    if ! "${session[@]}" "${start[0]}" settings --local-port "$port" >"$home/settings.log" 2>&1; then
        fail "unit commands" "no store after ExecStartPre: $(cat "$home/settings.log")"
        return
    fi
    "${session[@]}" "${start[@]}" 2>"$home/proxy.log" &
    pid=$!
    local tries
    for ((tries = 0; tries < 100; ++tries)); do
        grep -q "listening on 127.0.0.1:$port" "$home/proxy.log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || status=$?
    if grep -q "listening on 127.0.0.1:$port" "$home/proxy.log" && ((status == 0)); then
        pass "the unit's commands start the proxy in an empty home, and SIGTERM ends it with 0"
    else
        fail "unit commands" "exit $status: $(cat "$home/proxy.log")"
    fi
}

check_unit_with_systemd() {
    local prefix=$1 runtime complaints
    runtime=$(mktemp -d)
    # MANPATH lets it check the unit's Documentation= page as installed. A
    # setting it cannot parse is only a warning to it, and a failure here.
    if complaints=$(MANPATH="$prefix/share/man" XDG_RUNTIME_DIR=$runtime \
        systemd-analyze --user verify "$prefix/lib/systemd/user/glimmerfen-proxy.service" 2>&1) &&
        [[ -z $complaints ]]; then
        pass "systemd-analyze --user verify glimmerfen-proxy.service"
    else
        fail "unit" "systemd-analyze --user verify: ${complaints:-failed}"
    fi
    rm -rf "$runtime"
}

check_installed_tree() {
    local prefix=$1
    check_file_list "the installed tree" "$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||')"
    check_desktop_entry "$prefix"
    check_metainfo "$prefix"
    check_man_pages "$prefix"
    check_completion "$prefix"
    check_icons "$prefix"
    check_unit "$prefix/lib/systemd/user/glimmerfen-proxy.service" "$prefix/bin/glimmerfen-cli"
    check_unit_commands "$prefix/lib/systemd/user/glimmerfen-proxy.service" "$scratch/home"
    if command -v systemd-analyze >/dev/null; then
        check_unit_with_systemd "$prefix"
    else
        echo "install-check: note: systemd-analyze is not on this machine; the unit was checked by its ExecStart only"
    fi
}

check_package() {
    local scratch=$1 deb version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")
    deb=$BUILD_DIR/glimmerfen_${version}_$(dpkg --print-architecture).deb
    rm -f "$deb"
    if ! make --no-print-directory BUILD_DIR="$BUILD_DIR" package >"$scratch/package.log" 2>&1 || [[ ! -f $deb ]]; then
        tail -30 "$scratch/package.log" >&2
        fail "make package" "no $deb"
        return
    fi
    pass "make package wrote $deb ($(du -k "$deb" | cut -f1) KiB)"
    dpkg-deb -I "$deb"
    local field value want depends
    for field in Package=glimmerfen Version=$version Section=mail; do
        value=$(dpkg-deb -f "$deb" "${field%%=*}")
        [[ $value == "${field#*=}" ]] || fail "package field" "${field%%=*} is '$value', not '${field#*=}'"
    done
    depends=$(dpkg-deb -f "$deb" Depends)
    for want in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins libssl3 libstdc++6 libc6; do
        [[ ", $depends," == *", $want"[\ ,]* ]] || fail "package Depends" "no $want in: $depends"
    done
    check_file_list "the package" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||')"
    local unpacked=$scratch/deb
    dpkg-deb -x "$deb" "$unpacked"
    check_unit "$unpacked/usr/lib/systemd/user/glimmerfen-proxy.service" /usr/bin/glimmerfen-cli
    local help
    if help=$("$unpacked/usr/bin/glimmerfen-cli" --help) && grep -q '^usage: glimmerfen-cli' <<<"$help"; then
        pass "the unpacked usr/bin/glimmerfen-cli --help exits 0"
    else
        fail "unpacked glimmerfen-cli" "--help failed"
    fi
}

# A user's own install (--prefix ~/.local) must put the unit where the user's
# systemd looks: ~/.local/share/systemd/user, not ~/.local/lib/systemd/user.
check_user_prefix() {
    local home=$scratch/userhome unit
    mkdir -p "$home"
    if ! HOME=$home XDG_DATA_HOME= cmake --install "$BUILD_DIR" --prefix "$home/.local" \
        >"$scratch/user-install.log" 2>&1; then
        cat "$scratch/user-install.log" >&2
        fail "user install" "cmake --install --prefix ~/.local failed"
        return
    fi
    unit=$home/.local/share/systemd/user/glimmerfen-proxy.service
    if [[ -f $unit && ! -e $home/.local/lib/systemd/user/glimmerfen-proxy.service ]]; then
        pass "--prefix ~/.local puts the unit in ~/.local/share/systemd/user"
        check_unit "$unit" "$home/.local/bin/glimmerfen-cli"
    else
        fail "user install" "the unit is not in ~/.local/share/systemd/user"
    fi
}

main() {
    local started=$SECONDS
    bash scripts/install-deps.sh build test bench ui package
    make --no-print-directory BUILD_DIR="$BUILD_DIR" compile
    scratch=$(mktemp -d /tmp/glimmerfen-install-check.XXXXXX)
    trap 'rm -rf "$scratch"' EXIT
    if ! cmake --install "$BUILD_DIR" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log" >&2
        echo "install-check: FAILED: cmake --install $BUILD_DIR" >&2
        exit 1
    fi
    pass "cmake --install $BUILD_DIR --prefix $scratch/usr"
    check_installed_tree "$scratch/usr"
    check_user_prefix
    check_package "$scratch"
    echo "install-check: $((SECONDS - started))s"
    if ((${#failures[@]} > 0)); then
        local IFS=,
        echo "install-check: ${#failures[@]} check(s) failed: ${failures[*]}" >&2
        exit 1
    fi
    echo "install-check: every check passed"
}

main "$@"
