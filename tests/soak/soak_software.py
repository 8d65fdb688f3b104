"""Soak of the software method: a couple of dozen samples, once a second,
from an ISP statistics file that the simulated ISP serves in lock step, a
new one for every read, cycling through night by Eq1 and day by Eq2 or Eq3.

The daemon's open file descriptors and resident memory are sampled after
every read and must not change once a whole cycle has run; each mode
command must run on the read that the rules call for, and on no other.

Needs root for a private /proc, as the end-to-end tests of the method do.
"""

import re
import sys
import unittest

import simcam

simcam.enter_private_proc("software method soak")

from harness import DaemonTest, ModeScript, start_dump  # noqa: E402
from resources import ResourceWatch  # noqa: E402
from simcam import ISP_FILE, reads  # noqa: E402

BRIGHT = (1300000, 10, 5000)    # above -1: night by Eq1
LOW = (900000, 10, 5000)        # below -2's exposure and Iridix: day by Eq2
WARM = (1000000, 20, 2500)      # only Eq3 holds: day by Eq3
# With -w 1 and counts of 2: a jump is jitter, then one read settles, then
# the rule needs three reads in a row.
CYCLES = [(LOW, "Eq2"), (WARM, "Eq3"), (LOW, "Eq2")]
ARGS = ["-S", "-v", "-v", "-w", "1", "-2", "930000,14,2", "-3", "3000,17,2"]


def script():
    """The samples, and the mode command each read should run (or None)."""
    samples, commands = [], []
    for back, _ in CYCLES:
        samples += [BRIGHT] * 3 + [back] * 5
        commands += [None, None, "on"] + [None] * 4 + ["off"]
    return samples, commands


class SoftwareSoak(DaemonTest):
    def test_cycles_over_a_new_file_at_every_read(self):
        samples, commands = script()
        mode = ModeScript(self.dir)
        isp = self.fake_isp(["%d %d %d" % sample for sample in samples])
        daemon = self.start(ARGS + ["-c", mode.path])
        watch = ResourceWatch(daemon.pid, transient=ISP_FILE)
        for number in range(8, len(samples) + 1):  # one cycle has warmed every path
            daemon.wait_for(lambda d: len(reads(d.stdout())) >= number, timeout=10,
                            what="read %d" % number)
            watch.sample()
        isp.wait_held()
        watch.sample()
        out, err = daemon.stop()

        self.assertEqual(err, "")
        self.assertTrue(out.startswith(start_dump(eq2=(930000, 14, 2), eq3=(3000, 17, 2), sec_wait=1)
                                       + "Night Mode Disabled\nMODE off\n"), out)
        ran = [m.group(1) if m else None
               for m in (re.search(r"^MODE (on|off)$", piece, re.M) for piece in reads(out))]
        self.assertEqual(ran, commands)
        for (_, rule), piece in zip(CYCLES, reads(out)[7::8]):
            self.assertIn(rule + " switching to day mode", piece)
        self.assertEqual(mode.calls(), ["off"] + [c for c in commands if c])
        watch.check(self, minimum_samples=10)
        sys.stderr.write("%d reads, %d switches; %s\n" % (len(samples), len(mode.calls()), watch.summary()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
