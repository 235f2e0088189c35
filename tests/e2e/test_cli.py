#!/usr/bin/env python3
"""End-to-end tests of glimmerfen-cli on real public mail.

The expected results are worked out here, independently of the C++ code: the
stored text from the proxy's recording rules, header fields both from Python's
email parser and from a small re-statement of the header parsing rules.

Environment: GLIMMERFEN_CLI (the program, default: this checkout's out/ tree)
and GLIMMERFEN_CORPUS (the mail corpus, as pop3_harness.corpus_dir reads it).
"""

import fcntl
import hashlib
import json
import os
import pty
import select
import shutil
import struct
import subprocess
import tempfile
import tty
import unittest
from email import message_from_bytes
from email import policy as email_policy
from pathlib import Path

from pop3_harness import corpus_dir

REPO = Path(os.environ.get("GLIMMERFEN_REPO", Path(__file__).resolve().parents[2]))
CLI = Path(os.environ.get("GLIMMERFEN_CLI", REPO / "out" / "bin" / "glimmerfen-cli"))

STORE = "HGIndex.hgd"
STORE_SIZE = 26_477_694
FOLDERS = ["newA", "goodA", "badA", "goodB", "badB", "trashA"]
FOLDER_SLOTS = 700
FOLDER_LIMIT = 600
STORED_TEXT_LIMIT = 4999
FROM_LIMIT = 79
SUBJECT_LIMIT = 119

# The file format puts every record at a fixed place; the clean test damages one.
FOLDERS_OFFSET = 5094
SLOT_TABLE_SIZE = 4 * FOLDER_SLOTS
RECORD_SIZE = 6299
TEXT_LENGTH_FIELD = 290
FOLDER_BLOCK_SIZE = SLOT_TABLE_SIZE + FOLDER_SLOTS * RECORD_SIZE

MONTHS = [b"jan", b"feb", b"mar", b"apr", b"may", b"jun",
          b"jul", b"aug", b"sep", b"oct", b"nov", b"dec"]
