"""Samples a running daemon's open file descriptors and resident memory
from /proc, for checks that neither grows over a long run."""

import os
import time

from simcam import host_proc

# Under an emulator the process watched is the emulator, whose own memory
# moves by a page or so as it translates code paths first taken late in
# the run (and shrinks as it frees): only growth past this much counts.
# Natively the daemon's memory must not move at all.
EMULATOR_SLACK_KB = 256 if os.environ.get("LUMENFLIP_EMULATOR") else 0

# The calls of a daemon at rest, by number on this host (x86_64), where the
# emulated ones end up too: open and openat of its device, and the pauses.
RESTING_CALLS = {"2", "257", "35", "230"}


class ResourceWatch:
    """The first sample is the baseline; every later one must equal it.

    `transient` is the path of a file the daemon opens and closes again for
    every read: one descriptor on it may be caught in flight, more would be
    a leak."""

    def __init__(self, pid, transient=None):
        self.pid = pid
        self.transient = transient
        self.baseline = None
        self.samples = []

    def _descriptors(self):
        folder = os.path.join(host_proc(), str(self.pid), "fd")
        steady, in_flight = {}, []
        for name in os.listdir(folder):
            try:
                target = os.readlink(os.path.join(folder, name))
            except FileNotFoundError:
                continue  # closed while we looked
            if self.transient and target.startswith(self.transient):
                in_flight.append(int(name))
            else:
                steady[int(name)] = target
        return steady, in_flight

    def _resident_kb(self):
        with open(os.path.join(host_proc(), str(self.pid), "status")) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS for process %d" % self.pid)

    def _children(self):
        path = os.path.join(host_proc(), str(self.pid), "task", str(self.pid), "children")
        with open(path) as f:
            return f.read().split()

    def sample(self):
        """Takes a sample while the daemon rests between two samples, asleep
        or waiting for its device, never inside a mode command: the C
        library maps a stack for the command's start in the daemon's own
        memory, and some open a pipe just before the command's process
        exists. Returns whether it sampled."""
        deadline = time.monotonic() + 10
        while not self._resting():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        steady, in_flight = self._descriptors()
        taken = (steady, in_flight, self._resident_kb())
        if not self._resting():
            return False
        if self.baseline is None:
            self.baseline = taken
        else:
            self.samples.append(taken)
        return True

    def _resting(self):
        """Whether the daemon (or the emulator that runs it, whose calls are
        the daemon's) is blocked in a pause or an open, with no child."""
        if self._children():
            return False
        try:
            with open(os.path.join(host_proc(), str(self.pid), "syscall")) as f:
                call = f.read().split()[0]
        except (OSError, IndexError):
            return False
        return call in RESTING_CALLS

    def check(self, test, minimum_samples):
        test.assertIsNotNone(self.baseline, "no sample was taken")
        test.assertGreaterEqual(len(self.samples), minimum_samples, "too few samples for a soak")
        steady, _, resident = self.baseline
        for number, (fds, in_flight, kb) in enumerate(self.samples, 1):
            test.assertEqual(fds, steady, "open descriptors changed by sample %d" % number)
            test.assertLessEqual(len(in_flight), 1, "descriptors left open on %s" % self.transient)
            trace = "resident memory changed by sample %d: %s" % (number, [s[2] for s in self.samples])
            if EMULATOR_SLACK_KB:
                test.assertLessEqual(kb, resident + EMULATOR_SLACK_KB, trace)
            else:
                test.assertEqual(kb, resident, trace)

    def summary(self):
        steady, _, resident = self.baseline
        return "%d samples of %d descriptors and %d kB resident after the baseline" % (
            len(self.samples), len(steady), resident)
