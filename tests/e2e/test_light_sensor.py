"""The light-sensor method: ADC conversions in, samples, window means,
switches and errors out."""

import os
import re
import time
import unittest

from harness import DaemonTest, ModeScript, current_line, run_to_exit, window_line


def samples(size, pairs):
    """Expected verbose output for (sample, window mean or None) pairs."""
    return "".join(current_line(s) + ("" if m is None else window_line(size, m)) for s, m in pairs)


NIGHT = "Night Mode Enabled\nMODE on\n"
DAY = "Night Mode Disabled\nMODE off\n"


def error_lines(err, reads):
    """The complete lines of standard error, each checked to be the ADC
    loop's error message; returns their error texts."""
    lines = err[:err.rfind("\n") + 1].splitlines()
    pattern = re.compile(r"ERROR: jzAuxReadAverage\(%d\) failed: (.+)" % reads)
    texts = []
    for line in lines:
        match = pattern.fullmatch(line)
        if not match:
            raise AssertionError("unexpected line on stderr: %r" % line)
        texts.append(match.group(1))
    return texts


class Deciding(DaemonTest):
    def test_samples_windows_and_switches(self):
        # (case, ADC script, options, stdout, the mode command's calls)
        cases = [
            ("window fills, then switches at inclusive thresholds",
             [str(v) for v in (60, 60, 60, 42, 42, 42, 36, 30, 60, 45, 45)], ["-v", "-a", "1", "-n", "3"],
             samples(3, [(60, None), (60, None), (60, 60), (42, 54), (42, 48), (42, 42)])  # in the band: stays day
             + samples(3, [(36, 40)]) + NIGHT  # exactly -O
             + samples(3, [(30, 36), (60, 42)])  # in the band: stays night
             + samples(3, [(45, 45)]) + DAY  # exactly -F
             + samples(3, [(45, 50)]), ["on", "off"]),
            ("conversions are averaged as unsigned words",
             ["10", "20", "4294967295*2", "1", "2", "2", "0x80000000*3"], ["-v", "-a", "2", "-n", "1"],
             samples(1, [(15, 15)]) + NIGHT + samples(1, [(4294967295, 4294967295)]) + DAY
             + samples(1, [(1.5, 1.5)]) + NIGHT + samples(1, [(1073741825, 1073741825)]) + DAY
             + samples(1, [(2147483648, 2147483648)]), ["on", "off", "on", "off"]),
            ("means on a tie print as the C library rounds them",
             ["1", "0*7", "1", "0*7", "25", "0*7"], ["-v", "-a", "8", "-n", "2"],
             samples(2, [(0.125, None), (0.125, 0.125)]) + NIGHT + samples(2, [(3.125, 1.625)]), ["on"]),
            ("quiet daemon prints nothing but runs commands", ["0", "100"], ["-a", "1", "-n", "1"],
             "MODE on\nMODE off\n", ["on", "off"]),
            ("window of one decides on every sample", ["0", "40", "45", "40"], ["-v", "-a", "1", "-n", "1"],
             samples(1, [(0, 0)]) + NIGHT + samples(1, [(40, 40), (45, 45)]) + DAY
             + samples(1, [(40, 40)]) + NIGHT, ["on", "off", "on"]),
        ]
        for number, (case, script, args, want, calls) in enumerate(cases):
            with self.subTest(case):
                mode = ModeScript(self.dir, name="mode%d.sh" % number)
                out, err = self.run_light(script, args + ["-c", mode.path])
                self.assertEqual((out, err), (want, ""))
                self.assertEqual(mode.calls(), calls)


