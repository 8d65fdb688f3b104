#!/usr/bin/env python3
"""Boots the emulated camera under qemu-system-mipsel.

  guest.py --kernel FILE --image FILE shell
      the owner's camera on this terminal; "poweroff" ends it.
  guest.py --kernel FILE --image FILE scenario NAME [--timeout SECONDS] [--log FILE]
      plays a scenario of the image (etc/camera/NAME) and judges its serial
      console: exit status 0 when every check passes, 1 when one fails (the
      console log is printed), 77 when the emulator or the kernel is missing.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import threading
import time

SKIPPED = 77


def qemu_command(kernel, image, scenario=None, cpu="24Kf", init_args=()):
    """The guest on the older cores' CPU (24Kf, legacy NaN) unless told
    another; init_args reach init after "--" on the kernel command line."""
    append = "console=ttyS0 loglevel=6 panic=-1"
    if scenario:
        append += " scenario=" + scenario
    if init_args:
        append += " -- " + " ".join(init_args)
    # Without -nic none and -vga none qemu looks for option ROMs that its
    # package does not ship.
    return ["qemu-system-mipsel", "-M", "malta", "-cpu", cpu, "-m", "128",
            "-nographic", "-no-reboot", "-nic", "none", "-vga", "none",
            "-kernel", kernel, "-initrd", image, "-append", append]


def missing_parts(kernel, image):
    if not shutil.which("qemu-system-mipsel"):
        return "qemu-system-mipsel is not installed (Debian package qemu-system-mips)"
    for path, what in ((kernel, "kernel"), (image, "image")):
        if not os.path.isfile(path):
            return "no %s at %s (scripts/setup fetches the kernel and busybox packages)" % (what, path)
    return None


def boot(command, timeout):
    """Runs the guest, with no input, until it powers off or the time is up.
    Returns (console lines, exit status or None when it was killed, seconds)."""
    started = time.monotonic()
    guest = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
    output = []
    reader = threading.Thread(target=lambda: output.extend(guest.stdout), daemon=True)
    reader.start()
    try:
        status = guest.wait(timeout)
    except subprocess.TimeoutExpired:
        guest.kill()
        guest.wait()
        status = None
    reader.join(5)
    text = b"".join(output).decode("utf-8", "replace")
    lines = [line.rstrip("\r") for line in text.split("\n")]
    return lines, status, time.monotonic() - started


class Console:
    """The console's lines, with the checks made on them."""

    def __init__(self, lines):
        self.lines = lines
        self.failures = []
        self.passes = []

    def find(self, pattern, start=0):
        """Index of the first line from start that matches, or None."""
        for index in range(start, len(self.lines)):
            if re.search(pattern, self.lines[index]):
                return index
        return None

    def value(self, pattern):
        """The first group of the first matching line, or None."""
        index = self.find(pattern)
        return None if index is None else re.search(pattern, self.lines[index]).group(1)

    def check(self, ok, what, detail=""):
        (self.passes if ok else self.failures).append(what + (": " + detail if detail and not ok else ""))
        return ok

    def in_order(self, what, patterns, start=0, end=None):
        """Each pattern on a line after the one before, between start and end."""
        at = start
        for pattern in patterns:
            found = self.find(pattern, at)
            if found is None or (end is not None and found >= end):
                return self.check(False, what, "no line matching %r after line %d" % (pattern, at))
            at = found + 1
        return self.check(True, what)


NIGHT = r"^IR LEDs on$"
DAY = r"^IR LEDs off$"
SYSLOG_TAG = r"^syslog: .* lumenflip: "

