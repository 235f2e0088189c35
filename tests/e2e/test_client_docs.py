#!/usr/bin/env python3
"""The mail client settings README.md gives, run as written: its fetchmail poll
line and its getmailrc fetch through `glimmerfen-cli proxy` from a dovecot on
loopback. Only the local port is changed, to a free one; dovecot's account gets
the user name and password the README shows, so those lines run unchanged too.

Environment: GLIMMERFEN_CLI, GLIMMERFEN_REPO as for the other e2e tests.
"""

import configparser
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pop3_harness as h  # noqa: E402

README = h.REPO / "README.md"
CLIENT_TIMEOUT = 120
MESSAGE_COUNT = 3

DEFAULT_LOCAL_PORT = None


def message(number: int) -> bytes:
    return (b"From: Sender %d <sender%d@example.test>\n"
            b"To: jane@example.test\n"
            b"Subject: client settings check %d\n"
            b"Message-ID: <client-docs-%d@example.test>\n"
            b"\n"
            b"Plain mail number %d.\n" % ((number,) * 5))


MESSAGES = [message(n) for n in range(1, MESSAGE_COUNT + 1)]
MESSAGE_IDS = {b"<client-docs-%d@example.test>" % n for n in range(1, MESSAGE_COUNT + 1)}


def message_ids(texts) -> set:
    found = set()
    for text in texts:
        found.update(re.findall(rb"(?im)^Message-ID: (<[^>]+>)", text))
    return found


# ---- the README's code blocks ----

def code_blocks(markdown: str) -> list:
    """The indented code blocks of a Markdown text, without their indent. A
    blank line inside a block belongs to it when an indented line follows."""
    blocks, current, previous_blank = [], None, True
    for line in markdown.splitlines():
        if current is not None and (line.startswith("    ") or not line.strip()):
            current.append(line[4:])
        elif line.startswith("    ") and previous_blank:
            current = [line[4:]]
            blocks.append(current)
        else:
            current = None
        previous_blank = not line.strip()
    return ["\n".join(block).strip("\n") + "\n" for block in blocks]


def documented(first_line_start: str) -> str:
    """The one README block whose first line starts so; two would leave the
    test guessing which one a reader follows."""
    found = [b for b in code_blocks(README.read_text()) if b.startswith(first_line_start)]
    if len(found) != 1:
        raise AssertionError(f"README.md has {len(found)} blocks starting with "
                             f"{first_line_start!r}, expected one")
    return found[0]


def at_port(text: str, port: int) -> str:
    """The block with the documented local port, which must be the default one
    the program starts with, replaced by `port`."""
    moved, count = re.subn(rf"\bport(\s*=\s*|\s+){DEFAULT_LOCAL_PORT}\b",
                           lambda m: f"port{m.group(1)}{port}", text)
    if count != 1:
        raise AssertionError(f"the block names the default local port "
                             f"{DEFAULT_LOCAL_PORT} {count} times:\n{text}")
    return moved


def default_local_port() -> int:
    with tempfile.TemporaryDirectory(prefix="glimmerfen-docs-") as fresh:
        for args in (["init"], ["settings"]):
            done = subprocess.run([str(h.CLI), "-C", fresh, *args], capture_output=True,
                                  text=True, timeout=60, check=False)
            if done.returncode != 0:
                raise RuntimeError(f"glimmerfen-cli {args[0]}: {done.stderr.strip()}")
    found = re.search(r"^local-port (\d+)$", done.stdout, re.M)
    if found is None:
        raise RuntimeError(f"no local-port in: {done.stdout}")
    return int(found.group(1))


def setUpModule():
    global DEFAULT_LOCAL_PORT
    if not os.access(h.CLI, os.X_OK):
        raise RuntimeError(f"{h.CLI} is not an executable; build the project first")
    for tool in ("fetchmail", "getmail"):
        if shutil.which(tool) is None:
            raise RuntimeError(f"{tool} is missing: scripts/install-deps.sh e2e")
    DEFAULT_LOCAL_PORT = default_local_port()


# ---- the clients ----

def run_fetchmail(work: Path, rc_text: str):
    """fetchmail on the rc text alone; the MDA is given on the command line so
    that the documented lines stay as they are. Returns the exit code, the
    output and the delivered messages."""
    home, inbox = work / "home", work / "inbox"
    home.mkdir(parents=True)
    inbox.mkdir()
    rc = work / "fetchmailrc"
    rc.write_text(rc_text)
    os.chmod(rc, 0o600)  # fetchmail refuses an rc file others can read
    mda = work / "mda.py"
    mda.write_text(h.MDA_SCRIPT)
    env = dict(os.environ, HOME=str(home), FETCHMAILHOME=str(home))
    env.pop("FETCHMAILUSER", None)
    done = subprocess.run(
        ["fetchmail", "-f", str(rc), "--nodetach", "--pidfile", str(work / "fetchmail.pid"),
         "--mda", f"{sys.executable} {mda} {inbox}"],
        env=env, capture_output=True, timeout=CLIENT_TIMEOUT, start_new_session=True,
        check=False)
    output = (done.stdout + done.stderr).decode("latin-1")
    return done.returncode, output, [p.read_bytes() for p in sorted(inbox.glob("*.eml"))]


