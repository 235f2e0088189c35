"""Several accounts against one: four fetchmail clients, each fetching 150
corpus messages through its own account of one `glimmerfen-cli proxy` at the
same time, against one client fetching all 600 through one account of it.
Both fetch the same 600 messages (proxy_bench's), with the Bayesian filter on
as in the other proxy benchmarks; the runs alternate, and the median ratio
four-accounts time / one-account time is reported.

Environment: BENCH_WORK, BENCH_CORPUS, BENCH_RUNS (bench/support/proxy_bench.sh).
"""

import statistics
import threading
import time

import pop3_harness as h
import proxy_bench

ACCOUNTS = 4


def fetch_size(root, port):
    """Bytes fetchmail got through `port`, with its log for a failure."""
    got, log = h.fetchmail(root, port, append=True, timeout=600)
    return (len(got[0]) if got else 0), log


def parallel_fetch(proxy, ports):
    """Wall time of one fetchmail per port, all started together, and the
    bytes each got."""
    sizes = [None] * len(ports)
    failures = []

    def fetch(slot, port):
        try:
            sizes[slot], _ = fetch_size(proxy_bench.work / f"fetch-{slot}", port)
        except h.HarnessError as error:
            failures.append(str(error))

    threads = [threading.Thread(target=fetch, args=(slot, port))
               for slot, port in enumerate(ports)]
    start = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    took = time.monotonic() - start
    if failures:
        raise SystemExit("a parallel fetch failed:\n" + "\n".join(f[-2000:] for f in failures) +
                         f"\nproxy:\n{proxy.log()[-3000:]}\n{proxy.error_log()[-3000:]}")
    return took, sizes


def single_fetch(port):
    start = time.monotonic()
    size, log = fetch_size(proxy_bench.work / "fetch-one", port)
    return time.monotonic() - start, size, log


def start_servers(fetched):
    """One dovecot with all 600 messages, and one per account with its 150."""
    share = len(fetched) // ACCOUNTS
    whole = h.Dovecot(proxy_bench.work / "dovecot-all", fetched, tls=False)
    parts = [h.Dovecot(proxy_bench.work / f"dovecot-{n}", fetched[n * share:(n + 1) * share],
                       tls=False) for n in range(ACCOUNTS)]
    for dovecot in [whole, *parts]:
        dovecot.start()
    return whole, parts


def start_proxy(whole, parts, training):
    """"main" reads the 600-message dovecot; accounts a1..a4 read the others."""
    proxy = h.Proxy(proxy_bench.work / "store", whole.port)
    proxy.cli("import", "goodA", *training[0])
    proxy.cli("import", "badA", *training[1])
    proxy.cli("build-table")
    proxy.cli("state", "--bayes", "on", "--spamhaus", "off", "--spamcop", "off")
    ports = [proxy.add_account(f"a{n + 1}", dovecot.port) for n, dovecot in enumerate(parts)]
    proxy.start()
    return proxy, ports


def main():
    train_ham, train_spam, fetched = proxy_bench.corpus_mail()
    runs = proxy_bench.runs
    print(f"fetchmail through one proxy, {len(fetched)} corpus messages "
          f"({sum(map(len, fetched)) / proxy_bench.MIB:.1f} MiB): {ACCOUNTS} accounts with "
          f"{len(fetched) // ACCOUNTS} each at once, against one account with all; "
          f"{runs} alternating runs", flush=True)
    servers = []
    proxy = None
    try:
        whole, parts = start_servers(fetched)
        servers = [whole, *parts]
        proxy, ports = start_proxy(whole, parts, (train_ham, train_spam))
        # Untimed: caches warm, dovecot's indexes built; gives the sizes to expect.
        _, want, log = single_fetch(proxy.local_port)
        _, want_parts = parallel_fetch(proxy, ports)
        if want == 0 or sum(want_parts) != want:
            raise SystemExit(f"the warm-up fetched {want} / {want_parts} bytes\n{log[-2000:]}")
        four, one = [], []
        for run in range(1, runs + 1):
            took_four, sizes = parallel_fetch(proxy, ports)
            took_one, size, log = single_fetch(proxy.local_port)
            if sizes != want_parts or size != want:
                raise SystemExit(f"run {run} fetched {sizes} / {size} bytes, expected "
                                 f"{want_parts} / {want}\n{log[-2000:]}")
            four.append(took_four)
            one.append(took_one)
            print(f"  run {run}: {ACCOUNTS} accounts {took_four:7.3f} s   one account "
                  f"{took_one:7.3f} s   ratio {took_four / took_one:5.2f}", flush=True)
        if not proxy.alive():
            raise SystemExit(f"the proxy died\n{proxy.log()[-2000:]}")
        ratios = [f / o for f, o in zip(four, one)]
        print(f"  median: {ACCOUNTS} accounts {statistics.median(four):.3f} s, one account "
              f"{statistics.median(one):.3f} s; median ratio {ACCOUNTS} accounts / one account "
              f"{statistics.median(ratios):.2f}")
    finally:
        if proxy is not None:
            proxy.stop()
        for dovecot in servers:
            dovecot.stop()
