#!/usr/bin/env python3
"""End-to-end tests of one `glimmerfen-cli proxy` serving several POP3
accounts, each on a local port of its own: "main" (the store's POP3 settings)
and accounts added with `glimmerfen-cli accounts add`.

Two dovecot servers hold different corpus mailboxes; a fake server stalls in
the middle of a message. What is looked at: a session of one account is not
held up by a stalled session of another, and both record in New Emails; a port
conflict on one account leaves the others serving and is logged under the
account's name; and the classification header, when switched on, is the first
header line of every retrieved message and nowhere in the stored copies.

Environment: GLIMMERFEN_CLI, GLIMMERFEN_CORPUS as for the other e2e tests.
"""

import os
import re
import select
import socket
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pop3_harness as h  # noqa: E402
from fake_pop3_server import FakePop3Server  # noqa: E402
from test_proxy import (BLACK_BY_SUBJECT, DEFAULT_FLAG, DOTS, MEDIUM, NO_SUBJECT,  # noqa: E402
                        SMALL, ProxyCase, add_black_list, crafted, marked)

HEADER_PATTERN = re.compile(
    rb"^X-Glimmerfen: (spam|ham); source=(white|black|dnsbl|bayes|none)(; rating=[0-9.]+)?$")
HEADER_NAME = b"X-Glimmerfen:"
CONFLICT = "There is a Server Port conflict."
# New Emails is cut to this many after each session; its file has room for 700.
NEW_EMAILS_LIMIT = 600
RECORDED_PER_SESSION = 90

# From a white-listed sender, with a black-listed phrase in its Subject.
WHITE = crafted(b"From: Friend <friend@trusted.test>", b"To: tester@example.test",
                b"Subject: about those glimmer pills", body=b"Only joking.\n")

MAILBOX_A = []
MAILBOX_B = []
TRAINING = ([], [])
# Mail a person already has in New Emails.
EARLIER = []


def setUpModule():
    if not os.access(h.CLI, os.X_OK):
        raise RuntimeError(f"{h.CLI} is not an executable; build the project first")
    corpus = h.corpus_dir()
    ham = sorted((corpus / "ham").iterdir())
    spam = sorted((corpus / "spam").iterdir())
    if len(ham) < 400 + NEW_EMAILS_LIMIT or len(spam) < 200:
        raise RuntimeError(f"corpus at {corpus} is too small")
    mail = [h.maildir_form(p.read_bytes()) for p in ham[:40] + spam[:16]]
    MAILBOX_A.extend(mail[:24] + mail[40:48] + [WHITE, BLACK_BY_SUBJECT, NO_SUBJECT, DOTS])
    MAILBOX_B.extend(mail[24:40] + mail[48:56] + [BLACK_BY_SUBJECT])
    TRAINING[0].extend(ham[100:400])
    TRAINING[1].extend(spam[50:200])
    EARLIER.extend(ham[400:400 + NEW_EMAILS_LIMIT])


def hold(holder, port):
    """Listens on `port` as another program would. The proxy's own earlier
    sessions may have left connections in TIME_WAIT there, which a listener
    with SO_REUSEADDR may bind over."""
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", port))
    holder.listen(1)


def still_open(wire) -> bool:
    """Whether the proxy keeps the client's connection open (bytes may have
    come; an end of stream has not)."""
    readable, _, _ = select.select([wire.sock], [], [], 0.5)
    if not readable:
        return True
    try:
        return wire.sock.recv(65536, socket.MSG_PEEK) != b""
    except ConnectionResetError:
        return False


