# Sourced by the proxy benchmarks (bench/proxy_*vs_direct.sh): checks what
# they need, finds the corpus and makes a temporary directory that goes when
# the script ends; then proxy_bench_python runs the benchmark's Python (given
# on standard input) with bench/support/proxy_bench.py and the e2e harness on
# its path. RUNS: the first argument, default 5.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cli="${GLIMMERFEN_CLI:-$repo/out/bin/glimmerfen-cli}"
runs=${1:-5}
[[ -x "$cli" ]] || { echo "build first: make build" >&2; exit 1; }
for tool in dovecot fetchmail openssl; do
  command -v "$tool" >/dev/null || [[ -x "/usr/sbin/$tool" ]] ||
    { echo "needs $tool: scripts/install-deps.sh e2e" >&2; exit 1; }
done
corpus=$("$repo/scripts/corpus-dir.sh")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

proxy_bench_python() {
  GLIMMERFEN_CLI="$cli" GLIMMERFEN_REPO="$repo" BENCH_WORK="$work" BENCH_RUNS="$runs" \
  BENCH_CORPUS="$corpus" PYTHONPATH="$repo/tests/e2e:$repo/bench/support" python3 -
}
