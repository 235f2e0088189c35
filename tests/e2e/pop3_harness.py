"""Helpers for the proxy's end-to-end tests and benchmark: a private dovecot POP3
server, fetchmail runs that deliver to files, a raw POP3 client that keeps every
byte, and the glimmerfen-cli proxy as a child process.

Everything listens on 127.0.0.1 only, lives in a temporary directory and is
stopped by its owner (each class is a context manager), also when a test fails.
"""

import grp
import hashlib
import os
import pwd
import random
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import poplib

# Real mail has lines far longer than poplib's default limit of 2,048 bytes.
poplib._MAXLINE = 1 << 24

REPO = Path(os.environ.get("GLIMMERFEN_REPO", Path(__file__).resolve().parents[2]))
CLI = Path(os.environ.get("GLIMMERFEN_CLI", REPO / "out" / "bin" / "glimmerfen-cli"))

MAIL_USER = "tester"
MAIL_PASSWORD = "secret-pass"

# Bounds for every wait below; a dead child must not hang a test run.
START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0


class HarnessError(RuntimeError):
    pass


# ---- corpus and message forms ----

def corpus_dir() -> Path:
    """The public mail corpus that the test run found once (ctest's corpus
    fixture) and handed on in GLIMMERFEN_CORPUS. No other place is searched, so
    a run that lost it fails here instead of testing less."""
    value = os.environ.get("GLIMMERFEN_CORPUS", "")
    if not value:
        raise HarnessError("GLIMMERFEN_CORPUS is not set; ctest sets it (the corpus "
                           "fixture). By hand: GLIMMERFEN_CORPUS=\"$(scripts/corpus-dir.sh)\"")
    corpus = Path(value)
    for kind in ("ham", "spam"):
        if not (corpus / kind).is_dir() or not any((corpus / kind).iterdir()):
            raise HarnessError(f"GLIMMERFEN_CORPUS={corpus} has no {kind}/ messages "
                               "(a directory with ham/ and spam/ is needed)")
    return corpus


def maildir_form(raw: bytes) -> bytes:
    """A corpus file as a Maildir file: without the mbox "From " line that is no
    part of the message, LF line ends, and a final line end."""
    if raw.startswith(b"From "):
        end = raw.find(b"\n")
        raw = b"" if end < 0 else raw[end + 1:]
    raw = raw.replace(b"\r\n", b"\n")
    if not raw.endswith(b"\n"):
        raw += b"\n"
    return raw


def wire_body(maildir_text: bytes) -> bytes:
    """The message as a POP3 server sends it after the status line: CRLF line
    ends, dot-stuffed, and the terminating "." line."""
    out = bytearray()
    for line in maildir_text.split(b"\n")[:-1]:
        if line.startswith(b"."):
            out += b"."
        out += line + b"\r\n"
    return bytes(out + b".\r\n")


def unstuff(body: bytes) -> bytes:
    """Inverse of wire_body, giving LF line ends (what an MDA receives)."""
    assert body.endswith(b".\r\n"), body[-20:]
    lines = body[:-3].split(b"\r\n")[:-1]
    return b"".join((l[1:] if l.startswith(b".") else l) + b"\n" for l in lines)


# ---- ports and processes ----