class AccountsCase(ProxyCase):
    """Two dovecots with different mailboxes, shared by the tests (fetchmail
    leaves the mail on the server)."""

    @classmethod
    def setUpClass(cls):
        cls._servers = tempfile.TemporaryDirectory(prefix="glimmerfen-accounts-e2e-")
        root = Path(cls._servers.name)
        cls.dovecot_a = h.Dovecot(root / "dovecot-a", MAILBOX_A, tls=False)
        cls.dovecot_b = h.Dovecot(root / "dovecot-b", MAILBOX_B, tls=False)
        try:
            cls.dovecot_a.start()
            cls.dovecot_b.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.dovecot_a.stop()
        cls.dovecot_b.stop()
        cls._servers.cleanup()

    def two_accounts(self, work_pop3_port):
        """A store whose "main" reads dovecot A and whose account "work" reads
        `work_pop3_port`; nothing rates mail and no block list is asked."""
        proxy = self.make_proxy(self.dovecot_a.port, black=False)
        proxy.cli("state", "--bayes", "off", "--spamhaus", "off", "--spamcop", "off")
        proxy.add_account("work", work_pop3_port)
        return proxy

    def fetch_all(self, port, mailbox, what):
        """fetchmail through `port` gets every message of `mailbox` unchanged."""
        # fetchmail's MDA command line takes the directory unquoted.
        got, log = h.fetchmail(self.root / re.sub(r"\W+", "-", what), port, timeout=120)
        self.assertEqual(len(got), len(mailbox), f"{what}: {log[-2000:]}")
        for number, (message, sent) in enumerate(zip(got, mailbox), start=1):
            self.assertEqual(message, sent, f"{what}: message {number} changed")


class ConcurrentAccountsTest(AccountsCase):
    def test_a_stalled_account_holds_up_no_other(self):
        """New Emails starts full, and the stalled session has recorded its
        most before the other begins: the two sessions' records go beyond the
        folder's room unless it is cut while they run."""
        stalled_mail = [SMALL, MEDIUM, DOTS]
        fake = self.start_fake(stalled_mail, retr_faults={2: ("hang", 600)})
        proxy = self.two_accounts(fake.port)
        proxy.cli("import", "newA", *EARLIER)
        proxy.start()
        work_port = proxy.accounts["work"]
        self.assertIn(f"glimmerfen: account work: listening on 127.0.0.1:{work_port}, "
                      f"POP3 server 127.0.0.1:{fake.port}", proxy.log())

        with h.Pop3Wire(work_port, timeout=30) as stalled:
            h.login(stalled)
            for attempt in range(1, RECORDED_PER_SESSION + 1):
                self.assertEqual(stalled.command(b"RETR 1", multi=True), fake.retr_reply(1),
                                 f"RETR 1, number {attempt}")
            stalled.send(b"RETR 2\r\n")
            self.assertTrue(fake.hanging.wait(20), "the server never got RETR 2")

            self.fetch_all(proxy.local_port, MAILBOX_A, "main")
            self.assertTrue(still_open(stalled), "the stalled session ended early")
            self.assertTrue(fake.hanging.is_set())
            self.assertNotIn("account work: session ended", proxy.log())

            fake.release()
            cut_off = self.session_closes(stalled)
            self.assertFalse(cut_off.endswith(b"\r\n.\r\n"), "a cut message arrived whole")
        proxy.wait_log("glimmerfen: account work: session ended")
        self.assertRegex(proxy.log(), r"glimmerfen: account work: session ended \([^)]*\): "
                                      rf"\d+ retrieved, {RECORDED_PER_SESSION} recorded")
        self.assertRegex(proxy.log(), r"(?m)^glimmerfen: session ended \(QUIT\): "
                                      rf"{len(MAILBOX_A)} retrieved, {len(MAILBOX_A)} recorded")

        self.stop_proxy(proxy)
        self.assertEqual(proxy.error_log(), "")
        # The newest records: the stalled session's, then main's; the oldest of
        # the earlier mail made room.
        indexes = sorted(proxy.indexes("newA"))
        self.assertEqual(len(indexes), NEW_EMAILS_LIMIT)
        newest = [proxy.show(i) for i in indexes[-(RECORDED_PER_SESSION + len(MAILBOX_A)):]]
        first = fake.retr_reply(1)
        self.assertEqual(set(newest[:RECORDED_PER_SESSION]), {first[h.status_line_end(first):]},
                         "the stalled session's finished retrievals")
        direct = self.direct_retrs(self.dovecot_a.port, len(MAILBOX_A))
        for number, (record, (status, body)) in enumerate(
                zip(newest[RECORDED_PER_SESSION:], direct), start=1):
            self.assert_record(record, status, body, f"record of main's message {number}")