# Every line that may reach the system log under lumenflip's tag: the
# daemon's own, the mode script's and the init script's supervisor's. A
# line of one written into the middle of another's matches none.
LOG_LINES = [re.compile(pattern) for pattern in (
    r"Current value: \d+\.\d\d",
    r"Window \(\d+\) Avg: \d+\.\d\d",
    r"Night Mode (Enabled|Disabled)",
    # A command line built from the base command ends with its line break.
    r"WARNING: /system/sdcard/scripts/nightmode\.sh (on|off)",
    r" returned -?\d+",
    r"ERROR: jzAuxReadAverage\(\d+\) failed: [A-Z][a-z ]+",
    r"Starting software method using ",
    r"(jitter_percent|eq1_user_exposure|eq2_user_exposure|eq2_user_iridix|eq2_count"
    r"|eq3_user_wb|eq3_user_iridix|eq3_count|sec_wait) = -?\d+",
    r"ISP statistics: /proc/jz/isp/isp-m0 \(T23/T31 labels\): exposure, white balance; no Iridix: .+",
    r"\(-?\d+, (-?\d+|-), -?\d+\)",
    r"jitter active",
    r"mode switch wait active",
    r"Switching to night new exp=-?\d+",
    r"Eq2 (switching to day mode|wait_count active) exp=-?\d+ iridix=(-?\d+|-)",
    r"Eq3 (switching to day mode|wait_count active) wb=-?\d+ iridix=-?\d+",
    r"ERROR: readIspInfo: [a-z].*",
    r"Unable to read isp_info",
    r"nightmode\.sh: (day|night)",
    r"S50lumenflip: (lumenflip ended with status \d+; starting it again in \d+ s"
    r"|lumenflip ended at once with status \d+"
    r"|the log reader ended with status \d+; starting another"
    r"|the day command failed: .+)",
)]
MODE_SCRIPT_LINE = re.compile(r"nightmode\.sh: (day|night)")
SWITCH_LINE = re.compile(r"Night Mode (Enabled|Disabled)")


def log_lines(console):
    """lumenflip's lines of the system log, as the scenario printed them."""
    return [re.sub(SYSLOG_TAG, "", line) for line in console.lines if re.match(SYSLOG_TAG, line)]


def judge_log(console):
    """Whole lines, and each switch's line before its mode command's output.
    The mode script also runs as the init script's day command, with no
    switch line before it."""
    c = console
    lines = log_lines(c)
    broken = [line for line in lines if not any(p.fullmatch(line) for p in LOG_LINES)]
    c.check(lines and not broken, "every lumenflip line of the system log is whole",
            "no lumenflip line" if not lines else "; ".join(map(repr, broken[:5])))
    faults = []
    switches = 0
    pending = None  # the mode of a switch line not yet followed by its command
    for number, line in enumerate(lines):
        switch = SWITCH_LINE.fullmatch(line)
        script = MODE_SCRIPT_LINE.fullmatch(line)
        if switch:
            if pending:
                faults.append("line %d: a switch before the last one's command ran" % number)
            pending = "night" if switch.group(1) == "Enabled" else "day"
            switches += 1
        elif script:
            if pending and pending != script.group(1):
                faults.append("line %d: %r after the switch to %s" % (number, line, pending))
            elif not pending and script.group(1) == "night":
                faults.append("line %d: %r with no switch to night before it" % (number, line))
            pending = None
    c.check(switches and not faults, "each switch's line comes before its mode command's output",
            "no switch" if not switches else "; ".join(faults[:5]))


