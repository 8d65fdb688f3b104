"""The replay tells the truth for the software method: the daemon, reading
the simulated ISP's statistics, switches at the same samples and by the same
rules as the replay of its own -S -v -v output; and on a simulated T31 that
saturates in the dark and whose IR LEDs light the scene, two recordings and
two sweeps take the defaults to options that switch once each way, as
predicted, on that evening and on one four times slower.

The daemon reads its statistics from a fixed path under /proc, so this runs
in a private mount namespace with a tmpfs on /proc, as the daemon's own
end-to-end tests do. That needs root; without it the module says why and
exits with status 77, which CTest counts as skipped. The daemon samples once
a second; with NO_PAUSE (sim/no_pause.cpp) preloaded, the closed loop runs
at the speed the simulated ISP hands out its files."""

import os
import re
import unittest

import simcam

simcam.enter_private_proc("software-method replay tests")

from harness import DaemonTest  # noqa: E402
from replay_support import T31_LIMIT, field, paragraph, run_replay, saturating_evening, switches  # noqa: E402
from test_replay_cli import ISP_DAY, ISP_DAY_OPTIONS, ISP_DAY_SWITCHES  # noqa: E402

# Where the daemon can be given it: its pauses return at once, the samples
# coming in lock step all the same.
NO_PAUSE = os.environ.get("NO_PAUSE")

DAEMON_RULES = {"Switching to night new": "Eq1", "Eq2 switching to day": "Eq2",
                "Eq3 switching to day": "Eq3"}


def daemon_switches(out):
    """(sample, mode, rule) of each switch after the start, the sample
    counted by the raw triples that -v -v prints for each read."""
    found, samples, rule = [], 0, None
    for line in out.splitlines():
        if line.startswith("(") and line.endswith(")"):
            samples += 1
        for message, name in DAEMON_RULES.items():
            if line.startswith(message):
                rule = name
        if line in ("Night Mode Enabled", "Night Mode Disabled") and samples > 0:
            found.append((samples, "night" if line.endswith("Enabled") else "day", rule))
    return found


class SameSwitches(DaemonTest):
    def test_every_rule(self):
        # One step of the simulated ISP per read of the daemon.
        isp = self.fake_isp(["%d %d %d" % sample for sample in ISP_DAY])
        mode = simcam.ModeScript(self.dir)
        args = ["-S", "-v", "-v", "-c", mode.path] + ISP_DAY_OPTIONS
        daemon = self.start(args)
        isp.wait_held()
        out, err = daemon.stop()
        self.assertEqual(err, "")
        self.assertEqual(daemon_switches(out), ISP_DAY_SWITCHES)

        log = os.path.join(self.dir, "lumenflip.log")
        with open(log, "w") as f:
            f.write(out)
        status, report, problems = run_replay(args + [log], host_proc=True)
        self.assertEqual((status, problems), (0, ""), report)
        self.assertEqual([(s, m, r.split(":")[0]) for s, _, m, r in switches(report)], daemon_switches(out))


# A T31-class camera through an evening and a morning: its exposure stops
# at the sensor's limit in the dark, and night mode's IR LEDs add their
# light to the scene, so that under them the exposure falls to about what
# they alone hold.
IR = 800000


@unittest.skipIf(not NO_PAUSE, "the closed loop of about 3000 samples needs sim/no_pause, a host build's")
class TuningFromTheDefaults(DaemonTest):
    """From the defaults to options that work, in two recordings and two
    sweeps, on the simulated camera in a closed loop; the suggestion then
    also holds with dusk and dawn four times slower."""

    runs = 0

    def run_camera(self, options, slower=1):
        """The daemon's -S -v -v output on the camera through the evening,
        each read of isp-m0 in lock step with the ambient light, with the
        IR LEDs on while the mode script has put the camera in night."""
        TuningFromTheDefaults.runs += 1
        mode = simcam.ModeScript(self.dir, name="mode%d.sh" % self.runs)
        # Dusk and dawn under 1% a sample: no jitter but at the switches.
        ambient = saturating_evening(slower, day=40, ramp=150, night=100)
        script = ["generation t31", "max %d" % T31_LIMIT, "ir %d %s" % (IR, mode.log)] + ["%d - 4000" % round(e) for e in ambient]
        isp = self.fake_isp(script, simcam.ISP_M0)
        env = dict(os.environ, LD_PRELOAD=NO_PAUSE)
        daemon = self.start(["-S", "-v", "-v", "-c", mode.path] + options, env=env)
        isp.wait_held(timeout=600)
        out, err = daemon.stop()
        isp.stop()
        self.assertEqual(err, "")
        self.assertEqual(len(simcam.TRIPLE.findall(out)), len(ambient))
        path = os.path.join(self.dir, "evening%d.log" % self.runs)
        with open(path, "w") as f:
            f.write(out)
        return path, out, ambient

    def replay(self, args):
        status, report, problems = run_replay(args, host_proc=True)
        self.assertEqual((status, problems), (0, ""), report)
        return report

    def suggestion(self, report):
        suggested = re.fullmatch(r"(-S .*) \((\d+) switch(?:es)?\)", field(report, "Suggested"))
        self.assertIsNotNone(suggested, report)
        return suggested.group(1).split(), int(suggested.group(2))

    def test_two_recordings_and_two_sweeps(self):
        # The defaults never go to night: the exposure never passes -1.
        first, out, _ = self.run_camera([])
        self.assertEqual(daemon_switches(out), [])
        report = self.replay(["-S", "--sweep", first])
        self.assertIn("its highest is %d" % T31_LIMIT, field(report, "Exposure"))
        self.assertIn("night mode leaves the exposure as it is", paragraph(report, "Assumed"))
        options, _ = self.suggestion(report)
        self.assertLess(int(options[options.index("-1") + 1]), T31_LIMIT)

        # That gets it to night, where the IR LEDs bring the exposure below
        # -2's: a recording with switches to measure them from.
        second, out, _ = self.run_camera(options[1:])
        self.assertIn("night", [m for _, m, _ in daemon_switches(out)])
        # Its replay repeats the daemon's flapping switch for switch, and says so.
        report = self.replay(options + [second])
        self.assertEqual([(s, m, r.split(":")[0]) for s, _, m, r in switches(report)], daemon_switches(out))
        self.assertIn("flapping", field(report, "Warning"))
        report = self.replay(options + ["--sweep", second])
        feedback = re.search(r"near (\d+)", field(report, "Feedback"))
        self.assertLess(abs(int(feedback.group(1)) - IR), 0.02 * IR, report)
        options, count = self.suggestion(report)
        self.assertEqual(count, 2, report)
        predicted = [(s, m, r.split(":")[0]) for s, _, m, r in switches(self.replay(options + [second]))]
        self.assertEqual([m for _, m, _ in predicted], ["night", "day"])

        # The suggestion switches once each way, where predicted, and keeps
        # the dark hours (at the sensor's limit) in night.
        third, out, ambient = self.run_camera(options[1:])
        found = daemon_switches(out)
        self.assertEqual(found, predicted)
        night = range(found[0][0], found[1][0])
        dark = [i for i, e in enumerate(ambient, 1) if e >= T31_LIMIT]
        self.assertGreaterEqual(sum(1 for i in dark if i in night), 0.9 * len(dark))
        self.assertNotIn("Warning", self.replay(options + [third]))

        # Dusk and dawn four times slower.
        slow, out, _ = self.run_camera(options[1:], slower=4)
        self.assertEqual([m for _, m, _ in daemon_switches(out)], ["night", "day"])
        self.assertNotIn("Warning", self.replay(options + [slow]))


if __name__ == "__main__":
    unittest.main()
