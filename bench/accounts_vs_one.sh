#!/usr/bin/env bash
# What serving several accounts at once costs: four fetchmail clients, started
# together, each fetch 150 corpus messages through an account of their own of
# one `glimmerfen-cli proxy` (four private dovecots), against one client
# fetching the same 600 through one account (Bayesian filter on, block lists
# off), in alternating runs. Prints every run and the median ratio
# four-accounts time / one-account time.
#
# Usage: bench/accounts_vs_one.sh [RUNS]     (default 3 of each; needs `make build`
# and the test packages: scripts/install-deps.sh e2e)
set -euo pipefail
source "$(dirname "$0")/support/proxy_bench.sh" "${1:-3}"

proxy_bench_python <<'PYTHON'
import accounts_bench

accounts_bench.main()
PYTHON