MONTH_NAMES = ["Jan", "Feb", "Mar", "Apr", "May", "Jun",
               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

CORPUS = None
HAM = []
SPAM = []


def setUpModule():
    global CORPUS, HAM, SPAM
    if not os.access(CLI, os.X_OK):
        raise RuntimeError(f"{CLI} is not an executable; build the project first")
    CORPUS = corpus_dir()
    HAM = sorted((CORPUS / "ham").iterdir())
    SPAM = sorted((CORPUS / "spam").iterdir())
    # The trim and limit tests need this many distinct messages.
    if len(HAM) < 1225 or len(SPAM) < 100:
        raise RuntimeError(f"corpus at {CORPUS} is too small: {len(HAM)} ham, {len(SPAM)} spam")


# ---- expected values, derived from the original files ----

def proxy_form(original: bytes) -> bytes:
    """The bytes a POP3 proxy records for a message: CRLF line ends, dot-stuffing,
    the terminating ".\\r\\n" line, cut to the store's text limit. A leading mbox
    "From " line is no part of the message."""
    lines = original.split(b"\n")
    if original.endswith(b"\n"):
        lines.pop()
    if lines and lines[0].startswith(b"From "):
        lines.pop(0)
    out = bytearray()
    for line in lines:
        if line.endswith(b"\r"):
            line = line[:-1]
        if line.startswith(b"."):
            out += b"."
        out += line + b"\r\n"
    out += b".\r\n"
    return bytes(out[:STORED_TEXT_LIMIT])


def scan_addresses(value: bytes):
    """Dotted IPv4 candidates in the "from" clause of one Received value, taken when
    a non-digit, non-point character closes the fourth group. Also tells whether
    the text ends right after a fourth group, a case whose outcome is left open."""
    cut = value.lower().find(b" by ")
    text = value if cut < 0 else value[:cut]
    found, candidate, digits, groups = [], bytearray(), 0, 0
    for c in text:
        if 0x30 <= c <= 0x39:
            if groups == 0 and digits == 0:
                candidate = bytearray()
            candidate.append(c)
            digits += 1
        elif c == 0x2E:
            candidate.append(c)
            groups = groups + 1 if 1 <= digits <= 3 else 0
            digits = 0
        else:
            groups = 4 if (1 <= digits <= 3 and groups == 3) else 0
            digits = 0
        if groups == 4:
            found.append(bytes(candidate))
            groups = 0
    return found, (1 <= digits <= 3 and groups == 3)


def _number(text: bytes):
    if text == b"":
        return 0
    return int(text) if text.isdigit() else None


def expected_parse(text: bytes):
    """The header fields of a stored message text, by the header parsing rules.
    Returns (fields, date_is_certain, addresses_are_certain)."""
    lines, pos = [], 0
    while True:
        end = text.find(b"\r\n", pos)
        if end < 0:
            header_length = len(text)
            break
        line, pos = text[pos:end], end + 2
        if not line:
            header_length = pos
            break
        lines.append(line)

    received, open_value = [], None
    for line in lines:
        if line[:10].lower() == b"received: ":
            if open_value is not None:
                received.append(open_value)
            open_value = line[10:]
        elif open_value is not None:
            if line.startswith(b" "):
                open_value += b" " + line
            received.append(open_value)
            open_value = None
    if open_value is not None:
        received.append(open_value)
    addresses, addresses_open = [], False
    for value in received:
        found, open_end = scan_addresses(value)
        addresses += found
        addresses_open |= open_end

    sender = recipient = subject = b""
    date, first_subject, last_subject = None, None, None
    for number, line in enumerate(lines):
        lower = line.lower()
        if lower.startswith(b"from: "):
            sender = line[6:]
        elif lower.startswith(b"to: "):
            recipient = line[4:]
        elif lower.startswith(b"subject: "):
            subject = line[9:]
            if first_subject is None:
                first_subject = number
            else:
                last_subject = number
        elif lower.startswith(b"date: "):
            date = line[6:]

    def subject_offset(number):
        return 9 if number is None else sum(len(l) + 2 for l in lines[:number]) + 9

    when = {"day": 1, "month": 1, "year": 0, "hour": 0, "minute": 0}
    date_certain = True
    if date is not None and len(date) > 19:
        words = [w for w in date.split(b" ") if w]
        month = next((w for w in words if len(w) == 3 and w.lower() in MONTHS), b"")
        day = next((w for w in words if len(w) in (1, 2)), b"")
        if day.startswith(b"0"):
            day = day[1:]
        year = next((w for w in words if len(w) == 4 and w.isdigit()), b"")
        clock = next((w for w in words if len(w) == 8), None)
        hour, minute = (clock[0:2], clock[3:5]) if clock is not None else (b"", b"")
        numbers = {"day": _number(day), "year": _number(year),
                   "hour": _number(hour), "minute": _number(minute)}
        date_certain = None not in numbers.values()
        when.update(numbers)
        when["month"] = MONTHS.index(month.lower()) + 1 if month else 1

    latin1 = lambda b: b.decode("latin-1")
    fields = {
        "from": latin1(sender), "to": latin1(recipient), "subject": latin1(subject),
        "headerLength": header_length,
        "subjectOffset1": subject_offset(first_subject),
        "subjectOffset2": subject_offset(last_subject),
        "received": [latin1(v) for v in received],
        "receivedIPs": [latin1(a) for a in addresses],
        **when,
    }
    return fields, date_certain, not addresses_open


def display_date(fields) -> str:
    month = MONTH_NAMES[fields["month"] - 1] if 1 <= fields["month"] <= 12 else "Jan"
    return f"{fields['day']} {month} {fields['year']}, {fields['hour']}:{fields['minute']:02d}"


def list_line(index: int, original: bytes) -> str:
    fields, _, _ = expected_parse(proxy_form(original))
    return "\t".join([str(index), display_date(fields),
                      fields["from"][:FROM_LIMIT], fields["subject"][:SUBJECT_LIMIT]])


def single_line_ascii_header(message, name):
    """The raw value of a header that is one ASCII line, else None."""
    value = message.get(name)
    if value is None or "\n" in value or not value.isascii():
        return None
    return value


def is_clean_mbox_part(data: bytes) -> bool:
    lines = data.split(b"\n")
    return (data.startswith(b"From ") and data.endswith(b"\n")
            and not any(l.startswith(b"From ") for l in lines[1:]))


# ---- running the program ----

class CliCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="glimmerfen-e2e-")
        self.addCleanup(self._tmp.cleanup)
        self.root = Path(self._tmp.name)
        self.store_dir = self.root / "store"
        self.store_dir.mkdir()
        # The program's own default directory lives under HOME: a private one.
        self.env = {k: v for k, v in os.environ.items() if k != "XDG_DATA_HOME"}
        self.env["HOME"] = str(self.root / "home")

    def cli_args(self, args, cwd):
        """Run in the store directory unless the test says where: -C names it."""
        args = list(map(str, args))
        if cwd is None and args[:1] != ["-C"]:
            args = ["-C", str(self.store_dir), *args]
        return [str(CLI), *args]

    def run_cli(self, *args, cwd=None):
        return subprocess.run(self.cli_args(args, cwd), cwd=cwd or self.store_dir, env=self.env,
                              capture_output=True, timeout=120, check=False)

    def cli(self, *args, cwd=None) -> bytes:
        result = self.run_cli(*args, cwd=cwd)
        self.assertEqual(result.returncode, 0,
                         f"{args}: exit {result.returncode}, stderr {result.stderr!r}")
        return result.stdout

    def cli_text(self, *args, cwd=None) -> str:
        return self.cli(*args, cwd=cwd).decode("latin-1")

    def assert_fails(self, args, code, contains=None, cwd=None):
        result = self.run_cli(*args, cwd=cwd)
        self.assertEqual(result.returncode, code,
                         f"{args}: exit {result.returncode}, stderr {result.stderr!r}")
        error = result.stderr.decode("latin-1")
        self.assertTrue(error.startswith("glimmerfen-cli: "), f"{args}: stderr {error!r}")
        self.assertTrue(error.endswith("\n") and error.count("\n") == 1,
                        f"{args}: stderr is not one line: {error!r}")
        if contains is not None:
            self.assertIn(contains, error)
        return result

    def init(self):
        self.cli("init")

    def import_files(self, folder, *paths):
        out = self.cli_text("import", folder, *paths)
        return [int(line) for line in out.splitlines()]

    def count(self, folder) -> int:
        return int(self.cli_text("count", folder))

    def counts(self):
        rows = [line.split("\t") for line in self.cli_text("count").splitlines()]
        return {key: int(n) for key, n in rows}

    def listed(self, folder):
        return self.cli_text("list", folder).splitlines()

    def listed_indexes(self, folder):
        return [int(line.split("\t")[0]) for line in self.listed(folder)]

    def show(self, folder, index) -> bytes:
        return self.cli("show", folder, index)

    def store_bytes(self) -> bytes:
        return (self.store_dir / STORE).read_bytes()


