#!/usr/bin/env python3
"""Soak run of the POP3 proxy: `glimmerfen-cli proxy` in front of dovecot
through many sessions of three kinds, watched from /proc and from the store.

- fetchmail sessions, each fetching 100 new corpus messages (every one made
  unique by a serial in its Message-ID and Subject); between sessions the
  Maildir is emptied and refilled, and fetchmail keeps what it fetched;
- connect-and-quit sessions (greeting, QUIT, no login);
- sessions that a raw client cuts off in the middle of a RETR of a message of
  about a megabyte, some with a plain close and some with a reset.

Checked: the proxy never dies and exits 0 on SIGTERM at the end; every message
reaches fetchmail as the server sent it, but for the flag word on spam; the
proxy's open files and threads after the run are those after the first session,
and its resident memory is within 10 % of it (each measured once the proxy is
idle: the session over, the flow monitor thread gone); New Emails never holds
more than 600 + 90 messages, and after each session exactly as many as the
recording and trim rules give; at the end it holds the texts of the newest
recorded messages, in order, no more and no fewer.

Environment: GLIMMERFEN_CLI, GLIMMERFEN_CORPUS as for the other e2e tests;
GLIMMERFEN_SOAK=short (the default, for ctest) or full (scripts/soak.sh).
The figures are printed on standard output.
"""

import os
import random
import re
import socket
import struct
import sys
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pop3_harness as h  # noqa: E402

FLAG = b"*GLIMMERFENED!*"
FOLDER_LIMIT = 600
RECORDED_PER_SESSION = 90
NEW_EMAILS_CEILING = FOLDER_LIMIT + RECORDED_PER_SESSION
COLLECT_MARK = 4900
RECORD_LIMIT = 4999
RSS_TOLERANCE = 0.10
MESSAGES_PER_SESSION = 100
BIG_MESSAGE_SIZE = 1 << 20
# Where the cut-off clients stop reading, in bytes of the reply: inside the
# part the proxy collects and rates, just after it, and well into the part it
# streams on unrated.
CUT_POINTS = (40, 1500, 4890, 5300, 40_000, 300_000, 800_000)
# How long the proxy may take to notice that a client has gone.
SESSION_END_TIMEOUT = 30.0
IDLE_STEADY = 1.0


@dataclass(frozen=True)
class Sizes:
    fetch_sessions: int
    quit_sessions: int
    cutoff_sessions: int


SIZES = {
    # Enough recorded messages to reach the trim of New Emails, and every kind
    # of session several times, in about two minutes on two cores.
    "short": Sizes(fetch_sessions=8, quit_sessions=40, cutoff_sessions=10),
    "full": Sizes(fetch_sessions=20, quit_sessions=200, cutoff_sessions=50),
}

# Training mail for the filter; the soak fetches the rest of the corpus.
TRAIN_HAM = 300
TRAIN_SPAM = 100


def soak_mode() -> str:
    mode = os.environ.get("GLIMMERFEN_SOAK", "short")
    if mode not in SIZES:
        raise RuntimeError(f"GLIMMERFEN_SOAK is short or full, not {mode!r}")
    return mode


# ---- messages ----

SERIAL = re.compile(rb"soak-(\d{6})")


def tagged(text: bytes, serial: int) -> bytes:
    """A Maildir-form message with the serial at the end of its Message-ID and
    Subject (each added as a header line where the message has none)."""
    tag = b"soak-%06d" % serial
    end = text.find(b"\n\n")
    head, rest = (text[:end + 1], text[end + 1:]) if end >= 0 else (text, b"")
    lines = head.split(b"\n")[:-1]
    has_id = has_subject = False
    for i, line in enumerate(lines):
        if line[:1] in (b" ", b"\t"):
            continue
        name = line.split(b":", 1)[0].lower()
        if name == b"message-id" and not has_id and b">" in line:
            cut = line.rindex(b">")
            lines[i] = line[:cut] + b"." + tag + line[cut:]
            has_id = True
        elif name == b"subject" and not has_subject:
            lines[i] = line + b" [" + tag + b"]"
            has_subject = True
    if not has_id:
        lines.insert(0, b"Message-ID: <" + tag + b"@soak.glimmerfen.test>")
    if not has_subject:
        lines.append(b"Subject: " + tag)
    return b"\n".join(lines) + b"\n" + rest


