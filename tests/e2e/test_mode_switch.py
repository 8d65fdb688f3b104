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

    def test_base_command_gets_on_and_off(self):
        mode = ModeScript(self.dir)
        out, err = self.run_switches(["-v", "-c", mode.path])
        self.assertEqual(err, "")
        # The verbose line comes before the command's own output.
        self.assertEqual(out, "Current value: 0.00\nWindow (1) Avg: 0.00\n"
                              "Night Mode Enabled\nMODE on\n"
                              "Current value: 100.00\nWindow (1) Avg: 100.00\n"
                              "Night Mode Disabled\nMODE off\n"
                              "Current value: 0.00\nWindow (1) Avg: 0.00\n"
                              "Night Mode Enabled\nMODE on\n")
        self.assertEqual(mode.calls(), ["on", "off", "on"])

    def test_night_command_alone(self):
        # Run as given, with no "on" added; day still uses -c with "off".
        mode = ModeScript(self.dir)
        out, err = self.run_switches(["-g", mode.path + " dusk", "-c", mode.path])
        self.assertEqual((out, err), ("MODE dusk\nMODE off\nMODE dusk\n", ""))
        self.assertEqual(mode.calls(), ["dusk", "off", "dusk"])

    def test_day_and_night_commands_replace_the_base_command(self):
        mode = ModeScript(self.dir)
        out, err = self.run_switches(["-y", mode.path + " sunrise", "-g", mode.path + " dusk",
                                      "-c", os.path.join(self.dir, "missing")])
        self.assertEqual((out, err), ("MODE dusk\nMODE sunrise\nMODE dusk\n", ""))
        self.assertEqual(mode.calls(), ["dusk", "sunrise", "dusk"])

    def test_empty_night_command_runs_nothing(self):
        mode = ModeScript(self.dir)
        out, err = self.run_switches(["-v", "-g", "", "-c", mode.path], script=["0", "100"])
        self.assertEqual(err, "")
        self.assertIn("Night Mode Enabled\nCurrent value: 100.00\n", out)
        self.assertEqual(mode.calls(), ["off"])

    def test_failing_commands_warn_and_the_daemon_goes_on(self):
        mode = ModeScript(self.dir, status=1)
        out, err = self.run_switches(["-c", mode.path])
        # The built line keeps its line break inside the warning.
        self.assertEqual(err, "WARNING: %s on\n returned 256\n"
                              "WARNING: %s off\n returned 256\n"
                              "WARNING: %s on\n returned 256\n" % ((mode.path,) * 3))
        self.assertEqual(out, "MODE on\nMODE off\nMODE on\n")
        self.assertEqual(mode.calls(), ["on", "off", "on"])

    def test_per_mode_command_warning_shows_it_as_given(self):
        mode = ModeScript(self.dir)
        out, err = self.run_switches(["-g", "echo dark; exit 3", "-c", mode.path])
        self.assertEqual(err, "WARNING: echo dark; exit 3 returned 768\n" * 2)
        self.assertEqual(out, "dark\nMODE off\ndark\n")

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
