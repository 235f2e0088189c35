#!/usr/bin/env python3
"""End-to-end tests of glimmerfen-cli accounts and header: the real program on a
store in a temporary data directory, named with -C.

Environment: GLIMMERFEN_CLI (the program, default: this checkout's out/ tree).
"""

import os
import subprocess
import tempfile
import unittest
from pathlib import Path

REPO = Path(os.environ.get("GLIMMERFEN_REPO", Path(__file__).resolve().parents[2]))
CLI = Path(os.environ.get("GLIMMERFEN_CLI", REPO / "out" / "bin" / "glimmerfen-cli"))

SETTINGS_FILE = "glimmerfen.conf"
MOST_ACCOUNTS = 16
FINGERPRINT = ":".join(["AB"] * 32)


def setUpModule():
    if not os.access(CLI, os.X_OK):
        raise RuntimeError(f"{CLI} is not an executable; build the project first")


class AccountsCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="glimmerfen-accounts-")
        self.addCleanup(self._tmp.cleanup)
        root = Path(self._tmp.name)
        self.data = root / "data"
        self.data.mkdir(mode=0o700)
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_DATA_HOME"}
        self.env["HOME"] = str(root / "home")

    def run_cli(self, *args):
        return subprocess.run([str(CLI), "-C", str(self.data), *args], env=self.env,
                              capture_output=True, text=True, timeout=60, check=False)

    def cli(self, *args) -> str:
        result = self.run_cli(*args)
        self.assertEqual(result.returncode, 0,
                         f"{args}: exit {result.returncode}, stderr {result.stderr!r}")
        self.assertEqual(result.stderr, "", args)
        return result.stdout

    def lines(self, *args):
        return [line.split("\t") for line in self.cli(*args).splitlines()]

    def settings_text(self) -> str:
        path = self.data / SETTINGS_FILE
        return path.read_text() if path.exists() else ""

    def assert_refused(self, args, code, contains):
        """Exit `code`, one line on stderr naming the reason, nothing written."""
        before = self.settings_text()
        result = self.run_cli(*args)
        self.assertEqual(result.returncode, code, f"{args}: stderr {result.stderr!r}")
        self.assertEqual(result.stdout, "", args)
        self.assertTrue(result.stderr.startswith("glimmerfen-cli: "), f"{args}: {result.stderr!r}")
        self.assertEqual(result.stderr.count("\n"), 1, f"{args}: {result.stderr!r}")
        self.assertIn(contains, result.stderr, args)
        self.assertEqual(self.settings_text(), before, args)