def serial_of(text: bytes) -> int:
    found = SERIAL.search(text)
    if found is None:
        raise AssertionError(f"a message without a soak serial: {text[:300]!r}")
    return int(found.group(1))


def unmarked(delivered: bytes) -> bytes:
    """A fetched message without the flag word the proxy gives spam: a Subject
    line of its own, or the word in front of one or two Subject values."""
    new_line = b"Subject: " + FLAG + b"\n"
    if delivered.startswith(new_line):
        delivered = delivered[len(new_line):]
    return delivered.replace(b"Subject: " + FLAG, b"Subject: ")


def status_line(text: bytes) -> bytes:
    """dovecot's RETR status line: the message size with CR LF line ends."""
    return b"+OK %d octets\r\n" % (len(text) + text.count(b"\n"))


def big_message(corpus_text: bytes, serial: int) -> bytes:
    """About a megabyte: a corpus message whose body repeats."""
    end = corpus_text.find(b"\n\n")
    head, body = corpus_text[:end + 2], corpus_text[end + 2:] or b"Empty.\n"
    repeats = BIG_MESSAGE_SIZE // len(body) + 1
    return tagged(head + body * repeats, serial)


class MessageSource:
    """Corpus messages in a fixed order, reused as often as needed, each copy
    with a serial of its own."""

    def __init__(self, paths):
        self._texts = [h.maildir_form(p.read_bytes()) for p in paths]
        self._next = 0
        self.serial = 0
        self.by_serial = {}

    def take(self, count: int) -> list:
        out = []
        for _ in range(count):
            text = self._texts[self._next % len(self._texts)]
            self._next += 1
            out.append(self.add(lambda serial, text=text: tagged(text, serial)))
        return out

    def add(self, make) -> bytes:
        self.serial += 1
        message = make(self.serial)
        self.by_serial[self.serial] = message
        return message


# ---- the server's mailbox ----

class Mailbox:
    """Replaces the messages in dovecot's Maildir between sessions. dovecot
    numbers new files by the time in their names, so the stamps go up."""

    def __init__(self, maildir: Path):
        self.maildir = maildir
        info = os.stat(maildir)
        self.owner = (info.st_uid, info.st_gid)
        self.stamp = 1_100_000_000

    def fill(self, messages):
        for sub in ("new", "cur"):
            for old in (self.maildir / sub).iterdir():
                old.unlink()
        for number, text in enumerate(messages, start=1):
            self.stamp += 1
            name = f"{self.stamp}.M{number}P1.soak"
            staged = self.maildir / "tmp" / name
            staged.write_bytes(text)
            if os.geteuid() == 0:
                os.chown(staged, *self.owner)
            os.rename(staged, self.maildir / "new" / name)

    @staticmethod
    def served(port: int) -> int:
        """How many messages dovecot offers now, asked directly."""
        with h.Pop3Wire(port) as wire:
            h.login(wire)
            reply = wire.command(b"STAT")
            wire.command(b"QUIT")
        return int(reply.split()[1])

    def refill(self, messages, port: int):
        """Fills the Maildir and waits until dovecot serves exactly these."""
        self.fill(messages)
        h.wait_until(lambda: self.served(port) == len(messages), 10,
                     f"dovecot serving {len(messages)} new messages", interval=0.5)


# ---- the proxy process from outside ----