def _port_is_free(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return not listening_ports().intersection({port})


def free_ports(count: int, low: int = 1025, high: int = 5000) -> list:
    """Ports nobody holds now. The proxy only takes ports up to 5,000, so tests
    cannot use the kernel's ephemeral range; a random start keeps two suites
    running at once from picking the same ones."""
    chosen = []
    candidates = list(range(low, high + 1))
    random.shuffle(candidates)
    for port in candidates:
        if len(chosen) == count:
            break
        if port not in chosen and _port_is_free(port):
            chosen.append(port)
    if len(chosen) < count:
        raise HarnessError(f"no {count} free ports in {low}..{high}")
    return chosen


def listening_ports() -> set:
    """Ports in LISTEN state on 127.0.0.1 or any address, from /proc, so that a
    readiness check opens no connection (every connection to the proxy is a POP3
    session it serves)."""
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if len(fields) > 3 and fields[3] == "0A":
                address, port = fields[1].split(":")
                if address in ("0100007F", "00000000") or set(address) == {"0"}:
                    ports.add(int(port, 16))
    return ports


def wait_until(predicate, timeout: float, what: str, process=None, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        if process is not None and process.poll() is not None:
            raise HarnessError(f"{what}: the process exited with {process.returncode}")
        time.sleep(interval)
    raise HarnessError(f"{what}: not within {timeout} s")


def wait_listening(port: int, timeout: float = START_TIMEOUT, process=None):
    wait_until(lambda: port in listening_ports(), timeout, f"listen on port {port}", process)


class Child:
    """A child process in a process group of its own, so that stopping it also
    stops whatever it started (dovecot's service processes)."""

    def __init__(self, args, log_path: Path, env=None, cwd=None, run_as=None):
        self.log_path = Path(log_path)
        self._log = open(self.log_path, "ab")
        try:
            self.process = subprocess.Popen(
                [str(a) for a in args], stdin=subprocess.DEVNULL, stdout=self._log,
                stderr=subprocess.STDOUT, env=env, cwd=cwd, start_new_session=True,
                **(run_as or {}))
        except BaseException:
            self._log.close()
            raise

    def alive(self) -> bool:
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout: float = STOP_TIMEOUT):
        """Signals the group and waits; kills it if it does not end in time.
        Returns the child's exit code."""
        try:
            if self.process.poll() is None:
                try:
                    os.killpg(self.process.pid, sig)
                except ProcessLookupError:
                    pass
                try:
                    self.process.wait(timeout=timeout)
                except subprocess.TimeoutExpired:
                    pass
            # Anything left in the group (a service process of dovecot) goes too.
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                pass
            return self.process.returncode
        finally:
            self._log.close()

    def log_text(self) -> str:
        try:
            return self.log_path.read_bytes().decode("latin-1")
        except OSError:
            return ""


# ---- certificates ----

class TestCertificates:
    """A certificate authority of the test's own and a server certificate it
    signed for the given host names and IP addresses, made with openssl in
    `root`: ca.pem is what SSL_CERT_FILE points at to trust the server."""

    def __init__(self, root: Path, names=("localhost",), addresses=("127.0.0.1",)):
        if shutil.which("openssl") is None:
            raise HarnessError("openssl is missing: scripts/install-deps.sh e2e")
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.ca = self.root / "ca.pem"
        self.cert = self.root / "cert.pem"
        self.key = self.root / "key.pem"
        ca_key = self.root / "ca-key.pem"
        request = self.root / "server.csr"
        extensions = self.root / "server.ext"
        alt = [f"DNS:{n}" for n in names] + [f"IP:{a}" for a in addresses]
        extensions.write_text(f"subjectAltName = {','.join(alt)}\n"
                              "basicConstraints = CA:FALSE\n"
                              "extendedKeyUsage = serverAuth\n")
        key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        self._openssl("req", "-x509", *key, "-days", "2", "-subj",
                      f"/CN=Glimmerfen test CA {self.root.name}", "-keyout", ca_key,
                      "-out", self.ca, "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self._openssl("req", *key, "-subj", f"/CN={names[0] if names else addresses[0]}",
                      "-keyout", self.key, "-out", request)
        self._openssl("x509", "-req", "-in", request, "-CA", self.ca, "-CAkey", ca_key,
                      "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", self.cert)

    @staticmethod
    def _openssl(*args):
        done = subprocess.run(["openssl", *map(str, args)], capture_output=True, timeout=60,
                              check=False)
        if done.returncode != 0:
            raise HarnessError(f"openssl {args[0]}: {done.stderr.decode('latin-1')[-2000:]}")

    def fingerprint(self) -> str:
        """The server certificate's SHA-256 as "AB:CD:..."."""
        der = ssl.PEM_cert_to_DER_cert(self.cert.read_text())
        return ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())


# ---- dovecot ----

def _mail_owner():
    """uid, gid and user name the mail processes run as. dovecot refuses to
    serve mail as root, so root runs hand the Maildir to "nobody"."""
    if os.geteuid() == 0:
        try:
            entry = pwd.getpwnam("nobody")
            return entry.pw_uid, entry.pw_gid, None
        except KeyError:
            return 65534, 65534, None
    entry = pwd.getpwuid(os.geteuid())
    return entry.pw_uid, entry.pw_gid, entry.pw_name


