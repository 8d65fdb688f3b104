"""End-to-end tests of the image-statistics method (-S).

The daemon reads the ISP's statistics from a fixed path under /proc, so the
tests run in a private mount namespace whose /proc is a tmpfs holding the
file that the simulated ISP (sim/fake_isp) writes. That needs root: without
it the module says why and exits with status 77, which CTest counts as
skipped.

The daemon samples once a second; with -v -v it prints the raw triple of
each successful read, which the tests use to move in lock step with it.
"""

import os
import re
import subprocess
import sys
import time
import unittest

import private_proc
from private_proc import ISP_FILE

private_proc.enter("software method end-to-end tests")

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_ISP = os.path.normpath(os.path.join(HERE, "..", "..", "sim", "fake_isp"))

from harness import DaemonTest, ModeScript  # noqa: E402

TRIPLE = re.compile(r"^\(-?\d+, -?\d+, -?\d+\)$", re.M)


def start_dump(jitter=3, eq1=1200000, eq2=(930000, 14, 10), eq3=(3000, 17, 8), sec_wait=3):
    return ("Starting software method using \n"
            "jitter_percent = %d\neq1_user_exposure = %d\n"
            "eq2_user_exposure = %d\neq2_user_iridix = %d\neq2_count = %d\n"
            "eq3_user_wb = %d\neq3_user_iridix = %d\neq3_count = %d\n"
            "sec_wait = %d\n" % ((jitter, eq1) + tuple(eq2) + tuple(eq3) + (sec_wait,)))


def write_sample(exposure, iridix, wb):
    subprocess.run([sys.executable, FAKE_ISP, ISP_FILE, str(exposure), str(iridix), str(wb)],
                   stdin=subprocess.DEVNULL, check=True, timeout=20)


class SteppedIsp:
    """fake_isp playing a script one step at a time, when told."""

    def __init__(self, directory, samples):
        script = os.path.join(directory, "isp.script")
        with open(script, "w") as f:
            f.write("".join("%d %d %d\n" % s for s in samples))
        self.proc = subprocess.Popen([sys.executable, FAKE_ISP, "--step", ISP_FILE, script],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.step = 0
        self._expect_step()

    def _expect_step(self):
        self.step += 1
        line = self.proc.stdout.readline()
        if line != "step %d\n" % self.step:
            raise AssertionError("fake_isp said %r instead of step %d" % (line, self.step))

    def advance(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        self._expect_step()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc.stdin.close()
        self.proc.stdout.close()


class SoftwareMethodTest(DaemonTest):

    def setUp(self):
        super().setUp()
        self.mode = ModeScript(self.dir)
        self.addCleanup(lambda: os.path.exists(ISP_FILE) and os.unlink(ISP_FILE))

    def triples(self, daemon):
        return len(TRIPLE.findall(daemon.stdout()))

    def test_defaults_run_day_at_start_and_night_on_the_fifth_read(self):
        write_sample(1300000, 10, 5000)
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
        write_sample(1300000, 10, 5000)
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
