#!/usr/bin/env bash
# The proxy's full soak run: `glimmerfen-cli proxy` in front of a private
# dovecot through 20 fetchmail sessions of 100 corpus messages each, 200
# connect-and-quit sessions and 50 sessions cut off mid-RETR, then the figures:
# open files, threads and resident memory of the proxy after the first session
# and after the run, New Emails after each session, and the time taken.
#
# Usage: scripts/soak.sh [short|full]     (default full; ctest runs the short
# form as soak_e2e). Needs `make build` and the test packages
# (scripts/install-deps.sh test). GLIMMERFEN_CLI picks another build's program.
#
# Everything runs on 127.0.0.1 in a temporary directory that is removed at the
# end; the servers are stopped however the run ends. Exit status 0 when every
# check held.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cli="${GLIMMERFEN_CLI:-$repo/out/bin/glimmerfen-cli}"
mode=${1:-full}
case "$mode" in
  short | full) ;;
  *) echo "usage: scripts/soak.sh [short|full]" >&2; exit 2 ;;
esac
[[ -x "$cli" ]] || { echo "build first: make build (no $cli)" >&2; exit 1; }
for tool in dovecot fetchmail; do
  command -v "$tool" >/dev/null || [[ -x "/usr/sbin/$tool" ]] ||
    { echo "needs $tool: scripts/install-deps.sh test" >&2; exit 1; }
done

corpus="${GLIMMERFEN_CORPUS:-$(bash "$repo/scripts/corpus-dir.sh")}"

echo "soak run ($mode) of $cli"
GLIMMERFEN_SOAK="$mode" GLIMMERFEN_CLI="$cli" GLIMMERFEN_REPO="$repo" GLIMMERFEN_CORPUS="$corpus" \
  exec python3 "$repo/tests/e2e/test_soak.py"
