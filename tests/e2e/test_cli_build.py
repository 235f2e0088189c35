#!/usr/bin/env python3
"""End-to-end tests of glimmerfen-cli's filter building on real mail: the
multi-pass build, the schedule, and the build request."""

import fcntl
import os
import re
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import test_cli  # noqa: E402
from test_cli import CliCase  # noqa: E402

SCHEDULE_FILE = "timeData.bin"
ACCURACY = re.compile(r"^Filter's Accuracy:\n (\d+\.\d\d)% for (-?\d+) emails\.\n$")
CANT_BUILD = ("Filter Can't Be Built:\nYou must supply 10 or more emails to\n"
              " the folders \"Store Good\" and \"Store Bad\" each.\n")
MOST_PICKS_PER_PASS = 5
IMPROVEMENT_PASSES = 3


def setUpModule():
    test_cli.setUpModule()


class BuildCase(CliCase):
    def fill(self, good, bad, store_good, store_bad):
        self.init()
        for folder, files in (("goodA", good), ("badA", bad), ("goodB", store_good),
                              ("badB", store_bad)):
            if files:
                self.import_files(folder, *files)

    def schedule_record(self):
        data = (self.store_dir / SCHEDULE_FILE).read_bytes()
        self.assertEqual(len(data), 18)
        accuracy, = struct.unpack_from("<f", data, 10)
        count, = struct.unpack_from("<i", data, 14)
        return data[:10], accuracy, count


