#!/usr/bin/env bash
# Writes the seed corpus of fuzz_header into OUT_DIR: the headers of real mail
# (and the start of each body) with CR LF line ends, as the proxy hands them to
# the parser, and small fixtures for the corners real mail seldom shows.
# Usage: fuzz/seeds/header.sh OUT_DIR
set -euo pipefail

out=${1:?usage: header.sh OUT_DIR}
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)"
corpus="$(bash "$repo/scripts/corpus-dir.sh")"
mkdir -p "$out"

python3 - "$corpus" "$out" <<'PY'
import pathlib
import sys

corpus, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
LIMIT = 32768        # the target's -max_len
BODY = 2048          # enough of the body to cross the empty line

def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")

def write(name, data):
    (out / name).write_bytes(data[:LIMIT])

# Every fifth ham and every second spam: all kinds of sender, a quick start.
for kind, step in (("ham", 5), ("spam", 2)):
    for path in sorted((corpus / kind).iterdir())[::step]:
        data = crlf(path.read_bytes())
        end = data.find(b"\r\n\r\n")
        cut = len(data) if end < 0 else end + 4 + BODY
        write(f"{kind}-{path.name[:5]}", data[:cut])

fixtures = {
    "encoded-words": b"From: =?iso-8859-1?B?SvxyZ2Vu?= <j@example.org>\r\n"
                     b"To: =?utf-8?Q?caf=C3=A9?= <c@example.org>\r\n"
                     b"Subject: =?UTF-8?b?aGVsbG8gd29ybGQ=?= and =?x?B?YQ==?=\r\n\r\n",
    "folded-received": b"Received: from relay.example.org\r\n"
                       b" (relay.example.org [192.0.2.17]) by mx.example.net\r\n"
                       b"Received: from [10.0.0.1.] (x 1.2.3.4.5.6.7.8 ) by y\r\n"
                       b"RECEIVED: from 999.999.999.999x\r\n\r\n",
    "subjects": b"X: y\r\nSubject: first\r\nsubject: second\r\nSUBJECT: third\r\n\r\nbody",
    "subject-first": b"Subject: on the first line\r\nFrom: a\r\n\r\n",
    "dates": b"Date: Thu, 05 Jan 2006 14:03:22 +0000\r\n"
             b"Date: 5 Dec 1999 23:59:59 -0800 (PST) extra words\r\n\r\n",
    "short-date": b"Date: 1 Jan 2000\r\n\r\n",
    "no-empty-line": b"From: a\r\nTo: b\r\nSubject: cut",
    "bare-lf": b"From: a\nSubject: b\n\nbody\n",
    "empty-first": b"\r\nFrom: not a header\r\n",
    "binary": bytes(range(256)) + b"\r\nSubject: \x00\xff\r\n\r\n",
}
for name, data in fixtures.items():
    write(f"fixture-{name}", data)
PY
