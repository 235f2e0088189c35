#!/usr/bin/env bash
# What the proxy costs a mail client: fetchmail fetches the same 600 corpus
# messages from a private dovecot directly and through `glimmerfen-cli proxy`
# (Bayesian filter on with a table built from other corpus mail, block lists
# off), in alternating runs so both see the same machine; then the same for one
# 20 MB message. Prints every run's time, the median ratio proxy/direct, and the
# proxy's throughput on the large message.
#
# Usage: bench/proxy_vs_direct.sh [RUNS]     (default 5 of each; needs `make build`
# and the test packages: scripts/install-deps.sh test)
#
# Everything runs on 127.0.0.1 in a temporary directory that is removed on exit;
# the servers are stopped however the script ends.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cli="${GLIMMERFEN_CLI:-$repo/out/bin/glimmerfen-cli}"
runs=${1:-5}
[[ -x "$cli" ]] || { echo "build first: make build" >&2; exit 1; }
for tool in dovecot fetchmail; do
  command -v "$tool" >/dev/null || [[ -x "/usr/sbin/$tool" ]] ||
    { echo "needs $tool: scripts/install-deps.sh test" >&2; exit 1; }
done
corpus=$("$repo/scripts/corpus-dir.sh")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

GLIMMERFEN_CLI="$cli" GLIMMERFEN_REPO="$repo" BENCH_WORK="$work" BENCH_RUNS="$runs" \
BENCH_CORPUS="$corpus" PYTHONPATH="$repo/tests/e2e" python3 - <<'PYTHON'
import os
import statistics
import time
from pathlib import Path

import pop3_harness as h

work = Path(os.environ["BENCH_WORK"])
corpus = Path(os.environ["BENCH_CORPUS"])
runs = int(os.environ["BENCH_RUNS"])
MIB = 1024 * 1024
ham = sorted((corpus / "ham").iterdir())
spam = sorted((corpus / "spam").iterdir())

# Trained on one part of the corpus, fetching another, as a user would.
train_ham, train_spam = ham[:500], spam[:200]
fetched = [h.maildir_form(p.read_bytes()) for p in ham[1000:1450] + spam[300:450]]
assert len(fetched) == 600, len(fetched)


def timed_fetch(port, label):
    start = time.monotonic()
    got, log = h.fetchmail(work / "fetch", port, append=True, timeout=600)
    took = time.monotonic() - start
    size = len(got[0]) if got else 0
    return took, size, log


def compare(title, messages, rounds):
    dovecot = h.Dovecot(work / f"dovecot-{title}", messages, tls=False)
    proxy = None
    try:
        dovecot.start()
        proxy = h.Proxy(work / f"store-{title}", dovecot.port)
        proxy.cli("import", "goodA", *train_ham)
        proxy.cli("import", "badA", *train_spam)
        proxy.cli("build-table")
        proxy.cli("state", "--bayes", "on", "--spamhaus", "off", "--spamcop", "off")
        proxy.start()
        # One untimed fetch each way: caches warm, dovecot's index built.
        _, want, _ = timed_fetch(dovecot.port, "direct")
        timed_fetch(proxy.local_port, "proxy")
        direct, proxied = [], []
        for run in range(1, rounds + 1):
            d, d_size, log = timed_fetch(dovecot.port, "direct")
            p, p_size, plog = timed_fetch(proxy.local_port, "proxy")
            if d_size != want or p_size < want:
                raise SystemExit(f"{title}: run {run} fetched {d_size} / {p_size} bytes, "
                                 f"expected {want}\n{plog[-2000:]}")
            direct.append(d)
            proxied.append(p)
            print(f"  run {run}: direct {d:7.3f} s   proxy {p:7.3f} s   ratio {p / d:5.2f}",
                  flush=True)
        if not proxy.alive():
            raise SystemExit(f"{title}: the proxy died\n{proxy.log()[-2000:]}")
        return direct, proxied, want
    finally:
        if proxy is not None:
            proxy.stop()
        dovecot.stop()


print(f"fetchmail, {len(fetched)} corpus messages "
      f"({sum(map(len, fetched)) / MIB:.1f} MiB), {runs} alternating runs each way")
direct, proxied, _ = compare("corpus", fetched, runs)
ratios = [p / d for d, p in zip(direct, proxied)]
print(f"  median: direct {statistics.median(direct):.3f} s, proxy "
      f"{statistics.median(proxied):.3f} s; median ratio proxy/direct "
      f"{statistics.median(ratios):.2f}  (target: at most 1.5)")

line = b"%08d large message line, plain text to make up twenty megabytes ......\n"
body = b"".join(line % i for i in range(20 * MIB // len(line % 0)))
large = (b"From: Big <big@example.test>\nTo: tester@example.test\n"
         b"Subject: twenty megabytes\nDate: Tue, 03 Sep 2002 10:11:12 +0000\n\n" + body)
large_runs = max(3, runs // 2)
print(f"\nfetchmail, one message of {len(large) / MIB:.1f} MiB, {large_runs} alternating runs")
direct, proxied, size = compare("large", [large], large_runs)
ratios = [p / d for d, p in zip(direct, proxied)]
print(f"  median: direct {statistics.median(direct):.3f} s "
      f"({size / MIB / statistics.median(direct):.1f} MiB/s), proxy "
      f"{statistics.median(proxied):.3f} s ({size / MIB / statistics.median(proxied):.1f} MiB/s); "
      f"median ratio proxy/direct {statistics.median(ratios):.2f}")
PYTHON
