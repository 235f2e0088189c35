#!/usr/bin/env bash
# Writes the seed corpus of fuzz_files into OUT_DIR: valid files of each
# layout, short and long (the phrase lists take their phrases from real mail's
# Subject and From lines), and the damaged forms each loader documents: cut
# short, counts and lengths that claim more than is there, values out of range.
# Each seed is the target's kind byte and then the file.
# Usage: fuzz/seeds/files.sh OUT_DIR
set -euo pipefail

out=${1:?usage: files.sh OUT_DIR}
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)"
corpus="$(bash "$repo/scripts/corpus-dir.sh")"
mkdir -p "$out"

python3 - "$corpus" "$out" <<'PY'
import pathlib
import random
import struct
import sys

corpus, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
LIMIT = 81920        # the target's -max_len, with the kind byte
TABLE, WHITE, BLACK, SCHEDULE, FLAG, ANIM = 0, 1, 6, 2, 3, 4
rng = random.Random(2006)

def write(name, kind, data):
    assert len(data) < LIMIT, name
    (out / name).write_bytes(bytes([kind]) + data)

# ---- MapProb.bin: u32 count, u32 collisions, count x {u32 key, f32 p, u8 check}
def table(records, count=None, collisions=0):
    count = len(records) if count is None else count
    data = struct.pack("<II", count & 0xFFFFFFFF, collisions)
    for key, p, check in records:
        data += struct.pack("<If", key, p) + bytes([check])
    return data

def random_records(n):
    return [(rng.randrange(1610612741), rng.choice((0.01, 0.99, rng.random())), rng.randrange(251))
            for _ in range(n)]

write("table-empty", TABLE, table([]))
write("table-one", TABLE, table([(12345, 0.99, 7)]))
write("table-short", TABLE, table(random_records(300), collisions=3))
# Longer than the 8192 records the loader reads at a time.
write("table-long", TABLE, table(random_records(8500), collisions=40))
write("table-count-too-big", TABLE, table(random_records(20), count=0xFFFFFFFF))
write("table-count-too-small", TABLE, table(random_records(20), count=5))
write("table-odd-values", TABLE, table([(1, float("nan"), 1), (2, float("inf"), 2),
                                        (3, -1.0, 3), (4, 2.5, 4), (5, -0.0, 5)]))
write("table-repeats", TABLE, table([(9, 0.2, 1)] * 50 + [(9, 0.9, 2)] * 50))
write("table-cut-record", TABLE, table(random_records(3))[:-4])
write("table-head-only", TABLE, table([])[:7])

# ---- wlist.bin / blist.bin: i32 count, count x {u8 field, u8 case, u32 length, bytes}
def phrases_from_mail(prefix, limit):
    found = []
    for path in sorted((corpus / "ham").iterdir())[::25] + sorted((corpus / "spam").iterdir())[::10]:
        for line in path.read_bytes().split(b"\n"):
            if line.lower().startswith(prefix):
                found.append(line[len(prefix):].strip()[:80])
                break
        if len(found) >= limit:
            break
    return found

def phrase_list(entries, count=None):
    count = len(entries) if count is None else count
    data = struct.pack("<i", count)
    for phrase, field, case in entries:
        data += bytes([field, case]) + struct.pack("<I", len(phrase) + 1) + phrase + b"\x00"
    return data

subjects = phrases_from_mail(b"subject: ", 60)
senders = phrases_from_mail(b"from: ", 60)
mail_entries = [(p, 1, i % 2) for i, p in enumerate(subjects)] + \
               [(p, 0, i % 2) for i, p in enumerate(senders)]
write("list-empty", WHITE, phrase_list([]))
write("list-one", BLACK, phrase_list([(b"free", 1, 0)]))
write("list-three", WHITE, phrase_list([(b"boss@example.org", 0, 0), (b"Project", 1, 1),
                                        (b"me@example.org", 2, 0)]))
write("list-from-mail", BLACK, phrase_list(mail_entries))
write("list-long-phrase", WHITE, phrase_list([(b"x" * 85, 1, 0), (b"y" * 86, 2, 1),
                                              (b"z" * 300, 0, 0)]))
write("list-nul-inside", BLACK, phrase_list([(b"a\x00hidden", 1, 0), (b"", 0, 1)]))
bad_field = phrase_list([(b"ok", 0, 0)]) + bytes([3, 0]) + struct.pack("<I", 3) + b"no\x00"
write("list-bad-field", WHITE, struct.pack("<i", 2) + bad_field[4:])
write("list-huge-length", BLACK, struct.pack("<i", 1) + bytes([0, 0]) + struct.pack("<I", 0x7FFFFFFF) + b"abc")
write("list-negative-count", WHITE, phrase_list([(b"free", 1, 0)], count=-1))
write("list-count-too-big", BLACK, phrase_list([(b"free", 1, 0)], count=0x7FFFFFFF))
write("list-cut", WHITE, phrase_list([(b"free", 1, 0), (b"money", 1, 0)])[:-3])
write("list-tiny", BLACK, b"\x01\x00\x00")

# ---- timeData.bin: 7 day bytes, hour, minute, pm, f32 accuracy, i32 email count
def schedule(days, hour, minute, pm, accuracy, count):
    return bytes(days) + bytes([hour, minute, pm]) + struct.pack("<fi", accuracy, count)

write("schedule-monday", SCHEDULE, schedule([1, 0, 0, 0, 0, 0, 0], 3, 15, 1, 0.93, 120))
write("schedule-every-day", SCHEDULE, schedule([1] * 7, 12, 0, 0, 1.0, 5000))
write("schedule-saturday-midnight", SCHEDULE, schedule([0] * 5 + [1, 0], 12, 0, 1, 0.5, 20))
write("schedule-out-of-range", SCHEDULE, schedule([255] * 7, 255, 255, 255, float("nan"), -1))
write("schedule-huge-accuracy", SCHEDULE, schedule([0] * 7, 1, 1, 0, 3.0e38, -2147483648))
write("schedule-short", SCHEDULE, schedule([1] * 7, 1, 2, 0, 0.5, 10)[:17])
write("schedule-long", SCHEDULE, schedule([1] * 7, 1, 2, 0, 0.5, 10) + b"trailing bytes")

# ---- sFlag.bin: u32 length L (word + NUL, 2..21), the word, NUL
def flag(word, stored=None):
    stored = len(word) + 1 if stored is None else stored
    return struct.pack("<I", stored) + word + b"\x00"

write("flag-default", FLAG, flag(b"*GLIMMERFENED!*"))
write("flag-shortest", FLAG, flag(b"ab"))
write("flag-longest", FLAG, flag(b"x" * 20))
write("flag-too-long", FLAG, flag(b"x" * 21))
write("flag-one-char", FLAG, flag(b"a"))
write("flag-huge-length", FLAG, flag(b"SPAM", stored=0xFFFFFFFF))
write("flag-nul-inside", FLAG, flag(b"S\x00PAM"))
write("flag-cut", FLAG, flag(b"SPAM")[:6])
write("flag-empty", FLAG, b"")

# ---- Anim.bin: u32, 1 for on
write("anim-on", ANIM, struct.pack("<I", 1))
write("anim-off", ANIM, struct.pack("<I", 0))
write("anim-short", ANIM, b"\x01")
write("anim-long", ANIM, struct.pack("<II", 1, 7))
write("anim-other", ANIM, struct.pack("<I", 0xFFFFFFFF))
write("anim-empty", ANIM, b"")
PY
