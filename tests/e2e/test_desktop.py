#!/usr/bin/env python3
"""End-to-end tests of the desktop program (`glimmerfen`) on a real X server
(Xvfb): it lives in a tray when a desktop has one and shows its window when it
has none, keeps a second copy out of its installation, ends cleanly on a
termination signal, and as a proxy marks and records the mail a real client
fetches from dovecot through it.

Environment: GLIMMERFEN_APP, GLIMMERFEN_CLI, GLIMMERFEN_REPO.
"""

import os
import poplib
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pop3_harness as h  # noqa: E402
import desktop_harness as d  # noqa: E402

FLAG = b"*GLIMMERFENED!*"


def setUpModule():
    missing = d.missing_tools()
    if missing:
        raise RuntimeError("missing tools: " + " ".join(missing) +
                           " (scripts/install-deps.sh desktop-test)")


def message(sender: str, subject: str, body: str) -> bytes:
    return (f"From: {sender}\nTo: tester@example.test\nSubject: {subject}\n"
            f"Date: Tue, 7 Mar 2006 08:05:00 +0000\nMessage-ID: <{abs(hash(subject))}@test>\n\n"
            f"{body}\n").encode()


class DesktopTest(unittest.TestCase):
    def setUp(self):
        self.tmp = d.temporary_root("glimmerfen-desktop-")
        self.root = Path(self.tmp.name)
        self.display = d.Display(self.root).start()
        self.addCleanup(self.display.stop)
        self.addCleanup(self.tmp.cleanup)

    def app(self, name: str = "store", **kwargs) -> d.DesktopApp:
        app = d.DesktopApp(self.root / name, self.display, **kwargs)
        self.addCleanup(app.stop)
        return app

    def test_with_a_tray_host_the_icon_docks_and_the_window_stays_hidden(self):
        tray = d.TrayHost(self.display).start()
        self.addCleanup(tray.stop)
        self.assertEqual(tray.embedded_windows(), [])
        app = self.app().start()
        h.wait_until(lambda: any("glimmerfen" in line.lower()
                                 for line in tray.embedded_windows()),
                     h.START_TIMEOUT, "tray icon docked", app.child.process)
        time.sleep(0.5)
        self.assertEqual(self.display.visible_windows(d.MAIN_TITLE), [])
        self.assertTrue(app.alive())

    def test_without_a_tray_host_the_window_is_shown(self):
        app = self.app().start()
        h.wait_until(lambda: self.display.visible_windows(d.MAIN_TITLE), h.START_TIMEOUT,
                     "main window shown", app.child.process)

    def test_a_second_copy_in_one_installation_ends_quietly(self):
        first = self.app().start()
        second = first.launch()
        try:
            second.process.wait(timeout=h.START_TIMEOUT)
        finally:
            second.stop()
        self.assertEqual(second.process.returncode, 0)
        self.assertTrue(first.alive())
        # Another installation is another lock: it starts beside the first.
        other = self.app("other").start()
        self.assertTrue(other.alive())

    def test_a_termination_signal_ends_the_program_and_frees_the_installation(self):
        app = self.app().start()
        code = app.child.stop()
        app.child = None
        self.assertEqual(code, 0, app.app_log()[-2000:])
        self.assertNotIn(app.local_port, h.listening_ports())
        app.start()
        self.assertTrue(app.alive())

    def test_build_now_from_the_command_line_runs_a_build_in_the_program(self):
        app = self.app().start()
        app.cli("build-now")
        h.wait_until(lambda: self.display.visible_windows("Auto-Filter Builder"), 30,
                     "builder dialog shown", app.child.process)
        h.wait_until(lambda: not self.display.visible_windows("Auto-Filter Builder"), 60,
                     "builder dialog closed", app.child.process)
        self.assertTrue(app.alive())

    def test_fetched_mail_is_marked_and_recorded(self):
        messages = [message("Friend <friend@example.org>", "Lunch on Friday", "See you there."),
                    message("Promo <promo@shop.test>", "glimmer pills today", "Buy now."),
                    message("Colleague <col@example.org>", "Report", "Attached is nothing.")]
        with h.Dovecot(self.root / "dovecot", messages, tls=False) as server:
            app = self.app(pop3_port=server.port)
            app.cli("list-add", "black", "Subject", "Insensitive", "glimmer pills")
            app.start()
            client = poplib.POP3("127.0.0.1", app.local_port, timeout=30)
            try:
                client.user(h.MAIL_USER)
                client.pass_(h.MAIL_PASSWORD)
                subjects = []
                for number in range(1, len(messages) + 1):
                    lines = client.retr(number)[1]
                    subjects += [line for line in lines if line.startswith(b"Subject:")]
            finally:
                client.quit()
            self.assertEqual(subjects, [b"Subject: Lunch on Friday",
                                        b"Subject: " + FLAG + b"glimmer pills today",
                                        b"Subject: Report"])
            h.wait_until(lambda: app.count("newA") == 3, h.START_TIMEOUT, "three recorded")
            self.assertTrue(app.alive())


if __name__ == "__main__":
    unittest.main(verbosity=2)
