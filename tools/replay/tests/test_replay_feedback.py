"""A camera that lights itself: the simulated ADC reads LIFT units more
while the mode script has put the camera in night, as IR LEDs light the
scene. The real daemon runs on it in a closed loop through a noisy dusk, a
night and a dawn; the replay of its recording must estimate the lift, repeat
the daemon's flapping one for one, warn of it, and predict what other
options do on the same camera. Every prediction is checked by running the
daemon again with those options on the same camera.

Samples average READS whole conversions, so two decimals print them exactly
and the replay reads what the daemon decided on."""

import os
import re
import unittest

from harness import DaemonTest
from replay_support import (LIFT, READS, dusk_and_dawn, field, light_switches, lit_adc_script, paragraph, run_replay,
                            switches)
from simcam import ModeScript

FLAPPING = ["-n", "5", "-O", "40", "-F", "45"]
DARK, LIGHT = 40, 45  # what -O and -F call dark and light
LEVELS, CONVERSIONS = dusk_and_dawn()


class Camera(DaemonTest):
    runs = 0

    def run_camera(self, options, conversions=CONVERSIONS, lift=LIFT):
        """Runs the daemon over the whole dusk and dawn on the camera that
        lights itself; returns (its -v output, the mode script's calls)."""
        Camera.runs += 1
        mode = ModeScript(self.dir, name="mode%d.sh" % Camera.runs)
        out, err = self.run_light(lit_adc_script(conversions, mode.log, lift),
                                  ["-v", "-a", str(READS), "-c", mode.path] + options)
        self.assertEqual(err, "")
        self.assertEqual(len(light_switches(out)), len(mode.calls()))
        return out, mode.calls()

    def record(self):
        out, calls = self.run_camera(FLAPPING)
        path = os.path.join(self.dir, "flapping.log")
        with open(path, "w") as f:
            f.write(out)
        return path, out, calls

    def replay(self, args):
        status, report, problems = run_replay(args)
        self.assertEqual((status, problems), (0, ""), report)
        return report

    def predicted(self, report):
        return [(sample, mode) for sample, _, mode, _ in switches(report)]

    def actual(self, out):
        return [(sample, mode) for sample, mode, _ in light_switches(out)]


class ClosedLoop(Camera):
    def test_the_recording_flaps_and_the_replay_says_by_how_much_and_why(self):
        path, out, calls = self.record()
        self.assertGreaterEqual(len(calls), 10, "the LEDs must make -O 40 -F 45 flap at dusk and dawn")

        # The daemon's whole command line pasted: its own switches, one for one.
        report = self.replay(["-v", "-a", str(READS), "-d", "0"] + FLAPPING + [path])
        self.assertEqual(self.predicted(report), self.actual(out))

        feedback = re.fullmatch(r"night mode adds \+(\d+\.\d) to the light sensor \(from (\d+) switches\)",
                                field(report, "Feedback"))
        self.assertIsNotNone(feedback, report)
        lift = float(feedback.group(1))
        self.assertLess(abs(lift - LIFT), 0.15 * LIFT)
        self.assertEqual(int(feedback.group(2)), len(calls))

        warning = field(report, "Warning")
        self.assertIn("flapping", warning)
        widen = float(re.search(r"widen the gap by more than (\d+\.\d)", warning).group(1))
        self.assertAlmostEqual(widen, lift - 5, delta=0.051)

    def test_other_options_are_predicted_with_the_lights_moved(self):
        path, _, _ = self.record()
        # A gap of 15 still flaps with a lift of 20; the recording with its
        # lights left where they were says otherwise.
        for options in (["-n", "5", "-O", "40", "-F", "55"], ["-n", "8", "-O", "35", "-F", "60"]):
            with self.subTest(options=options):
                out, _ = self.run_camera(options)
                actual = self.actual(out)
                exact = self.replay(options + ["--night-offset", str(LIFT), path])
                self.assertEqual(self.predicted(exact), actual)
                estimated = self.replay(options + [path])
                self.assertEqual(len(switches(estimated)), len(actual))
                unmodelled = self.replay(options + ["--night-offset", "0", path])
                self.assertNotEqual(self.predicted(unmodelled), actual)

    def test_the_sweeps_suggestion_switches_as_predicted_on_the_camera(self):
        path, _, _ = self.record()
        report = self.replay(FLAPPING + ["--sweep", path])
        suggested = re.fullmatch(r"(-n \d+ -O \S+ -F \S+) \((\d+) switch(?:es)?\)", field(report, "Suggested"))
        self.assertIsNotNone(suggested, report)
        options, count = suggested.group(1).split(), int(suggested.group(2))
        self.assertEqual(count, 2, report)
        row = next(line for line in report.splitlines() if line.strip().startswith(suggested.group(1) + " "))
        first_night, last_day = (int(n) for n in re.findall(r"sample (\d+)", row))

        out, calls = self.run_camera(options)
        self.assertEqual(calls, ["on", "off"])
        (night, _, _), (day, _, _) = light_switches(out)
        # Neither while the other is still plain.
        self.assertLess(LEVELS[night - 1], LIGHT, "night falls once it is no longer light")
        self.assertGreater(LEVELS[day - 1], DARK, "day comes back once it is no longer dark")
        self.assertLessEqual(abs(night - first_night), 2, report)
        self.assertLessEqual(abs(day - last_day), 2, report)


