"""End-to-end tests of the image-statistics method (-S).

The daemon reads the ISP's statistics from a fixed path under /proc, so the
tests run in a private /proc (see simcam), which needs root: without it the
module says why and exits with status 77, which CTest counts as skipped.

The daemon samples once a second; with -v -v it prints the raw triple of
each successful read, which the tests use to move in lock step with it.
"""

import os
import time
import unittest

import simcam

simcam.enter_private_proc("software method end-to-end tests")

from harness import DaemonTest, ModeScript, start_dump  # noqa: E402
from simcam import ISP_FILE, TRIPLE, SteppedIsp, write_isp  # noqa: E402


class SoftwareMethodTest(DaemonTest):

    def setUp(self):
        super().setUp()
        self.mode = ModeScript(self.dir)
        self.addCleanup(lambda: os.path.exists(ISP_FILE) and os.unlink(ISP_FILE))

    def triples(self, daemon):
        return len(TRIPLE.findall(daemon.stdout()))

    def test_defaults_run_day_at_start_and_night_on_the_fifth_read(self):
        write_isp(1300000, 10, 5000)
        started = time.monotonic()
        daemon = self.start(["-S", "-v", "-c", self.mode.path])
        daemon.wait_stdout("MODE on\n", timeout=20)
        elapsed = time.monotonic() - started
        out, err = daemon.stop()

        # The first read is jitter (nothing read before it), the next three
        # are the settle period that the day command at start began.
        expected = (start_dump() + "Night Mode Disabled\nMODE off\n"
                    "jitter active\n" + "mode switch wait active\n" * 3 +
                    "Switching to night new exp=1300000\nNight Mode Enabled\nMODE on\n")
        self.assertEqual(out[:len(expected)], expected)
        self.assertNotRegex(out, TRIPLE)
        self.assertEqual(err, "")
        self.assertEqual(self.mode.calls()[:2], ["off", "on"])
        self.assertGreaterEqual(elapsed, 4.5, "a sample comes a second after the one before")

    def test_eq2_needs_more_than_its_count_in_a_row_and_a_miss_restarts_it(self):
        samples = [
            ((1300000, 10, 5000), ["jitter active"]),
            ((1300000, 10, 5000), ["Switching to night new exp=1300000", "Night Mode Enabled", "MODE on"]),
            ((900000, 10, 5000), ["jitter active"]),
            ((900000, 10, 5000), ["Eq2 wait_count active exp=900000 iridix=10"]),
            ((900000, 14, 5000), []),  # Iridix at the limit is a miss
            ((900000, 10, 5000), ["Eq2 wait_count active exp=900000 iridix=10"]),
            ((900000, 10, 5000), ["Eq2 switching to day mode exp=900000 iridix=10",
                                  "Night Mode Disabled", "MODE off"]),
        ]
        isp = SteppedIsp(self.dir, [s for s, _ in samples])
        self.addCleanup(isp.stop)
        daemon = self.start(["-S", "-v", "-v", "-w", "0", "-2", "930000,14,1", "-c", self.mode.path])
        for k in range(1, len(samples)):
            # The daemon sleeps a second after each read: time to write the next sample.
            daemon.wait_for(lambda d: self.triples(d) >= k, timeout=10, what="read %d" % k)
            isp.advance()
        daemon.wait_stdout("MODE off\n", count=2, timeout=10)
        out, err = daemon.stop()

        expected = start_dump(eq2=(930000, 14, 1), sec_wait=0) + "Night Mode Disabled\nMODE off\n"
        for (exposure, iridix, wb), lines in samples:
            expected += "(%d, %d, %d)\n" % (exposure, iridix, wb) + "".join(l + "\n" for l in lines)
        self.assertEqual(out[:len(expected)], expected)
        self.assertEqual(err, "")
        self.assertEqual(self.mode.calls()[:3], ["off", "on", "off"])

    def test_missing_file_is_reported_on_every_pass_until_it_appears(self):
        failure = "ERROR: readIspInfo: open failed\nUnable to read isp_info\n"
        daemon = self.start(["-S", "-v", "-v", "-c", self.mode.path])
        daemon.wait_for(lambda d: d.stderr().count(failure) >= 2, timeout=10,
                        what="two failed reads")
        write_isp(1300000, 10, 5000)
        daemon.wait_for(lambda d: self.triples(d) >= 1, timeout=10, what="the first read")
        errors = daemon.stderr()
        daemon.wait_stdout("MODE on\n", timeout=15)
        out, err = daemon.stop()

        self.assertEqual(err, errors, "a read that works again says nothing on stderr")
        self.assertEqual(err, failure * err.count(failure))
        # Failed reads neither count as samples nor use up the settle period.
        triple = "(1300000, 10, 5000)\n"
        expected = (start_dump() + "Night Mode Disabled\nMODE off\n" +
                    triple + "jitter active\n" + (triple + "mode switch wait active\n") * 3 +
                    triple + "Switching to night new exp=1300000\nNight Mode Enabled\nMODE on\n")
        self.assertEqual(out[:len(expected)], expected)
        self.assertEqual(self.mode.calls()[:2], ["off", "on"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
