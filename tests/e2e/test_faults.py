"""Faults around the daemon: hostile ISP statistics files, an ADC device
that is not a device, and mode commands that cannot run, are killed or
flood their output. In every case the daemon reports what the program
documents, keeps running with its state, and makes the next switch.

The ISP file cases need a private /proc, which needs root (see simcam);
without root only they are skipped.
"""

import os
import random
import re
import unittest

import simcam

# The ISP file cases run in a private /proc; the rest run anywhere.
HAVE_PRIVATE_PROC = simcam.enter_private_proc("the ISP file faults", required=False)

from harness import DaemonTest, ModeScript, current_line, window_line  # noqa: E402
from simcam import TRIPLE  # noqa: E402

UNABLE = "Unable to read isp_info\n"


def too_long(held):
    return "ERROR: readIspInfo: line is longer than %d chars buf\n" % held


def isp_text(exposure=1000000, iridix=10, wb=5000, before=b"", exposure_width=0):
    """The three lines the daemon looks for, after `before`; the exposure
    line is padded with spaces to `exposure_width` characters."""
    exposure_line = b"ISP exposure log2 id: " + (b"%d" % exposure).rjust(exposure_width - 22)
    return (before + exposure_line + b"\nISP WB Temperature : %d\nISP Iridix strength : %d\n"
            % (wb, iridix))


def random_bytes(rng, count):
    """Random bytes without a line break."""
    return bytes(rng.choice([b for b in range(256) if b != 10]) for _ in range(count))


@unittest.skipIf(not HAVE_PRIVATE_PROC, "the ISP file cases need root, for a private /proc")
class IspFileFaults(DaemonTest):
    """One daemon reads a different hostile file on each pass, served in
    lock step; a good file comes before and after, and the switch to night
    still happens."""

    def test_hostile_files_between_good_reads(self):
        mode = ModeScript(self.dir)
        rng = random.Random(7)
        good = "(1000000, 10, 5000)\n"
        lines = b"".join(random_bytes(rng, rng.randint(0, 98)) + b"\n" for _ in range(40))
        calm, warm = isp_text(), isp_text(iridix=20, wb=2500)
        # (what the file is, content, ("ok", stdout of the pass) or ("failed", its stderr))
        steps = [("good", calm, ("ok", good + "jitter active\n")),
                 ("a directory", None, ("failed", UNABLE)),
                 ("empty", b"", ("failed", UNABLE)),
                 ("random bytes", random_bytes(rng, 300), ("failed", too_long(100) + UNABLE)),
                 ("random lines", lines, ("failed", UNABLE)),
                 ("random lines, the last unended", lines + random_bytes(rng, 37),
                  ("failed", too_long(37) + UNABLE))]
        for length in range(97, 104):
            fits = length < 100  # with its line break, in the 100-byte buffer
            steps.append(("a %d-character line first" % length, isp_text(before=b"x" * length + b"\n"),
                          ("ok", good) if fits else ("failed", too_long(100) + UNABLE)))
        for length in range(97, 104):
            fits = length < 100
            steps.append(("a %d-character exposure line" % length, isp_text(exposure_width=length),
                          ("ok", good) if fits else ("failed", too_long(100) + UNABLE)))
        # A file rewritten while it is read: the old white balance's first
        # digit before the new one's rest reads as a value of neither. Cut
        # there, its last line has no line break, which the daemon takes for
        # a line too long, as with the random lines.
        cut = calm.index(b"5000") + 1
        last_line = calm[calm.index(b"\n") + 1:cut]
        steps += [("good", calm, ("ok", good)),
                  ("rewritten while read", calm[:cut] + warm[cut:], ("ok", "(1000000, 20, 5500)\n")),
                  ("cut short while rewritten", calm[:cut], ("failed", too_long(len(last_line)) + UNABLE)),
                  ("good after the rewrites", calm, ("ok", good)),
                  ("brighter", isp_text(exposure=1300000), ("ok", "(1300000, 10, 5000)\njitter active\n")),
                  ("still bright", isp_text(exposure=1300000),
                   ("ok", "(1300000, 10, 5000)\nSwitching to night new exp=1300000\n"
                          "Night Mode Enabled\nMODE on\n"))]
        script = []
        for number, (_, content, _) in enumerate(steps):
            if content is None:
                script.append("directory")
                continue
            path = os.path.join(self.dir, "step%d" % number)
            with open(path, "wb") as f:
                f.write(content)
            script.append("raw " + path)

        isp = self.fake_isp(script)
        daemon = self.start(["-S", "-v", "-v", "-w", "0", "-c", mode.path])
        isp.wait_held()
        out, err = daemon.stop()

        # Standard output in one piece per read that worked, standard error
        # in one per read that failed.
        pieces = simcam.reads(out)
        failures = re.findall(r".*?" + re.escape(UNABLE), err, flags=re.S)
        self.assertEqual("".join(failures), err, "stderr ends with something else")
        self.assertEqual(len(pieces) + len(failures), len(steps), "one read per step")
        read, failed = iter(pieces), iter(failures)
        for name, _, (kind, want) in steps:
            with self.subTest(file=name):
                self.assertEqual(next(read) if kind == "ok" else next(failed), want)
        self.assertEqual(mode.calls(), ["off", "on"])


