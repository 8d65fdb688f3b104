"""The mode switcher: which command line runs at each switch, and what a
failing command leaves behind."""

import os
import shlex
import unittest

from harness import DaemonTest, ModeScript

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


if __name__ == "__main__":
    unittest.main()
