#!/usr/bin/env bash
# What the proxy costs a mail client: fetchmail fetches the same 600 corpus
# messages from a private dovecot directly and through `glimmerfen-cli proxy`
# (Bayesian filter on with a table built from other corpus mail, block lists
# off), in alternating runs so both see the same machine; then the same for one
# 20 MB message. Prints every run's time, the median ratio proxy/direct, and the
# proxy's throughput on the large message.
#
# Usage: bench/proxy_vs_direct.sh [RUNS]     (default 5 of each; needs `make build`
# and the test packages: scripts/install-deps.sh e2e)
#
# Everything runs on 127.0.0.1 in a temporary directory that is removed on exit;
# the servers are stopped however the script ends.
set -euo pipefail
source "$(dirname "$0")/support/proxy_bench.sh"

proxy_bench_python <<'PYTHON'
import pop3_harness as h
import proxy_bench


class Plain:
    def dovecot(self, root, messages):
        return h.Dovecot(root, messages, tls=False)

    def direct(self, dovecot):
        return dovecot.port, {}

    def configure(self, proxy, dovecot):
        pass


proxy_bench.run(Plain(), ratio_target=1.5)
PYTHON