def judge_common(console, status, method):
    c = console
    c.check(c.find(r"Linux version \S+") is not None, "kernel banner")
    started = c.find(r"^rcS: /etc/init\.d/S50lumenflip start returned 0$")
    c.check(started is not None, "the init script started lumenflip from rcS")
    c.in_order("the init script said what it started",
               [r"^Starting lumenflip$", r"^  method:  " + method,
                r"^  night:   /system/sdcard/scripts/nightmode\.sh on$",
                r"^  day:     /system/sdcard/scripts/nightmode\.sh off$",
                r"^  output:  the system log$"], end=started)
    complaints = [line for line in c.lines[:started] if line.startswith("S50lumenflip: ")]
    c.check(not complaints, "the init script found nothing amiss", "; ".join(complaints))
    killed_at = c.find(r"^camera: killing lumenflip")
    if not c.check(killed_at is not None, "the scenario reached its end"):
        killed_at = len(c.lines)

    c.check(c.find(SYSLOG_TAG + r"WARNING: /system/sdcard/scripts/nightmode\.sh on$") is not None
            and c.find(SYSLOG_TAG + r"\s*returned 256$") is not None,
            "the failed mode command's warning reached syslog")
    c.check(c.find(r"^camera: status returned 0$") is not None, "status said running")

    # The init script promises 10 s; the rest is the emulator's slack.
    killed = c.value(r"^camera: killing lumenflip (\d+)$")
    back = c.find(r"^camera: lumenflip (back|not back)")
    came_back = back is not None and re.search(r"back as (\d+) after (\d+)s$", c.lines[back])
    c.check(killed is not None and came_back and came_back.group(1) != killed
            and int(came_back.group(2)) <= 15,
            "the daemon killed with SIGKILL came back within 15 s",
            "nothing to kill" if killed is None else c.lines[back] if back is not None else "no answer")

    c.check(c.find(r"^camera: stop returned 0$") is not None, "stop returned 0")
    stop_at = c.find(r"^camera: stop returned") or 0
    leftovers = [line for line in c.lines[stop_at:] if line.startswith("ps: ")
                 and re.search(r"lumenflip|logger|nightmode", line)]
    c.check(c.find(r"^ps: ", stop_at) is not None and not leftovers,
            "stop left nothing running", "; ".join(leftovers) or "no process list")
    c.check(c.find(r"^camera: status after stop returned 3$") is not None, "status said not running after stop")
    c.check(status == 0 and c.find(r"reboot: Power down") is not None, "clean power-off",
            "qemu was killed at the time limit" if status is None else "qemu exit status %s" % status)
    judge_log(c)
    return killed_at


def judge_light_sensor(console, status):
    c = console
    end = judge_common(c, status, r"light sensor /dev/jz_adc_aux_0$")
    c.check(c.find(r"^camera: light curve played$") is not None, "the light curve was played to the end")
    c.in_order("the light was set to the same level while in day, and while in night",
               [r"^camera: light day$", r"^camera: light day$", r"^camera: in night$",
                r"^camera: light night$", r"^camera: in day$"])
    # The supervisor switches to day at start: dusk is the first night after it.
    dusk = c.find(r"^camera: light 60$")
    c.in_order("the camera went to night at dusk and back to day at dawn",
               [r"^IR cut filter out$", NIGHT, r"^IR cut filter in$", DAY], start=dusk or 0, end=end)
    c.check(c.find(r"^camera: mode day$") is not None, "the camera ended the curve in day")
    errors = [line for line in log_lines(c) if "ERROR:" in line]
    c.check(not errors, "no ERROR from lumenflip while the light changed", "; ".join(errors[:3]))
    c.in_order("the daemon's samples and switches reached syslog",
               [SYSLOG_TAG + r"Window \(3\) Avg: ", SYSLOG_TAG + r"Night Mode Enabled$",
                SYSLOG_TAG + r"nightmode\.sh: night$", SYSLOG_TAG + r"Night Mode Disabled$",
                SYSLOG_TAG + r"nightmode\.sh: day$"])


