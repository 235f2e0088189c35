#!/usr/bin/env bash
# Seeds for fuzz_relay: one POP3 unit per file. Byte 0 is the unit kind in
# bits 0-2 (0 client command, 1 single-line reply, 2 multi-line reply,
# 3 retrieved message, 4 capability listing), a disturbance in bits 3-4
# (0 none, 1 a stop after piece n, 2 the same stop by the flow monitor, 3 the
# mail client gone) and n in bits 5-7; byte 1 the number of piece sizes, then
# one byte per piece (size - 1), then the bytes the peer sends.
# Usage: fuzz/seeds/relay.sh OUT_DIR
set -euo pipefail

out=${1:?usage: $0 OUT_DIR}
mkdir -p "$out"

crlf=$'\r\n'

byte() {
    printf "\\x$(printf %02x "$1")"
}

# seed NAME KIND [PIECE_SIZE...] < stream
seed() {
    local name=$1 kind=$2
    shift 2
    {
        byte "$kind"
        byte "$#"
        local size
        for size in "$@"; do
            byte $((size - 1))
        done
        cat
    } >"$out/$name"
}

# A message of about SIZE bytes whose header holds the given lines.
message() {
    local header=$1 size=$2 text line=0
    text="${header}Date: Tue, 7 Mar 2006 08:05:00 +0000${crlf}${crlf}"
    while ((${#text} + 40 < size)); do
        line=$((line + 1))
        if ((line % 7 == 0)); then
            text+="..a dot-stuffed line ${line} of the body${crlf}"
        else
            text+="line ${line} of the body, nothing to see${crlf}"
        fi
    done
    printf '%s' "$text"
}

printf 'RETR 1\r\n' | seed command-retr 0
printf 'user bob\r\n' | seed command-split 0 1 1 1 1 1 1 1 1 1 1
printf 'LIST 2\r' | seed command-unended 0
printf 'NOOP %0300d\r\n' 0 | seed command-long 0 100 100 50

printf '+OK 2 320\r\n' | seed single-status 1
printf '+OK 2 320\r\n+OK next\r\n' | seed single-two-lines 1
printf '+OK\r' | seed single-unended 1 3 1

printf '+OK\r\n1 120\r\n2 200\r\n.\r\n' | seed multi-list 2 3 2 5 1 1 1 1
printf '+OK\r\n.\r\n' | seed multi-empty 2
printf '+OK\r\n..hidden\r\n.\r\n' | seed multi-dot-stuffed 2 5 1 1
printf -- '-ERR no such message\r\n' | seed multi-error 2
printf '+OK\r\nno end\r\n' | seed multi-unended 2

printf '+OK\r\nTOP\r\nSTLS\r\nUSER\r\npipelining \r\nUIDL\r\n.\r\n' | seed capa 4 4 3 7 5
printf '+OK\r\nSTLS' | seed capa-unended 4

{ printf '+OK message follows\r\n'; message "From: a@example.org${crlf}Subject: cheap viagra${crlf}" 600; printf '.\r\n'; } |
    seed retr-spam 3 20 1 1 60
{ printf '+OK\r\n'; message "From: spammer@example.org${crlf}To: me@example.org${crlf}" 400; printf '.\r\n'; } |
    seed retr-spam-no-subject 3
{ printf '+OK\r\n'; message "From: friend@example.org${crlf}Subject: viagra${crlf}" 300; printf '.\r\n'; } |
    seed retr-white 3
{ printf '+OK\r\n'; message "From: a@example.org${crlf}Subject: hello${crlf}" 300; printf '.\r\n'; } |
    seed retr-ham 3 2 2 2 2 2 2 2 2
{ printf '+OK\r\n'; message "Subject: first${crlf}From: a@example.org${crlf}Subject: VIAGRA again${crlf}" 6000; printf '.\r\n'; } |
    seed retr-long-spam 3 200 200 200
{ printf '+OK\r\n'; message "From: a@example.org${crlf}Subject: viagra${crlf}" 4990; printf '.\r\n'; } |
    seed retr-at-limit 3
printf -- '-ERR no such message\r\n' | seed retr-error 3
{ printf '+OK\r\n'; message "Subject: viagra${crlf}" 200; } | seed retr-unended 3

# Disturbed units: a stop while a message is collected, a stop by the flow
# monitor in a listing, a stop before anything came, a client that has gone.
{ printf '+OK\r\n'; message "From: a@example.org${crlf}Subject: viagra${crlf}" 600; printf '.\r\n'; } |
    seed retr-stopped $((3 | 1 << 3 | 2 << 5)) 100 100 100 100
printf '+OK\r\n1 120\r\n2 200\r\n.\r\n' | seed multi-monitor-stop $((2 | 2 << 3 | 1 << 5)) 5 5 5
printf 'RETR 1\r\n' | seed command-stopped-at-once $((0 | 1 << 3))
{ printf '+OK\r\n'; message "From: a@example.org${crlf}Subject: hello${crlf}" 2000; printf '.\r\n'; } |
    seed retr-client-gone $((3 | 3 << 3))