class InitTest(CliCase):
    def test_init_creates_store_of_exact_size_and_backup_directory(self):
        self.init()
        self.assertEqual((self.store_dir / STORE).stat().st_size, STORE_SIZE)
        self.assertTrue((self.store_dir / "backup").is_dir())
        self.assertEqual(self.cli_text("count"), "".join(f"{k}\t0\n" for k in FOLDERS))
        for key in FOLDERS:
            self.assertEqual(self.count(key), 0)
            self.assertEqual(self.listed(key), [])

    def test_init_on_an_existing_store_keeps_its_emails(self):
        self.init()
        self.import_files("goodA", *HAM[:3])
        self.init()
        self.assertEqual((self.store_dir / STORE).stat().st_size, STORE_SIZE)
        self.assertEqual(self.count("goodA"), 3)


class MaildirImportTest(CliCase):
    """100 ham messages spread over cur/ and new/ of a Maildir."""

    def setUp(self):
        super().setUp()
        self.init()
        self.maildir = self.root / "Maildir"
        for part in ("cur", "new", "tmp"):
            (self.maildir / part).mkdir(parents=True)
        self.originals = HAM[:100]
        for n, path in enumerate(self.originals):
            # Read messages carry flags after the colon; the name still sorts by its start.
            target = (self.maildir / "cur" / (path.name + ":2,S") if n % 2 == 0
                      else self.maildir / "new" / path.name)
            shutil.copyfile(path, target)
        # A message still being delivered.
        shutil.copyfile(HAM[100], self.maildir / "tmp" / HAM[100].name)
        self.indexes = self.import_files("newA", self.maildir)

    def test_import_prints_one_index_per_message_in_name_order(self):
        self.assertEqual(self.indexes, list(range(100)))
        self.assertEqual(self.count("newA"), 100)
        self.assertEqual(self.counts(), {k: (100 if k == "newA" else 0) for k in FOLDERS})

    def test_list_shows_every_email_in_ascending_index_order(self):
        lines = self.listed("newA")
        self.assertEqual(len(lines), 100)
        self.assertEqual([int(l.split("\t")[0]) for l in lines], list(range(100)))
        for line in lines:
            self.assertEqual(len(line.split("\t")), 4, line)
            self.assertRegex(line.split("\t")[1], r"^\d{1,2} [A-Z][a-z]{2} \d{4}, \d{1,2}:\d\d$")

    def test_list_from_and_subject_match_the_email_parser(self):
        compared = 0
        for line, path in zip(self.listed("newA"), self.originals):
            _, _, sender, subject = line.split("\t")
            message = message_from_bytes(path.read_bytes(), policy=email_policy.compat32)
            expected_sender = single_line_ascii_header(message, "From")
            expected_subject = single_line_ascii_header(message, "Subject")
            if expected_sender is None or expected_subject is None:
                continue
            self.assertEqual(sender, expected_sender[:FROM_LIMIT], path.name)
            self.assertEqual(subject, expected_subject[:SUBJECT_LIMIT], path.name)
            compared += 1
        self.assertGreaterEqual(compared, 50)

    def test_list_lines_match_the_header_rules(self):
        expected = [list_line(i, p.read_bytes()) for i, p in enumerate(self.originals)]
        self.assertEqual(self.listed("newA"), expected)

    def test_show_returns_the_proxy_recorded_text(self):
        long_ones = dotted = 0
        for index, path in enumerate(self.originals):
            original = path.read_bytes()
            expected = proxy_form(original)
            self.assertEqual(self.show("newA", index), expected, path.name)
            long_ones += len(original) > 5000
            dotted += b"\r\n.." in expected
        # The sample must exercise the cut and the dot-stuffing.
        self.assertGreater(long_ones, 0)
        self.assertGreater(dotted, 0)

    def test_show_of_a_missing_index_fails(self):
        self.assert_fails(["show", "newA", "100"], 1)
        self.assert_fails(["show", "goodA", "0"], 1)


