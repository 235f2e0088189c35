#!/usr/bin/env python3
"""End-to-end tests of where the programs keep their files: glimmerfen-cli and
the desktop program (`glimmerfen`, on Qt's offscreen platform) find their
installation in $XDG_DATA_HOME/glimmerfen or ~/.local/share/glimmerfen from any
working directory, make it private (0700, files 0600), never write through a
link planted there nor hang on a FIFO, and refuse a directory another user
owns or others can write to, saying how to fix it.

Environment: GLIMMERFEN_CLI, GLIMMERFEN_APP, GLIMMERFEN_REPO.
"""

import os
import pwd
import select
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pop3_harness as h  # noqa: E402

APP_SETTING = os.environ.get("GLIMMERFEN_APP", str(h.REPO / "out" / "bin" / "glimmerfen"))
APP = Path(APP_SETTING)
# A FIFO used to hang the reader for ever; a refusal comes at once.
QUICK = 20
STORE = "HGIndex.hgd"


def mode(path: Path) -> int:
    return stat.S_IMODE(path.lstat().st_mode)


class DataDirectoryCase(unittest.TestCase):
    def setUp(self):
        if not os.access(h.CLI, os.X_OK):
            self.fail(f"{h.CLI} is not an executable; build the project first")
        tmp = tempfile.TemporaryDirectory(prefix="glimmerfen-datadir-")
        self.addCleanup(tmp.cleanup)
        self.root = Path(tmp.name)
        self.home = self.root / "home"
        self.home.mkdir()
        self.elsewhere = self.root / "elsewhere"
        self.elsewhere.mkdir()
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_DATA_HOME"}
        self.env["HOME"] = str(self.home)
        self.default = self.home / ".local" / "share" / "glimmerfen"

    def run_cli(self, *args, env=None, cwd=None):
        return subprocess.run([str(h.CLI), *map(str, args)], env=env or self.env,
                              cwd=cwd or self.elsewhere, capture_output=True, timeout=QUICK,
                              check=False)

    def cli(self, *args, **kwargs) -> str:
        done = self.run_cli(*args, **kwargs)
        self.assertEqual(done.returncode, 0, f"{args}: {done.stderr!r}")
        return done.stdout.decode()

    def refused(self, *args, **kwargs) -> str:
        done = self.run_cli(*args, **kwargs)
        self.assertEqual(done.returncode, 1, f"{args}: {done.stdout!r} {done.stderr!r}")
        error = done.stderr.decode()
        self.assertTrue(error.startswith("glimmerfen-cli: ") and error.count("\n") == 1, error)
        return error

    def victim(self, name: str) -> Path:
        """A file of the user's outside the data directory, for links to point at."""
        path = self.root / name
        path.write_bytes(b"not Glimmerfen's\n")
        return path


class LocationTest(DataDirectoryCase):
    def test_default_is_private_under_home_whatever_the_working_directory(self):
        self.cli("init")
        self.assertTrue((self.default / STORE).is_file())
        self.assertFalse((self.elsewhere / STORE).exists())
        for directory in (self.home / ".local", self.home / ".local" / "share", self.default,
                          self.default / "backup"):
            self.assertEqual(mode(directory), 0o700, directory)

        self.cli("list-add", "white", "From", "Sensitive", "friend@example.org")
        self.cli("flag-word", "**SPAM**")
        self.cli("backup")
        self.cli("backup")
        for name in (STORE, "wlist.bin", "sFlag.bin", "backup/HGIndex1.hgd",
                     "backup/HGIndex2.hgd"):
            self.assertEqual(mode(self.default / name), 0o600, name)
        # Found again from anywhere, the home directory included.
        for cwd in (self.home, self.root):
            self.assertIn("friend@example.org", self.cli("lists", "white", cwd=cwd))
        self.assertEqual(self.cli("flag-word", cwd=self.home), "**SPAM**\n")
        # A file named on the command line is the user's, taken from where they stand.
        (self.elsewhere / "note.eml").write_bytes(b"From: a@example.org\nSubject: hi\n\nbody\n")
        self.cli("import", "newA", "note.eml")
        self.assertEqual(self.cli("count", "newA"), "1\n")

    def test_xdg_data_home_when_absolute_and_the_default_otherwise(self):
        xdg = self.root / "xdg"
        self.cli("init", env=dict(self.env, XDG_DATA_HOME=str(xdg)))
        self.assertTrue((xdg / "glimmerfen" / STORE).is_file())
        self.assertFalse(self.default.exists())
        for ignored in ("", "relative/data"):
            done = self.run_cli("count", env=dict(self.env, XDG_DATA_HOME=ignored))
            self.assertIn(b"no store here", done.stderr)
            self.assertTrue(self.default.is_dir())
            self.assertFalse((self.elsewhere / "relative").exists())

    def test_dash_c_names_an_existing_installation(self):
        named = self.root / "named"
        named.mkdir()
        self.cli("-C", named, "init")
        self.assertTrue((named / STORE).is_file())
        self.assertEqual(mode(named / STORE), 0o600)
        self.assertEqual(mode(named / "backup"), 0o700)
        self.assertFalse(self.default.exists())
        error = self.refused("-C", self.root / "missing", "count")
        self.assertIn("cannot change into", error)
        self.assertFalse((self.root / "missing").exists())

    def test_error_log_is_private(self):
        named = self.root / "damaged"
        named.mkdir()
        (named / STORE).write_bytes(b"too short for a store")
        self.refused("-C", named, "count")
        self.assertIn(b"Truncated", (named / "ErrorLog.txt").read_bytes())
        self.assertEqual(mode(named / "ErrorLog.txt"), 0o600)
        # The store an older version left readable to all is narrowed too.
        self.assertEqual(mode(named / STORE), 0o600)


