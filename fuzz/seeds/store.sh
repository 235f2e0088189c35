#!/usr/bin/env bash
# Seeds for fuzz_store. Byte 0 is the plan: bits 0-6 choose which folder each
# folder's mail moves to, bit 7 moves before cleaning instead of after. Then
# patches of the store file, each: operation, folder, slot high, slot low,
# length, and the bytes it writes. Operation % 8: 0 a table entry (4 bytes),
# 1 a run of table entries (length bytes), 2 a table entry set to a chosen
# number (operation / 8 picks it: -1, -2, 0, counter - 1, counter, INT_MAX,
# INT_MIN, then the numbers of stored records), 3 and 4 a record field
# (operation / 8 picks the field), 5 a text length set to an edge value,
# 6 any bytes of a record (slot high and low give the offset), 7 the head of
# the file (slot high gives the offset: the counter is at 0). A slot high
# byte below 0x80 picks a slot that holds or held a record.
# Usage: fuzz/seeds/store.sh OUT_DIR
set -euo pipefail

out=${1:?usage: $0 OUT_DIR}
mkdir -p "$out"

byte() {
    printf "\\x$(printf %02x "$1")"
}

# seed NAME PLAN [PATCH...]; a patch is "OP FOLDER HIGH LOW LENGTH [BYTE...]".
seed() {
    local name=$1 plan=$2
    shift 2
    {
        byte "$plan"
        local patch value
        for patch in "$@"; do
            for value in $patch; do
                byte "$value"
            done
        done
    } >"$out/$name"
}

seed untouched 0
seed moves-first 0x83
seed entry-freed 1 "2 0 0 0 0"
seed entry-negative 2 "10 1 0 1 0"
seed entry-at-counter 3 "34 2 0 2 0"
seed entry-duplicate 4 "162 1 0 2 0"
seed freed-slot-back 0 "114 0 0 4 0" "122 3 0 5 0"
seed entry-far-slot 0x81 "0 5 0x82 0xbb 0 0 0 0 0"
seed table-run 1 "1 4 0 0 16 0 0 0 0 1 0 0 0 2 0 0 0 3 0 0 0"
seed text-length-zero 2 "5 2 0 0 0"
seed text-length-above 3 "61 3 0 1 0" "69 4 0 2 0"
seed text-length-negative 0x84 "93 5 0 3 0"
seed counter-low 0 "7 0 0 0 4 5 0 0 0"
seed counter-negative 1 "7 0 0 0 4 0xff 0xff 0xff 0xff"
seed from-unterminated 2 "3 0 0 0 64 $(printf '65 %.0s' {1..64})"
seed month-out-of-range 3 "35 1 0 1 1 0xff"
seed text-length-raw 4 "6 12 0x01 0x22 4 0x88 0x13 0 0"
seed many 0x82 "2 0 0 0 0" "162 0 0 4 0" "5 1 0 0 0" "61 2 0 1 0" "35 3 0 2 1 20" "7 0 0 0 4 3 0 0 0"

# Damage spread over every folder: a patch of each kind, 32 in all.
patches=()
for n in $(seq 0 31); do
    op=$(((n * 8 + n % 8) % 256))
    patches+=("$op $((n % 6)) 0 $n 8 $n 0 0 0 0x41 0x42 0x43 0x44")
done
seed scattered 0x05 "${patches[@]}"
