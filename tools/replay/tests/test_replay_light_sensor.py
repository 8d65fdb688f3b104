"""The replay tells the truth: the light-sensor daemon, run on the simulated
ADC, switches at the same samples as the replay of its own verbose output.

The daemon prints each sample with two decimals but decides on the exact
value. The runs here use samples that two decimals hold exactly (whole
conversions with -a 1, halves with -a 2), so that rounding cannot make the
replay differ; what is compared is where the daemon switched, not how."""

import os
import random
import unittest

from harness import DaemonTest
from replay_support import light_switches, run_replay, switches
from simcam import ModeScript


class SameSwitches(DaemonTest):
    def replay_daemon_run(self, script, options, reads):
        mode = ModeScript(self.dir)
        args = ["-v", "-a", str(reads), "-c", mode.path] + options
        out, err = self.run_light(script, args)
        self.assertNotIn("WARNING", err)
        expected = light_switches(out)
        self.assertEqual(len(expected), len(mode.calls()))

        log = os.path.join(self.dir, "lumenflip.log")
        with open(log, "w") as f:
            f.write(out)
        # The daemon's own command line, pasted: what does not decide is ignored.
        status, report, problems = run_replay(args + ["-D", "/dev/null", "-d", "0", log])
        self.assertEqual((status, problems), (0, ""), report)
        got = [(sample, mode_name, decided.split()[2]) for sample, _, mode_name, decided in switches(report)]
        self.assertEqual(got, expected)
        return expected

    def test_a_flapping_light(self):
        # Light wandering across the band between the thresholds, with
        # failed reads that the daemon drops and never prints.
        rng = random.Random(3)
        script = []
        for k in range(90):
            script.append(str(rng.randint(22, 64)))
            if k % 17 == 5:
                script.append("short 2")
        expected = self.replay_daemon_run(script, ["-n", "3", "-O", "40", "-F", "45"], reads=1)
        self.assertGreaterEqual(len(expected), 6, "the light must flap for the comparison to mean much")

    def test_averaged_conversions_and_thresholds_between_halves(self):
        rng = random.Random(5)
        script = [str(rng.randint(60, 100)) for _ in range(2 * 70)]
        expected = self.replay_daemon_run(script, ["-n", "4", "-O", "80.5", "-F", "81"], reads=2)
        self.assertGreaterEqual(len(expected), 4)


if __name__ == "__main__":
    unittest.main()