def _open_for_services(path: Path):
    """dovecot's auth, login and mail processes run as other users and must
    reach the files: the directory and every temporary one above it get o+x."""
    path = path.resolve()
    temp = Path(tempfile.gettempdir()).resolve()
    os.chmod(path, os.stat(path).st_mode | 0o755)
    for parent in path.parents:
        if parent == temp or temp not in parent.parents:
            break
        mode = os.stat(parent).st_mode
        if not mode & stat.S_IXOTH:
            os.chmod(parent, mode | stat.S_IXOTH)


class Dovecot:
    """A dovecot POP3 server of its own, with one user whose Maildir holds the
    given messages (Maildir form, LF line ends) as POP3 messages 1..N in order.
    With `tls` it also offers STLS, as most real servers do; `certificates` (a
    TestCertificates) replace its self-signed certificate, and with them
    `tls_port` is a listener that speaks TLS from the first byte. `addresses`
    are the loopback addresses the listeners take."""

    def __init__(self, root: Path, messages, port: int = None, tls: bool = True,
                 certificates: "TestCertificates" = None, tls_port: int = None,
                 addresses=("127.0.0.1",)):
        if shutil.which("dovecot") is None and not Path("/usr/sbin/dovecot").exists():
            raise HarnessError("dovecot is missing: scripts/install-deps.sh test")
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        _open_for_services(self.root)
        self.port = port or free_ports(1, 20000, 30000)[0]
        self.messages = list(messages)
        self.tls = tls or certificates is not None
        self.certificates = certificates
        self.tls_port = tls_port if certificates is not None else None
        self.addresses = " ".join(addresses)
        self.child = None
        self.log_path = self.root / "dovecot.log"

    def _write_maildir(self, uid, gid):
        maildir = self.root / "Maildir"
        for sub in ("cur", "new", "tmp"):
            (maildir / sub).mkdir(parents=True, exist_ok=True)
        # Names sort in message order; dovecot numbers a fresh Maildir by name.
        stamp = 1_000_000_000
        for number, text in enumerate(self.messages, start=1):
            name = f"{stamp + number}.M{number}P1.glimmerfen:2,S"
            (maildir / "cur" / name).write_bytes(text)
        if os.geteuid() == 0:
            for path in [maildir, *maildir.rglob("*")]:
                os.chown(path, uid, gid)
        return maildir

    def _write_tls_files(self):
        if self.certificates is not None:
            return self.certificates.cert, self.certificates.key
        if shutil.which("openssl") is None:
            return None
        key, cert = self.root / "key.pem", self.root / "cert.pem"
        made = subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=localhost", "-keyout", str(key), "-out", str(cert)],
            capture_output=True, timeout=60, check=False)
        return (cert, key) if made.returncode == 0 else None

    def config_text(self, uid, gid, user_name, maildir, tls_files) -> str:
        run = self.root / "run"
        state = self.root / "state"
        lines = [
            "protocols = pop3",
            "listen = 127.0.0.1",
            f"base_dir = {run}",
            f"state_dir = {state}",
            f"instance_name = glimmerfen-e2e-{self.port}",
            f"log_path = {self.log_path}",
            f"info_log_path = {self.log_path}",
            "disable_plaintext_auth = no",
            "auth_mechanisms = plain login",
            "auth_failure_delay = 0",
            "mail_max_userip_connections = 100",
            f"first_valid_uid = {min(uid, 500)}",
            f"first_valid_gid = {min(gid, 500)}",
            f"mail_location = maildir:{maildir}",
            "pop3_uidl_format = %08Xu%08Xv",
        ]
        if tls_files:
            lines += ["ssl = yes", f"ssl_cert = <{tls_files[0]}", f"ssl_key = <{tls_files[1]}"]
        else:
            lines.append("ssl = no")
        if user_name is not None:
            # Not root: every dovecot process runs as the one user there is.
            group_name = grp.getgrgid(gid).gr_name
            lines += [f"default_internal_user = {user_name}",
                      f"default_internal_group = {group_name}",
                      f"default_login_user = {user_name}"]
        lines += [
            "passdb {",
            "  driver = passwd-file",
            f"  args = scheme=PLAIN {self.root / 'passwd'}",
            "}",
            "userdb {",
            "  driver = passwd-file",
            f"  args = {self.root / 'passwd'}",
            "}",
            "service pop3-login {",
            "  inet_listener pop3 {",
            f"    address = {self.addresses}",
            f"    port = {self.port}",
            "  }",
            "  inet_listener pop3s {",
            *([f"    address = {self.addresses}", f"    port = {self.tls_port}", "    ssl = yes"]
              if self.tls_port else ["    port = 0"]),
            "  }",
            "}",
        ]
        if user_name is not None:
            # Only root may chroot.
            lines[-1:-1] = ["  chroot ="]
            lines += ["service anvil {", "  chroot =", "}"]
        return "\n".join(lines) + "\n"

    def start(self):
        uid, gid, user_name = _mail_owner()
        maildir = self._write_maildir(uid, gid)
        tls_files = self._write_tls_files() if self.tls else None
        self.offers_stls = tls_files is not None
        (self.root / "passwd").write_text(
            f"{MAIL_USER}:{{PLAIN}}{MAIL_PASSWORD}:{uid}:{gid}::{maildir}::\n")
        config = self.root / "dovecot.conf"
        config.write_text(self.config_text(uid, gid, user_name, maildir, tls_files))
        self.child = Child(["dovecot", "-c", config, "-F"], self.root / "dovecot.out")
        try:
            for port in filter(None, (self.port, self.tls_port)):
                wait_listening(port, process=self.child.process)
        except HarnessError as error:
            self.stop()
            raise HarnessError(f"{error}\n{self.diagnostics()}") from None
        return self

    def stop(self):
        if self.child is not None:
            self.child.stop()
            self.child = None

    def diagnostics(self) -> str:
        text = ""
        for path in (self.root / "dovecot.out", self.log_path):
            if path.exists():
                text += f"--- {path.name}\n" + path.read_bytes().decode("latin-1")[-4000:]
        return text

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# ---- fetchmail ----

