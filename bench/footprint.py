#!/usr/bin/env python3
"""Measures what one sample costs each build of lumenflip, and the same job
as baseline.sh, and prints one table: footprint.py SCRATCH_DIR BUILD_ROOT
(from bench/run). The ADC device is a regular file: syscalls are counted
between its opens. The software method reads each generation's statistics
file, written by sim/fake_isp, in a private /proc of its own (root only):
syscalls are counted between the file's opens."""

import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import simcam

READS = 25
ARGS = ["-d", "0", "-a", str(READS), "-n", "5"]
LIGHT, BASELINE = (10, 10), (2, 4)  # light-sensor samples skipped, then counted
SOFTWARE = 5                  # software-method samples counted, one a second
LIGHT_PART = 8                # callgrind dumps (one before each pause) counted
SOFTWARE_PARTS = (5, 6, 7)    # past the jitter and the settle period
# The statistics files of the software method: (row label, generation, file,
# ISPs, samples skipped). isp-m0's first read also looks for isp_info and
# reads the file to its end, as its generation is not known yet.
ISP_FILES = {"t20": ("isp_info (T20)", "t20", "isp_info", 1, 0),
             "t21": ("isp-m0 (T21)", "t21", "isp-m0", 1, 1),
             "t31": ("isp-m0 (T31)", "t31", "isp-m0", 1, 1),
             "t40": ("isp-m0 (T40, two ISPs)", "t40", "isp-m0", 2, 1)}
INSTRUCTIONS_OF = ("t20", "t31")  # the files whose samples callgrind counts
ISP_M0_SAMPLE = 4             # open, one read, close, pause
BASELINE_RUNS = (1, 3)        # baseline.sh -N: samples of two whole runs
# The measured processes get this environment only, and run from the
# scratch folder: the size of what lies above the stack moves instruction counts.
ENVIRONMENT = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}
BUILDS = {  # column: (build folder, target, emulator command)
    "host glibc": ("bench-default", "lumenflip", None),
    "host musl": ("bench-host-musl", "lumenflip", None),
    "mipsel glibc static": ("bench-mipsel", "lumenflip", ["qemu-mipsel"]),
    "mipsel musl static": ("bench-mipsel-musl", "lumenflip", ["qemu-mipsel"]),
    "mipsel musl dynamic": ("bench-mipsel-musl", "lumenflip-dynamic", ["qemu-mipsel"]),
    # The newer cores' build, on a CPU whose FPU knows only the 2008 NaN encoding.
    "mipsel musl 2008-NaN static": ("bench-mipsel-musl-nan2008", "lumenflip", ["qemu-mipsel", "-cpu", "P5600"]),
    "mipsel uclibc static": ("bench-mipsel-uclibc", "lumenflip", ["qemu-mipsel"]),
    "armhf musl static": ("bench-armhf-musl", "lumenflip", ["qemu-arm"])}
CALL = re.compile(r"^(\d+)\s+(?:([a-z_0-9]+)\(|Unknown syscall)")
runs = []


class Failure(Exception):
    pass