def judge_software(console, status):
    c = console
    end = judge_common(c, status, r"image statistics \(-S\)$")
    c.check(c.find(r'^           its settings: in the system log at each start with -v in OPTIONS '
                   r'\("Starting software method using"\)$') is not None,
            "the init script said where the settings are")
    # fake_isp says each step of the trace as the daemon opens the file.
    dark = c.find(r"^step \d+: exposure 1500000, wb 5000$")
    light = c.find(r"^step \d+: exposure 600000, wb 2500$")
    c.check(dark is not None and light is not None and c.find(r"^camera: ISP trace played$") is not None,
            "the ISP trace was played to the end")
    if dark is not None and light is not None:
        # Day at start, night once the exposure is high (Eq1), day again
        # when it is low (Eq2, on the exposure alone: a T31 publishes no
        # Iridix strength).
        c.in_order("day at start before the trace", [DAY], end=dark)
        c.in_order("Eq1 switched to night on the high exposure", [NIGHT], start=dark, end=light)
        c.in_order("Eq2 switched back to day on the low exposure", [DAY], start=light, end=end)
    # Standard output goes out before each mode command, so the log holds
    # each decision before the command it led to.
    c.in_order("the daemon's progress reached syslog, each step before its command",
               [SYSLOG_TAG + r"Starting software method using $", SYSLOG_TAG + r"sec_wait = 2$",
                SYSLOG_TAG + r"Night Mode Disabled$", SYSLOG_TAG + r"nightmode\.sh: day$",
                SYSLOG_TAG + r"ISP statistics: /proc/jz/isp/isp-m0 \(T23/T31 labels\): ",
                SYSLOG_TAG + r"\(1500000, -, 5000\)$",
                SYSLOG_TAG + r"Switching to night new exp=1500000$", SYSLOG_TAG + r"Night Mode Enabled$",
                SYSLOG_TAG + r"nightmode\.sh: night$",
                SYSLOG_TAG + r"Eq2 wait_count active exp=600000 iridix=-$",
                SYSLOG_TAG + r"Eq2 switching to day mode exp=600000 iridix=-$",
                SYSLOG_TAG + r"Night Mode Disabled$", SYSLOG_TAG + r"nightmode\.sh: day$"])
    eq3 = [line for line in log_lines(c) if line.startswith("Eq3")]
    c.check(not eq3, "Eq3 never decided without an Iridix strength", "; ".join(eq3[:3]))


JUDGES = {"light_sensor": judge_light_sensor, "software": judge_software}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--image", required=True)
    sub = parser.add_subparsers(dest="what", required=True)
    sub.add_parser("shell")
    play = sub.add_parser("scenario")
    play.add_argument("name", choices=sorted(JUDGES))
    play.add_argument("--timeout", type=float, default=120)
    play.add_argument("--log", help="also write the console to this file")
    play.add_argument("--skip", metavar="REASON", help="skip at once: the build has no image")
    args = parser.parse_args()

    reason = missing_parts(args.kernel, args.image)
    if args.what == "shell":
        if reason:
            sys.exit("camera: " + reason)
        command = qemu_command(args.kernel, args.image)
        print("camera: " + shlex.join(command), flush=True)
        os.execvp(command[0], command)

    label = "camera." + args.name
    if args.skip:
        reason = args.skip
    elif reason and shutil.which("qemu-system-mipsel"):
        # The build made an image: one that is missing now is a fault.
        print("%s: %s" % (label, reason), flush=True)
        sys.exit(1)
    if reason:
        print("%s skipped: %s" % (label, reason), flush=True)
        sys.exit(SKIPPED)
    command = qemu_command(args.kernel, args.image, args.name)
    print(shlex.join(command), flush=True)
    lines, status, seconds = boot(command, args.timeout)
    if args.log:
        with open(args.log, "w") as f:
            f.write("\n".join(lines))
    console = Console(lines)
    JUDGES[args.name](console, status)
    banner = console.find(r"Linux version \S+")
    if banner is not None:
        print(lines[banner].strip())
    for passed in console.passes:
        print("ok: " + passed)
    for failed in console.failures:
        print("FAILED: " + failed)
    print("%s: %d checks, %d failed, %.1f s" % (label, len(console.passes) + len(console.failures),
                                                len(console.failures), seconds))
    if console.failures:
        print("---- console ----")
        print("\n".join(lines))
        sys.exit(1)


if __name__ == "__main__":
    main()
