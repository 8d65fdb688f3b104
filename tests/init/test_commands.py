"""Mode commands reach the daemon whole, with their spaces and quotes, from
the environment and from the defaults file, and only from there: OPTIONS,
split at white space, cannot carry them. Each start of the daemon is
preceded by the command it would run for day, so that a camera left in
night agrees with a daemon that starts believing day."""

import os
import unittest

import camera
from simcam import ModeScript

camera.require("init.commands")


class Commands(camera.InitTest):
    def setUp(self):
        super().setUp()
        cam = self.camera
        # A path with a space, quoted for the shell as a user would.
        self.mode = ModeScript(cam.root, name="camera mode.sh")
        self.quoted = "'%s'" % self.mode.path
        cam.settings["MODE_COMMAND"] = os.path.join(cam.root, "missing")

    def switches(self, calls, **settings):
        """Starts in night, then goes to day: the mode script's calls must
        be `calls`, the day command's at start first."""
        cam = self.camera
        cam.light(camera.NIGHT)
        self.start(**settings)
        cam.wait_for(lambda: len(self.mode.calls()) >= len(calls) - 1, "switch to night")
        cam.light(camera.DAY)
        cam.wait_for(lambda: len(self.mode.calls()) >= len(calls), "switch to day")
        self.assertEqual(self.mode.calls(), calls)
        self.assertFalse([line for line in cam.messages() if "WARNING" in line], cam.messages())
        self.assertEqual(cam.run("stop").status, 0)

    def test_day_and_night_commands_with_spaces_and_quotes(self):
        self.switches(["day it's light", "night  falls", "day it's light"],
                      DAY_COMMAND=self.quoted + " day \"it's light\"",
                      NIGHT_COMMAND=self.quoted + " 'night  falls'")

    def test_mode_command_with_spaces_and_quotes(self):
        self.switches(["--camera front  door off", "--camera front  door on",
                       "--camera front  door off"],
                      MODE_COMMAND=self.quoted + " --camera 'front  door'")

    def test_defaults_file_with_the_environment_over_it(self):
        cam = self.camera
        with open(cam.settings["LUMENFLIP_DEFAULTS"], "w") as f:
            f.write("DAY_COMMAND=\"%s 'day from the file'\"\n" % self.quoted)
            f.write("NIGHT_COMMAND=\"%s 'night from the file'\"\n" % self.quoted)
        # Set to empty in the environment: given, so day runs nothing.
        cam.light(camera.NIGHT)
        self.start(DAY_COMMAND="")
        cam.wait_for(self.mode.calls, "switch to night")
        cam.light(camera.DAY)
        cam.wait_for(cam.read_since(), "a sample in daylight")
        cam.light(camera.NIGHT)
        cam.wait_for(lambda: len(self.mode.calls()) == 2, "switch to night again")
        self.assertEqual(self.mode.calls(), ["night from the file"] * 2)
        self.assertFalse([line for line in cam.messages() if "WARNING" in line], cam.messages())


class StartInNight(camera.InitTest):
    """The camera was left in night: its mode script's last call was "on"."""

    def setUp(self):
        super().setUp()
        with open(self.camera.mode.log, "w") as f:
            f.write("on\n")

    def test_in_daylight_the_camera_is_put_in_day(self):
        cam = self.camera
        self.start()
        cam.wait_for(lambda: cam.mode.calls()[1:] == ["off"], "day command")
        self.assertEqual(cam.run("stop").status, 0)
        self.assertEqual(cam.mode.calls(), ["on", "off"])

    def test_in_the_dark_it_goes_to_day_and_back_to_night(self):
        cam = self.camera
        cam.light(camera.NIGHT)
        self.start(OPTIONS="-D %s -a 1 -d 1 -n 1" % cam.adc, MODE_COMMAND=cam.mode.path)
        cam.wait_for(lambda: cam.mode.calls()[1:] == ["off", "on"], "day, then night")

    def test_the_day_command_given_alone(self):
        cam = self.camera
        day = ModeScript(cam.root, name="day.sh")
        self.start(DAY_COMMAND=day.path)
        cam.wait_for(day.calls, "day command")
        self.assertEqual(day.calls(), [""])
        self.assertEqual(cam.mode.calls(), ["on"])


class CommandsInOptions(camera.InitTest):
    def test_are_refused_before_anything_runs(self):
        cam = self.camera
        for options, letter in [("-c " + cam.mode.path, "c"), ("-vy true", "y"), ("-S -g true -n 2", "g")]:
            with self.subTest(options):
                result = cam.run("start", OPTIONS=options)
                self.assertEqual(result, camera.Result(1, "", "S50lumenflip: cannot start lumenflip: -%s in OPTIONS: "
                                                              "give the commands in MODE_COMMAND, DAY_COMMAND and "
                                                              "NIGHT_COMMAND\n" % letter))
                self.assert_nothing_left()
        self.assertEqual(cam.mode.calls(), [], "not even the day command")

    def test_a_value_that_holds_their_letters_is_no_command(self):
        cam = self.camera
        cam.device("cygnus", cam.adc)
        for options in ["-D/dev/cygnus -a 1", "-vD /dev/cygnus -a 1"]:
            with self.subTest(options):
                result = cam.run("start", OPTIONS=options)
                self.assertEqual((result.status, result.err), (0, ""), result)
                self.assertIn("  method:  light sensor /dev/cygnus\n", result.out)
                self.assertEqual(cam.run("stop").status, 0)


if __name__ == "__main__":
    unittest.main()
