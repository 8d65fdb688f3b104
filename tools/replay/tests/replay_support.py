"""Running lumenflip-replay and reading its report.

Environment (set by CTest):
  LUMENFLIP_REPLAY     path of the tool
  LUMENFLIP, FAKE_ADC  the daemon and the simulated ADC (end-to-end tests)
  LUMENFLIP_EMULATOR   optional command put in front of built programs
"""

import os
import re
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

REPLAY = os.environ.get("LUMENFLIP_REPLAY", "lumenflip-replay")
EMULATOR = shlex.split(os.environ.get("LUMENFLIP_EMULATOR", ""))
DAY_TRACE = os.path.join(ROOT, "sim", "day_trace")

SWITCH = re.compile(r"^ +(\d+)  (?:(\S+) +)?(night|day) +(.*)$")


def run_replay(args, stdin=None, timeout=60):
    """Returns (status, stdout, stderr) as text."""
    proc = subprocess.run(EMULATOR + [REPLAY] + list(args), input=stdin,
                          stdin=None if stdin is not None else subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def switches(report):
    """The switches of a report: (sample, time or None, mode, decided by)."""
    lines = report.split("\nSwitches:", 1)[1].split("\nSummary:", 1)[0].splitlines()
    found = []
    for line in lines[2:]:
        match = SWITCH.match(line)
        if not match:
            raise AssertionError("not a switch line: %r\n%s" % (line, report))
        found.append((int(match.group(1)), match.group(2), match.group(3), match.group(4)))
    return found


def field(report, name):
    """The text after "<name>:" at the start of a line of the report."""
    match = re.search(r"^ *%s:? +(.*)$" % re.escape(name), report, re.M)
    if not match:
        raise AssertionError("no %r in the report:\n%s" % (name, report))
    return match.group(1)
