#!/usr/bin/env bash
# Writes the seed corpus of fuzz_dns_answer into OUT_DIR: replies a name
# server gives to a block-list query (listed, not listed, refused, errors, a
# CNAME in front, compressed and spelled-out names) and damaged ones, both as
# whole datagrams and as answer parts behind the resolver's own query. Mail
# holds no DNS replies, so these are all written here.
# Usage: fuzz/seeds/dns_answer.sh OUT_DIR
set -euo pipefail

out=${1:?usage: dns_answer.sh OUT_DIR}
mkdir -p "$out"

python3 - "$out" <<'PY'
import pathlib
import struct
import sys

out = pathlib.Path(sys.argv[1])
SECOND_LIST, BEHIND_QUERY, SERVER_TEST = 0x01, 0x02, 0x04

def labels(name):
    data = b""
    for part in name.split("."):
        data += bytes([len(part)]) + part.encode()
    return data + b"\x00"

QUESTION = labels("1.2.0.192.sbl-xbl.spamhaus.org") + b"\x00\x01\x00\x01"

def header(code=0, questions=1, answers=1, flags=0x81):
    return struct.pack(">HBBHHHH", 2, flags, 0x80 | code, questions, answers, 0, 0)

def record(rtype, data, name=b"\xc0\x0c", rclass=1):
    return name + struct.pack(">HHIH", rtype, rclass, 3600, len(data)) + data

def a_record(*address, **kw):
    return record(1, bytes(address), **kw)

answers = {
    "listed-2": a_record(127, 0, 0, 2),
    "listed-4": a_record(127, 0, 0, 4),
    "refused": a_record(127, 255, 255, 254),
    "outside": a_record(10, 0, 0, 2),
    "cname-then-a": record(5, labels("x.example.org")) + a_record(127, 0, 0, 3),
    "spelled-name": a_record(127, 0, 0, 2, name=labels("1.2.0.192.sbl-xbl.spamhaus.org")),
    "txt-only": record(16, b"\x0blisted here"),
    "wrong-length": record(1, b"\x7f\x00\x00\x02\x00"),
    "wrong-class": a_record(127, 0, 0, 2, rclass=3),
}

def write(name, control, datagram):
    (out / name).write_bytes(bytes([control]) + datagram)

for name, records in answers.items():
    for control in (0, SECOND_LIST):
        write(f"whole-{name}-{control}", control, header() + QUESTION + records)
    # Behind the resolver's query: flags, answer count, then the records.
    write(f"behind-{name}", BEHIND_QUERY, bytes([0x81, 0x80, 0, 1]) + records)
    write(f"test-{name}", SERVER_TEST | BEHIND_QUERY, bytes([0x81, 0x80, 0, 1]) + records)

write("nxdomain", 0, header(code=3, answers=0) + QUESTION)
write("servfail", 0, header(code=2, answers=0) + QUESTION)
write("no-answers", 0, header(answers=0) + QUESTION)
write("not-a-reply", 0, header(flags=0x01) + QUESTION + answers["listed-2"])
write("short-header", 0, header()[:7])
write("cut-record", 0, (header() + QUESTION + answers["listed-2"])[:-2])
write("pointer-loop", 0, header() + b"\xc0\x0c" + b"\x00\x01\x00\x01" + answers["listed-2"])
write("many-answers", 0, header(answers=11) + QUESTION + answers["txt-only"] * 10 + answers["listed-2"])
# Past the resolver's 512-byte buffer (and within the target's -max_len of 600):
# the address record lies beyond what the resolver reads.
write("oversized", 0, header(answers=22) + QUESTION + answers["txt-only"] * 21 + answers["listed-2"])
write("test-nxdomain", SERVER_TEST | BEHIND_QUERY, bytes([0x81, 0x83, 0, 0]))
write("test-servfail", SERVER_TEST | BEHIND_QUERY, bytes([0x81, 0x82, 0, 0]))
write("empty", 0, b"")
PY
