"""What the proxy benchmarks share: the corpus mail they fetch, the 20 MB
message, and alternating timed fetchmail runs directly from a private dovecot
and through `glimmerfen-cli proxy` (Bayesian filter on with a table built from
other corpus mail, block lists off), with the medians reported.

A benchmark says how its dovecot is made, how fetchmail reaches it directly
and how the proxy's store is set up; run() does the rest. Environment:
BENCH_WORK, BENCH_CORPUS, BENCH_RUNS (set by bench/support/proxy_bench.sh).
"""

import os
import statistics
import time
from pathlib import Path

import pop3_harness as h

MIB = 1024 * 1024

work = Path(os.environ["BENCH_WORK"])
corpus = Path(os.environ["BENCH_CORPUS"])
runs = int(os.environ["BENCH_RUNS"])


def corpus_mail():
    """Training mail and 600 other messages to fetch, as a user would have."""
    ham = sorted((corpus / "ham").iterdir())
    spam = sorted((corpus / "spam").iterdir())
    fetched = [h.maildir_form(p.read_bytes()) for p in ham[1000:1450] + spam[300:450]]
    assert len(fetched) == 600, len(fetched)
    return ham[:500], spam[:200], fetched


def large_message():
    line = b"%08d large message line, plain text to make up twenty megabytes ......\n"
    body = b"".join(line % i for i in range(20 * MIB // len(line % 0)))
    return (b"From: Big <big@example.test>\nTo: tester@example.test\n"
            b"Subject: twenty megabytes\nDate: Tue, 03 Sep 2002 10:11:12 +0000\n\n" + body)


def timed_fetch(port, **fetch):
    start = time.monotonic()
    got, log = h.fetchmail(work / "fetch", port, append=True, timeout=600, **fetch)
    took = time.monotonic() - start
    return took, (len(got[0]) if got else 0), log


def compare(title, messages, rounds, bench, training):
    """Alternating runs, direct then through the proxy: the two time lists and
    the size of one fetch."""
    dovecot = bench.dovecot(work / f"dovecot-{title}", messages)
    proxy = None
    try:
        dovecot.start()
        direct_port, direct_fetch = bench.direct(dovecot)
        proxy = h.Proxy(work / f"store-{title}", dovecot.port)
        proxy.cli("import", "goodA", *training[0])
        proxy.cli("import", "badA", *training[1])
        proxy.cli("build-table")
        proxy.cli("state", "--bayes", "on", "--spamhaus", "off", "--spamcop", "off")
        bench.configure(proxy, dovecot)
        proxy.start()
        # One untimed fetch each way: caches warm, dovecot's index built.
        _, want, log = timed_fetch(direct_port, **direct_fetch)
        if want == 0:
            raise SystemExit(f"{title}: the direct fetch got nothing\n{log[-2000:]}")
        timed_fetch(proxy.local_port)
        direct, proxied = [], []
        for run in range(1, rounds + 1):
            d, d_size, log = timed_fetch(direct_port, **direct_fetch)
            p, p_size, plog = timed_fetch(proxy.local_port)
            if d_size != want or p_size < want:
                raise SystemExit(f"{title}: run {run} fetched {d_size} / {p_size} bytes, "
                                 f"expected {want}\n{log[-1000:]}\n{plog[-2000:]}")
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


def run(bench, ratio_target: float, share_target: float = None):
    """The corpus comparison, then the 20 MB one. `bench` has dovecot(root,
    messages), direct(dovecot) -> (port, fetchmail keyword arguments) and
    configure(proxy, dovecot)."""
    train_ham, train_spam, fetched = corpus_mail()
    training = (train_ham, train_spam)
    print(f"fetchmail, {len(fetched)} corpus messages "
          f"({sum(map(len, fetched)) / MIB:.1f} MiB), {runs} alternating runs each way")
    direct, proxied, _ = compare("corpus", fetched, runs, bench, training)
    ratios = [p / d for d, p in zip(direct, proxied)]
    print(f"  median: direct {statistics.median(direct):.3f} s, proxy "
          f"{statistics.median(proxied):.3f} s; median ratio proxy/direct "
          f"{statistics.median(ratios):.2f}  (target: at most {ratio_target})")

    large = large_message()
    large_runs = max(3, runs // 2)
    print(f"\nfetchmail, one message of {len(large) / MIB:.1f} MiB, {large_runs} alternating runs")
    direct, proxied, size = compare("large", [large], large_runs, bench, training)
    ratios = [p / d for d, p in zip(direct, proxied)]
    direct_rate = size / MIB / statistics.median(direct)
    proxy_rate = size / MIB / statistics.median(proxied)
    line = (f"  median: direct {statistics.median(direct):.3f} s ({direct_rate:.1f} MiB/s), proxy "
            f"{statistics.median(proxied):.3f} s ({proxy_rate:.1f} MiB/s); median ratio "
            f"proxy/direct {statistics.median(ratios):.2f}")
    if share_target is not None:
        share = statistics.median(d / p for d, p in zip(direct, proxied))
        line += f"; proxy throughput {share:.0%} of direct (target: at least {share_target:.0%})"
    print(line)