class PortConflictTest(AccountsCase):
    def held_port_run(self, proxy, held, serving):
        """Starts the proxy while another socket listens on `held`; the
        account on `serving` must come up all the same."""
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            hold(holder, held)
            proxy.start(wait_ports=[serving])
            proxy.wait_log(CONFLICT)

    def test_a_conflict_on_one_account_leaves_the_other_serving(self):
        proxy = self.two_accounts(self.dovecot_b.port)
        main_port, work_port = proxy.local_port, proxy.accounts["work"]

        self.held_port_run(proxy, held=work_port, serving=main_port)
        self.fetch_all(main_port, MAILBOX_A, "main while work's port is held")
        line = [l for l in proxy.log().splitlines() if CONFLICT in l]
        self.assertEqual(len(line), 1, proxy.log())
        self.assertTrue(line[0].startswith(f"glimmerfen: account work: {CONFLICT}"), line[0])
        self.assertIn(str(work_port), line[0])
        self.stop_proxy(proxy)

        (proxy.dir / "proxy.log").unlink()
        self.held_port_run(proxy, held=main_port, serving=work_port)
        self.fetch_all(work_port, MAILBOX_B, "work while main's port is held")
        line = [l for l in proxy.log().splitlines() if CONFLICT in l]
        self.assertEqual(len(line), 1, proxy.log())
        self.assertNotIn("account work:", line[0])
        self.assertIn(PortConflictTest.main_conflict(main_port), line[0])
        self.stop_proxy(proxy)

        # With no port to listen on, the command ends and says why.
        with socket.socket() as first, socket.socket() as second:
            for holder, port in ((first, main_port), (second, work_port)):
                hold(holder, port)
            done = proxy.run_cli("proxy", timeout=30)
        output = (done.stdout + done.stderr).decode("latin-1")
        self.assertEqual(done.returncode, 1, output)
        self.assertIn(f"account work: {CONFLICT}", output)
        self.assertIn(PortConflictTest.main_conflict(main_port), output)

    @staticmethod
    def main_conflict(port) -> str:
        return f"{CONFLICT}  The current port number {port} must be changed."


class DamagedSettingsTest(AccountsCase):
    def test_a_damaged_file_at_start_is_left_alone_and_refuses_sessions(self):
        """The file may be hiding a request for TLS: the proxy must neither
        set it aside (its sessions would then go out in plain text) nor serve
        on a guess."""
        proxy = self.two_accounts(self.dovecot_b.port)
        settings = proxy.dir / "glimmerfen.conf"
        damaged = settings.read_text() + "\n[account main]\nsecurity = tls\n"
        settings.write_text(damaged)
        proxy.start(wait_ports=[proxy.local_port])
        with h.Pop3Wire(proxy.local_port) as wire:
            self.assertTrue(wire.line().startswith(b"-ERR [SYS/PERM] "), proxy.log())
        self.assertEqual(settings.read_text(), damaged)
        self.assertEqual(sorted(p.name for p in proxy.dir.glob("glimmerfen.conf*")),
                         ["glimmerfen.conf"])
        self.stop_proxy(proxy)