@dataclass
class ProcessFigures:
    fds: int
    threads: int
    rss_kib: int
    fd_targets: list = field(default_factory=list)

    @staticmethod
    def of(pid: int) -> "ProcessFigures":
        fd_dir = Path(f"/proc/{pid}/fd")
        targets = []
        for entry in fd_dir.iterdir():
            try:
                targets.append(os.readlink(entry))
            except OSError:
                pass
        threads = len(list(Path(f"/proc/{pid}/task").iterdir()))
        rss = 0
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
        return ProcessFigures(len(targets), threads, rss, sorted(targets))

    def text(self) -> str:
        return f"{self.fds} fds, {self.threads} threads, VmRSS {self.rss_kib} KiB"


class NewEmailsWatch:
    """Reads the New Emails count over and over while the soak runs, as a
    reader beside the proxy would, and keeps the highest value seen."""

    def __init__(self, proxy: h.Proxy, interval: float = 0.2):
        self.proxy = proxy
        self.interval = interval
        self.highest = 0
        self.samples = 0
        self.failures = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.wait(self.interval):
            try:
                count = self.proxy.count("newA")
            except Exception as error:  # noqa: BLE001 - kept for the report
                self.failures.append(repr(error))
                continue
            self.samples += 1
            self.highest = max(self.highest, count)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=30)


# ---- the run ----

@dataclass
class Expected:
    """A message the proxy should have recorded: its status line and wire body."""
    status: bytes
    body: bytes

    @staticmethod
    def of(text: bytes) -> "Expected":
        return Expected(status_line(text), h.wire_body(text))

    def matches(self, record: bytes) -> bool:
        """The whole text when the reply fits in the collected part, else a
        prefix ending in the 100-byte read that reached 4,900 bytes."""
        total = len(self.status) + len(self.body)
        if total <= COLLECT_MARK:
            return record == self.body
        stored = len(self.status) + len(record)
        return (self.body.startswith(record) and stored >= COLLECT_MARK and
                stored <= min(total, RECORD_LIMIT))


def spread(total: int, parts: int, part: int) -> int:
    """The share of `total` that falls to part `part` (1-based) of `parts`."""
    return total * part // parts - total * (part - 1) // parts


