"""The replay tells the truth for the software method: the daemon, reading
the simulated ISP's statistics, switches at the same samples and by the same
rules as the replay of its own -S -v -v output.

The daemon reads its statistics from a fixed path under /proc, so this runs
in a private mount namespace with a tmpfs on /proc, as the daemon's own
end-to-end tests do. That needs root; without it the module says why and
exits with status 77, which CTest counts as skipped. The daemon samples once
a second: the trace is kept to 14 samples."""

import os
import unittest

import simcam

simcam.enter_private_proc("software-method replay tests")

from harness import DaemonTest  # noqa: E402
from replay_support import run_replay, switches  # noqa: E402
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
        isp = simcam.SteppedIsp(self.dir, ISP_DAY)
        self.addCleanup(isp.stop)

        mode = simcam.ModeScript(self.dir)
        args = ["-S", "-v", "-v", "-c", mode.path] + ISP_DAY_OPTIONS
        daemon = self.start(args)
        # One step of the simulated ISP per read of the daemon.
        for step in range(2, len(ISP_DAY) + 1):
            daemon.wait_for(lambda d: d.stdout().count(")\n") >= step - 1, timeout=10, what="read %d" % (step - 1))
            isp.advance()
        daemon.wait_for(lambda d: len(daemon_switches(d.stdout())) == len(ISP_DAY_SWITCHES), timeout=10,
                        what="the last switch")
        out, err = daemon.stop()
        self.assertEqual(err, "")
        self.assertEqual(daemon_switches(out)[:len(ISP_DAY_SWITCHES)], ISP_DAY_SWITCHES)

        log = os.path.join(self.dir, "lumenflip.log")
        with open(log, "w") as f:
            f.write(out)
        # The replay needs no ISP file, and the sanitizers' leak check at
        # its exit reads /proc/<pid>.
        simcam.release_private_proc()
        status, report, problems = run_replay(args + [log])
        self.assertEqual((status, problems), (0, ""), report)
        self.assertEqual([(s, m, r.split(":")[0]) for s, _, m, r in switches(report)], daemon_switches(out))


if __name__ == "__main__":
    unittest.main()
