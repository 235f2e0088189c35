#!/usr/bin/env bash
# Writes the seed corpus of fuzz_rating into OUT_DIR: real message texts as
# the store keeps them, cut to the target's input limit, and fixtures for the
# tokenizer's corners (accented bytes, words over the length cap, NUL bytes).
# Usage: fuzz/seeds/rating.sh OUT_DIR
set -euo pipefail

out=${1:?usage: rating.sh OUT_DIR}
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)"
corpus="$(bash "$repo/scripts/corpus-dir.sh")"
mkdir -p "$out"

python3 - "$corpus" "$out" <<'PY'
import pathlib
import sys

corpus, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
LIMIT = 8192         # the target's -max_len

def write(name, data):
    (out / name).write_bytes(data[:LIMIT])

for kind, step in (("ham", 5), ("spam", 2)):
    for path in sorted((corpus / kind).iterdir())[::step]:
        write(f"{kind}-{path.name[:5]}", path.read_bytes())

fixtures = {
    # The words the fuzz table was trained on, so ratings leave 0.5.
    "spam-words": b"free money offer click winner the credit loan urgent cash bonus deal " * 8,
    "ham-words": b"meeting project patch kernel review lunch thanks build release list " * 8,
    "accents": bytes(range(0x80, 0x100)) + b" \xc0\xe9t\xe9 na\xefve \x8a\x9e\xff word",
    "long-words": b"a" * 39 + b" " + b"b" * 40 + b" " + b"c" * 41 + b" " + b"d" * 200 + b" end",
    "punctuation": b"?!.,%&@+-_:;$*# 1st 2nd x?!.,y a.b.c@d.e $100 #1 50% off",
    "nul-inside": b"one two three four\x00five six seven",
    "nul-first": b"\x00one two three",
    "two-words": b"only two",
}
for name, data in fixtures.items():
    write(f"fixture-{name}", data)
PY