class SoakTest(unittest.TestCase):
    def setUp(self):
        if not os.access(h.CLI, os.X_OK):
            self.fail(f"{h.CLI} is not an executable; build the project first")
        self.mode = soak_mode()
        self.sizes = SIZES[self.mode]
        self._tmp = tempfile.TemporaryDirectory(prefix="glimmerfen-soak-")
        self.addCleanup(self._tmp.cleanup)
        self.root = Path(self._tmp.name)
        corpus = h.corpus_dir()
        ham = sorted((corpus / "ham").iterdir())
        spam = sorted((corpus / "spam").iterdir())
        if len(ham) < TRAIN_HAM + 100 or len(spam) < TRAIN_SPAM + 20:
            self.fail(f"corpus at {corpus} is too small")
        self.train = (ham[:TRAIN_HAM], spam[:TRAIN_SPAM])
        # Ham and spam mixed as a mailbox would have them.
        rest_ham, rest_spam = ham[TRAIN_HAM:], spam[TRAIN_SPAM:]
        step = max(1, len(rest_ham) // len(rest_spam))
        mixed = []
        for i, path in enumerate(rest_ham):
            mixed.append(path)
            if i % step == step - 1 and i // step < len(rest_spam):
                mixed.append(rest_spam[i // step])
        self.source = MessageSource(mixed)
        big_base = max(rest_spam, key=lambda p: p.stat().st_size)
        self.big_text = h.maildir_form(big_base.read_bytes())

        self.dovecot = h.Dovecot(self.root / "dovecot", [], tls=False)
        self.dovecot.start()
        self.addCleanup(self.dovecot.stop)
        self.mailbox = Mailbox(self.root / "dovecot" / "Maildir")

        self.proxy = h.Proxy(self.root / "store", self.dovecot.port)
        self.addCleanup(self._stop_proxy)
        self.proxy.cli("import", "goodA", *self.train[0])
        self.proxy.cli("import", "badA", *self.train[1])
        self.proxy.cli("build-table")
        self.proxy.cli("state", "--bayes", "on", "--spamhaus", "off", "--spamcop", "off")

        self.recorded = []       # Expected, in the order the proxy recorded them
        self.sessions = 0        # sessions through the proxy so far
        self.after_trim = []     # New Emails after each fetch session's trim
        self.right_after = []    # New Emails as soon as each fetch session's client ended
        self.spam_marked = 0
        self.cut_replies = []    # bytes each cut-off client read
        self.big_reply = 0

    def _stop_proxy(self):
        if self.proxy.child is not None:
            self.proxy.stop()

    # -- waiting for the proxy --

    def session_lines(self) -> list:
        return [line for line in self.proxy.log().splitlines()
                if line.startswith("glimmerfen: session ended")]

    def assert_alive(self):
        self.assertTrue(self.proxy.alive(),
                        f"the proxy died after {self.sessions} sessions:\n"
                        f"{self.proxy.log()[-3000:]}")

    def wait_session_end(self) -> str:
        """Waits for the proxy's log line of the last session; returns it."""
        try:
            h.wait_until(lambda: len(self.session_lines()) >= self.sessions,
                         SESSION_END_TIMEOUT, f"end of session {self.sessions}",
                         self.proxy.child.process, interval=0.02)
        except h.HarnessError as error:
            self.fail(f"{error}\n{self.proxy.log()[-3000:]}")
        lines = self.session_lines()
        self.assertEqual(len(lines), self.sessions, "more sessions than clients")
        return lines[-1]

    def expected_new_count(self) -> int:
        return min(len(self.recorded), FOLDER_LIMIT)

    def new_emails_now(self) -> int:
        """New Emails as a reader sees it now: never above 600 + 90."""
        count = self.proxy.count("newA")
        self.assertLessEqual(count, NEW_EMAILS_CEILING, f"after session {self.sessions}")
        return count

    def settle_new_emails(self) -> int:
        """Waits for the trim after the session: New Emails then holds exactly
        what the recording and trim rules leave."""
        want = self.expected_new_count()
        try:
            h.wait_until(lambda: self.new_emails_now() == want, 20,
                         f"New Emails at {want} after session {self.sessions}")
        except h.HarnessError as error:
            self.fail(f"{error}: it holds {self.proxy.count('newA')}")
        return want

    def wait_idle(self) -> ProcessFigures:
        """Figures once the last session is over and the proxy has let go of
        everything it took for it: the same thread count for a second."""
        self.wait_session_end()
        pid = self.proxy.child.process.pid
        steady_since, last = time.monotonic(), ProcessFigures.of(pid).threads
        deadline = time.monotonic() + 20
        while time.monotonic() - steady_since < IDLE_STEADY:
            self.assertLess(time.monotonic(), deadline, "the proxy never went idle")
            time.sleep(0.05)
            now = ProcessFigures.of(pid).threads
            if now != last:
                steady_since, last = time.monotonic(), now
        return ProcessFigures.of(pid)

    # -- the three kinds of session --

    def fetch_session(self, number: int):
        batch = self.source.take(MESSAGES_PER_SESSION)
        self.mailbox.refill(batch, self.dovecot.port)
        self.sessions += 1
        delivered, log = h.fetchmail(self.root / "fetch", self.proxy.local_port, timeout=600)
        self.assert_alive()
        self.assertEqual(len(delivered), len(batch),
                         f"fetch session {number}:\n{log[-2000:]}\n{self.proxy.log()[-2000:]}")
        # Recorded before fetchmail had them; the trim follows the session.
        self.right_after.append(self.new_emails_now())
        line = self.wait_session_end()
        self.assertIn(f"{len(batch)} retrieved, {RECORDED_PER_SESSION} recorded", line)
        spam = int(re.search(r"(\d+) marked as spam", line).group(1))
        self.spam_marked += spam
        seen = []
        for got in delivered:
            serial = serial_of(got)
            sent = self.source.by_serial[serial]
            self.assertEqual(unmarked(got), sent, f"message {serial} as fetchmail got it")
            seen.append(serial)
        self.assertEqual(sorted(seen), sorted(serial_of(m) for m in batch),
                         f"fetch session {number} got other messages")
        self.assertEqual(sum(FLAG in got for got in delivered), spam)
        # The proxy records the first 90 retrievals, in the order fetchmail made them.
        self.recorded.extend(Expected.of(self.source.by_serial[s])
                             for s in seen[:RECORDED_PER_SESSION])
        self.after_trim.append(self.settle_new_emails())

    def quit_session(self):
        self.sessions += 1
        with h.Pop3Wire(self.proxy.local_port) as wire:
            greeting = wire.line()
            self.assertTrue(greeting.startswith(b"+OK"), greeting)
            self.assertEqual(wire.command(b"QUIT")[:3], b"+OK")
            self.assertEqual(wire.read_to_close(SESSION_END_TIMEOUT), b"")
        self.assertIn("(QUIT): 0 retrieved, 0 recorded", self.wait_session_end())
        self.settle_new_emails()

    def cutoff_session(self, number: int, big: bytes):
        self.sessions += 1
        cut = CUT_POINTS[number % len(CUT_POINTS)]
        reset = number % 2 == 0
        with h.Pop3Wire(self.proxy.local_port) as wire:
            h.login(wire)
            wire.send(b"RETR 1\r\n")
            got = wire.buffer
            wire.buffer = b""
            while len(got) < cut:
                chunk = wire.sock.recv(min(65536, cut - len(got)))
                if not chunk:
                    break
                got += chunk
            if reset:
                # Close with a reset rather than an orderly end.
                wire.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                     struct.pack("ii", 1, 0))
        self.assertEqual(len(got), cut, "the proxy ended the reply early")
        self.cut_replies.append(len(got))
        self.big_reply = len(status_line(big)) + len(h.wire_body(big))
        line = self.wait_session_end()
        self.assertIn(": 1 retrieved, 1 recorded", line)
        self.assert_alive()
        # The whole collected part was recorded before the first byte went out.
        self.new_emails_now()
        self.recorded.append(Expected.of(big))
        self.settle_new_emails()

    # -- the soak --

    def test_soak(self):
        sizes = self.sizes
        started = time.monotonic()
        self.proxy.start()
        pid = self.proxy.child.process.pid
        at_start = ProcessFigures.of(pid)
        baseline = None
        quits = cutoffs = 0
        with NewEmailsWatch(self.proxy) as watch:
            for round_number in range(1, sizes.fetch_sessions + 1):
                self.fetch_session(round_number)
                if baseline is None:
                    baseline = self.wait_idle()
                    first_done = time.monotonic()
                big = self.source.add(lambda serial: big_message(self.big_text, serial))
                self.mailbox.refill([big], self.dovecot.port)
                kinds = (["cut"] * spread(sizes.cutoff_sessions, sizes.fetch_sessions,
                                          round_number) +
                         ["quit"] * spread(sizes.quit_sessions, sizes.fetch_sessions,
                                           round_number))
                random.Random(round_number).shuffle(kinds)
                for kind in kinds:
                    if kind == "cut":
                        cutoffs += 1
                        self.cutoff_session(cutoffs, big)
                    else:
                        quits += 1
                        self.quit_session()
            final = self.wait_idle()
        ran = time.monotonic() - started
        self.assertEqual((quits, cutoffs), (sizes.quit_sessions, sizes.cutoff_sessions))

        self.assert_alive()
        code = self.proxy.stop()
        new_records = self.proxy.records("newA")
        trash_count = self.proxy.count("trashA")
        self.report(at_start, baseline, final, watch, ran, first_done - started,
                    len(new_records), trash_count, code)

        self.assertEqual(code, 0, f"proxy exit code on SIGTERM:\n{self.proxy.log()[-3000:]}")
        unknown = [line for line in (self.proxy.log() + self.proxy.error_log()).splitlines()
                   if "catch all" in line.lower() or "unknown error" in line.lower()]
        self.assertEqual(unknown, [], "failures the proxy could not name")
        self.assertEqual(watch.failures, [], "count newA failed beside the proxy")
        self.assertLessEqual(watch.highest, NEW_EMAILS_CEILING)
        self.assertEqual(final.fds, baseline.fds,
                         f"open files: {baseline.fd_targets} -> {final.fd_targets}")
        self.assertEqual(final.threads, baseline.threads)
        self.assertLessEqual(abs(final.rss_kib - baseline.rss_kib),
                             RSS_TOLERANCE * baseline.rss_kib,
                             f"VmRSS {baseline.rss_kib} KiB -> {final.rss_kib} KiB")
        self.check_stored_texts(new_records, trash_count)

    def check_stored_texts(self, new_records, trash_count):
        """New Emails holds the newest recorded messages in recording order;
        the older ones went to the Trash Bin, itself cut back to 600."""
        want = self.recorded[-FOLDER_LIMIT:]
        self.assertEqual(len(new_records), len(want))
        for position, (record, expected) in enumerate(zip(new_records, want)):
            self.assertTrue(expected.matches(record),
                            f"New Emails record {position + 1} of {len(want)} is not the "
                            f"message recorded there: {record[:200]!r}")
        moved = len(self.recorded) - len(want)
        self.assertEqual(trash_count, min(moved, FOLDER_LIMIT))
        new_indexes = self.proxy.indexes("newA")
        self.assertEqual(new_indexes, sorted(new_indexes))
        if trash_count:
            self.assertLess(max(self.proxy.indexes("trashA")), min(new_indexes))

    def report(self, at_start, baseline, final, watch, ran, first_session, new_count,
               trash_count, code):
        rss_change = (final.rss_kib - baseline.rss_kib) * 100.0 / max(1, baseline.rss_kib)
        errors = [line for line in self.proxy.log().splitlines()
                  if line.startswith("glimmerfen: ") and "session ended" not in line
                  and "listening on" not in line and line != "glimmerfen: stopping"]
        kinds = {}
        for line in errors:
            key = re.sub(r"\d+", "N", line)[:90]
            kinds[key] = kinds.get(key, 0) + 1
        lines = [
            f"soak ({self.mode}): {self.sizes.fetch_sessions} fetchmail sessions of "
            f"{MESSAGES_PER_SESSION} messages, {self.sizes.quit_sessions} connect-and-quit, "
            f"{self.sizes.cutoff_sessions} cut off mid-RETR; {self.sessions} sessions",
            f"  time: {ran:.1f} s in all, first session {first_session:.1f} s",
            f"  proxy at start:              {at_start.text()}",
            f"  after the first session:     {baseline.text()}",
            f"  after the run:               {final.text()}  (VmRSS {rss_change:+.1f} %)",
            f"  messages fetched: {self.sizes.fetch_sessions * MESSAGES_PER_SESSION}, "
            f"marked as spam: {self.spam_marked}; recorded: {len(self.recorded)}",
            f"  New Emails as each fetch session ended: {self.right_after}",
            f"  New Emails after each fetch session's trim: {self.after_trim}",
            f"  New Emails highest seen by a reader: {watch.highest} "
            f"({watch.samples} samples); at the end {new_count}, Trash Bin {trash_count}",
            f"  cut-off clients read {min(self.cut_replies)} to {max(self.cut_replies)} "
            f"bytes of a {self.big_reply}-byte reply",
            f"  proxy exit code on SIGTERM: {code}",
            "  proxy log lines other than sessions: "
            + (", ".join(f"{n} x {k!r}" for k, n in sorted(kinds.items())) or "none"),
        ]
        print("\n".join(lines), flush=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