class SlowerEvenings(Camera):
    def test_advice_from_a_fast_dusk_holds_on_slower_ones(self):
        # IR LEDs that lift the sensor by 18, and a dusk of only 40 samples:
        # a large window smooths the step of each switch away there, and
        # would flap on the next, slower evening.
        lift = 18
        _, fast = dusk_and_dawn(seed=11, ramp=40)
        out, _ = self.run_camera(FLAPPING, fast, lift)
        path = os.path.join(self.dir, "fast.log")
        with open(path, "w") as f:
            f.write(out)
        report = self.replay(FLAPPING + ["--sweep", path])
        self.assertIn("with dusk and dawn four times slower", paragraph(report, "Ranked"))
        suggested = re.fullmatch(r"(-n \d+ -O \S+ -F \S+) \(2 switches\)", field(report, "Suggested"))
        self.assertIsNotNone(suggested, report)
        options = suggested.group(1).split()
        again = self.replay(options + [path])
        self.assertNotIn("Warning", again)
        self.assertEqual([m for _, _, m, _ in switches(again)], ["night", "day"])
        for ramp in (40, 160, 600):
            with self.subTest(dusk=ramp):
                _, conversions = dusk_and_dawn(seed=ramp, ramp=ramp)
                _, calls = self.run_camera(options, conversions, lift)
                self.assertEqual(calls, ["on", "off"])


class StuckSensor(Camera):
    def test_a_sensor_that_never_moves_is_named_before_any_tuning(self):
        # The daemon's recording of a sensor that reads the same whatever
        # the light, and of one stuck at the top of a 12-bit range.
        for value, problem in ((41, r"never moves: every sample of \d+ lies between 41 and 41"),
                               (4095, r"stuck: (\d+) of \1 samples \(100.0%\) read 4095, the top of its range")):
            with self.subTest(value=value):
                device = self.constant_device(value, name="adc%d" % value)
                daemon = self.start(["-v", "-a", "2", "-d", "0", "-D", device, "-c", "true"])
                daemon.wait_stdout("Current value", count=40)
                out, _ = daemon.stop()
                path = os.path.join(self.dir, "stuck.log")
                with open(path, "w") as f:
                    f.write(out)
                report = self.replay([path])
                self.assertRegex(field(report, "Sensor"), "^" + problem)
                self.assertEqual(len(re.findall("^Sensor:", report, re.M)), 1)


if __name__ == "__main__":
    unittest.main()
