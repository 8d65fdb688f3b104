"""End-to-end tests of the image-statistics method (-S).

The daemon reads the ISP's statistics from a fixed path under /proc, so the
tests run in a private /proc (see simcam), which needs root: without it the
module says why and exits with status 77, which CTest counts as skipped.

The daemon samples once a second. The simulated ISP serves its statistics
file through a FIFO in lock step with it, one step of its script per read
(simcam.FakeIsp): nothing waits for the daemon's sleep.
"""

import time
import unittest

import simcam

simcam.enter_private_proc("software method end-to-end tests")

from harness import DaemonTest, ModeScript, start_dump  # noqa: E402
from simcam import TRIPLE  # noqa: E402


class SoftwareMethodTest(DaemonTest):

    def setUp(self):
        super().setUp()
        self.mode = ModeScript(self.dir)

    def test_defaults_run_day_at_start_and_night_on_the_fifth_read(self):
        isp = self.fake_isp(["1300000 10 5000*5"])
        started = time.monotonic()
        daemon = self.start(["-S", "-v", "-c", self.mode.path])
        daemon.wait_stdout("MODE on\n", timeout=20)
        elapsed = time.monotonic() - started
        isp.wait_held()
        out, err = daemon.stop()

        # The first read is jitter (nothing read before it), the next three
        # are the settle period that the day command at start began.
        expected = (start_dump() + "Night Mode Disabled\nMODE off\n"
                    "jitter active\n" + "mode switch wait active\n" * 3 +
                    "Switching to night new exp=1300000\nNight Mode Enabled\nMODE on\n")
        self.assertEqual(out, expected)
        self.assertNotRegex(out, TRIPLE)
        self.assertEqual(err, "")
        self.assertEqual(self.mode.calls(), ["off", "on"])
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
        isp = self.fake_isp(["%d %d %d" % s for s, _ in samples])
        daemon = self.start(["-S", "-v", "-v", "-w", "0", "-2", "930000,14,1", "-c", self.mode.path])
        isp.wait_held()
        out, err = daemon.stop()

        expected = start_dump(eq2=(930000, 14, 1), sec_wait=0) + "Night Mode Disabled\nMODE off\n"
        for (exposure, iridix, wb), lines in samples:
            expected += "(%d, %d, %d)\n" % (exposure, iridix, wb) + "".join(line + "\n" for line in lines)
        self.assertEqual(out, expected)
        self.assertEqual(err, "")
        self.assertEqual(self.mode.calls(), ["off", "on", "off"])

    def test_missing_file_is_reported_on_every_pass_until_it_appears(self):
        failure = "ERROR: readIspInfo: open failed\nUnable to read isp_info\n"
        isp = self.fake_isp(["gone*2", "1300000 10 5000*5"])
        daemon = self.start(["-S", "-v", "-v", "-c", self.mode.path])
        isp.wait_held()
        out, err = daemon.stop()

        self.assertEqual(err, failure * 2, "a read that works again says nothing on stderr")
        # Failed reads neither count as samples nor use up the settle period.
        triple = "(1300000, 10, 5000)\n"
        expected = (start_dump() + "Night Mode Disabled\nMODE off\n" +
                    triple + "jitter active\n" + (triple + "mode switch wait active\n") * 3 +
                    triple + "Switching to night new exp=1300000\nNight Mode Enabled\nMODE on\n")
        self.assertEqual(out, expected)
        self.assertEqual(self.mode.calls(), ["off", "on"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