class Run:
    """A command in a process group of its own; LOG and DIR in it stand
    for its log file and its folder."""

    def __init__(self, name, command):
        self.name, self.dir = name, os.path.join(SCRATCH, name)
        os.makedirs(self.dir)
        self.log = os.path.join(self.dir, "log")
        command = [c.replace("LOG", self.log).replace("DIR", self.dir) for c in command]
        with open(os.path.join(self.dir, "output"), "wb") as out:
            self.proc = subprocess.Popen(command, cwd=SCRATCH, env=ENVIRONMENT, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        runs.append(self)

    def until(self, done, timeout=120):
        deadline = time.monotonic() + timeout
        while not done():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                with open(os.path.join(self.dir, "output"), errors="replace") as f:
                    raise Failure("%s ended or timed out:\n%s" % (self.name, f.read()))
            time.sleep(0.02)

    def stop(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()


def proc_file(pid, name):
    try:
        with open(os.path.join(simcam.host_proc(), str(pid), name), errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def vmhwm(pid):
    match = re.search(r"^VmHWM:\s+(\d+) kB", proc_file(pid, "status"), re.M)
    return int(match.group(1)) if match else 0


def guest_rss(pid):
    """Resident memory of qemu-user's guest: the mappings below 4 GiB."""
    total, low = 0, False
    for line in proc_file(pid, "smaps").splitlines():
        head = re.match(r"^[0-9a-f]+-([0-9a-f]+) ", line)
        if head:
            low = int(head.group(1), 16) <= 1 << 32
        elif low and line.startswith("Rss:"):
            total += int(line.split()[1])
    return total


def opens(log, path):
    """The syscalls of a strace -f or qemu -strace log as (pid, name), and
    the indexes among them of the opens of path."""
    found, at = [], []
    with open(log, errors="replace") as f:
        for line in f:
            match = CALL.match(line)
            if match:
                if match.group(2) and match.group(2).startswith("open") and '"%s"' % path in line:
                    at.append(len(found))
                found.append((int(match.group(1)), match.group(2) or "unknown"))
    return found, at


def in_private_proc(isp_dir):
    """The command prefix that runs a command with isp_dir as the ISP's
    folder /proc/jz/isp, in a mount namespace of its own."""
    return ["unshare", "-m", "--propagation", "private", simcam.PRIVATE_PROC, "--isp-dir", isp_dir, "--"]


def traced(command, emulator, name, path, per_sample, skip_count, prefix=()):
    """Starts a run logging syscalls; returns a function that waits for it and returns
    (syscalls per sample, the same by name, peak RSS, guest RSS under qemu)."""
    skip, samples = skip_count
    tracer = emulator + ["-strace", "-D", "LOG"] if emulator else ["strace", "-f", "-o", "LOG"]
    run = Run(name, list(prefix) + tracer + command)

    def finish():
        run.until(lambda: os.path.exists(run.log) and len(opens(run.log, path)[1]) > (skip + samples) * per_sample)
        found, at = opens(run.log, path)
        pid = run.proc.pid if emulator else found[0][0]
        rss, guest = vmhwm(pid), guest_rss(pid) if emulator else None
        run.stop()
        window, names = found[at[skip * per_sample]:at[(skip + samples) * per_sample]], {}
        for _, call in window:
            names[call] = names.get(call, 0) + 1 / samples
        return len(window) / samples, names, rss, guest
    return finish


def callgrind(command, name, parts=None, prefix=()):
    """Starts a callgrind run; returns a function that waits for it and returns the mean
    of the given dumps (one a sample), or without parts the total of a run that ends."""
    options = ["--dump-before=nanosleep"] if parts else ["--trace-children=yes", "--dump-before=*fork*"]
    run = Run(name, list(prefix) + ["valgrind", "--tool=callgrind", "--log-file=LOG",
                                    "--callgrind-out-file=DIR/cg.%p"] + options + command)

    def total(pattern):
        found = 0
        for path in glob.glob(os.path.join(run.dir, pattern)):
            with open(path, errors="replace") as f:
                found += sum(int(line.split()[1]) for line in f if line.startswith("summary:"))
        return found

    def finish():
        if not parts:
            run.until(lambda: run.proc.poll() == 0, timeout=600)
            return total("cg.*")
        run.until(lambda: glob.glob(os.path.join(run.dir, "cg.*.%d" % (max(parts) + 1))))
        run.stop()
        return sum(total("cg.*.%d" % n) for n in parts) / len(parts)
    return finish


def baseline_rss(command, seconds=2.0):
    """The shell's peak RSS plus the largest seen of each program it runs
    (the subshell, dd and od run at once): they live too short to be caught
    together at their peaks."""
    run = Run("baseline-rss", command)
    peaks, deadline = {}, time.monotonic() + seconds
    while time.monotonic() < deadline:
        pending = [run.proc.pid]
        while pending:
            pid = pending.pop()
            key = "main" if pid == run.proc.pid else proc_file(pid, "comm").strip()
            peaks[key] = max(peaks.get(key, 0), vmhwm(pid))
            pending += [int(p) for p in proc_file(pid, "task/%d/children" % pid).split()]
        time.sleep(0.005)
    run.stop()
    return sum(v for k, v in peaks.items() if k != "sleep")


def footprint(build, target):
    """(budget, what it needs, stripped size, failure) from the build's footprint entry,
    or for a host build, which has none, from the same check without a budget."""
    tests = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], check=True,
                                      capture_output=True, text=True).stdout)["tests"]
    entry = "footprint.dynamic" if target == "lumenflip-dynamic" else "footprint"
    command = next((t["command"] for t in tests if t["name"] == entry), None)
    if command is None:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            tools = dict(re.findall(r"^CMAKE_(STRIP|READELF):\w+=(.*)$", f.read(), re.M))
        command = ["cmake", "-DBINARY=" + os.path.join(build, target), "-DSTRIP=" + tools["STRIP"],
                   "-DREADELF=" + tools["READELF"], "-DLINK=default", "-P",
                   os.path.join(os.path.dirname(__file__), "..", "tests", "cmake", "footprint.cmake")]
    done = subprocess.run(command, capture_output=True, text=True)
    facts = re.search(r"stripped size (\d+) bytes \(budget (\d*)\); needs: (.*)", done.stdout + done.stderr)
    if not facts:
        raise Failure("%s: no size from the footprint check:\n%s%s" % (build, done.stdout, done.stderr))
    size, budget, needs = int(facts.group(1)), facts.group(2), re.findall(r"\[([^]]+)\]", facts.group(3))
    return (int(budget) if budget else "-", ", ".join(needs) or "static", size,
            None if done.returncode == 0 else "%s %s: %s" % (build, entry, done.stderr.strip()))


