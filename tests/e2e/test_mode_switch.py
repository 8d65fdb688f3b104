"""The mode switcher: which command line runs at each switch, and what a
failing command leaves behind."""

import os
import shlex
import unittest

from harness import DaemonTest, ModeScript, current_line, window_line

# With -a 1 -n 1 every conversion is a sample that decides: 0 is night,
# 100 is day (default thresholds).
NIGHT_DAY_NIGHT = ["0", "100", "0"]


class ModeCommands(DaemonTest):
    def run_switches(self, args, script=NIGHT_DAY_NIGHT):
        return self.run_light(script, ["-a", "1", "-n", "1"] + args)

    def test_which_command_runs_at_each_switch(self):
        # (case, mode script's exit status, options with {mode} for its path,
        #  ADC script, stdout, stderr with {mode}, the mode script's calls)
        cases = [
            # The verbose line comes before the command's own output.
            ("base command gets on and off", 0, ["-v", "-c", "{mode}"], NIGHT_DAY_NIGHT,
             "Current value: 0.00\nWindow (1) Avg: 0.00\nNight Mode Enabled\nMODE on\n"
             "Current value: 100.00\nWindow (1) Avg: 100.00\nNight Mode Disabled\nMODE off\n"
             "Current value: 0.00\nWindow (1) Avg: 0.00\nNight Mode Enabled\nMODE on\n",
             "", ["on", "off", "on"]),
            # Run as given, with no "on" added; day still uses -c with "off".
            ("night command alone", 0, ["-g", "{mode} dusk", "-c", "{mode}"], NIGHT_DAY_NIGHT,
             "MODE dusk\nMODE off\nMODE dusk\n", "", ["dusk", "off", "dusk"]),
            ("day and night commands replace the base command", 0,
             ["-y", "{mode} sunrise", "-g", "{mode} dusk", "-c", "{missing}"], NIGHT_DAY_NIGHT,
             "MODE dusk\nMODE sunrise\nMODE dusk\n", "", ["dusk", "sunrise", "dusk"]),
            ("empty night command runs nothing", 0, ["-v", "-g", "", "-c", "{mode}"], ["0", "100"],
             "Current value: 0.00\nWindow (1) Avg: 0.00\nNight Mode Enabled\n"
             "Current value: 100.00\nWindow (1) Avg: 100.00\nNight Mode Disabled\nMODE off\n",
             "", ["off"]),
            # The built line keeps its line break inside the warning.
            ("failing commands warn and the daemon goes on", 1, ["-c", "{mode}"], NIGHT_DAY_NIGHT,
             "MODE on\nMODE off\nMODE on\n",
             "WARNING: {mode} on\n returned 256\nWARNING: {mode} off\n returned 256\n"
             "WARNING: {mode} on\n returned 256\n", ["on", "off", "on"]),
            ("per-mode command warning shows it as given", 0, ["-g", "echo dark; exit 3", "-c", "{mode}"],
             NIGHT_DAY_NIGHT, "dark\nMODE off\ndark\n", "WARNING: echo dark; exit 3 returned 768\n" * 2,
             ["off"]),
        ]
        for number, (case, status, args, script, out, err, calls) in enumerate(cases):
            with self.subTest(case):
                mode = ModeScript(self.dir, name="mode%d.sh" % number, status=status)
                names = {"mode": mode.path, "missing": os.path.join(self.dir, "missing")}
                got_out, got_err = self.run_switches([a.format(**names) for a in args], script)
                self.assertEqual((got_out, got_err), (out, err.format(**names)))
                self.assertEqual(mode.calls(), calls)

    def test_long_commands_run_whole(self):
        # A base command deep in a directory tree, and a per-mode command
        # whose call to the recorder stands at its very end.
        directory = self.dir
        while len(directory) < 1000:
            directory = os.path.join(directory, "d" * 60)
        os.makedirs(directory)
        mode = ModeScript(directory, status=1)
        self.assertGreater(len(mode.path), 1000)
        night = ": " + "x" * 1500 + "; " + shlex.quote(mode.path) + " dusk"
        out, err = self.run_switches(["-g", night, "-c", mode.path])
        self.assertEqual(mode.calls(), ["dusk", "off", "dusk"])
        self.assertEqual(err, "WARNING: %s returned 256\nWARNING: %s off\n returned 256\n"
                              "WARNING: %s returned 256\n" % (night, mode.path, night))
        self.assertEqual(out, "MODE dusk\nMODE off\nMODE dusk\n")


class SharedLog(DaemonTest):
    """Both streams in one pipe, as the init script hands them to logger,
    which logs what it reads line by line."""

    def test_every_line_whole_and_each_switch_before_its_command(self):
        # Nights and days of many lengths and line widths, so that the full
        # buffer of standard output (1 KiB with musl, 4 KiB with glibc)
        # breaks lines at every offset; every 17th conversion cut short.
        error = "ERROR: jzAuxReadAverage(1) failed: "  # and the C library's text
        mode = ModeScript(self.dir)
        script, want = [], ""
        conversions = 0
        for k in range(36):
            night = k % 2 == 0
            for i in range(5 + k * 37 % 113):
                conversions += 1
                if conversions % 17 == 0:
                    script += ["short %d" % (1 + conversions % 3), "7"]
                    want += error + "\n"
                value = (3 + i % 37) if night else (45 + (i * 7919) % 10 ** (2 + i % 5))
                script.append(str(value))
                want += current_line(value) + window_line(1, value)
                if i == 0:
                    want += "Night Mode Enabled\nMODE on\n" if night else "Night Mode Disabled\nMODE off\n"
        want = want.splitlines()
        last_switch = max(i for i, line in enumerate(want) if line.startswith("MODE"))

        adc = self.fake_adc(script)
        daemon = self.start(["-v", "-a", "1", "-n", "1", "-d", "0", "-D", adc.path, "-c", mode.path],
                            one_pipe=True)
        adc.wait_held(timeout=120)
        log, _ = daemon.stop()  # what it still holds in its buffer is lost
        *lines, cut = log.split("\n")
        self.assertLessEqual(len(lines), len(want), "more lines than the script makes")
        for number, (line, wanted) in enumerate(zip(lines, want), 1):
            if wanted == error:
                self.assertTrue(line.startswith(error) and len(line) > len(error), "line %d: %r" % (number, line))
            else:
                self.assertEqual(line, wanted, "line %d of the log" % number)
        self.assertGreater(len(lines), last_switch, "the last switch did not reach the log")
        self.assertTrue((want + [""])[len(lines)].startswith(cut), "the line cut short by the kill: %r" % cut)
        self.assertEqual(len(mode.calls()), 36)


if __name__ == "__main__":
    unittest.main()
