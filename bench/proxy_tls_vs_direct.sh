#!/usr/bin/env bash
# What the proxy costs when its server leg is TLS: fetchmail fetches the same
# 600 corpus messages over implicit TLS directly from a private dovecot, and
# through `glimmerfen-cli proxy` whose link to that dovecot is implicit TLS
# (Bayesian filter on, block lists off; the client's link to the proxy is plain
# loopback, as always), in alternating runs; then one 20 MB message the same
# way. Prints every run, the median ratio proxy/direct (target at most 1.3) and
# the proxy's throughput on the large message as a share of direct (target at
# least 70 %).
#
# Usage: bench/proxy_tls_vs_direct.sh [RUNS]   (default 5 of each; needs `make build`
# and the test packages: scripts/install-deps.sh e2e)
set -euo pipefail
source "$(dirname "$0")/support/proxy_bench.sh"

proxy_bench_python <<'PYTHON'
import os

import pop3_harness as h
import proxy_bench


class ImplicitTls:
    """dovecot's TLS listener with a certificate from a CA of the run's own,
    which both fetchmail and the proxy are told to trust."""

    def __init__(self):
        self.certs = h.TestCertificates(proxy_bench.work / "certs")

    def dovecot(self, root, messages):
        return h.Dovecot(root, messages, certificates=self.certs,
                         tls_port=h.free_ports(1, 20000, 30000)[0])

    def direct(self, dovecot):
        return dovecot.tls_port, {"tls_ca": self.certs.ca}

    def configure(self, proxy, dovecot):
        proxy.env = dict(os.environ, SSL_CERT_FILE=str(self.certs.ca))
        proxy.cli("settings", "--server", "localhost", "--security", "tls",
                  "--pop3-port", dovecot.tls_port)


proxy_bench.run(ImplicitTls(), ratio_target=1.3, share_target=0.70)
PYTHON