class MultiPassBuildTest(BuildCase):
    def test_build_moves_what_the_passes_pick_and_stores_the_accuracy(self):
        ham, spam = test_cli.HAM, test_cli.SPAM
        # Store Good holds some spam filed there by mistake: the passes must move
        # mail, and the accuracy cannot be perfect.
        self.fill(ham[:300], spam[:200], ham[300:400] + spam[400:430], spam[200:300])
        before = self.counts()
        printed = self.cli_text("build")
        after = self.counts()

        match = ACCURACY.match(printed)
        self.assertIsNotNone(match, printed)
        _, accuracy, count = self.schedule_record()
        self.assertEqual(f"{accuracy * 100:.2f}", match.group(1))
        self.assertEqual(count, int(match.group(2)))
        # Every email of the four folders is rated once in the end.
        self.assertEqual(count, sum(after[f] for f in ("goodA", "badA", "goodB", "badB")))
        self.assertLess(accuracy, 1.0)
        self.assertGreater(accuracy, 0.8)

        moved_good = before["goodB"] - after["goodB"]
        moved_bad = before["badB"] - after["badB"]
        self.assertGreater(moved_good, 0)
        self.assertLessEqual(moved_good, MOST_PICKS_PER_PASS * IMPROVEMENT_PASSES)
        self.assertLessEqual(moved_bad, MOST_PICKS_PER_PASS * IMPROVEMENT_PASSES)
        # What left a store folder is in its training folder, plus at most two
        # second copies of hard training emails each.
        self.assertIn(after["goodA"] - before["goodA"] - moved_good, (0, 1, 2))
        self.assertIn(after["badA"] - before["badA"] - moved_bad, (0, 1, 2))
        self.assertEqual(after["newA"] + after["trashA"], 0)
        self.assertTrue((self.store_dir / "MapProb.bin").exists())

        # The schedule shows the same result afterwards.
        shown = self.cli_text("schedule")
        self.assertIn(printed, shown)

    def test_too_few_emails_cannot_build(self):
        ham, spam = test_cli.HAM, test_cli.SPAM
        self.fill(ham[:8], spam[:30], ham[8:9], spam[30:60])
        self.assertEqual(self.cli_text("build"), CANT_BUILD)
        _, accuracy, count = self.schedule_record()
        self.assertEqual((accuracy, count), (0.0, -1))
        self.assertTrue(self.cli_text("schedule").endswith(CANT_BUILD))
        self.assertFalse((self.store_dir / "MapProb.bin").exists())

    def test_build_refuses_while_the_installation_is_in_use(self):
        self.init()
        fd = os.open(self.store_dir / "backup", os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            self.assert_fails(["build"], 1, contains="in use")
        finally:
            os.close(fd)

    def test_build_stopped_by_a_full_training_folder_measures_nothing(self):
        ham, spam = test_cli.HAM, test_cli.SPAM
        self.fill(ham[:test_cli.FOLDER_LIMIT], spam[:20], ham[600:610], spam[20:30])
        result = self.run_cli("build")
        self.assertEqual(result.returncode, 1, result.stderr)
        reason = result.stderr.decode().splitlines()[-1]
        self.assertTrue(reason.startswith("glimmerfen-cli: no accuracy was measured"), reason)
        self.assertIn(f"Good Emails ({test_cli.FOLDER_LIMIT})", reason)
        self.assertNotIn(b"Accuracy", result.stdout)
        # The filter was built all the same; no result was stored for it.
        self.assertTrue((self.store_dir / "MapProb.bin").exists())
        self.assertFalse((self.store_dir / SCHEDULE_FILE).exists())

    def test_build_without_a_store_fails(self):
        self.assert_fails(["build"], 1, contains="no store")
        self.assert_fails(["build", "now"], 2)


class ScheduleTest(BuildCase):
    def test_schedule_is_saved_as_the_panel_saves_it(self):
        self.init()
        self.assertIn("days: none\n", self.cli_text("schedule"))
        shown = self.cli_text("schedule", "--days", "Mon,wednesday", "--time", "3:15", "--pm")
        self.assertIn("days: Mon,Wed\n", shown)
        self.assertIn("time: 3:15 PM\n", shown)
        # Sunday first, minutes since Sunday 00:00.
        self.assertIn("scheduleTimes: -1 2355 -1 5235 -1 -1 -1\n", shown)
        days_etc, _, _ = self.schedule_record()
        self.assertEqual(days_etc, bytes([1, 0, 1, 0, 0, 0, 0, 3, 15, 1]))

        # Options left out keep their values; 12 PM is the midnight ending the day.
        shown = self.cli_text("schedule", "--days", "Sat", "--time", "12:00")
        self.assertIn("scheduleTimes: -1 -1 -1 -1 -1 -1 10080\n", shown)

    def test_invalid_times_give_the_panel_messages_and_save_nothing(self):
        self.init()
        self.cli("schedule", "--time", "10:30", "--am")
        saved = (self.store_dir / SCHEDULE_FILE).read_bytes()
        for time, message in (("13:00", "Must Enter integer between 1 and 12 for hour"),
                              ("0:10", "Must Enter integer between 1 and 12 for hour"),
                              ("x:10", "Must Enter integer between 1 and 12 for hour"),
                              ("5:61", "Must Enter integer between 0 and 60 for minute")):
            self.assert_fails(["schedule", "--time", time], 2, contains=message)
        self.assertEqual((self.store_dir / SCHEDULE_FILE).read_bytes(), saved)
        self.cli("schedule", "--time", "5:60")  # minute 60 is accepted
        self.assert_fails(["schedule", "--days", "Funday"], 2)
        self.assert_fails(["schedule", "--time", "1015"], 2)
        self.assert_fails(["schedule", "--bogus"], 2)

    def test_build_now_needs_a_running_proxy(self):
        self.init()
        self.assert_fails(["build-now"], 1, contains="no Glimmerfen proxy")

    def test_build_now_leaves_another_program_holding_the_lock_alone(self):
        self.init()
        with subprocess.Popen(
                [sys.executable, "-c",
                 "import fcntl, os, sys\n"
                 "fd = os.open('backup', os.O_RDONLY | os.O_DIRECTORY)\n"
                 "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                 "print('locked', flush=True)\n"
                 "sys.stdin.readline()\n"
                 "print('alive', flush=True)\n"],
                cwd=self.store_dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as holder:
            try:
                self.assertEqual(holder.stdout.readline(), b"locked\n")
                self.assert_fails(["build-now"], 1, contains="no Glimmerfen proxy")
                # The build request's signal, whose default action ends a
                # process, would have been pending before the command returned.
                holder.stdin.write(b"still there?\n")
                holder.stdin.flush()
                self.assertEqual(holder.stdout.readline(), b"alive\n")
            finally:
                holder.kill()


if __name__ == "__main__":
    unittest.main(verbosity=2)