class MessageFileImportTest(CliCase):
    def setUp(self):
        super().setUp()
        self.init()

    def clean_mbox_parts(self, paths, n):
        parts = [p.read_bytes() for p in paths]
        parts = [p for p in parts if is_clean_mbox_part(p)][:n]
        self.assertEqual(len(parts), n)
        return parts

    def test_mbox_of_concatenated_messages_imports_each_message(self):
        parts = self.clean_mbox_parts(SPAM[:40], 7)
        mbox = self.root / "inbox"
        mbox.write_bytes(b"".join(parts))
        self.assertEqual(self.import_files("badA", mbox), list(range(7)))
        self.assertEqual(self.count("badA"), 7)
        for index, part in enumerate(parts):
            self.assertEqual(self.show("badA", index), proxy_form(part))
        self.assertEqual(self.listed("badA"), [list_line(i, p) for i, p in enumerate(parts)])

    def test_several_paths_are_imported_in_argument_order(self):
        parts = self.clean_mbox_parts(HAM[200:240], 3)
        mbox = self.root / "two.mbox"
        mbox.write_bytes(parts[0] + parts[1])
        single = self.root / "one.eml"
        single.write_bytes(parts[2])
        self.assertEqual(self.import_files("goodB", single, mbox), [0, 1, 2])
        self.assertEqual(self.show("goodB", 0), proxy_form(parts[2]))
        self.assertEqual(self.show("goodB", 1), proxy_form(parts[0]))
        self.assertEqual(self.show("goodB", 2), proxy_form(parts[1]))

    def test_message_file_with_crlf_ends_and_no_final_line_end(self):
        # The corpus files end in blank lines; the last line here has text.
        original = HAM[5].read_bytes().rstrip(b"\n") + b"\n"
        # Without its mbox line, and as a DOS file missing the last line end.
        body = original.split(b"\n", 1)[1][:-1]
        message = self.root / "dos.eml"
        message.write_bytes(body.replace(b"\n", b"\r\n"))
        self.assertEqual(self.import_files("goodA", message), [0])
        self.assertEqual(self.show("goodA", 0), proxy_form(original))

    def test_from_line_inside_a_plain_message_does_not_split_it(self):
        original = HAM[7].read_bytes()
        without_mbox_line = original.split(b"\n", 1)[1]
        header, body = without_mbox_line.split(b"\n\n", 1)
        text = header + b"\n\nFrom the desk of the editor:\n.\n" + body
        message = self.root / "plain.eml"
        message.write_bytes(text)
        self.assertEqual(self.import_files("goodA", message), [0])
        stored = self.show("goodA", 0)
        self.assertEqual(stored, proxy_form(text))
        self.assertIn(b"\r\n\r\nFrom the desk of the editor:\r\n..\r\n", stored)

    def test_mbox_with_an_overlong_line(self):
        first, second = self.clean_mbox_parts(HAM[300:340], 2)
        header, body = first.split(b"\n\n", 1)
        huge = header + b"\n\n" + b"x" * 20000 + b"\n" + body
        mbox = self.root / "huge.mbox"
        mbox.write_bytes(huge + second)
        self.assertEqual(self.import_files("newA", mbox), [0, 1])
        self.assertEqual(self.show("newA", 0), proxy_form(huge))
        self.assertEqual(len(self.show("newA", 0)), STORED_TEXT_LIMIT)
        self.assertEqual(self.show("newA", 1), proxy_form(second))

    def test_texts_around_the_stored_length_limit(self):
        # A dot-stuffed body, so the added dots count towards the limit too.
        def message_recorded_as(length):
            lines = [b"From: edge@example.org", b"Subject: length %d" % length, b""]
            recorded = lambda ls: sum(len(l) + l.startswith(b".") + 2 for l in ls)
            while length - recorded(lines) > 80:
                lines.append(b"." + b"z" * 60)
            lines.append(b"q" * (length - recorded(lines) - 2))
            self.assertEqual(recorded(lines), length)
            return b"\n".join(lines) + b"\n"

        endings = {4995: b"\r\n.\r\n", 4996: b"\r\n.\r\n", 4997: b"\r\n.\r",
                   4998: b"\r\n.", 4999: b"q\r\n", 5000: b"q\r"}
        for n, length in enumerate(sorted(endings)):
            path = self.root / f"len{length}.eml"
            text = message_recorded_as(length)
            path.write_bytes(text)
            self.assertEqual(self.import_files("goodB", path), [n])
            stored = self.show("goodB", n)
            self.assertEqual(stored, proxy_form(text), length)
            self.assertEqual(len(stored), min(length + 3, STORED_TEXT_LIMIT))
            self.assertTrue(stored.endswith(endings[length]), (length, stored[-8:]))

    def test_directory_files_are_taken_in_name_order(self):
        directory = self.root / "dir"
        directory.mkdir()
        names = ["b", "a9", "A", "a10"]  # byte order: A, a10, a9, b
        for name, path in zip(names, HAM[400:404]):
            shutil.copyfile(path, directory / name)
        by_name = dict(zip(names, HAM[400:404]))
        self.assertEqual(self.import_files("goodA", directory), [0, 1, 2, 3])
        for index, name in enumerate(sorted(names)):
            self.assertEqual(self.show("goodA", index), proxy_form(by_name[name].read_bytes()))