class AdcDeviceFaults(DaemonTest):
    def test_a_directory_in_place_of_the_device_then_the_device(self):
        mode = ModeScript(self.dir)
        path = os.path.join(self.dir, "adc")
        os.mkdir(path)
        daemon = self.start(["-v", "-D", path, "-a", "1", "-d", "0", "-n", "2", "-c", mode.path])
        daemon.wait_stderr("\n", count=3)
        os.rmdir(path)
        adc = self.fake_adc(["30", "20", "90", "90"])
        adc.wait_held()
        out, err = daemon.stop()

        errors = re.findall(r"^ERROR: jzAuxReadAverage\(1\) failed: (.*)$", err, re.M)
        self.assertEqual(err.count("\n"), len(errors), err)
        self.assertGreaterEqual(errors.count("Is a directory"), 3)
        self.assertLessEqual(set(errors), {"Is a directory", "No such file or directory"})
        self.assertEqual(out, current_line(30) + current_line(20) + window_line(2, 25)
                         + "Night Mode Enabled\nMODE on\n" + current_line(90) + window_line(2, 55)
                         + "Night Mode Disabled\nMODE off\n" + current_line(90) + window_line(2, 90))


class ModeCommandFaults(DaemonTest):
    # With -a 1 -n 1 every conversion decides: 0 is night, 100 is day. Each
    # state comes twice, so a state lost after a failed command would show
    # as a command run twice.
    LIGHT = ["0", "0", "100", "100", "0", "100"]

    def test_commands_that_cannot_run_or_are_killed(self):
        cases = [
            # night command, day command, their wait statuses
            ("/nonexistent/night-vision on", "kill -TERM $$", 127 << 8, 15),
            # A command that interrupts its whole process group: the daemon
            # ignores the signal while it waits, the shell dies of it.
            ("kill -KILL $$", "kill -INT 0", 9, 2),
        ]
        for number, (night, day, night_status, day_status) in enumerate(cases):
            with self.subTest(night=night, day=day):
                adc = self.fake_adc(self.LIGHT, name="adc%d" % number)
                daemon = self.start(["-D", adc.path, "-d", "0", "-a", "1", "-n", "1", "-g", night, "-y", day])
                adc.wait_held()
                out, err = daemon.stop()
                warnings = [line for line in err.splitlines() if line.startswith("WARNING")]
                self.assertEqual(warnings, ["WARNING: %s returned %d" % (night, night_status),
                                            "WARNING: %s returned %d" % (day, day_status)] * 2)
                others = [line for line in err.splitlines() if not line.startswith("WARNING")]
                self.assertTrue(all("/nonexistent/night-vision" in line for line in others), others)
                self.assertEqual(out, "")

    def test_commands_that_flood_their_output(self):
        size = 1 << 20
        flood = "head -c %d /dev/zero | tr '\\0' %s"
        out, err = self.run_light(self.LIGHT, ["-v", "-a", "1", "-n", "1",
                                               "-g", flood % (size, "n"), "-y", flood % (size, "d") + " >&2"])
        night = current_line(0) + window_line(1, 0) + "Night Mode Enabled\n" + "n" * size
        day = current_line(100) + window_line(1, 100) + "Night Mode Disabled\n"
        self.assertEqual(out, night + current_line(0) + window_line(1, 0) + day + current_line(100)
                         + window_line(1, 100) + night + day)
        self.assertEqual(err, "d" * (2 * size))


if __name__ == "__main__":
    unittest.main()