class FailedSamples(DaemonTest):
    def test_failed_reads_drop_their_sample_and_leave_the_window_alone(self):
        # (case, ADC script, -a, -n, stdout, failed samples)
        cases = [
            # Failures both while the window fills and after; the next good
            # sample lands in the next slot, so each mean names which slots
            # hold what.
            ("short reads", ["90", "short 2", "7", "60", "30", "120", "short 3", "7", "0", "0"], 1, 3,
             samples(3, [(90, None), (60, None), (30, 60), (120, 70), (0, 50)])
             + samples(3, [(0, 40)]) + NIGHT, 2),
            ("one short read among three", ["1000", "short 1", "7", "20*3"], 3, 1,
             samples(1, [(20, 20)]) + NIGHT, 1),
        ]
        for number, (case, script, reads, size, want, failures) in enumerate(cases):
            with self.subTest(case):
                mode = ModeScript(self.dir, name="mode%d.sh" % number)
                out, err = self.run_light(script, ["-v", "-a", str(reads), "-n", str(size), "-c", mode.path])
                self.assertEqual(out, want)
                self.assertEqual(len(error_lines(err, reads)), failures, err)
                self.assertEqual(mode.calls(), ["on"])

    def test_missing_device_fails_every_sample(self):
        mode = ModeScript(self.dir)
        daemon = self.start(["-v", "-D", os.path.join(self.dir, "none"), "-d", "0", "-n", "1",
                             "-c", mode.path])
        daemon.wait_stderr("\n", count=3)
        out, err = daemon.stop()
        self.assertEqual(out, "")
        self.assertEqual(set(error_lines(err, 25)), {"No such file or directory"})
        self.assertEqual(mode.calls(), [])

    def test_device_vanishing_and_returning_keeps_the_window(self):
        mode = ModeScript(self.dir)
        # Gone right after a sample that runs no mode command, and for long
        # enough that even a daemon under valgrind tries to open it meanwhile.
        out, err = self.run_light(["50", "gone 0.5", "30", "60"],
                                  ["-v", "-a", "1", "-n", "2", "-c", mode.path])
        self.assertEqual(out, samples(2, [(50, None), (30, 40)]) + NIGHT + samples(2, [(60, 45)]) + DAY)
        self.assertIn("No such file or directory", error_lines(err, 1))
        self.assertEqual(mode.calls(), ["on", "off"])

    def test_reads_below_one_fail_every_sample(self):
        # The device would read as all dark; nothing may be sampled.
        mode = ModeScript(self.dir)
        device = self.constant_device(0)
        for reads in ("0", "-2"):
            with self.subTest(reads=reads):
                daemon = self.start(["-v", "-a", reads, "-D", device, "-d", "0", "-n", "1",
                                     "-c", mode.path])
                daemon.wait_stderr("\n", count=3)
                out, err = daemon.stop()
                self.assertEqual(out, "")
                self.assertGreaterEqual(len(error_lines(err, int(reads))), 3)
                self.assertEqual(mode.calls(), [])


class Pacing(DaemonTest):
    def test_delays_past_the_signed_range_still_pause(self):
        # -d is unsigned seconds: -1 is 2^32 - 1 and the lowest value 2^31,
        # beyond what a C library with a 32-bit time_t sleeps in one call.
        device = self.constant_device(50)
        for delay in ("-1", "-2147483648", "2147483647"):
            with self.subTest(delay=delay):
                daemon = self.start(["-v", "-a", "1", "-n", "1", "-D", device, "-d", delay])
                daemon.wait_stdout("Current value")
                time.sleep(1.5)
                out, err = daemon.stop()
                self.assertEqual((out, err), (current_line(50) + window_line(1, 50), ""))


class WindowSize(DaemonTest):
    def test_window_below_one_is_refused(self):
        mode = ModeScript(self.dir)
        device = self.constant_device(0)
        for size in ("0", "-3"):
            with self.subTest(size=size):
                status, out, err = run_to_exit(["-v", "-n", size, "-D", device, "-d", "0",
                                                "-c", mode.path], timeout=10)
                self.assertEqual((status, out), (1, ""))
                self.assertEqual(err.count("\n"), 1, err)
                self.assertTrue(err.endswith("\n"), err)
                self.assertRegex(err, r"-n\b.*%s\b" % re.escape(size))
                self.assertEqual(mode.calls(), [])

    def test_software_method_ignores_the_window(self):
        # It runs the day command as soon as it starts.
        mode = ModeScript(self.dir)
        daemon = self.start(["-S", "-n", "0", "-c", mode.path])
        daemon.wait_for(lambda d: mode.calls() == ["off"], timeout=10, what="the day command")
        _, err = daemon.stop()
        self.assertNotIn("-n", err)


if __name__ == "__main__":
    unittest.main()
