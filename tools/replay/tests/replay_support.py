"""Running lumenflip-replay and reading its report and the daemon's output.

Environment (set by CTest, with PYTHONPATH for simcam and the harness):
  LUMENFLIP_REPLAY     path of the tool
  LUMENFLIP, FAKE_ADC, FAKE_ISP  the daemon and the simulated devices (end-to-end tests)
  LUMENFLIP_EMULATOR   optional command put in front of built programs
"""

import os
import random
import re
import shlex
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))

REPLAY = os.environ.get("LUMENFLIP_REPLAY", "lumenflip-replay")
EMULATOR = shlex.split(os.environ.get("LUMENFLIP_EMULATOR", ""))
DAY_TRACE = os.path.join(ROOT, "sim", "day_trace")

SWITCH = re.compile(r"^ +(\d+)  (?:(\S+) +)?(night|day) +(.*)$")


def run_replay(args, stdin=None, timeout=60, host_proc=False):
    """Returns (status, stdout, stderr) as text. With host_proc, from inside
    a private /proc, the replay runs in a mount namespace of its own with the
    host's /proc uncovered (the sanitizers' leak check at its exit reads
    /proc/<pid>), while the daemon keeps the private one."""
    wrapper = ["unshare", "-m", "--propagation", "private", "sh", "-c", 'umount -l /proc && exec "$@"', "sh"]
    proc = subprocess.run((wrapper if host_proc else []) + EMULATOR + [REPLAY] + list(args), input=stdin,
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


def busybox_log(entries, host="camera", facility="user.notice", tag="lumenflip", precise=False):
    """System log lines as busybox's syslogd writes them and logread prints
    them, "Mmm dd HH:MM:SS host facility.level tag: message", from entries
    (datetime, message[, tag]); a tag of None leaves the message alone.
    host and facility None give syslogd -S's smaller lines; precise, the
    milliseconds of its precise time stamps."""
    lines = []
    for entry in entries:
        when, message = entry[:2]
        own_tag = entry[2] if len(entry) > 2 else tag
        stamp = "%s %2d %s" % (when.strftime("%b"), when.day, when.strftime("%H:%M:%S"))
        if precise:
            stamp += ".%03d" % (when.microsecond // 1000)
        words = [stamp] + [w for w in (host, facility) if w] + ([own_tag + ":"] if own_tag else []) + [message]
        lines.append(" ".join(words) + "\n")
    return "".join(lines)


def paragraph(report, name):
    """The text after "<name>:" with the lines that continue it (indented
    under it), joined by blanks."""
    lines = report.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith(name + ":")), None)
    if start is None:
        raise AssertionError("no %r in the report:\n%s" % (name, report))
    words = lines[start][len(name) + 1:].split()
    for line in lines[start + 1:]:
        if not line.startswith(" " * 10) or line.startswith("   -"):
            break
        words += line.split()
    return " ".join(words)


class SweepRow:
    """A row of a sweep's table."""

    def __init__(self, cells):
        self.options, self.switches = cells[0], int(cells[1])
        self.shortest_day, self.shortest_night, self.first_night, self.last_day = cells[2:6]
        self.notes = cells[6].split(", ") if len(cells) > 6 else []

    def __repr__(self):
        return "SweepRow(%r, %d, %r)" % (self.options, self.switches, self.notes)


def sweep_rows(report):
    """The rows of the table of a sweep, in order, cells split at runs of
    two blanks or more."""
    lines = report.split("\nSweep:", 1)[1].splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:1] == ["options"]) + 1
    rows = []
    for line in lines[start:]:
        if not line.startswith("   -"):
            break
        rows.append(SweepRow(re.split(r" {2,}", line.strip())))
    return rows


def given_row(report):
    return next(row for row in sweep_rows(report) if "given" in row.notes)


def light_switches(out):
    """(sample, mode, window mean text) of each switch in the daemon's -v
    output, the sample counted by its "Current value" lines."""
    found, samples, mean = [], 0, None
    for line in out.splitlines():
        if line.startswith("Current value: "):
            samples += 1
        elif line.startswith("Window ("):
            mean = line.split(": ", 1)[1]
        elif line in ("Night Mode Enabled", "Night Mode Disabled"):
            found.append((samples, "night" if line.endswith("Enabled") else "day", mean))
    return found


# A camera that lights itself: night mode adds LIFT to each conversion of
# the simulated ADC (its "lift" line). Samples average READS conversions, so
# that two decimals print them exactly.
LIFT = 20
READS = 4


def dusk_and_dawn(seed=7, ramp=150):
    """(ambient level of each sample, the conversions): day, a dusk of
    `ramp` samples, night, a dawn, day again, each conversion off by up to 6."""
    rng = random.Random(seed)
    levels = ([70.0] * 40 + [70 - 60 * k / ramp for k in range(ramp)] + [10.0] * 60
              + [10 + 60 * k / ramp for k in range(ramp)] + [70.0] * 40)
    conversions = [max(0, round(level + rng.uniform(-6, 6))) for level in levels for _ in range(READS)]
    return levels, conversions


def lit_adc_script(conversions, mode_log, lift=LIFT):
    """The simulated ADC's script: the conversions, lifted while the mode
    script whose calls go to mode_log has put the camera in night."""
    return ["lift %d %s" % (lift, mode_log)] + [str(c) for c in conversions]


# A T31 in low light: integration time and gains at their maximum.
T31_LIMIT = 1176104


def saturating_evening(slower=1, day=30, ramp=40, night=60):
    """The ambient exposure of an evening and morning on a T31-class camera,
    as it would be without a limit: day at 500000, a dusk up to 1600000,
    night, the dawn back; dusk and dawn `slower` times longer."""
    dusk = [500000 + 1100000 * k / (ramp * slower) for k in range(ramp * slower)]
    return [500000] * day + dusk + [1600000] * night + dusk[::-1] + [500000] * day
