#!/usr/bin/env python3
"""End-to-end tests of the proxy's TLS link to the POP3 server: dovecot with a
TLS listener and STLS, its certificate signed by a CA the test makes, and
glimmerfen-cli's proxy between it and real clients (fetchmail, poplib).

The mail client's own link stays plain on 127.0.0.1; what these tests look at
is that mail comes through unchanged in both secured modes, that every failure
to secure the server link reaches the client as one "-ERR" line in place of the
greeting while the proxy serves on, that no credentials leave before TLS, that
a silent handshake is bounded by the connect time-out and by a stop, and that
only the user's own programs are served.

Environment: GLIMMERFEN_CLI, GLIMMERFEN_CORPUS as for the other e2e tests.
"""

import os
import poplib
import pwd
import select
import socket
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pop3_harness as h  # noqa: E402
from fake_pop3_server import DEFAULT_CAPA, FakePop3Server  # noqa: E402

REFUSAL = b"-ERR [SYS/PERM] "
# The proxy's connect time-out, which also bounds a TLS handshake.
CONNECT_TIMEOUT = 10.0
CORPUS_COUNT = 24

MESSAGES = []


def setUpModule():
    if not os.access(h.CLI, os.X_OK):
        raise RuntimeError(f"{h.CLI} is not an executable; build the project first")
    corpus = h.corpus_dir()
    ham = sorted((corpus / "ham").iterdir())[:CORPUS_COUNT * 2 // 3]
    spam = sorted((corpus / "spam").iterdir())[:CORPUS_COUNT // 3]
    MESSAGES.extend(h.maildir_form(p.read_bytes()) for p in ham + spam)
    # Far past the part the proxy collects, in many TLS records.
    MESSAGES.append(b"From: Big <big@example.test>\nSubject: large\n\n" +
                    b"".join(b"line %06d of a long message ...................\n" % i
                             for i in range(6000)))


class TlsCase(unittest.TestCase):
    """A dovecot with STLS on one port and TLS on another, listening on
    127.0.0.1 and 127.0.0.2, its certificate naming localhost and 127.0.0.1;
    a second CA the proxy can be told to trust instead."""

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory(prefix="glimmerfen-tls-")
        cls.root = Path(cls.temp.name)
        cls.certs = h.TestCertificates(cls.root / "certs")
        cls.other = h.TestCertificates(cls.root / "other-certs")
        cls.empty_dir = cls.root / "no-certificates"
        cls.empty_dir.mkdir()
        plain_port, tls_port = h.free_ports(2, 20000, 30000)
        cls.dovecot = h.Dovecot(cls.root / "dovecot", MESSAGES, port=plain_port,
                                certificates=cls.certs, tls_port=tls_port,
                                addresses=("127.0.0.1", "127.0.0.2"))
        cls.dovecot.start()
        cls.direct = cls.poplib_fetch(plain_port)

    @classmethod
    def tearDownClass(cls):
        cls.dovecot.stop()
        cls.temp.cleanup()

    @staticmethod
    def poplib_fetch(port):
        """The greeting and every message as poplib gets them."""
        client = poplib.POP3("127.0.0.1", port, timeout=60)
        try:
            client.user(h.MAIL_USER)
            client.pass_(h.MAIL_PASSWORD)
            count = client.stat()[0]
            messages = [client.retr(n)[1] for n in range(1, count + 1)]
            greeting = client.getwelcome()
            client.quit()
        finally:
            client.close()
        return greeting, messages

    def make_proxy(self, name, mode, port, ca=None, **server):
        """A proxy store set to `mode` against `port`, trusting `ca` alone."""
        proxy = h.Proxy(self.root / name, port, **server)
        proxy.env = dict(os.environ, SSL_CERT_FILE=str(ca or self.certs.ca),
                         SSL_CERT_DIR=str(self.empty_dir))
        proxy.cli("state", "--bayes", "off", "--spamhaus", "off", "--spamcop", "off")
        proxy.cli("settings", "--security", mode, "--pop3-port", port)
        self.addCleanup(proxy.stop)
        return proxy

    def refusal(self, proxy, expected: bytes) -> bytes:
        """One session that gets the one -ERR line and is closed."""
        with h.Pop3Wire(proxy.local_port) as wire:
            data = wire.read_to_close(CONNECT_TIMEOUT + 10)
        self.assertTrue(data.startswith(REFUSAL + expected), data)
        self.assertTrue(data.endswith(b"\r\n") and data.count(b"\r\n") == 1, data)
        self.assertTrue(proxy.alive(), proxy.log()[-2000:])
        return data

    def assert_session_works(self, proxy):
        greeting, messages = self.poplib_fetch(proxy.local_port)
        self.assertEqual((greeting, messages), self.direct)

    @staticmethod
    def write_settings(proxy, mode, fingerprint):
        """As the window saves it: the running proxy reads it per session, and
        holds the lock that keeps glimmerfen-cli settings out meanwhile."""
        (proxy.dir / "glimmerfen.conf").write_text(
            f"[account main]\nsecurity = {mode}\ncertificate = {fingerprint}\n")


class RelayOverTlsTest(TlsCase):
    def test_clients_get_every_message_unchanged_in_both_modes(self):
        direct, _ = h.fetchmail(self.root / "direct", self.dovecot.port)
        self.assertEqual(len(direct), len(MESSAGES))
        # One mode by host name, the other by IP address: both certificate checks.
        for mode, port, server in (("tls", self.dovecot.tls_port, {"server_name": "localhost"}),
                                   ("starttls", self.dovecot.port, {})):
            with self.subTest(mode=mode):
                proxy = self.make_proxy(f"relay-{mode}", mode, port, **server)
                probe = proxy.run_cli("test-server")
                report = probe.stdout.decode()
                self.assertEqual(probe.returncode, 0, probe.stderr)
                self.assertIn("verified yes\n", report)
                self.assertIn(f"fingerprint {self.certs.fingerprint()}\n", report)
                self.assertIn("greeting +OK", report)
                proxy.start()
                fetched, log = h.fetchmail(self.root / f"via-{mode}", proxy.local_port)
                self.assertEqual(fetched, direct, log[-2000:])
                # The greeting is the server's own, in starttls mode too.
                self.assertEqual(self.poplib_fetch(proxy.local_port), self.direct)
                self.assertEqual(proxy.count("newA"), 2 * len(MESSAGES))
                self.assertEqual(proxy.error_log(), "")
                self.assertEqual(proxy.stop(), 0)


class RefusedCertificateTest(TlsCase):
    def test_each_refusal_reaches_the_client_and_a_pin_then_serves(self):
        fingerprint = self.certs.fingerprint().encode()
        cases = [
            # No trust store knows the test CA: the pin alone must do.
            ("untrusted", {"server_name": "localhost"}, self.other.ca, None, b"localhost"),
            ("wrong-name", {"server_ip": "127.0.0.2"}, None, None, b"127.0.0.2"),
            ("pin-mismatch", {"server_name": "localhost"}, None, self.other.fingerprint(),
             b"localhost"),
        ]
        for name, server, ca, pin, host in cases:
            with self.subTest(name):
                proxy = self.make_proxy(name, "tls", self.dovecot.tls_port, ca=ca, **server)
                if pin:
                    proxy.cli("settings", "--trust-certificate", pin)
                probe = proxy.run_cli("test-server")
                self.assertEqual(probe.returncode, 1, probe.stdout)
                self.assertIn(b"verified no: ", probe.stdout)
                proxy.start()
                line = self.refusal(proxy, b"Glimmerfen could not verify the certificate of " +
                                    host + b": ")
                self.assertIn(b"(SHA-256 " + fingerprint + b")\r\n", line)
                self.assertIn(line[len(REFUSAL):-2].decode(), proxy.error_log())
                self.write_settings(proxy, "tls", fingerprint.decode().replace(":", ""))
                self.assert_session_works(proxy)
                self.assertEqual(proxy.stop(), 0)

    def test_bad_values_exit_2_with_one_line(self):
        proxy = h.Proxy(self.root / "bad-values", self.dovecot.port)
        for args in (["settings", "--security", "ssl"],
                     ["settings", "--trust-certificate", "AB:CD"],
                     ["test-server", "now"]):
            done = proxy.run_cli(*args)
            self.assertEqual(done.returncode, 2, args)
            self.assertEqual(done.stderr.count(b"\n"), 1, done.stderr)
        # TLS takes port 995 for 110, and back.
        proxy.cli("settings", "--pop3-port", 110)
        self.assertIn(b"pop3-port 995\n", proxy.cli("settings", "--security", "tls"))
        self.assertIn(b"pop3-port 110\n", proxy.cli("settings", "--security", "plain"))


class StartTlsRefusedTest(TlsCase):
    def test_no_credentials_leave_when_stls_is_missing_or_refused(self):
        without_stls = [c for c in DEFAULT_CAPA if c != b"STLS"]
        cases = [("not-offered", without_stls, b"+OK", [b"CAPA"],
                  b"the server does not offer STLS\r\n"),
                 ("refused", None, b"-ERR not now", [b"CAPA", b"STLS"],
                  b"the server refused STLS: \"-ERR not now\"\r\n")]
        for name, capa, stls_reply, commands, reason in cases:
            with self.subTest(name), FakePop3Server(MESSAGES[:1], capa=capa,
                                                    stls_reply=stls_reply) as fake:
                proxy = self.make_proxy(name, "starttls", fake.port).start()
                with h.Pop3Wire(proxy.local_port) as wire:
                    # Sent at once, as an impatient client might: none of it
                    # may reach the server.
                    wire.send(b"USER tester\r\nPASS secret-pass\r\nAUTH PLAIN\r\n")
                    data = wire.read_to_close(CONNECT_TIMEOUT + 10)
                self.assertEqual(data, REFUSAL + b"Glimmerfen could not secure the connection "
                                 b"to 127.0.0.1: " + reason)
                self.assertTrue(fake.wait_sessions(1))
                self.assertEqual(fake.commands, [commands])
                self.assertTrue(proxy.alive())


    def test_a_damaged_settings_file_is_no_reason_to_send_in_plain_text(self):
        # The defaults would be plain text: with the file asking for STLS
        # unreadable, the proxy must not guess.
        with FakePop3Server(MESSAGES[:1]) as fake:
            proxy = self.make_proxy("damaged", "starttls", fake.port).start()
            settings = self.root / "damaged" / "glimmerfen.conf"
            damaged = settings.read_bytes() + b"security = tls\n"  # a key given twice
            settings.write_bytes(damaged)
            self.refusal(proxy, b"Glimmerfen could not read its settings file")
            self.assertEqual(fake.commands, [])
            self.assertEqual(settings.read_bytes(), damaged)  # left for the person to repair


class SilentServer:
    """Takes connections on a loopback port and either closes each once the
    client has spoken or keeps it open without a word, until stopped."""

    def __init__(self, close: bool):
        self.close = close
        self.accepted = threading.Event()
        self._stop = threading.Event()
        self._held = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            self.accepted.set()
            if self.close:
                # After the client's hello, or the close could come as a reset.
                conn.settimeout(5)
                try:
                    conn.recv(65536)
                except OSError:
                    pass
                conn.close()
            else:
                self._held.append(conn)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=5)
        for conn in self._held:
            conn.close()
        self._listener.close()


class HandshakeFaultTest(TlsCase):
    def test_a_close_in_the_handshake_is_told_at_once(self):
        with SilentServer(close=True) as server:
            proxy = self.make_proxy("handshake-close", "tls", server.port).start()
            self.refusal(proxy, b"Glimmerfen could not secure the connection to 127.0.0.1: the "
                         b"server closed the connection during the TLS handshake")

    def test_a_stalled_handshake_ends_at_the_time_out_and_a_stop_cuts_it_short(self):
        with SilentServer(close=False) as server:
            proxy = self.make_proxy("handshake-stall", "tls", server.port).start()
            started = time.monotonic()
            self.refusal(proxy, b"Glimmerfen could not secure the connection to 127.0.0.1: the "
                         b"TLS handshake did not finish within 10 seconds")
            took = time.monotonic() - started
            self.assertGreater(took, CONNECT_TIMEOUT - 1)
            self.assertLess(took, CONNECT_TIMEOUT + 5)

            server.accepted.clear()
            with h.Pop3Wire(proxy.local_port) as wire:
                self.assertTrue(server.accepted.wait(10))
                time.sleep(0.5)
                started = time.monotonic()
                self.assertEqual(proxy.stop(), 0)
                self.assertLess(time.monotonic() - started, CONNECT_TIMEOUT / 2)
                self.assertFalse(wire.read_to_close(5).startswith(b"+OK"))


def connect_as(uid, gid, port):
    """What a program of user `uid` gets from the proxy, connecting over an
    IPv6 socket (so the IPv6 socket table names it)."""
    reader, writer = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            os.close(reader)
            os.setgroups([])
            os.setgid(gid)
            os.setuid(uid)
            sock = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            sock.settimeout(20)
            sock.connect(("::ffff:127.0.0.1", port))
            data = b""
            while True:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
            os.write(writer, data)
        finally:
            os._exit(0)
    os.close(writer)
    data = b""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        ready, _, _ = select.select([reader], [], [], 1)
        if ready:
            chunk = os.read(reader, 4096)
            if not chunk:
                break
            data += chunk
    os.close(reader)
    os.waitpid(child, 0)
    return data


class OwnUserOnlyTest(TlsCase):
    @unittest.skipUnless(os.geteuid() == 0, "needs root to run a client as another user")
    def test_another_users_program_is_refused(self):
        nobody = pwd.getpwnam("nobody")
        proxy = self.make_proxy("owner", "plain", self.dovecot.port).start()
        got = connect_as(nobody.pw_uid, nobody.pw_gid, proxy.local_port)
        self.assertEqual(got, REFUSAL + b"Glimmerfen serves only its own user's programs\r\n")
        self.assertIn(f"Refused a program of user ID {nobody.pw_uid}", proxy.error_log())
        self.assertIn("session ended (refused)", proxy.log())
        self.assert_session_works(proxy)

    def test_a_held_port_is_said_to_be_another_programs(self):
        proxy = h.Proxy(self.root / "held-port", self.dovecot.port)
        with socket.create_server(("127.0.0.1", proxy.local_port)):
            done = proxy.run_cli("proxy", timeout=30)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(f"Another program, maybe another user's, holds 127.0.0.1:"
                      f"{proxy.local_port}.".encode(), done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