MDA_SCRIPT = """\
import os, sys
target = sys.argv[1]
data = sys.stdin.buffer.read()
count = len([n for n in os.listdir(target) if n.endswith(".eml")])
name = os.path.join(target, "%06d.eml" % (count + 1))
with open(name + ".part", "wb") as out:
    out.write(data)
os.rename(name + ".part", name)
"""


def fetchmail(root: Path, port: int, user: str = MAIL_USER, password: str = MAIL_PASSWORD,
              timeout: float = 300.0, verbose: bool = False, append: bool = False,
              tls_ca: Path = None):
    """Fetches every message on the server once, leaving them there, and returns
    them in the order delivered (as the MDA got them: LF line ends) together with
    fetchmail's output. Each call uses a fresh directory under `root`.

    With `append` all messages go into one file through `cat`, which costs far
    less per message than a Python MDA (for timing); the list then holds that
    file's bytes as its only item.

    With `tls_ca` fetchmail speaks TLS from the first byte to "localhost",
    trusting the certificates that CA file holds."""
    if shutil.which("fetchmail") is None:
        raise HarnessError("fetchmail is missing: scripts/install-deps.sh test")
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    for run in range(1, 10_000):
        work = root / f"fetchmail-{run}"
        if not work.exists():
            break
    home, inbox = work / "home", work / "inbox"
    home.mkdir(parents=True)
    inbox.mkdir()
    mda = work / "mda.py"
    mda.write_text(MDA_SCRIPT)
    if append:
        mda_command = f"cat >> {inbox / 'all.eml'}"
    else:
        mda_command = f"{sys.executable} {mda} {inbox}"
    rc = work / "fetchmailrc"
    local_user = pwd.getpwuid(os.geteuid()).pw_name
    # sslproto '' keeps fetchmail in plain text even where the server offers
    # STLS; "invisible" leaves out the Received line it would add with the time.
    host, security = "127.0.0.1", "sslproto ''"
    if tls_ca is not None:
        host, security = "localhost", f"ssl sslcertck sslcertfile \"{tls_ca}\""
    rc.write_text(
        "set no bouncemail\n"
        "set no syslog\n"
        "set invisible\n"
        f"poll {host} protocol pop3 port {port} timeout {int(min(timeout, 120))}\n"
        f"  user \"{user}\" there with password \"{password}\" is \"{local_user}\" here\n"
        f"  options keep fetchall no rewrite {security}\n"
        f"  mda \"{mda_command}\"\n")
    os.chmod(rc, 0o600)
    args = ["fetchmail", "-f", str(rc), "--pidfile", str(work / "fetchmail.pid"),
            "--nodetach", "-N"]
    if verbose:
        args.append("-v")
    env = dict(os.environ, HOME=str(home), FETCHMAILHOME=str(home))
    env.pop("FETCHMAILUSER", None)
    try:
        done = subprocess.run(args, env=env, capture_output=True, timeout=timeout,
                              start_new_session=True, check=False)
    except subprocess.TimeoutExpired as expired:
        raise HarnessError(f"fetchmail took over {timeout} s") from expired
    output = (done.stdout + done.stderr).decode("latin-1")
    # 0: mail delivered; 1: no mail.
    if done.returncode not in (0, 1):
        raise HarnessError(f"fetchmail exited {done.returncode}:\n{output[-4000:]}")
    messages = [p.read_bytes() for p in sorted(inbox.glob("*.eml"))]
    return messages, output


