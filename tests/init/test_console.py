"""What start says on its console: the daemon's settings as the daemon reads
them, each value it reads otherwise than it is written, its complaints, and
a first day command that fails; the daemon runs all the same."""

import os
import unittest

import camera
from simcam import ModeScript

camera.require("init.console")


class Console(camera.InitTest):
    def setUp(self):
        super().setUp()
        self.base = "-D %s -c %s" % (self.camera.adc, self.camera.mode.path)

    def start_with(self, options, **settings):
        """Starts with OPTIONS `options` after the device and the mode
        script; returns the console, which must hold no complaint."""
        result = self.start(OPTIONS=self.base + " " + options, **settings)
        self.assertEqual(len(self.camera.daemons()), 1, self.camera.processes())
        self.assertNotIn("lumenflip: lumenflip:", result.err)
        return result

    def stop(self):
        self.assertEqual(self.camera.run("stop").status, 0)

    def test_a_clean_start_says_the_settings(self):
        cam = self.camera
        result = self.start_with("-v -a 3 -d 2 -n 4 -O 30.5 -F 38")
        self.assertEqual(result.out.splitlines(), [
            "Starting lumenflip",
            "  method:  light sensor " + cam.adc,
            "           reads a sample (-a): 3, seconds between samples (-d): 2, samples in the window (-n): 4",
            "           night at a window mean at or below (-O): 30.50, day at or above (-F): 38.00",
            "  night:   %s on" % cam.mode.path,
            "  day:     %s off" % cam.mode.path,
            "  output:  the system log",
        ])
        self.assertEqual(result.err, "")

    def test_values_read_otherwise_than_written_are_named(self):
        cases = [
            # Written as numbers, white space that strtol skips included.
            ("-a 007 -d -1 -n\v+2 -O 40.555 -F 4.5e1", []),
            # Grouped letters, a value glued to its option, the last of an
            # option winning.
            ("-vd ten -O3O -n x -n 5x -a 99999999999 -F 45,5", [
                "-a 99999999999: lumenflip reads it as 2147483647 and will use -a 2147483647",
                "-d ten: lumenflip reads it as 0 and will use -d 0",
                "-n 5x: lumenflip reads it as 5 and will use -n 5",
                "-O 3O: lumenflip reads it as 3.00 and will use -O 3.00",
                "-F 45,5: lumenflip reads it as 45.00 and will use -F 45.00",
            ]),
        ]
        for options, named in cases:
            with self.subTest(options):
                result = self.start_with(options)
                self.assertEqual(result.err.splitlines(), ["S50lumenflip: " + line for line in named])
                self.stop()
        with self.subTest("left without its value"):
            # -d takes the next word: the -c that passes MODE_COMMAND.
            result = self.start(OPTIONS="-D %s -d" % self.camera.adc, MODE_COMMAND=self.camera.mode.path)
            self.assertIn("S50lumenflip: -d -c: lumenflip reads it as 0 and will use -d 0\n", result.err)

    def test_a_mistyped_value_and_a_missing_mode_command(self):
        cam = self.camera
        missing = os.path.join(cam.root, "scripts", "nightmod.sh")
        result = self.start(OPTIONS="-D %s -d ten -O 3O" % cam.adc, MODE_COMMAND=missing)
        self.assertEqual(result.out.splitlines()[1:], [
            "  method:  light sensor " + cam.adc,
            "           reads a sample (-a): 25, seconds between samples (-d): 0, samples in the window (-n): 5",
            "           night at a window mean at or below (-O): 3.00, day at or above (-F): 45.00",
            "  night:   %s on" % missing,
            "  day:     %s off" % missing,
            "  output:  the system log",
        ])
        self.assertEqual(result.err.splitlines(), [
            "S50lumenflip: -d ten: lumenflip reads it as 0 and will use -d 0",
            "S50lumenflip: -O 3O: lumenflip reads it as 3.00 and will use -O 3.00",
            "S50lumenflip: the day command failed: not found (status 127): %s off" % missing,
        ])
        self.assertEqual(len(cam.daemons()), 1, cam.processes())
        self.assertIn("S50lumenflip: the day command failed: not found (status 127): %s off" % missing,
                      cam.messages())

    def test_a_failing_day_command_is_named_with_what_its_status_means(self):
        cam = self.camera
        not_executable = os.path.join(cam.root, "day.sh")
        with open(not_executable, "w") as f:
            f.write("#!/bin/sh\n")
        failing = ModeScript(cam.root, name="failing.sh", status=3)
        log = os.path.join(cam.root, "lumenflip.log")
        cases = [(not_executable, "not executable (status 126)", {}),
                 (failing.path + " x", "exit code 3", {"NIGHT_COMMAND": "false", "LOGFILE": log})]
        for day, meaning, settings in cases:
            with self.subTest(meaning):
                result = self.start_with("", DAY_COMMAND=day, **settings)
                self.assertIn("  day:     %s\n" % day, result.out)
                self.assertEqual(result.err, "S50lumenflip: the day command failed: %s: %s\n" % (meaning, day))
                self.stop()
        self.assertIn("  night:   false\n  day:     %s x\n  output:  %s\n" % (failing.path, log), result.out)
        with open(log) as f:
            self.assertIn("S50lumenflip: the day command failed: exit code 3: %s x\n" % failing.path, f.read())

    def test_the_image_statistics_method_says_where_its_settings_are(self):
        cases = [
            ("-vSw 2 -d 5 -O 3O", "its settings: its first lines in the system log at each start "
             "(\"Starting software method using\")"),
            ("-S", "its settings: in the system log at each start, with -v in OPTIONS"),
        ]
        for options, where in cases:
            with self.subTest(options):
                result = self.start_with(options)
                lines = result.out.splitlines()
                self.assertEqual(lines[1:3], ["  method:  image statistics (-S)", "           " + where])
                ignored = "           ignored, as they serve the light sensor: -D %s -d 5 -O 3O" % self.camera.adc
                self.assertEqual(ignored in lines, "-d 5" in options, lines)
                # Not checked against the usage text, which shows none of -S's values.
                self.assertNotIn("reads it as", result.err)
                self.stop()

    def test_the_daemons_complaints_and_ignored_words(self):
        cam = self.camera
        result = self.start(OPTIONS=self.base + " -n 2 stray -2 5,6 -- -n 7", DAY_COMMAND="true")
        self.assertIn("samples in the window (-n): 2\n", result.out)
        self.assertIn("  day:     %s off\n" % cam.mode.path, result.out)
        self.assertEqual(result.err.splitlines(), [
            "S50lumenflip: lumenflip: invalid argument: 5,6",
            "S50lumenflip: lumenflip ignores these words, which are not options: stray -- -n 7 -y true",
        ])
        self.stop()

        result = cam.run("start", OPTIONS=self.base + " -Z")
        self.assertEqual(result.status, 1, result)
        err = result.err.splitlines()
        self.assertIn("S50lumenflip: cannot tell what lumenflip will do: '%s ... -h' returned 1"
                      % camera.DAEMON, err)
        self.assertIn("S50lumenflip: lumenflip: Unknown argument: '?'", err)
        self.assertNotIn("  method:", result.out)
        self.assert_nothing_left()


if __name__ == "__main__":
    unittest.main()
