#!/usr/bin/env python3
"""Runs end-to-end tests with the daemon, and only the daemon, under
valgrind's memcheck, then reads every report it wrote.

  memcheck.py [TEST...]     (unittest names; default: a short subset)

Each run of the daemon must end with a report of no errors and no leaks.
Memory still reachable at the end (the sample window, which lives for the
process, and the C library's stream buffers) is no leak. The daemon never
exits by itself: the harness stops it with SIGTERM, on which valgrind still
writes its report (SIGKILL would leave none), so a report without its
closing summary fails the run too.
"""

import glob
import os
import re
import shlex
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SUBSET = ["test_cli", "test_light_sensor", "test_mode_switch",
          "test_faults.AdcDeviceFaults", "test_faults.ModeCommandFaults", "test_faults.IspFileFaults"]
SKIPPED = 77


def problems(report):
    """What is wrong with one valgrind report, or an empty list."""
    found = []
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", report)
    if not summary:
        found.append("no error summary: valgrind was cut off")
    elif summary.group(1) != "0":
        found.append("%s errors" % summary.group(1))
    for kind in ("definitely", "indirectly", "possibly"):
        lost = re.search(r"%s lost: ([\d,]+) bytes" % kind, report)
        if lost and lost.group(1) != "0":
            found.append("%s bytes %s lost" % (lost.group(1), kind))
    return found


def main(tests):
    valgrind = os.environ.get("VALGRIND", "valgrind")
    with tempfile.TemporaryDirectory(prefix="lumenflip-memcheck-") as logs:
        wrapper = [valgrind, "--tool=memcheck", "--leak-check=full",
                   "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
                   "--child-silent-after-fork=yes",
                   "--log-file=" + os.path.join(logs, "daemon.%p.log")]
        env = dict(os.environ, LUMENFLIP_WRAPPER=" ".join(shlex.quote(w) for w in wrapper))
        status = subprocess.call([sys.executable, "-m", "unittest", "-v"] + tests, env=env, cwd=HERE)
        if status == SKIPPED:
            return status
        reports = sorted(glob.glob(os.path.join(logs, "daemon.*.log")))
        bad = 0
        for path in reports:
            with open(path) as f:
                report = f.read()
            found = problems(report)
            if found:
                bad += 1
                sys.stderr.write("%s: %s\n%s\n" % (os.path.basename(path), "; ".join(found), report))
        sys.stderr.write("memcheck: %d runs of the daemon, %d with errors or leaks\n" % (len(reports), bad))
        if not reports:
            sys.stderr.write("memcheck: no reports: was the daemon run under valgrind?\n")
            return 1
        return 1 if status != 0 or bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or SUBSET))
