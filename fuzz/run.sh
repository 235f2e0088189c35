#!/usr/bin/env bash
# Builds the fuzz targets in out/fuzz (clang, libFuzzer, ASan and UBSan) and
# runs each for SECONDS (default 60) from a fresh copy of its seed corpus.
# Prints one line per target from libFuzzer's final statistics and fails when
# any target crashed, leaked, ran out of memory or time, or found a broken
# property; the input that did it is kept in out/fuzz/artifacts/.
#
# Each fuzz/fuzz_<what>.cpp needs fuzz/seeds/<what>.sh OUT_DIR, which writes its
# seeds. Its libFuzzer flags (-max_len, -rss_limit_mb, -timeout) may be given
# in fuzz/fuzz_<what>.options, one per line, over the defaults below.
#
# Usage: fuzz/run.sh [SECONDS]
set -euo pipefail

seconds=${1:-60}
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || {
  echo "usage: fuzz/run.sh [SECONDS]" >&2
  exit 2
}

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
tree="$repo/out/fuzz"
jobs=${JOBS:-2}
# Bounds for a target without options of its own.
readonly DEFAULT_FLAGS=(-max_len=4096 -rss_limit_mb=1024 -timeout=10)

command -v clang++ >/dev/null 2>&1 || {
  echo "fuzz/run.sh: clang++ is missing; run: bash scripts/install-deps.sh build fuzz" >&2
  exit 1
}

cmake -S "$repo" -B "$tree" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DGLIMMERFEN_FUZZ=ON >/dev/null
cmake --build "$tree" -j"$jobs" --target glimmerfen_fuzz

# A smaller quarantine keeps the resident size, which -rss_limit_mb watches,
# about the inputs rather than about freed memory kept for use-after-free checks.
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=64:malloc_context_size=20
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

mkdir -p "$tree/artifacts" "$tree/logs"

# The targets' own files go to memory where the system has some: the loaders'
# saves create, sync and rename a file each time, which on a disk costs more
# than the code under test. A target that crashes leaves its directory
# behind; the whole of it goes when the run ends.
scratch_base=/dev/shm
[[ -d "$scratch_base" && -w "$scratch_base" ]] || scratch_base="$tree"
scratch="$(mktemp -d "$scratch_base/glimmerfen-fuzz-run.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

# The value of one "stat::NAME: value" line of a libFuzzer log.
final_stat() {
  sed -n "s/^stat::$1: *//p" "$2" | tail -n 1
}

summary_line() {
  local name=$1 log=$2 status=$3
  local last cov corpus
  last="$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 || true)"
  cov="$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p' <<<"$last")"
  corpus="$(sed -n 's/.* corp: \([0-9]*\)\/\([0-9A-Za-z]*\).*/\1 inputs (\2)/p' <<<"$last")"
  printf '%-18s %-6s %6s exec/s  %10s runs  coverage %s  corpus %s  peak rss %s MB\n' \
    "$name" "$status" "$(final_stat average_exec_per_sec "$log")" \
    "$(final_stat number_of_executed_units "$log")" "${cov:-?}" "${corpus:-?}" \
    "$(final_stat peak_rss_mb "$log")"
}

# The flags one per line, each name once: a later one replaces an earlier one.
effective_flags() {
  local -A chosen=()
  local -a order=()
  local flag name
  for flag in "$@"; do
    name="${flag%%=*}"
    [[ -n "${chosen[$name]+set}" ]] || order+=("$name")
    chosen[$name]="$flag"
  done
  for name in "${order[@]}"; do
    printf '%s\n' "${chosen[$name]}"
  done
}

# Runs from inside an `if`, where errexit is off: every step checks itself.
run_target() {
  local source=$1
  local name what binary script seeds corpus log options
  name="$(basename "$source" .cpp)"
  what="${name#fuzz_}"
  binary="$tree/bin/$name"
  script="$repo/fuzz/seeds/$what.sh"
  seeds="$tree/seeds/$what"
  corpus="$tree/corpus/$what"
  log="$tree/logs/$what.log"
  if [[ ! -x "$binary" ]]; then
    echo "fuzz/run.sh: $name was not built" >&2
    return 1
  fi
  if [[ ! -f "$script" ]]; then
    echo "fuzz/run.sh: $name has no seed script fuzz/seeds/$what.sh" >&2
    return 1
  fi
  rm -rf "$seeds" "$corpus" "$tree/artifacts/$what-"*
  bash "$script" "$seeds" || {
    echo "fuzz/run.sh: fuzz/seeds/$what.sh failed" >&2
    return 1
  }
  mkdir -p "$corpus" && cp -R "$seeds/." "$corpus/" || return 1

  local flags=("${DEFAULT_FLAGS[@]}")
  options="$repo/fuzz/$name.options"
  if [[ -f "$options" ]]; then
    while read -r option; do
      [[ -n "$option" && "$option" != \#* ]] && flags+=("$option")
    done <"$options"
  fi
  mapfile -t flags < <(effective_flags "${flags[@]}")

  echo "fuzz/run.sh: $name for ${seconds}s from $(find "$seeds" -type f | wc -l) seeds (${flags[*]})"
  local status=passed
  if ! "$binary" "${flags[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$tree/artifacts/$what-" "$corpus" >"$log" 2>&1; then
    status=FAILED
  fi
  summary_line "$name" "$log" "$status" >>"$tree/summary.txt"
  if [[ "$status" != passed ]]; then
    echo "---- last lines of $log" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
}

: >"$tree/summary.txt"
passed=0
failed=0
shopt -s nullglob
sources=("$repo"/fuzz/fuzz_*.cpp)
if ((${#sources[@]} == 0)); then
  echo "fuzz/run.sh: no fuzz targets in fuzz/" >&2
  exit 1
fi
for source in "${sources[@]}"; do
  if run_target "$source"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done

echo
cat "$tree/summary.txt"
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