class ClassificationHeaderTest(AccountsCase):
    def header_of(self, rest):
        """The classification header line split off a proxied message."""
        line, _, after = rest.partition(b"\r\n")
        self.assertRegex(line, HEADER_PATTERN)
        self.assertNotIn(HEADER_NAME, after)
        return line, after

    def check_account(self, proxy, port, dovecot, mailbox, expect):
        """Every message through `port` against the server's own reply:
        `expect(sent message, verdict, source, rating)` judges the header."""
        direct = self.direct_retrs(dovecot.port, len(mailbox))
        verdicts = []
        for number, ((status, body), (got_status, rest), sent) in enumerate(
                zip(direct, self.direct_retrs(port, len(mailbox)), mailbox), start=1):
            self.assertEqual(got_status, status, f"status line of RETR {number}")
            line, after = self.header_of(rest)
            verdict, source, rating = HEADER_PATTERN.match(line).groups()
            want = marked(body, len(status), DEFAULT_FLAG) if verdict == b"spam" else body
            self.assertEqual(after, want, f"RETR {number} ({line!r}) besides its header")
            expect(sent, verdict, source, rating)
            verdicts.append((verdict, source))
        return verdicts

    def test_header_when_on_and_never_stored(self):
        proxy = self.two_accounts(self.dovecot_b.port)
        work_port = proxy.accounts["work"]
        self.assertEqual(proxy.cli_text("header").strip(), "off")
        add_black_list(proxy)
        proxy.cli("list-add", "white", "From", "Insensitive", "friend@trusted.test")
        proxy.cli("import", "goodA", *TRAINING[0])
        proxy.cli("import", "badA", *TRAINING[1])
        proxy.cli("build-table")
        proxy.cli("state", "--bayes", "on")
        proxy.cli("header", "on")
        self.assertEqual(proxy.cli_text("header").strip(), "on")

        def rated(sent, verdict, source, rating):
            if sent == WHITE:
                self.assertEqual((verdict, source, rating), (b"ham", b"white", None))
            elif sent in (BLACK_BY_SUBJECT, NO_SUBJECT):
                self.assertEqual((verdict, source, rating), (b"spam", b"black", None))
            else:
                self.assertEqual(source, b"bayes")
                self.assertRegex(rating or b"", rb"^; rating=[01]\.[0-9]{6}$")

        proxy.start()
        verdicts = (self.check_account(proxy, proxy.local_port, self.dovecot_a, MAILBOX_A, rated) +
                    self.check_account(proxy, work_port, self.dovecot_b, MAILBOX_B, rated))
        self.assertIn((b"spam", b"bayes"), verdicts)
        self.assertIn((b"ham", b"bayes"), verdicts)
        self.stop_proxy(proxy)

        def unrated(sent, verdict, source, rating):
            if sent in (BLACK_BY_SUBJECT, NO_SUBJECT):
                self.assertEqual((verdict, source, rating), (b"spam", b"black", None))
            elif sent == WHITE:
                self.assertEqual((verdict, source), (b"ham", b"white"))
            else:
                self.assertEqual((verdict, source, rating), (b"ham", b"none", None))

        proxy.cli("state", "--bayes", "off")
        proxy.start()
        self.check_account(proxy, work_port, self.dovecot_b, MAILBOX_B, unrated)
        self.stop_proxy(proxy)

        proxy.cli("header", "off")
        proxy.start()
        direct = self.direct_retrs(self.dovecot_a.port, len(MAILBOX_A))
        proxied = self.direct_retrs(proxy.local_port, len(MAILBOX_A))
        for number, ((status, body), (got_status, rest), sent) in enumerate(
                zip(direct, proxied, MAILBOX_A), start=1):
            self.assertEqual(got_status, status)
            self.assertNotIn(HEADER_NAME, rest, f"RETR {number} with the header off")
            spam = sent in (BLACK_BY_SUBJECT, NO_SUBJECT)
            self.assertEqual(rest, marked(body, len(status), DEFAULT_FLAG) if spam else body,
                             f"RETR {number} with the header off")
        self.stop_proxy(proxy)

        # Stored as each server sent it, in the order of the three sessions.
        direct_b = self.direct_retrs(self.dovecot_b.port, len(MAILBOX_B))
        want = direct + direct_b + direct_b + direct
        records = proxy.records()
        self.assertEqual(len(records), len(want))
        for number, (record, (status, body)) in enumerate(zip(records, want), start=1):
            self.assertNotIn(HEADER_NAME, record, f"stored message {number}")
            self.assert_record(record, status, body, f"stored message {number}")


def load_tests(loader, standard_tests, pattern):
    suite = unittest.TestSuite()
    for case in (ConcurrentAccountsTest, PortConflictTest, ClassificationHeaderTest):
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite


if __name__ == "__main__":
    unittest.main(verbosity=2)