def client_user():
    """Keyword arguments for subprocess to run a client as an ordinary user:
    getmail will not deliver into a Maildir as root."""
    if os.geteuid() != 0:
        return {}
    uid, gid, _ = h._mail_owner()
    return {"user": uid, "group": gid, "extra_groups": []}


class GetmailDirs:
    """A home with ~/Maildir and a getmail directory holding the rc file, all
    owned by the user getmail runs as."""

    def __init__(self, work: Path, rc_text: str):
        self.home = work / "home"
        self.maildir = self.home / "Maildir"
        self.getmaildir = work / "getmail"
        for sub in ("cur", "new", "tmp"):
            (self.maildir / sub).mkdir(parents=True)
        self.getmaildir.mkdir()
        (self.getmaildir / "getmailrc").write_text(rc_text)
        h._open_for_services(work)
        owner = client_user()
        if owner:
            for path in [self.home, self.getmaildir, *self.home.rglob("*"),
                         *self.getmaildir.rglob("*")]:
                os.chown(path, owner["user"], owner["group"])

    def run(self):
        done = subprocess.run(
            ["getmail", "--getmaildir", str(self.getmaildir), "--rcfile", "getmailrc"],
            env=dict(os.environ, HOME=str(self.home)), capture_output=True,
            timeout=CLIENT_TIMEOUT, start_new_session=True, check=False, **client_user())
        return done.returncode, (done.stdout + done.stderr).decode("latin-1")

    def delivered(self) -> list:
        return [p.read_bytes() for sub in ("new", "cur") for p in (self.maildir / sub).iterdir()]


class ClientDocsTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="glimmerfen-docs-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)

    @contextlib.contextmanager
    def serving(self, user: str, password: str, name: str = "server", run_as=None):
        """dovecot with the account the README names, and the proxy in front of
        it, set up as the README tells a user to (run as the client's user:
        it serves no other user's programs)."""
        h.MAIL_USER, h.MAIL_PASSWORD = user, password
        with contextlib.ExitStack() as stack:
            dovecot = stack.enter_context(h.Dovecot(self.root / name / "dovecot", MESSAGES))
            proxy = h.Proxy(self.root / name / "store", dovecot.port, server_name="127.0.0.1",
                            run_as=run_as)
            stack.enter_context(proxy)
            try:
                yield proxy
            except BaseException:
                print(f"--- proxy log\n{proxy.log()[-4000:]}\n{dovecot.diagnostics()}",
                      file=sys.stderr)
                raise

    def test_fetchmail_poll_line_needs_both_options_and_then_fetches(self):
        line = documented("poll ")
        user = re.search(r'\buser "([^"]+)"', line)
        password = re.search(r'\bpassword "([^"]+)"', line)
        self.assertIsNotNone(user, line)
        self.assertIsNotNone(password, line)
        self.assertIn(" sslproto ''", line)
        self.assertIn(" fetchall", line)

        with self.serving(user.group(1), password.group(1)) as proxy:
            rc_text = at_port(line, proxy.local_port)
            # Without sslproto '' fetchmail 6.4 insists on STLS, which the
            # proxy does not offer: it stops the way the README says.
            code, output, delivered = run_fetchmail(self.root / "plain",
                                                    rc_text.replace(" sslproto ''", ""))
            self.assertNotIn(code, (0, 1), output)
            self.assertIn("upgrade to TLS failed", output)
            self.assertEqual(delivered, [])
            self.assertEqual(proxy.count(), 0)

            code, output, delivered = run_fetchmail(self.root / "documented", rc_text)
            self.assertEqual(code, 0, output)
            self.assertEqual(len(delivered), MESSAGE_COUNT, output)
            self.assertEqual(message_ids(delivered), MESSAGE_IDS)
            # Through the proxy: each message is recorded in New Emails.
            self.assertEqual(proxy.count(), MESSAGE_COUNT)
            self.assertEqual(message_ids(proxy.records()), MESSAGE_IDS)

        # Without fetchall fetchmail reads with TOP, which the proxy relays
        # unrated: the mail arrives, and the filter never sees it.
        with self.serving(user.group(1), password.group(1), "top") as proxy:
            code, output, delivered = run_fetchmail(
                self.root / "top-run", at_port(line.replace(" fetchall", ""), proxy.local_port))
            self.assertEqual(code, 0, output)
            self.assertEqual(message_ids(delivered), MESSAGE_IDS)
            self.assertEqual(proxy.count(), 0)

    def test_getmailrc_fetches_each_message_once(self):
        text = documented("[retriever]")
        config = configparser.ConfigParser(interpolation=None)
        config.read_string(text)
        retriever = config["retriever"]
        self.assertEqual(retriever["server"], "127.0.0.1")

        with self.serving(retriever["username"], retriever["password"],
                          run_as=client_user()) as proxy:
            dirs = GetmailDirs(self.root / "getmail-run", at_port(text, proxy.local_port))
            code, output = dirs.run()
            self.assertEqual(code, 0, output)
            self.assertEqual(message_ids(dirs.delivered()), MESSAGE_IDS, output)
            self.assertEqual(proxy.count(), MESSAGE_COUNT)

            # A second run finds nothing new, so New Emails gets no copies.
            code, output = dirs.run()
            self.assertEqual(code, 0, output)
            self.assertEqual(len(dirs.delivered()), MESSAGE_COUNT, output)
            self.assertEqual(proxy.count(), MESSAGE_COUNT)


if __name__ == "__main__":
    unittest.main(verbosity=2)
