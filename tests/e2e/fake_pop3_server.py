#!/usr/bin/env python3
"""A small scriptable POP3 server on a loopback port, for faults that a real
server does not produce on demand: an error to RETR, replies one byte per
write, a connection closed in the middle of a message, a stall, a CAPA that
offers STLS and PIPELINING.

It serves one connection at a time on a thread of its own. Messages are given
in Maildir form (LF line ends); the server sends them with CRLF line ends,
dot-stuffed, with the terminating "." line, as a real server does.

Behaviour for RETR n is chosen by `retr_faults[n]`:
  ("err",)                    "-ERR" status line only
  ("bytewise",)               the whole reply one byte per write
  ("close_after", k)          the first k bytes of the reply, then the connection closes
  ("stall", k, seconds, span) the first k bytes, then one byte every `seconds`
                              for at most `span` seconds, then the connection closes
  ("chunked", size, pause)    the reply in writes of `size` bytes, `pause` s apart
  ("hang", k)                 the first k bytes, then nothing until release() or
                              stop(), then the connection closes; `hanging` is set
                              while it waits

Server-wide options: `bytewise` sends every reply one byte per write,
`status_pad` lengthens RETR status lines, `capa` replaces the capability list
(False: the server answers CAPA with "-ERR"), `stls_reply` replaces the answer
to STLS.

Every command line received is kept in `commands` (one list per connection).
Run as a program it serves a directory of message files until interrupted:
    fake_pop3_server.py PORT DIR
"""

import socket
import sys
import threading
import time
from pathlib import Path

USER = "tester"
PASSWORD = "secret-pass"

# The longest a "hang" fault waits for release() or stop().
HANG_LIMIT = 300.0

DEFAULT_CAPA = [b"CAPA", b"TOP", b"UIDL", b"RESP-CODES", b"PIPELINING", b"STLS",
                b"USER", b"SASL PLAIN", b"IMPLEMENTATION fake"]


def wire_body(maildir_text: bytes) -> bytes:
    lines = maildir_text.split(b"\n")
    if maildir_text.endswith(b"\n"):
        lines.pop()
    out = bytearray()
    for line in lines:
        if line.startswith(b"."):
            out += b"."
        out += line + b"\r\n"
    return bytes(out + b".\r\n")


def retr_reply(message: bytes, status_pad: int = 0) -> bytes:
    """The whole reply to a RETR of `message`; `status_pad` lengthens the status
    line by that many bytes of free text."""
    body = wire_body(message)
    pad = b" " + b"p" * (status_pad - 1) if status_pad else b""
    return b"+OK %d octets%s\r\n" % (len(body) - 3, pad) + body


