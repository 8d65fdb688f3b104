"""Soak of the light-sensor method: a long run of ADC conversions (one per
sample, no pause) from the simulated device, with a light that flaps
across both thresholds, in runs of every length and now and then exactly on
a threshold.

While it runs, the daemon's open file descriptors and resident memory are
sampled and must not change. Each mode command records how many
conversions the simulated device had handed out when it ran (its count of
write calls, from /proc), so the switches are checked against the ones the
script calls for: the same conversions, in the same order, none missed and
none extra.

LUMENFLIP_SOAK_CONVERSIONS sets the number of conversions (CTest passes the
build's LUMENFLIP_SOAK_CONVERSIONS).
"""

import os
import random
import select
import sys
import time
import unittest

from harness import DaemonTest
from resources import ResourceWatch

CONVERSIONS = int(os.environ.get("LUMENFLIP_SOAK_CONVERSIONS", "1000000"))
WINDOW = 3
ON, OFF = 40.0, 45.0


def light_script(total, seed=20240611):
    """Runs of (level, length) adding up to total conversions."""
    rng = random.Random(seed)
    runs = []
    left = total
    while left > 0:
        kind = rng.random()
        if kind < 0.3:
            level = rng.randint(0, 39)       # dark
        elif kind < 0.6:
            level = rng.randint(46, 4000)    # bright
        elif kind < 0.85:
            level = rng.randint(41, 44)      # inside the band: never switches
        else:
            level = rng.choice([ON, OFF])    # exactly on a threshold
        shape = rng.random()
        if shape < 0.4:
            length = rng.randint(1, 3)       # a flicker the window may smooth out
        elif shape < 0.8:
            length = rng.randint(4, 200)
        else:
            length = rng.randint(200, 3000)
        length = min(length, left)
        runs.append((int(level), length))
        left -= length
    return runs


def expected_switches(runs, size, on, off):
    """(command, conversion number) for every switch: the window is summed
    from its first slot to its last, as the daemon does."""
    window = [0.0] * size
    index, full, night = 0, False, False
    switches = []
    number = 0
    for level, length in runs:
        for _ in range(length):
            number += 1
            window[index] = float(level)
            index += 1
            if index == size:
                index, full = 0, True
            elif not full:
                continue
            mean = sum(window) / size
            if night and mean >= off:
                night = False
                switches.append(("off", number))
            elif not night and mean <= on:
                night = True
                switches.append(("on", number))
    return switches


def recorder(word, log, device_pid):
    """A mode command line that logs its word and the device's count of
    conversions handed out, using only the shell's builtins."""
    return ("while read -r key value; do case $key in syscw:) echo \"%s $value\" >> %s;; esac; "
            "done < /proc/%d/io" % (word, log, device_pid))


class LightSoak(DaemonTest):
    def test_flapping_light(self):
        runs = light_script(CONVERSIONS)
        want = expected_switches(runs, WINDOW, ON, OFF)
        self.assertGreaterEqual(len(want), CONVERSIONS // 2000, "the script should flap")

        adc = self.fake_adc("".join("%d*%d\n" % run for run in runs))
        log = os.path.join(self.dir, "switches.log")
        started = time.monotonic()
        daemon = self.start(["-D", adc.path, "-a", "1", "-d", "0", "-n", str(WINDOW),
                             "-O", str(ON), "-F", str(OFF),
                             "-g", recorder("on", log, adc.proc.pid),
                             "-y", recorder("off", log, adc.proc.pid)])

        def switches():
            try:
                with open(log) as f:
                    text = f.read()
            except FileNotFoundError:
                return []
            lines = text[:text.rfind("\n") + 1].splitlines()  # whole lines only
            return [(word, int(count)) for word, count in (line.split() for line in lines)]

        watch = ResourceWatch(daemon.pid, transient=adc.path)
        deadline = started + 60 + CONVERSIONS / 1500
        while True:
            ready, _, _ = select.select([adc.proc.stdout], [], [], 1.0)
            if ready:
                adc.wait_held(timeout=1)
                break
            self.assertIsNone(daemon.proc.poll(), "the daemon ended:\n" + daemon.stderr())
            self.assertLess(time.monotonic(), deadline, "the soak is far too slow")
            if watch.baseline is None and len(switches()) < 2:
                continue  # both commands must have run once: every path is warm
            watch.sample()
        elapsed = time.monotonic() - started
        watch.sample()
        out, err = daemon.stop()

        got = switches()
        self.assertEqual((out, err), ("", ""))
        self.assertEqual(len(got), len(want))
        self.assertEqual(got, want)
        watch.check(self, minimum_samples=3)
        sys.stderr.write("soaked %d conversions in %.1f s (%.0f/s), %d switches; %s\n"
                         % (CONVERSIONS, elapsed, CONVERSIONS / elapsed, len(want), watch.summary()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