class MoveTest(CliCase):
    def test_move_changes_both_folders(self):
        self.init()
        originals = [p.read_bytes() for p in HAM[:10]]
        self.import_files("newA", *HAM[:10])
        self.cli("move", "newA", "goodA", "2", "5", "7")
        self.assertEqual(self.listed_indexes("newA"), [0, 1, 3, 4, 6, 8, 9])
        self.assertEqual(self.listed_indexes("goodA"), [2, 5, 7])
        self.assertEqual(self.listed("goodA"), [list_line(i, originals[i]) for i in (2, 5, 7)])
        self.assertEqual(self.count("newA"), 7)
        self.assertEqual(self.count("goodA"), 3)
        self.assertEqual(self.show("goodA", 5), proxy_form(originals[5]))
        self.assert_fails(["show", "newA", "5"], 1)

        self.cli("move", "goodA", "badB", "7")
        self.assertEqual(self.counts(), {"newA": 7, "goodA": 2, "badA": 0,
                                         "goodB": 0, "badB": 1, "trashA": 0})
        self.assertEqual(self.show("badB", 7), proxy_form(originals[7]))

    def test_move_of_a_missing_email_moves_nothing(self):
        self.init()
        self.import_files("newA", *HAM[:3])
        self.assert_fails(["move", "newA", "goodA", "1", "99"], 1, contains="no email 99 in newA")
        self.assert_fails(["delete-trash", "1"], 1, contains="no email 1 in trashA")
        self.assert_fails(["move", "newA", "newA", "1"], 2)
        self.assertEqual(self.listed_indexes("newA"), [0, 1, 2])
        self.assertEqual(self.count("goodA"), 0)


class ParseTest(CliCase):
    def parse(self, path):
        return json.loads(self.cli("parse", path).decode("utf-8"))

    def test_parse_of_a_known_message(self):
        path = HAM[0]
        original = path.read_bytes()
        result = self.parse(path)
        self.assertEqual(sorted(result), sorted([
            "from", "to", "subject", "day", "month", "year", "hour", "minute",
            "headerLength", "subjectOffset1", "subjectOffset2", "received", "receivedIPs"]))
        message = message_from_bytes(original, policy=email_policy.compat32)
        self.assertEqual(result["from"], message["From"])
        self.assertEqual(result["subject"], message["Subject"])
        stored = proxy_form(original)
        self.assertEqual(result["headerLength"], stored.index(b"\r\n\r\n") + 4)
        self.assertEqual(stored[result["subjectOffset1"]:].split(b"\r\n")[0],
                         message["Subject"].encode())
        self.assertGreater(len(result["receivedIPs"]), 3)
        for address in result["receivedIPs"]:
            self.assertRegex(address, r"^\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$")
            self.assertTrue(all(int(part) <= 255 for part in address.split(".")))
            self.assertTrue(any(address in value.lower().split(" by ")[0]
                                for value in result["received"]), address)
        self.assertEqual(len(result["received"]), len(message.get_all("Received")))
        expected, _, _ = expected_parse(stored)
        self.assertEqual(result, expected)

    def test_parse_matches_the_header_rules_across_the_corpus(self):
        sample = HAM[::20] + SPAM[::5]
        checked_dates = checked_addresses = 0
        for path in sample:
            result = self.parse(path)
            expected, date_certain, addresses_certain = expected_parse(
                proxy_form(path.read_bytes()))
            if not date_certain:
                for key in ("day", "month", "year", "hour", "minute"):
                    del result[key], expected[key]
            if not addresses_certain:
                del result["receivedIPs"], expected["receivedIPs"]
            checked_dates += date_certain
            checked_addresses += addresses_certain
            self.assertEqual(result, expected, path)
        self.assertGreater(checked_dates, len(sample) * 0.9)
        self.assertGreater(checked_addresses, len(sample) * 0.9)

    def test_parse_maps_bytes_to_the_first_256_code_points(self):
        for path in SPAM + HAM:
            raw = path.read_bytes()
            header = proxy_form(raw).split(b"\r\n\r\n")[0]
            subjects = [l for l in header.split(b"\r\n") if l.lower().startswith(b"subject: ")]
            if subjects and any(b >= 0x80 for b in subjects[-1]):
                break
        else:
            self.fail("no corpus message has a Subject with bytes above 127")
        result = self.parse(path)
        self.assertEqual(result["subject"], subjects[-1][9:].decode("latin-1"))
        self.assertTrue(any(0x80 <= ord(ch) <= 0xFF for ch in result["subject"]))

    def test_parse_of_an_mbox_reads_its_first_message(self):
        parts = [p.read_bytes() for p in SPAM[10:40]]
        parts = [p for p in parts if is_clean_mbox_part(p)][:3]
        mbox = self.root / "three.mbox"
        mbox.write_bytes(b"".join(parts))
        expected, _, _ = expected_parse(proxy_form(parts[0]))
        self.assertEqual(self.parse(mbox), expected)