class FakePop3Server:
    def __init__(self, messages, port: int = 0, greeting: bytes = b"+OK fake POP3 ready",
                 capa=None, retr_faults=None, bytewise: bool = False, status_pad: int = 0,
                 stls_reply: bytes = b"+OK begin TLS negotiation"):
        self.messages = list(messages)
        self.greeting = greeting
        # None: a typical list; False: the server knows no CAPA.
        self.capa = capa if capa is False else list(DEFAULT_CAPA if capa is None else capa)
        self.retr_faults = dict(retr_faults or {})
        # Every reply one byte per write, not only those of chosen RETRs.
        self.bytewise = bytewise
        # Lengthens every RETR status line by this many bytes of free text.
        self.status_pad = status_pad
        self.stls_reply = stls_reply
        self.commands = []
        self.sessions_done = 0
        self.errors = []
        self._stop = threading.Event()
        # A "hang" fault waits for release(); `hanging` tells a test it has begun.
        self.hanging = threading.Event()
        self._release = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", port))
        self._listener.listen(4)
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, name="fake-pop3", daemon=True)
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)

    # ---- life cycle ----

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=10)
        try:
            self._listener.close()
        except OSError:
            pass

    def release(self):
        """Ends a "hang" fault: its connection closes."""
        self._release.set()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def wait_sessions(self, count: int, timeout: float = 30.0) -> bool:
        """Waits until `count` connections have ended."""
        deadline = time.monotonic() + timeout
        with self._idle:
            while self.sessions_done < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._idle.wait(left)
        return True

    # ---- what the server answers ----

    def retr_reply(self, number: int) -> bytes:
        return retr_reply(self.messages[number - 1], self.status_pad)

    def reply_for(self, line: bytes):
        """The reply bytes for one command line, and whether to close after it."""
        words = line.split()
        verb = words[0].upper() if words else b""
        args = words[1:]
        count = len(self.messages)
        sizes = [len(wire_body(m)) - 3 for m in self.messages]

        def number(i=0):
            try:
                n = int(args[i])
            except (IndexError, ValueError):
                return None
            return n if 1 <= n <= count else None

        if verb == b"QUIT":
            return b"+OK bye\r\n", True
        if verb == b"USER":
            return b"+OK send PASS\r\n", False
        if verb == b"PASS":
            ok = args[:1] == [PASSWORD.encode()]
            return (b"+OK logged in\r\n" if ok else b"-ERR [AUTH] wrong password\r\n"), False
        if verb == b"STAT":
            return b"+OK %d %d\r\n" % (count, sum(sizes)), False
        if verb in (b"LIST", b"UIDL"):
            def entry(n):
                return b"%d %s" % (n, (b"%d" % sizes[n - 1]) if verb == b"LIST"
                                   else b"fake-uid-%04d" % n)
            if args:
                n = number()
                return ((b"+OK " + entry(n) + b"\r\n") if n else b"-ERR no such message\r\n"), False
            lines = b"".join(entry(n) + b"\r\n" for n in range(1, count + 1))
            return b"+OK %d messages\r\n" % count + lines + b".\r\n", False
        if verb == b"TOP":
            n = number()
            try:
                keep = int(args[1])
            except (IndexError, ValueError):
                n = None
            if n is None:
                return b"-ERR no such message\r\n", False
            text = self.messages[n - 1]
            head, _, rest = text.partition(b"\n\n")
            body_lines = rest.split(b"\n")[:-1] if rest else []
            top = head + b"\n\n" + b"".join(l + b"\n" for l in body_lines[:keep])
            return b"+OK top of message follows\r\n" + wire_body(top), False
        if verb == b"RETR":
            n = number()
            if n is None:
                return b"-ERR no such message\r\n", False
            return self.retr_reply(n), False
        if verb == b"CAPA" and self.capa is not False:
            return b"+OK capability list follows\r\n" + b"".join(
                c + b"\r\n" for c in self.capa) + b".\r\n", False
        if verb == b"AUTH" and not args:
            return b"+OK\r\nPLAIN\r\n.\r\n", False
        if verb == b"STLS":
            return self.stls_reply + b"\r\n", False
        if verb in (b"NOOP", b"RSET"):
            return b"+OK\r\n", False
        return b"-ERR unknown command\r\n", False

    # ---- serving ----

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            log = []
            self.commands.append(log)
            try:
                self._session(conn, log)
            except OSError:
                # The far side went away: a fault some tests cause on purpose.
                pass
            except Exception as error:  # noqa: BLE001 - kept for the test to see
                self.errors.append(repr(error))
            finally:
                try:
                    conn.close()
                except OSError:
                    pass
                with self._idle:
                    self.sessions_done += 1
                    self._idle.notify_all()

    def _send(self, conn, data: bytes, bytewise: bool):
        if not bytewise:
            conn.sendall(data)
            return
        for i in range(len(data)):
            if self._stop.is_set():
                raise OSError("server stopping")
            conn.sendall(data[i:i + 1])
            # A pause lets each byte leave in a segment of its own.
            time.sleep(0.001)

    def _session(self, conn, log):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.settimeout(0.2)
        self._send(conn, self.greeting + b"\r\n", self.bytewise)
        pending = b""
        while not self._stop.is_set():
            while b"\r\n" not in pending:
                try:
                    chunk = conn.recv(4096)
                except socket.timeout:
                    if self._stop.is_set():
                        return
                    continue
                if not chunk:
                    return
                pending += chunk
            end = pending.index(b"\r\n")
            line, pending = pending[:end], pending[end + 2:]
            log.append(line)
            words = line.split()
            verb = words[0].upper() if words else b""
            fault = None
            if verb == b"RETR" and len(words) > 1 and words[1].isdigit():
                fault = self.retr_faults.get(int(words[1]))
            if fault is not None:
                if not self._faulty_retr(conn, int(words[1]), fault):
                    return
                continue
            reply, close = self.reply_for(line)
            self._send(conn, reply, self.bytewise)
            if close:
                return

    def _faulty_retr(self, conn, number: int, fault) -> bool:
        """Sends a RETR reply the faulty way; False when the connection is to end."""
        kind = fault[0]
        if kind == "err":
            self._send(conn, b"-ERR message is locked\r\n", self.bytewise)
            return True
        reply = self.retr_reply(number)
        if kind == "bytewise":
            self._send(conn, reply, True)
            return True
        if kind == "chunked":
            size, pause = fault[1], fault[2]
            for start in range(0, len(reply), size):
                conn.sendall(reply[start:start + size])
                time.sleep(pause)
            return True
        if kind == "close_after":
            conn.sendall(reply[:fault[1]])
            # Let the bytes reach the peer before the FIN.
            time.sleep(0.2)
            return False
        if kind == "stall":
            head, every, span = fault[1], fault[2], fault[3]
            conn.sendall(reply[:head])
            deadline = time.monotonic() + span
            position = head
            while time.monotonic() < deadline and position < len(reply) - 5:
                if self._stop.wait(every):
                    break
                conn.sendall(reply[position:position + 1])
                position += 1
            return False
        if kind == "hang":
            conn.sendall(reply[:fault[1]])
            self.hanging.set()
            # stop() ends it too, and a forgotten one gives up after HANG_LIMIT.
            deadline = time.monotonic() + HANG_LIMIT
            while (not self._release.wait(0.2) and not self._stop.is_set()
                   and time.monotonic() < deadline):
                pass
            self.hanging.clear()
            return False
        raise ValueError(f"unknown RETR fault {fault!r}")


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    files = sorted(p for p in Path(argv[2]).iterdir() if p.is_file())
    server = FakePop3Server([p.read_bytes() for p in files], port=int(argv[1]))
    server.start()
    print(f"fake POP3 server on 127.0.0.1:{server.port} with {len(files)} messages",
          flush=True)
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