class AccountsTest(AccountsCase):
    def test_add_list_set_remove_and_header(self):
        self.cli("init")
        self.cli("settings", "--server", "pop.main.example", "--pop3-port", "110",
                 "--local-port", "1070")
        self.assertEqual(self.lines("accounts"),
                         [["main", "pop.main.example:110", "plain", "1070"]])

        # Port 995 without --security means TLS; another port means plain.
        self.assertEqual(
            self.lines("accounts", "add", "work", "--server", "pop.work.example",
                       "--pop3-port", "995", "--local-port", "1071"),
            [["work", "pop.work.example:995", "tls", "1071"]])
        self.assertEqual(
            self.lines("accounts", "add", "home mail", "--server-ip", "192.0.2.7",
                       "--pop3-port", "110", "--local-port", "1072",
                       "--security", "starttls", "--trust-certificate", FINGERPRINT.lower()),
            [["home mail", "192.0.2.7:110", "starttls", "1072"]])
        self.assertEqual(self.lines("accounts"), [
            ["main", "pop.main.example:110", "plain", "1070"],
            ["work", "pop.work.example:995", "tls", "1071"],
            ["home mail", "192.0.2.7:110", "starttls", "1072"],
        ])
        self.assertIn(f"certificate = {FINGERPRINT}", self.settings_text())

        # A new mode moves the usual port with it; what is not given stays.
        self.assertEqual(self.lines("accounts", "set", "work", "--security", "plain"),
                         [["work", "pop.work.example:110", "plain", "1071"]])
        self.assertEqual(
            self.lines("accounts", "set", "home mail", "--server", "pop.home.example"),
            [["home mail", "pop.home.example:110", "starttls", "1072"]])
        self.assertIn(f"certificate = {FINGERPRINT}", self.settings_text())

        # main is the store's own server: settings shows the change.
        self.assertEqual(
            self.lines("accounts", "set", "main", "--local-port", "1080", "--security", "tls"),
            [["main", "pop.main.example:995", "tls", "1080"]])
        settings = self.cli("settings").splitlines()
        for line in ("server pop.main.example", "pop3-port 995", "local-port 1080",
                     "security tls"):
            self.assertIn(line, settings)
        # Its old local port is free for another account now.
        self.assertEqual(
            self.lines("accounts", "set", "work", "--local-port", "1070"),
            [["work", "pop.work.example:110", "plain", "1070"]])

        self.assertEqual(self.cli("accounts", "remove", "home mail"),
                         "home mail\tpop.home.example:110\tstarttls\t1072\n")
        self.assertEqual(self.lines("accounts"), [
            ["main", "pop.main.example:995", "tls", "1080"],
            ["work", "pop.work.example:110", "plain", "1070"],
        ])
        self.assertNotIn("home mail", self.settings_text())

        self.assertEqual(self.cli("header"), "off\n")
        self.assertEqual(self.cli("header", "on"), "on\n")
        self.assertEqual(self.cli("header"), "on\n")
        self.assertIn("classification-header = on", self.settings_text())
        self.assertEqual(self.cli("header", "off"), "off\n")
        self.assertEqual(self.cli("header"), "off\n")
        # The accounts survive the switch.
        self.assertEqual(len(self.lines("accounts")), 2)

    def test_refusals_exit_2_with_one_line_and_change_nothing(self):
        self.assert_refused(["accounts"], 1, "no store here")
        self.assert_refused(["header", "on"], 1, "no store here")
        self.cli("init")
        self.cli("accounts", "add", "work", "--server", "pop.work.example",
                 "--pop3-port", "110", "--local-port", "1071")

        def add(name, local_port, *more):
            return ["accounts", "add", name, "--server", "pop.example.net", "--pop3-port", "110",
                    "--local-port", str(local_port), *more]

        self.assert_refused(add("other", 1071), 2, "The local port 1071 is taken by the account work")
        self.assert_refused(add("other", 1070), 2, "taken by the account main")
        self.assert_refused(["accounts", "set", "work", "--local-port", "1070"], 2,
                            "taken by the account main")
        self.assert_refused(["settings", "--local-port", "1071"], 2,
                            "The local port 1071 is taken by the account work")
        self.assert_refused(add("other", 1072, "--security", "ssl"), 2,
                            "--security takes plain, starttls or tls")
        for port in ("1024", "5001", "80", "x"):
            self.assert_refused(add("other", port), 2, "--local-port takes a port number")
        self.assert_refused(["accounts", "set", "work", "--pop3-port", "65536"], 2,
                            "--pop3-port takes a port number")
        self.assert_refused(add("work", 1072), 2, "There is already an account named work")
        self.assert_refused(add("main", 1072), 2, "There is already an account named main")
        self.assert_refused(add(" work", 1072), 2, "without a blank at either end")
        self.assert_refused(add("x" * 33, 1072), 2, "1 to 32 printable characters")
        self.assert_refused(["accounts", "remove", "main"], 2, "The account main cannot be removed")
        self.assert_refused(["accounts", "remove", "nobody"], 2, "There is no account named nobody")
        self.assert_refused(["accounts", "add", "other", "--pop3-port", "110", "--local-port",
                             "1072"], 2, "usage: glimmerfen-cli accounts add")
        self.assert_refused(["header", "maybe"], 2, "usage: glimmerfen-cli header")

        # Up to 16 accounts, main counted; the 17th is refused.
        for n in range(MOST_ACCOUNTS - 2):
            self.cli(*add(f"extra {n}", 2000 + n))
        self.assertEqual(len(self.lines("accounts")), MOST_ACCOUNTS)
        self.assert_refused(add("one too many", 3000), 2, "at most 16 accounts")
        self.assertEqual(len(self.lines("accounts")), MOST_ACCOUNTS)

    def test_a_damaged_settings_file_is_set_aside_and_told(self):
        self.cli("init")
        settings = self.data / SETTINGS_FILE
        settings.write_text("[account work\nserver = pop.work.example\n")
        settings.chmod(0o600)
        result = self.run_cli("accounts")
        self.assertEqual((result.returncode, result.stdout.split("\t")[0]), (0, "main"))
        self.assertEqual(result.stdout.count("\n"), 1)
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertIn("glimmerfen-cli: The settings file glimmerfen.conf was damaged",
                      result.stderr)
        self.assertFalse(settings.exists())
        self.assertEqual(len(list(self.data.glob(SETTINGS_FILE + ".damaged-*"))), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