class BackupTest(CliCase):
    def test_two_backups_rotate(self):
        self.init()
        self.import_files("goodA", *HAM[:3])
        out = self.cli_text("backup")
        self.assertIn("HGIndex1.hgd", out)
        first = self.store_bytes()
        backup1 = self.store_dir / "backup" / "HGIndex1.hgd"
        backup2 = self.store_dir / "backup" / "HGIndex2.hgd"
        self.assertEqual(backup1.read_bytes(), first)

        self.import_files("goodA", *HAM[3:5])
        self.cli("backup")
        second = self.store_bytes()
        self.assertNotEqual(first, second)
        self.assertEqual(backup2.read_bytes(), first)
        self.assertEqual(backup1.read_bytes(), second)
        self.assertEqual(backup1.stat().st_size, STORE_SIZE)
        self.assertEqual(backup2.stat().st_size, STORE_SIZE)


class TrimCleanTest(CliCase):
    def setUp(self):
        super().setUp()
        self.init()

    def test_trim_moves_the_oldest_new_emails_to_the_trash(self):
        self.assertEqual(self.import_files("newA", *HAM[:615]), list(range(615)))
        self.cli("trim")
        self.assertEqual(self.count("newA"), FOLDER_LIMIT)
        self.assertEqual(self.count("trashA"), 15)
        self.assertEqual(self.listed_indexes("newA"), list(range(15, 615)))
        self.assertEqual(self.listed_indexes("trashA"), list(range(15)))
        self.assertEqual(self.show("trashA", 3), proxy_form(HAM[3].read_bytes()))
        self.cli("trim")
        self.assertEqual(self.count("newA"), FOLDER_LIMIT)
        self.assertEqual(self.count("trashA"), 15)

    def test_trim_cuts_the_trash_to_its_limit_deleting_the_oldest(self):
        self.import_files("trashA", *HAM[:610])
        self.import_files("newA", *HAM[610:1225])
        self.cli("trim")
        # 15 more reach the trash, then the 25 oldest there are gone for good.
        self.assertEqual(self.listed_indexes("newA"), list(range(625, 1225)))
        self.assertEqual(self.listed_indexes("trashA"), list(range(25, 625)))
        self.assertEqual(self.show("trashA", 620), proxy_form(HAM[620].read_bytes()))
        self.assertEqual(self.show("trashA", 25), proxy_form(HAM[25].read_bytes()))
        self.assertEqual(sum(self.counts().values()), 1200)

    def test_trim_leaves_small_folders_alone(self):
        self.import_files("newA", *HAM[:20])
        self.import_files("trashA", *HAM[20:30])
        before = self.store_bytes()
        self.cli("trim")
        self.assertEqual(self.listed_indexes("newA"), list(range(20)))
        self.assertEqual(self.listed_indexes("trashA"), list(range(20, 30)))
        self.assertEqual(self.store_bytes(), before)

    def test_delete_trash(self):
        self.import_files("trashA", *HAM[:5])
        self.import_files("goodA", *HAM[5:7])
        self.cli("delete-trash", "1", "3")
        self.assertEqual(self.listed_indexes("trashA"), [0, 2, 4])
        self.assertEqual(self.count("goodA"), 2)
        self.assert_fails(["show", "trashA", "3"], 1)

    def text_length_offset(self, folder_number, index):
        with open(self.store_dir / STORE, "rb") as store:
            store.seek(FOLDERS_OFFSET + folder_number * FOLDER_BLOCK_SIZE)
            slots = struct.unpack(f"<{FOLDER_SLOTS}i", store.read(SLOT_TABLE_SIZE))
        self.assertIn(index, slots)
        slot = slots.index(index)
        return (FOLDERS_OFFSET + folder_number * FOLDER_BLOCK_SIZE + SLOT_TABLE_SIZE
                + slot * RECORD_SIZE + TEXT_LENGTH_FIELD)

    def test_clean_deletes_a_corrupted_record_only(self):
        originals = [p.read_bytes() for p in HAM[:5]]
        self.import_files("newA", *HAM[:5])
        self.import_files("badB", *HAM[5:8])
        self.cli("clean")
        self.assertEqual(self.count("newA"), 5)
        self.assertEqual(self.count("badB"), 3)

        offset = self.text_length_offset(FOLDERS.index("newA"), 2)
        with open(self.store_dir / STORE, "r+b") as store:
            store.seek(offset)
            self.assertEqual(struct.unpack("<i", store.read(4))[0], len(proxy_form(originals[2])))
            store.seek(offset)
            store.write(struct.pack("<i", 6000))  # longer than any valid record text

        self.cli("clean")
        self.assertEqual(self.count("newA"), 4)
        self.assertEqual(self.listed_indexes("newA"), [0, 1, 3, 4])
        self.assertEqual(self.show("newA", 3), proxy_form(originals[3]))
        self.assert_fails(["show", "newA", "2"], 1)
        self.assertEqual(self.count("badB"), 3)
        self.assertEqual((self.store_dir / STORE).stat().st_size, STORE_SIZE)