# ---- a raw POP3 client that keeps every byte ----

class Pop3Wire:
    """Reads replies as the bytes that arrived, unchanged, so tests can compare
    a proxied dialogue byte for byte with a direct one."""

    def __init__(self, port: int, timeout: float = 30.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""

    def _fill(self) -> bool:
        chunk = self.sock.recv(65536)
        if not chunk:
            return False
        self.buffer += chunk
        return True

    def line(self) -> bytes:
        while b"\r\n" not in self.buffer:
            if not self._fill():
                raise ConnectionError(f"closed before a line end; got {self.buffer[:200]!r}")
        end = self.buffer.index(b"\r\n") + 2
        out, self.buffer = self.buffer[:end], self.buffer[end:]
        return out

    def multiline(self) -> bytes:
        """A status line and, after a positive one, the body up to and with its
        terminating "." line."""
        first = self.line()
        if not first.startswith(b"+"):
            return first
        # The terminator may be the first line of the body: search from the
        # status line's own CR LF.
        start = len(first) - 2
        data = first + self.buffer
        self.buffer = b""
        while True:
            found = data.find(b"\r\n.\r\n", start)
            if found >= 0:
                end = found + 5
                self.buffer = data[end:] + self.buffer
                return data[:end]
            start = max(start, len(data) - 4)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError(f"closed inside a multi-line reply of {len(data)} bytes")
            data += chunk

    def send(self, line: bytes):
        self.sock.sendall(line)

    def command(self, line: bytes, multi: bool = False) -> bytes:
        self.send(line if line.endswith(b"\r\n") else line + b"\r\n")
        return self.multiline() if multi else self.line()

    def read_to_close(self, timeout: float) -> bytes:
        """Everything until the peer closes; raises TimeoutError if it does not
        close within `timeout`."""
        deadline = time.monotonic() + timeout
        data, self.buffer = self.buffer, b""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"connection still open after {timeout} s")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                return data
            except socket.timeout:
                raise TimeoutError(f"connection still open after {timeout} s") from None
            if not chunk:
                return data
            data += chunk

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def login(wire: Pop3Wire, user=MAIL_USER, password=MAIL_PASSWORD):
    greeting = wire.line()
    assert greeting.startswith(b"+OK"), greeting
    reply = wire.command(b"USER " + user.encode())
    assert reply.startswith(b"+OK"), reply
    reply = wire.command(b"PASS " + password.encode())
    assert reply.startswith(b"+OK"), reply
    return greeting


def status_line_end(reply: bytes) -> int:
    return reply.index(b"\r\n") + 2


# ---- the proxy ----