def number(value):
    if not isinstance(value, (int, float)):
        return value
    return "{:,}".format(int(round(value))) if abs(value - round(value)) < 1e-9 else "{:,.1f}".format(value)


def kb(value):
    return "{:,} kB".format(value)


def ratio(ours, theirs):
    if not isinstance(ours, (int, float)) or not isinstance(theirs, (int, float)) or not ours:
        return "-"
    r = ours / theirs
    return "%.3g (1/%.0f)" % (r, 1 / r) if r < 1 else "%.3g" % r


def isp_folders(fake_isp):
    """A folder per statistics file, holding the file as fake_isp writes it
    (bright: no command runs), or {} where no private /proc can be had."""
    if simcam.private_proc_unavailable():
        return {}
    folders = {}
    for key, (_, generation, name, isps, _) in ISP_FILES.items():
        folders[key] = os.path.join(SCRATCH, "isp-" + key)
        os.makedirs(folders[key])
        subprocess.run([fake_isp, "-g", generation, "--isps", str(isps), os.path.join(folders[key], name),
                        "1000000", "10", "5000"], check=True)
    return folders


def last_wanted_line(fake_isp, generation):
    """The line of isp_info that holds the last statistic the daemon reads,
    as fake_isp lays the file out."""
    done = subprocess.run([fake_isp, "-g", generation, "--layout"], check=True, capture_output=True, text=True)
    return max(int(row.split()[0]) for row in done.stdout.splitlines())


def measure(build_root, fig, failures, folders):
    device = simcam.constant_adc(os.path.join(SCRATCH, "adc"), 1000)  # bright: no command runs
    baseline = ["sh", os.path.join(SCRATCH, "baseline.sh")]
    shutil.copy2(os.path.join(os.path.dirname(__file__), "baseline.sh"), baseline[1])

    def put(kind, column, emulator, result):
        fig["sys_" + kind, column], fig["names_" + kind, column], rss, guest = result
        fig["rss_" + kind, column] = guest if emulator else rss
        if emulator:
            fig["qemu_" + kind, column] = rss
            fig["ins_" + kind, column] = "n/a"

    light, later = {}, []
    for number_, (column, (folder, target, emulator)) in enumerate(BUILDS.items()):
        build = os.path.join(build_root, folder)
        fig["budget", column], fig["needs", column], fig["bytes", column], failure = footprint(build, target)
        failures += [failure] if failure else []
        binary = os.path.join(SCRATCH, "bin%d" % number_)  # names of one length: argv moves the stack
        shutil.copy2(os.path.join(build, target), binary)
        # The software method sleeps a second per sample: its runs go on meanwhile.
        software = [binary, "-S", "-c", "true"]  # the tracer puts the emulator in front
        for key, folder in folders.items():
            _, _, name, _, skip = ISP_FILES[key]
            path, inside = simcam.ISP_DIR + "/" + name, in_private_proc(folder)
            later.append(("soft_" + key, column, emulator,
                          traced(software, emulator, "soft-%s%d" % (key, number_), path, 1, (skip, SOFTWARE), inside)))
            if not emulator and key in INSTRUCTIONS_OF:
                later.append(("soft_" + key, column, "ins",
                              callgrind(software, "soft-cg-%s%d" % (key, number_), SOFTWARE_PARTS, inside)))
        light[column] = ([binary, "-D", device] + ARGS, emulator, number_)
    for column, (command, emulator, number_) in light.items():
        put("light", column, emulator, traced(command, emulator, "light%d" % number_, device, READS, LIGHT)())
        if not emulator:
            fig["ins_light", column] = callgrind(command, "light-cg%d" % number_, (LIGHT_PART,))()
    command, base = baseline + ["-D", device] + ARGS, "baseline.sh"
    put("light", base, None, traced(command, None, "baseline", device, READS, BASELINE)())
    fig["rss_light", base] = baseline_rss(command)
    low, high = (callgrind(command + ["-N", str(n)], "baseline-cg%d" % n)() for n in BASELINE_RUNS)
    fig["ins_light", base] = (high - low) / (BASELINE_RUNS[1] - BASELINE_RUNS[0])
    programs = [os.path.realpath(shutil.which(p)) for p in ("sh", "dd", "od", "sleep")]
    fig["bytes", base] = os.path.getsize(baseline[1]) + sum(os.path.getsize(p) for p in programs)
    fig["needs", base] = "sh, dd, od, sleep"
    for kind, column, how, finish in later:
        if how == "ins":
            fig["ins_" + kind, column] = finish()
        else:
            put(kind, column, how, finish())
    return programs


