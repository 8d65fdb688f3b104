"""The replay tells the truth for the software method: the daemon, reading
the simulated ISP's statistics, switches at the same samples and by the same
rules as the replay of its own -S -v -v output; and the options that --sweep
suggests, run on a simulated camera whose night mode halves the exposure,
switch exactly as the sweep predicted.

The daemon reads its statistics from a fixed path under /proc, so this runs
in a private mount namespace with a tmpfs on /proc, as the daemon's own
end-to-end tests do. That needs root; without it the module says why and
exits with status 77, which CTest counts as skipped. The daemon samples once
a second: the traces are kept to 14 and 29 samples."""

import os
import re
import time
import unittest

import simcam

simcam.enter_private_proc("software-method replay tests")

from harness import DaemonTest  # noqa: E402
from replay_support import field, given_row, run_replay, switches, with_ir  # noqa: E402
from test_replay_cli import ISP_DAY, ISP_DAY_OPTIONS, ISP_DAY_SWITCHES  # noqa: E402

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


# Dusk lingers at an exposure of 1300000, deep night reaches 3000000, dawn
# the same backwards; iridix and white balance never call for day on their
# own. Night mode halves the exposure, so the given -1 1200000 falls back
# under -2's 930000 at once and flaps. -j 30 keeps the ramps' steps from
# counting as jitter; night mode's halving still does.
IR = 800000  # the exposure the IR LEDs alone hold
DUSK = [800000] * 3 + [1050000] + [1300000] * 5 + [1725000, 2150000, 2575000] + [3000000] * 3
AMBIENT = DUSK + DUSK[::-1][1:]
FLAPPING = ["-j", "30", "-w", "1", "-2", "930000,14,1", "-3", "3000,17,1"]
SETTLE = 0.25  # seconds for a decision and its mode command, well inside the daemon's 1 s sleep


class SuggestedOptions(DaemonTest):
    def write_ambient(self, directory):
        path = os.path.join(directory, "ambient.csv")
        with open(path, "w") as f:
            f.write("".join("%d,10,5000\n" % e for e in AMBIENT))
        return path

    def run_camera(self, options):
        """Runs the daemon on a camera that lights itself: before each read
        the ISP file gets the next ambient exposure, halved while the mode
        script has put the camera in night. Returns the daemon's output and
        the exposures it was given."""
        mode = simcam.ModeScript(self.dir)
        given = [AMBIENT[0]]
        simcam.write_isp(given[0], 10, 5000)
        daemon = self.start(["-S", "-v", "-v", "-c", mode.path] + options)
        for read in range(1, len(AMBIENT)):
            daemon.wait_for(lambda d: len(simcam.TRIPLE.findall(d.stdout())) >= read, timeout=10,
                            what="read %d" % read)
            # The switch a read brings is announced at once; its command
            # has run once the mode script has recorded it.
            time.sleep(SETTLE)
            daemon.wait_for(lambda d: len(mode.calls()) == d.stdout().count("Night Mode "),
                            timeout=10, what="the mode command of read %d" % read)
            night = mode.calls()[-1] == "on"
            given.append(round(with_ir(AMBIENT[read], IR)) if night else AMBIENT[read])
            simcam.write_isp(given[-1], 10, 5000)
        daemon.wait_for(lambda d: len(simcam.TRIPLE.findall(d.stdout())) == len(AMBIENT), timeout=10,
                        what="the last read")
        time.sleep(SETTLE)
        out, err = daemon.stop()
        self.assertEqual(err, "")
        # In lock step: every read saw what was written for it.
        self.assertEqual([int(t[1:-1].split(",")[0]) for t in simcam.TRIPLE.findall(out)], given)
        return out, given

    def test_the_sweeps_suggestion_switches_as_predicted(self):
        ambient = self.write_ambient(self.dir)
        factor = ["--night-exposure", str(IR)]
        report = self.replay(FLAPPING + factor + ["--sweep", ambient])
        self.assertGreater(given_row(report).switches, 2, report)
        suggested = re.fullmatch(r"(-S .*) \((\d+) switch(?:es)?\)", field(report, "Suggested"))
        self.assertIsNotNone(suggested, report)
        options, count = suggested.group(1).split()[1:], int(suggested.group(2))
        self.assertEqual(count, 2, report)
        predicted = [(s, m, r.split(":")[0]) for s, _, m, r in switches(self.replay(options + factor + [ambient]))]

        out, _ = self.run_camera(options)
        self.assertEqual(daemon_switches(out), predicted)
        self.assertEqual([m for _, m, _ in predicted], ["night", "day"])

    def replay(self, args):
        status, report, problems = run_replay(args, host_proc=True)
        self.assertEqual((status, problems), (0, ""), report)
        return report


if __name__ == "__main__":
    unittest.main()