class FolderFullTest(CliCase):
    def test_import_stops_when_the_folder_holds_700(self):
        self.init()
        self.assertEqual(len(self.import_files("goodB", *HAM[:690])), 690)
        result = self.assert_fails(["import", "goodB", *HAM[690:710]], 1)
        self.assertEqual(result.stdout.decode().split(), [str(i) for i in range(690, 700)])
        self.assertEqual(self.count("goodB"), FOLDER_SLOTS)
        self.assertEqual(self.show("goodB", 699), proxy_form(HAM[699].read_bytes()))

        result = self.assert_fails(["import", "goodB", HAM[800]], 1)
        self.assertEqual(result.stdout, b"")
        self.assertEqual(self.count("goodB"), FOLDER_SLOTS)
        self.assertEqual(len(self.listed("goodB")), FOLDER_SLOTS)
        # Other folders still take mail, and a move into the full one is refused whole.
        self.assertEqual(len(self.import_files("goodA", HAM[800])), 1)
        self.assert_fails(["move", "goodA", "goodB", "700"], 1, contains="room for 0")
        self.assertEqual(self.listed_indexes("goodA"), [700])


class TruncatedStoreTest(CliCase):
    def test_truncated_store_is_reported_and_left_alone(self):
        self.init()
        self.import_files("newA", *HAM[:3])
        path = self.store_dir / STORE
        os.truncate(path, 1_000_000)
        digest = hashlib.sha256(path.read_bytes()).hexdigest()
        commands = [["list", "newA"], ["count"], ["count", "newA"], ["show", "newA", "0"],
                    ["import", "newA", HAM[3]], ["move", "newA", "goodA", "0"],
                    ["delete-trash", "0"], ["clean"], ["trim"], ["backup"], ["init"]]
        for command in commands:
            self.assert_fails(command, 1, contains="Truncated")
            self.assertEqual(path.stat().st_size, 1_000_000, command)
        self.assertEqual(hashlib.sha256(path.read_bytes()).hexdigest(), digest)
        self.assertFalse((self.store_dir / "backup" / "HGIndex1.hgd").exists())


class UsageTest(CliCase):
    def test_usage_errors_exit_2_with_one_line(self):
        self.init()
        message = HAM[0]
        bad = [
            ["list", "nope"], ["count", "NEWA"], ["import", "inbox", message],
            ["move", "newA", "spam", "1"], ["show", "trash", "0"],
            ["show", "newA", "x"], ["show", "newA", "1x"], ["show", "newA", ""],
            ["move", "newA", "goodA", "abc"], ["delete-trash", "1.5"],
            ["frobnicate"], ["list"], ["show", "newA"], ["show", "newA", "1", "2"],
            ["import", "newA"], ["move", "newA", "goodA"], ["parse"], ["delete-trash"],
            ["init", "extra"], ["count", "newA", "goodA"], ["clean", "now"],
            # The proxy would move a local port outside 1025-5000 to 2000.
            ["settings", "--local-port", "80"], ["settings", "--local-port", "5001"],
            ["settings", "--pop3-port", "0"],
        ]
        for args in bad:
            result = self.assert_fails(args, 2)
            self.assertEqual(result.stdout, b"", args)
        self.assertEqual(self.counts(), {k: 0 for k in FOLDERS})

    def test_no_command_is_a_usage_error(self):
        self.assertEqual(self.run_cli().returncode, 2)

    def test_usage_error_creates_no_store(self):
        self.assert_fails(["import", "nope", HAM[0]], 2)
        self.assertFalse((self.store_dir / STORE).exists())

    def test_commands_without_a_store_fail(self):
        for args in (["list", "newA"], ["count"], ["show", "newA", "0"]):
            self.assert_fails(args, 1)
        self.assertFalse((self.store_dir / STORE).exists())

    def test_missing_input_fails(self):
        self.init()
        self.assert_fails(["import", "newA", self.root / "no-such-mail"], 1)
        self.assert_fails(["parse", self.root / "no-such-mail"], 1)
        self.assertEqual(self.count("newA"), 0)