ROWS = ([("syscalls / light-sensor sample", "sys_light", number)]
        + [("syscalls / software-method sample, %s" % ISP_FILES[key][0], "sys_soft_" + key, number)
           for key in ISP_FILES]
        + [("user instructions / light-sensor sample", "ins_light", number)]
        + [("user instructions / software-method sample, %s" % ISP_FILES[key][0], "ins_soft_" + key, number)
           for key in INSTRUCTIONS_OF]
        + [("peak RSS, light sensor (qemu: the guest's)", "rss_light", kb),
           ("peak RSS of qemu, light sensor", "qemu_light", kb),
           ("peak RSS, software method, isp_info (T20)", "rss_soft_t20", kb),
           ("peak RSS of qemu, software method, isp_info (T20)", "qemu_soft_t20", kb),
           ("stripped size, bytes", "bytes", number),
           ("its budget (footprint entry)", "budget", number),
           ("runtime dependencies", "needs", str)])


def main():
    global SCRATCH
    SCRATCH = sys.argv[1]
    fake_isp = os.path.join(sys.argv[2], "bench-default", "sim", "fake_isp")
    fig, failures, expected = {}, [], {"sys_light": (3 * READS + 1, "3 x %d + 1" % READS)}
    folders = isp_folders(fake_isp)
    programs = measure(sys.argv[2], fig, failures, folders)
    for key in folders:
        if ISP_FILES[key][2] == "isp_info":
            # A read per 100-byte refill, one a line, up to the last line wanted.
            reads = last_wanted_line(fake_isp, ISP_FILES[key][1])
            expected["sys_soft_" + key] = (reads + 3, "open, %d reads, close, sleep" % reads)
        else:
            expected["sys_soft_" + key] = (ISP_M0_SAMPLE, "open, a read, close, sleep")
    labels = {key: label for label, key, _ in ROWS}
    for (key, column), got in list(fig.items()):
        if key in expected and column in BUILDS and got != expected[key][0]:
            failures.append("%s, %s: %s, expected %s = %d: %s" % (
                column, labels[key], number(got), expected[key][1], expected[key][0],
                fig[key.replace("sys", "names"), column]))
    columns, host, base = list(BUILDS) + ["baseline.sh"], "host glibc", "baseline.sh"
    rows = [[label] + [show(fig[key, c]) if (key, c) in fig else "-" for c in columns]
            + [ratio(fig.get((key, host)), fig.get((key, base)))] for label, key, show in ROWS]
    header = ["lumenflip " + " ".join(ARGS)] + columns + ["host glibc / baseline"]
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for line in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(line, widths))).rstrip())
    print("""
Syscalls: strace -f, qemu -strace, between the device's opens: light-sensor samples %d to %d (baseline.sh:
%d to %d); software-method samples (-S -c true, sim/fake_isp's file of each generation in a private /proc)
1 to %d of isp_info, %d to %d of isp-m0 (the first looks for isp_info too, and reads the file to its end).
Instructions: callgrind, user space: light-sensor sample %d, software-method samples %d to %d; baseline.sh:
runs of %d and %d samples, every process counted. Peak RSS: VmHWM; under qemu, the guest's mappings (an
upper bound) and the emulator's; baseline.sh, its shell plus the largest seen of each program it runs at
once. Its size: the script and %s. The environment: PATH and LC_ALL=C. Syscalls per sample by name:"""
          % (LIGHT[0] + 1, sum(LIGHT), BASELINE[0] + 1, sum(BASELINE), SOFTWARE, 2, SOFTWARE + 1, LIGHT_PART,
             SOFTWARE_PARTS[0], SOFTWARE_PARTS[-1], BASELINE_RUNS[0], BASELINE_RUNS[1], ", ".join(programs)))
    kinds = [("light", "light sensor")] + [("soft_" + key, ISP_FILES[key][0]) for key in ISP_FILES]
    for kind, name in kinds:
        for column in columns:
            names = sorted(fig.get(("names_" + kind, column), {}).items(), key=lambda item: -item[1])
            if names:
                print("  %-56s %s" % ("%s, %s:" % (column, name),
                                      ", ".join("%s %s" % (n, number(v)) for n, v in names[:8])))
    if not folders:
        print("NOTE: software method not measured: %s" % simcam.private_proc_unavailable())
    for failure in failures:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        sys.exit(1)
    finally:
        for run in runs:
            run.stop()