class Proxy:
    """A store directory and `glimmerfen-cli proxy` running on it. Store set-up
    (lists, flag word, settings) happens before start(): the proxy reads lists
    and the flag word when its server thread starts.

    The proxy serves only programs of the user it runs as: `run_as` (subprocess
    keyword arguments user, group, extra_groups) runs it and every command as
    the user the clients run as, in a directory of that user's."""

    def __init__(self, root: Path, pop3_port: int, local_port: int = None,
                 server_ip: str = "127.0.0.1", server_name: str = None, run_as: dict = None):
        if not os.access(CLI, os.X_OK):
            raise HarnessError(f"{CLI} is not an executable; build the project first")
        self.dir = Path(root)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.run_as = run_as or {}
        if self.run_as:
            _open_for_services(self.dir.parent)
            os.chown(self.dir, self.run_as["user"], self.run_as["group"])
            os.chmod(self.dir, 0o700)
        self.local_port = local_port or free_ports(1)[0]
        # Local port of every account beside "main", by name (add_account).
        self.accounts = {}
        self.child = None
        # The environment of the proxy and of later commands (SSL_CERT_FILE).
        self.env = None
        self.cli("init")
        settings = ["settings", "--pop3-port", pop3_port, "--local-port", self.local_port]
        if server_name is not None:
            settings += ["--server", server_name]
        else:
            settings += ["--server-ip", server_ip]
        self.cli(*settings)

    def run_cli(self, *args, timeout: float = 120.0):
        return subprocess.run([str(CLI), "-C", str(self.dir), *map(str, args)],
                              capture_output=True, timeout=timeout, check=False, env=self.env,
                              **self.run_as)

    def cli(self, *args, timeout: float = 120.0) -> bytes:
        done = self.run_cli(*args, timeout=timeout)
        if done.returncode != 0:
            raise HarnessError(f"glimmerfen-cli {' '.join(map(str, args))}: exit "
                               f"{done.returncode}: {done.stderr.decode('latin-1').strip()}")
        return done.stdout

    def cli_text(self, *args) -> str:
        return self.cli(*args).decode("latin-1")

    def add_account(self, name: str, pop3_port: int, local_port: int = None,
                    server_ip: str = "127.0.0.1", options=()) -> int:
        """Adds an account with `glimmerfen-cli accounts add`; returns its local
        port. `options` are further command-line words (--security ...)."""
        local_port = local_port or free_ports(1)[0]
        self.cli("accounts", "add", name, "--server-ip", server_ip, "--pop3-port", pop3_port,
                 "--local-port", local_port, *options)
        self.accounts[name] = local_port
        return local_port

    def start(self, wait_ports=None):
        """Starts the proxy and waits until it listens on `wait_ports` (default:
        the local port of "main" and of every added account)."""
        if wait_ports is None:
            wait_ports = [self.local_port, *self.accounts.values()]
        self.child = Child([CLI, "-C", self.dir, "proxy"], self.dir / "proxy.log", env=self.env,
                           run_as=self.run_as)
        try:
            for port in wait_ports:
                wait_listening(port, process=self.child.process)
        except HarnessError as error:
            code = self.stop()
            raise HarnessError(f"{error} (exit {code})\n{self.log()[-4000:]}") from None
        return self

    def stop(self):
        """SIGTERM; returns the exit code (the proxy exits 0 on it)."""
        if self.child is None:
            return None
        code = self.child.stop()
        self.child = None
        return code

    def alive(self) -> bool:
        return self.child is not None and self.child.alive()

    def log(self) -> str:
        path = self.dir / "proxy.log"
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def wait_log(self, text: str, timeout: float = START_TIMEOUT):
        """Waits until the proxy's log holds `text`."""
        try:
            wait_until(lambda: text in self.log(), timeout, f"proxy log line {text!r}")
        except HarnessError as error:
            raise HarnessError(f"{error}\n{self.log()[-3000:]}") from None

    def error_log(self) -> str:
        path = self.dir / "ErrorLog.txt"
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    # Store inspection.
    def count(self, folder: str = "newA") -> int:
        return int(self.cli_text("count", folder))

    def indexes(self, folder: str = "newA") -> list:
        return [int(line.split("\t")[0]) for line in self.cli_text("list", folder).splitlines()]

    def show(self, index: int, folder: str = "newA") -> bytes:
        return self.cli("show", folder, index)

    def records(self, folder: str = "newA") -> list:
        """The stored texts of a folder, oldest index first."""
        return [self.show(i, folder) for i in sorted(self.indexes(folder))]

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
