"""What start says on its console: the daemon's settings as the daemon reads
them, each value it reads otherwise than it is written, its complaints, a
light sensor that cannot be read, and a first day command that fails; the
daemon runs all the same. Without -D, where the older ADC driver's node is
missing and the newer one's is there, the daemon is given the newer one."""

import os
import unittest

import camera
from simcam import ModeScript

camera.require("init.console")


class Console(camera.InitTest):
    def setUp(self):
        super().setUp()
        self.base = "-D %s" % self.camera.adc

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
            # Written as numbers, white space that strtol skips included;
            # a third decimal rounds either way, by the C library.
            ("-a 007 -d -1 -n\v+2 -O 40.555 -F 4.5e1", []),
            ("-O 40.125 -F -40.555 -n 0005", []),
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
        refused = [("-d", "-d at the end of OPTIONS has no value"),  # the daemon would end at once
                   ("-d 1 -- -n 7", "-- in OPTIONS: lumenflip would ignore what follows")]
        for options, reason in refused:
            with self.subTest(options):
                result = self.camera.run("start", OPTIONS=self.base + " " + options)
                self.assertEqual(result, camera.Result(1, "", "S50lumenflip: cannot start lumenflip: %s\n" % reason))
                self.assert_nothing_left()

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
        for options in ["-vSw 2 -d 5 -O 3O -D /dev/missing", "-S"]:
            with self.subTest(options):
                result = self.start_with(options)
                self.assertEqual(result.out.splitlines()[1:3], [
                    "  method:  image statistics (-S)",
                    "           its settings: in the system log at each start with -v in OPTIONS "
                    "(\"Starting software method using\")"])
                # The light sensor's values and device serve nothing here.
                self.assertEqual(result.err, "")
                self.stop()

    def test_the_daemons_complaints_and_ignored_words(self):
        cam = self.camera
        result = self.start(OPTIONS=self.base + " -n 2 stray -2 5,6 -n3 x", DAY_COMMAND="true")
        self.assertIn("samples in the window (-n): 3\n", result.out)
        self.assertIn("  day:     true\n", result.out)
        self.assertEqual(result.err.splitlines(), [
            "S50lumenflip: lumenflip: invalid argument: 5,6",
            "S50lumenflip: lumenflip ignores these words, which are not options: stray x",
        ])
        # The commands come first, whole.
        [daemon] = cam.daemons()
        self.assertEqual(daemon.args[1:5], ["-c", cam.mode.path, "-y", "true"])
        self.stop()

        result = cam.run("start", OPTIONS=self.base + " -Z")
        self.assertEqual(result.status, 1, result)
        err = result.err.splitlines()
        self.assertIn("S50lumenflip: cannot start lumenflip: '%s ... -h' returned 1, it refuses these options"
                      % camera.DAEMON, err)
        self.assertIn("S50lumenflip: lumenflip: Unknown argument: '?'", err)
        self.assertNotIn("  method:", result.out)
        self.assert_nothing_left()


class LightSensorNode(camera.InitTest):
    """The fixed /dev paths, in the camera's private /dev."""

    OLDER, NEWER = "/dev/jz_adc_aux_0", "/dev/ingenic_adc_aux_0"

    def start_without_device(self, **settings):
        result = self.start(OPTIONS="-a 1 -d 1 -n 1", **settings)
        [daemon] = self.camera.daemons()
        return result, daemon.args

    def test_the_newer_drivers_node_when_the_older_is_missing(self):
        cam = self.camera
        cam.device("ingenic_adc_aux_0", cam.adc)
        cam.light(camera.NIGHT)
        result, args = self.start_without_device()
        self.assertIn("  method:  light sensor %s (no %s: the newer ADC driver's node, in 0.1 mV, as -O and -F "
                      "must be)\n" % (self.NEWER, self.OLDER), result.out)
        self.assertEqual(result.err, "")
        self.assertEqual(args[1:5], ["-D", self.NEWER, "-c", cam.mode.path])
        # It reads that one: night.
        cam.wait_for(lambda: cam.mode.calls() == ["off", "on"], "switch to night")
        self.assertEqual(cam.run("stop").status, 0)

        with self.subTest("both there: the daemon's own default"):
            cam.device("jz_adc_aux_0", cam.adc)
            result, args = self.start_without_device()
            self.assertIn("  method:  light sensor %s\n" % self.OLDER, result.out)
            self.assertNotIn("-D", args)
            self.assertEqual(cam.run("stop").status, 0)

    def test_a_device_that_cannot_be_read_is_named_and_the_daemon_runs(self):
        cam = self.camera
        cam.device("ingenic_adc_aux_0", cam.adc)  # not taken for a -D given
        regular = os.path.join(cam.root, "regular")
        open(regular, "w").close()
        cases = [("-D /dev/jz_adc_aux_1", "/dev/jz_adc_aux_1 is missing"),
                 ("-D " + regular, regular + " is not a character device"),
                 ("-D /dev/null", None)]
        for options, said in cases:
            with self.subTest(options):
                result = self.start(OPTIONS=options)
                device = options.split()[1]
                self.assertIn("  method:  light sensor %s\n" % device, result.out)
                self.assertEqual(result.err, "S50lumenflip: %s: the light sensor cannot be read\n" % said
                                 if said else "")
                [daemon] = cam.daemons()
                self.assertEqual(daemon.args[-2:], ["-D", device])
                self.assert_status(0)
                self.assertEqual(cam.run("stop").status, 0)
        with self.subTest("neither node there"):
            cam.device("ingenic_adc_aux_0")
            result, _ = self.start_without_device()
            self.assertEqual(result.err, "S50lumenflip: %s is missing: the light sensor cannot be read\n" % self.OLDER)


if __name__ == "__main__":
    unittest.main()