class LockTest(CliCase):
    def test_writers_refuse_while_another_holds_the_backup_directory(self):
        self.init()
        self.import_files("newA", *HAM[:3])
        before = self.store_bytes()
        fd = os.open(self.store_dir / "backup", os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            for args in (["import", "newA", HAM[3]], ["move", "newA", "goodA", "0"],
                         ["backup"], ["trim"]):
                result = self.assert_fails(args, 1)
                self.assertEqual(result.stdout, b"", args)
            self.assertEqual(self.store_bytes(), before)
            self.assertFalse((self.store_dir / "backup" / "HGIndex1.hgd").exists())
            # Readers need no lock.
            self.assertEqual(self.count("newA"), 3)
            self.assertEqual(len(self.listed("newA")), 3)
        finally:
            fcntl.flock(fd, fcntl.LOCK_UN)
            os.close(fd)
        self.assertEqual(self.import_files("newA", HAM[3]), [3])
        self.cli("move", "newA", "goodA", "0")
        self.assertEqual(self.count("goodA"), 1)


class TerminalOutputTest(CliCase):
    MESSAGE = (b"From: \x1b[31mMallory\x1b[0m <m@example.com>\r\n"
               b"Subject: hi \x1b]0;owned\x07 \x1b[2J \xc2\x9b5m there\r\n"
               b"\r\nBody with a bell \x07 and a tab\t.\r\n")

    def on_terminal(self, *args) -> bytes:
        """What the command writes when its standard output is a terminal."""
        master, slave = pty.openpty()
        tty.setraw(slave)  # no line-end translation: the bytes as written
        try:
            proc = subprocess.Popen(self.cli_args(args, None), cwd=self.store_dir,
                                    env=self.env, stdout=slave, stderr=subprocess.DEVNULL)
        finally:
            os.close(slave)
        output = b""
        try:
            for _ in range(1000):  # ends at the program's exit (EIO) or after 60 s
                ready, _, _ = select.select([master], [], [], 0.06)
                if not ready:
                    if proc.poll() is not None:
                        break
                    continue
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
        finally:
            os.close(master)
            self.assertEqual(proc.wait(timeout=60), 0, args)
        return output

    def test_control_characters_reach_a_terminal_escaped_and_a_pipe_unchanged(self):
        self.init()
        message = self.root / "message"
        message.write_bytes(self.MESSAGE)
        index, = self.import_files("goodA", message)

        listed = self.on_terminal("list", "goodA")
        self.assertNotIn(b"\x1b", listed)
        self.assertNotIn(b"\x07", listed)
        self.assertIn(rb"\x1b[31mMallory\x1b[0m", listed)
        self.assertIn(rb"hi \x1b]0;owned\x07 \x1b[2J \xc2\x9b5m there", listed)
        self.assertTrue(listed.endswith(b"there\n"), listed)

        shown = self.on_terminal("show", "goodA", index)
        self.assertNotIn(b"\x1b", shown)
        self.assertIn(b"Body with a bell \\x07 and a tab\t.\r\n", shown)

        # Piped, both keep the stored bytes.
        self.assertIn(b"\x1b]0;owned\x07", self.cli("list", "goodA"))
        self.assertEqual(self.show("goodA", index), proxy_form(self.MESSAGE))


class ChangeDirectoryTest(CliCase):
    def test_dash_c_works_on_the_named_directory(self):
        elsewhere = self.root / "elsewhere"
        elsewhere.mkdir()
        self.cli("-C", self.store_dir, "init", cwd=elsewhere)
        self.assertEqual((self.store_dir / STORE).stat().st_size, STORE_SIZE)
        self.assertTrue((self.store_dir / "backup").is_dir())
        self.assertFalse((elsewhere / STORE).exists())
        self.assertFalse((elsewhere / "backup").exists())

        out = self.cli("-C", self.store_dir, "import", "badA", *HAM[:2], cwd=elsewhere)
        self.assertEqual(out.split(), [b"0", b"1"])
        # A relative DIR is taken from the current directory.
        self.assertEqual(self.cli("-C", "store", "count", "badA", cwd=self.root), b"2\n")
        self.assertEqual(self.cli("-C", self.store_dir, "show", "badA", "1", cwd=elsewhere),
                         proxy_form(HAM[1].read_bytes()))
        self.assert_fails(["count"], 1, cwd=elsewhere)
        self.assert_fails(["-C", self.root / "missing", "count"], 1, cwd=elsewhere)


class AutostartTest(CliCase):
    def test_autostart_on_and_off_write_and_remove_the_desktop_entry(self):
        # A copy of the command in a bin directory of its own (with a blank in
        # its name, which the entry must quote), so that the glimmerfen beside
        # it is the test's.
        bin_dir = self.root / "my bin"
        bin_dir.mkdir()
        cli = bin_dir / "glimmerfen-cli"
        shutil.copy2(CLI, cli)
        config = self.root / "config"
        entry = config / "autostart" / "glimmerfen.desktop"
        env = dict(os.environ, HOME=str(self.root / "home"), XDG_CONFIG_HOME=str(config))

        def autostart(*args):
            return subprocess.run([str(cli), "autostart", *args], env=env, capture_output=True,
                                  timeout=60, check=False)

        for args, code in ((["on"], 1), (["maybe"], 2), (["on", "off"], 2)):
            result = autostart(*args)
            self.assertEqual(result.returncode, code, args)
            self.assertTrue(result.stderr.startswith(b"glimmerfen-cli: "), result.stderr)
            self.assertEqual(result.stderr.count(b"\n"), 1, result.stderr)
        self.assertFalse(entry.exists())

        program = bin_dir / "glimmerfen"
        program.write_bytes(b"#!/bin/sh\n")
        program.chmod(0o755)
        self.assertEqual(autostart("on").stdout.decode(), f"autostart on: {entry}\n")
        self.assertIn(f'\nExec="{program}"\n', entry.read_text())
        validator = shutil.which("desktop-file-validate")
        self.assertIsNotNone(validator, "install desktop-file-utils")
        checked = subprocess.run([validator, str(entry)], capture_output=True, timeout=60)
        self.assertEqual((checked.returncode, checked.stdout), (0, b""), checked.stdout)
        self.assertEqual(autostart().stdout.decode(), f"autostart on: {entry}\n")

        for _ in range(2):  # off twice: nothing to remove is no failure
            result = autostart("off")
            self.assertEqual((result.returncode, result.stdout.decode()),
                             (0, f"autostart off: {entry}\n"))
        self.assertFalse(entry.exists())
        self.assertTrue(entry.parent.is_dir())


if __name__ == "__main__":
    unittest.main(verbosity=2)