class PlantedNamesTest(DataDirectoryCase):
    def setUp(self):
        super().setUp()
        self.cli("init")

    def test_links_at_temporary_names_are_removed_not_written_through(self):
        lists_target = self.victim("lists-target")
        backup_target = self.victim("backup-target")
        (self.default / "wlist.bin.part").symlink_to(lists_target)
        (self.default / "backup" / "HGIndex1.hgd.part").symlink_to(backup_target)

        self.cli("list-add", "white", "Subject", "Insensitive", "hello")
        self.cli("backup")
        self.assertEqual(lists_target.read_bytes(), b"not Glimmerfen's\n")
        self.assertEqual(backup_target.read_bytes(), b"not Glimmerfen's\n")
        self.assertFalse((self.default / "wlist.bin").is_symlink())
        self.assertFalse((self.default / "wlist.bin.part").exists())
        self.assertEqual((self.default / "backup" / "HGIndex1.hgd").stat().st_size,
                         (self.default / STORE).stat().st_size)

    def test_links_at_log_names_are_refused_and_their_targets_kept(self):
        for name in ("testData.txt", "ErrorLog.txt"):
            target = self.victim(name + "-target")
            link = self.default / name
            link.symlink_to(target)
            error = self.refused("count")
            self.assertIn(f"{link} is a symbolic link", error)
            self.assertIn("rm ", error)
            self.assertEqual(target.read_bytes(), b"not Glimmerfen's\n")
            link.unlink()

    def test_fifo_is_a_clear_error_not_a_hang(self):
        for name, command in (("sFlag.bin", ["flag-word"]), ("wlist.bin", ["lists", "white"])):
            fifo = self.default / name
            os.mkfifo(fifo, 0o600)
            error = self.refused(*command)
            self.assertIn(f"{fifo} is a FIFO, not a regular file", error)
            fifo.unlink()


class RefusalTest(DataDirectoryCase):
    def setUp(self):
        super().setUp()
        self.cli("init")

    def test_writable_by_others_is_refused_with_the_fix(self):
        for loose in (0o770, 0o707):
            os.chmod(self.default, loose)
            error = self.refused("count")
            self.assertIn(f"chmod 700 {self.default}", error)
        os.chmod(self.default, 0o700)
        self.cli("count")

    def test_another_users_directory_is_refused_with_the_fix(self):
        if os.geteuid() != 0:
            self.skipTest("only root can give a directory to another user")
        nobody = pwd.getpwnam("nobody")
        os.chown(self.default, nobody.pw_uid, nobody.pw_gid)
        error = self.refused("count")
        self.assertIn("belongs to nobody", error)
        self.assertIn("chown ", error)


class DesktopProgramTest(DataDirectoryCase):
    """The desktop program through the same directory code."""

    def setUp(self):
        super().setUp()
        if not APP_SETTING:
            self.skipTest("built without the desktop program")
        if not os.access(APP, os.X_OK):
            self.fail(f"{APP} is not an executable; build the project first")
        self.env["QT_QPA_PLATFORM"] = "offscreen"

    def start(self, *args):
        log = open(self.root / "app.log", "wb")
        self.addCleanup(log.close)
        child = subprocess.Popen([str(APP), *map(str, args)], env=self.env, cwd=self.home,
                                 stdin=subprocess.DEVNULL, stdout=log,
                                 stderr=subprocess.PIPE, start_new_session=True)
        self.addCleanup(self.end, child)
        return child

    def said(self, child) -> str:
        """The program's own line on standard error (Qt may warn before it)."""
        text = b""
        deadline = time.monotonic() + QUICK
        while time.monotonic() < deadline:
            ready, _, _ = select.select([child.stderr], [], [], 0.1)
            if ready:
                chunk = os.read(child.stderr.fileno(), 4096)
                if not chunk:
                    break
                text += chunk
            for line in text.decode(errors="replace").splitlines(keepends=True):
                if line.startswith("glimmerfen: ") and line.endswith("\n"):
                    return line
        self.fail(f"no refusal on standard error: {text!r}")

    @staticmethod
    def end(child):
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
        child.wait(timeout=QUICK)
        child.stderr.close()

    def test_started_from_home_it_runs_on_the_default_store(self):
        port = h.free_ports(1)[0]
        self.cli("init")
        self.cli("settings", "--server-ip", "127.0.0.1", "--local-port", port)
        child = self.start()
        # Listening on the port only the store in the default directory names.
        h.wait_listening(port, process=child)
        self.assertEqual(mode(self.default / "TestThis.txt"), 0o600)
        child.send_signal(signal.SIGTERM)
        self.assertEqual(child.wait(timeout=QUICK), 0)
        for path in self.default.rglob("*"):
            self.assertEqual(mode(path), 0o700 if path.is_dir() else 0o600, path)

    def test_refusal_is_said_on_standard_error(self):
        named = self.root / "shared"
        named.mkdir()
        os.chmod(named, 0o777)
        child = self.start(f"--data-dir={named}")
        # The same reason then waits in a message box for the user.
        line = self.said(child)
        self.assertTrue(line.startswith("glimmerfen: group or others can write to"), line)
        self.assertIn(f"chmod 700 {named}", line)
        self.assertFalse((named / STORE).exists())
        missing = self.start("--data-dir", self.root / "missing")
        self.assertIn("cannot change into", self.said(missing))


if __name__ == "__main__":
    unittest.main(verbosity=2)
