#!/usr/bin/env python3
"""Measures what one sample costs lumenflip, and the same job as a shell
script (baseline.sh), and prints the figures as one table. bench/run builds
the binaries and calls this; see its header for what is measured and how.

  footprint.py --tmp DIR --host BIN --mipsel BIN --mipsel-libc BIN
               --strip-host STRIP --strip-mipsel STRIP --readelf READELF
               --baseline SCRIPT --fake-adc FAKE_ADC

The daemon never exits: every light-sensor run feeds it a known number of
conversions from sim/fake_adc (in lock step, the last one held), waits until
it is blocked in the read of the next one, reads
its peak RSS, then kills it. Per-sample figures are differences between two
runs with different sample counts, so start-up and the unfinished sample
cancel out. The software method reads its file once a second: its syscalls
are counted between two opens of the file, and its callgrind runs are
stopped in the sleep that follows a known number of samples.
"""

import argparse
import ctypes
import glob
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

PROC = "/proc"                 # where live processes are looked up
FAKE_ADC = "fake_adc"          # the simulated ADC device, host build
ISP_FILE = "/proc/jz/isp/isp_info"
ADC_VALUE = 1000               # bright: the daemon stays in day mode, no command runs
WINDOW = "5"
BUDGET_STATIC = 700000
BUDGET_LIBC = 16000

READS = 25                     # -a: conversions per light-sensor sample
# Light-sensor sample counts of the two runs whose difference is taken.
LIGHT_SAMPLES = (10, 30)
BASELINE_SAMPLES = (2, 6)      # strace of the shell script
BASELINE_CG_SAMPLES = (1, 3)   # callgrind of every process it forks: slow
# Software method, one sample a second: syscalls between opens 1 and
# 1 + SOFTWARE_SAMPLES; callgrind runs stopped in the sleep after these many
# samples (with the defaults, samples 1 to 4 are jitter and settle period,
# so the difference covers samples that reach the rules).
SOFTWARE_SAMPLES = 5
SOFTWARE_CG_SAMPLES = (4, 7)

# The statistics file: the three lines the daemon wants, among others, with
# more after them so that no read reaches the end of the file.
ISP_LINES = [
    "================ ISP statistics ================",
    "Driver build : 2.4.1",
    "Sensor : 1920x1080 @ 25 fps",
    "ISP mode : day",
    "ISP exposure integration : 1000",
    "ISP exposure log2 id: 1000000",
    "ISP analog gain : 1024",
    "ISP digital gain : 256",
    "ISP Iridix strength : 10",
    "ISP AE luma target : 56",
    "ISP WB Temperature : 5000",
    "ISP WB red gain : 412",
    "ISP WB blue gain : 377",
    "ISP saturation : 128",
    "ISP sharpness : 128",
    "ISP contrast : 128",
    "ISP brightness : 128",
    "ISP denoise strength : 64",
    "================================================",
]

children = []        # every process started here, killed on the way out

# What every measured process gets as its environment: the environment's
# size moves the stack, and with it the alignment of buffers that string
# functions work on, so instruction counts would follow the caller's shell.
# (For the same reason the measured programs run from the scratch folder.)
ENVIRONMENT = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}


class Failure(Exception):
    pass


# ---------------------------------------------------------------- processes

def start(command, log_name, cwd):
    out = open(os.path.join(cwd, log_name), "wb")
    proc = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                            stderr=subprocess.STDOUT, env=ENVIRONMENT)
    out.close()
    children.append(proc)
    return proc


def child_pids(pid):
    found = []
    for path in glob.glob("%s/%d/task/*/children" % (PROC, pid)):
        try:
            with open(path) as f:
                found += [int(p) for p in f.read().split()]
        except OSError:
            pass
    return found


def tree(pid):
    pids = [pid]
    for child in child_pids(pid):
        pids += tree(child)
    return pids


def read_proc(pid, name):
    try:
        with open("%s/%d/%s" % (PROC, pid, name)) as f:
            return f.read()
    except OSError:
        return ""


def state(pid):
    stat = read_proc(pid, "stat")
    return stat[stat.rfind(")") + 2:][:1] if stat else ""


def blocked(pid):
    """Where a sleeping process waits in the kernel, or None if it runs."""
    return read_proc(pid, "wchan").strip() or None if state(pid) == "S" else None


def vmhwm(pid):
    match = re.search(r"^VmHWM:\s+(\d+) kB", read_proc(pid, "status"), re.M)
    return int(match.group(1)) if match else None


def guest_rss(pid):
    """Resident memory of qemu-user's guest: the mappings below 4 GiB (the
    guest's own address space, mapped at the bottom of the host's)."""
    total, low = 0, False
    for line in read_proc(pid, "smaps").splitlines():
        head = re.match(r"^([0-9a-f]+)-([0-9a-f]+) ", line)
        if head:
            low = int(head.group(2), 16) <= 1 << 32
        elif low and line.startswith("Rss:"):
            total += int(line.split()[1])
    return total


def traced(strace_pid, program):
    """The process that strace started for `program`, once it runs it (strace
    forks short-lived children of its own to probe the kernel first)."""
    for pid in child_pids(strace_pid):
        if read_proc(pid, "cmdline").split("\0")[0] == program:
            return pid
    return None


def alive(pid):
    return state(pid) not in ("", "Z", "X")


def kill(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def wait_gone(pids, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for proc in children:
            proc.poll()
        for pid in pids:
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
        if not any(alive(pid) for pid in pids):
            return
        time.sleep(0.02)
    raise Failure("processes %s did not end" % pids)


def stop_all():
    for proc in children:
        if proc.poll() is None:
            kill(tree(proc.pid), signal.SIGKILL)
    for proc in children:
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass


class Deadline:
    """Interrupts a blocking call (a FIFO open) that takes too long."""

    def __init__(self, seconds, what):
        self.seconds, self.what = seconds, what

    def _expired(self, signum, frame):
        raise Failure("timed out: %s" % self.what)

    def __enter__(self):
        signal.signal(signal.SIGALRM, self._expired)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.01)
    raise Failure("timed out waiting for %s" % what)


# ------------------------------------------------------------- the ADC device

def holds_open(pid, path):
    for fd in glob.glob("%s/%d/fd/*" % (PROC, pid)):
        try:
            if os.readlink(fd) == path:
                return True
        except OSError:
            pass
    return False


def wait_quiet(root_pid, fifo, what):
    """Waits until every process of the run sleeps, one of them in a read
    of the device: all it did with the conversions served is done."""
    last = None
    steady = 0
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        pids = tree(root_pid)
        now = sorted((pid, blocked(pid)) for pid in pids)
        if all(w for _, w in now) and any("pipe" in w and holds_open(pid, fifo)
                                          for pid, w in now):
            steady = steady + 1 if now == last else 1
            if steady >= 3:
                return pids
        else:
            steady = 0
        last = now
        time.sleep(0.03)
    raise Failure("timed out waiting for %s to wait for the device: %s"
                  % (what, [(pid, w, state(pid), holds_open(pid, fifo)) for pid, w in last or []]))


# ----------------------------------------------------------------- the logs

SKIP_STRACE = re.compile(r"^\d+\s+(<\.\.\. .* resumed>|\+\+\+|---)")
STRACE_CALL = re.compile(r"^(\d+)\s+([a-z_0-9]+)\(")
QEMU_CALL = re.compile(r"^(\d+) (?:([a-z_0-9]+)\(|(Unknown syscall))")


def syscalls(log, kind, pid=None):
    """The syscalls of a strace -f or qemu -strace log, as (pid, name)."""
    calls = []
    with open(log, errors="replace") as f:
        for line in f:
            if kind == "strace":
                if SKIP_STRACE.match(line):
                    continue
                match = STRACE_CALL.match(line)
            else:
                match = QEMU_CALL.match(line)
            if match:
                calls.append((int(match.group(1)), match.group(2) or "unknown", line))
    if pid is not None:
        calls = [c for c in calls if c[0] == pid]
    return calls


def counts(calls):
    tally = {}
    for _, name, _ in calls:
        tally[name] = tally.get(name, 0) + 1
    return tally


def callgrind_total(directory):
    total = 0
    for path in glob.glob(os.path.join(directory, "cg.*")):
        with open(path, errors="replace") as f:
            for line in f:
                if line.startswith("summary:"):
                    total += int(line.split()[1])
    return total


# ------------------------------------------------------ light-sensor runs

def light_run(tool, program, reads, samples, tmp, name):
    """One run of the daemon (or the baseline) over `samples` samples;
    returns its log, syscall counts or instruction count, and peak RSS."""
    run = os.path.join(tmp, name)
    os.makedirs(run)
    fifo = os.path.join(run, "adc")
    os.mkfifo(fifo, 0o600)
    script = os.path.join(run, "adc.script")
    with open(script, "w") as f:
        f.write("%d*%d\n" % (ADC_VALUE, samples * reads))
    errors = open(os.path.join(run, "adc.errors"), "wb")
    adc = subprocess.Popen([FAKE_ADC, "--hold", fifo, script], cwd=run, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=errors, env=ENVIRONMENT)
    errors.close()
    children.append(adc)
    args = ["-D", fifo, "-d", "0", "-a", str(reads), "-n", WINDOW]
    log = os.path.join(run, "syscalls.log")
    if tool == "strace":
        prefix = ["strace", "-f", "-o", log]
    elif tool == "qemu":
        prefix = ["qemu-mipsel", "-strace", "-D", log]
    else:
        prefix = ["valgrind", "--tool=callgrind", "--log-file=" + os.path.join(run, "valgrind.%p"),
                  "--callgrind-out-file=" + os.path.join(run, "cg.%p")]
        if program[0] == "sh":
            # Count the shell and everything it runs; dump before each fork
            # so that a forked child does not count its parent's work again.
            prefix += ["--trace-children=yes", "--dump-before=*fork*"]
    proc = start(prefix + program + args, "output", run)
    root = proc.pid
    if tool == "strace":
        wait_until(lambda: traced(proc.pid, program[0]) or proc.poll() is not None, 20, "strace to start")
        if proc.poll() is not None:
            raise Failure("%s: strace ended: %s" % (name, open(os.path.join(run, "output")).read()))
        root = traced(proc.pid, program[0])
    # Everything the run did with the script's conversions is done once the
    # device is held and the reader sleeps in its read.
    ready, _, _ = select.select([adc.stdout], [], [], 60)
    line = adc.stdout.readline() if ready else b""
    if line != b"held\n":
        raise Failure("%s: the simulated ADC was not read to the end of its script (%r): %s"
                      % (name, line, open(os.path.join(run, "adc.errors")).read()))
    pids = wait_quiet(root, fifo, name)
    result = {"log": log, "dir": run, "pid": root}
    result["rss"] = sum(vmhwm(pid) or 0 for pid in pids)
    if tool == "qemu":
        result["guest_rss"] = guest_rss(root)
    if tool == "callgrind":
        kill(pids, signal.SIGTERM)      # valgrind writes its counts on the way out
        wait_gone(pids)
        result["instructions"] = callgrind_total(run)
    else:
        kill(pids, signal.SIGKILL)
        wait_gone([proc.pid] + pids)
        result["calls"] = counts(syscalls(log, tool))
    kill([adc.pid], signal.SIGKILL)
    adc.wait()
    proc.wait()
    output = open(os.path.join(run, "output"), errors="replace").read()
    if output.strip():
        raise Failure("%s wrote:\n%s" % (name, output))
    return result


def per_sample(first, second, samples, key):
    low, high = first[key], second[key]
    if isinstance(low, dict):
        names = set(low) | set(high)
        diff = {n: high.get(n, 0) - low.get(n, 0) for n in names}
        diff = {n: d for n, d in diff.items() if d}
        total = sum(diff.values())
    else:
        diff, total = None, high - low
    span = samples[1] - samples[0]
    return total / span, ({n: d / span for n, d in diff.items()} if diff else None)


def light_figure(tool, program, reads, samples, tmp, name, key):
    first = light_run(tool, program, reads, samples[0], tmp, "%s-%d" % (name, samples[0]))
    second = light_run(tool, program, reads, samples[1], tmp, "%s-%d" % (name, samples[1]))
    value, breakdown = per_sample(first, second, samples, key)
    return value, breakdown, second


# ------------------------------------------------------ software method

def mount(source, target, fstype, data=None):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(source.encode(), target.encode(), fstype.encode(), ctypes.c_ulong(0),
                  data.encode() if data else None) != 0:
        raise Failure("mount %s on %s: %s" % (fstype, target, os.strerror(ctypes.get_errno())))


def software_inside(options):
    """Runs inside a private mount namespace: a tmpfs /proc holding the
    statistics file, a real proc below it for the tools that need one."""
    global PROC
    mount("lumenflip-bench", "/proc", "tmpfs", "mode=0755")
    os.mkdir("/proc/.host")
    mount("proc", "/proc/.host", "proc")
    for name in os.listdir("/proc/.host"):
        if not name.isdigit():
            os.symlink(os.path.join(".host", name), os.path.join("/proc", name))
    PROC = "/proc/.host"
    os.makedirs(os.path.dirname(ISP_FILE))
    with open(ISP_FILE, "w") as f:
        f.write("\n".join(ISP_LINES) + "\n")

    tmp = options.tmp
    args = ["-S", "-c", "true"]
    runs = {}

    def add(name, prefix, binary, done):
        run = os.path.join(tmp, name)
        os.makedirs(run)
        log = os.path.join(run, "syscalls.log")
        command = [part.replace("LOG", log).replace("RUN", run) for part in prefix]
        runs[name] = {"dir": run, "log": log, "done": done,
                      "proc": start(command + [binary] + args, "output", run)}

    opens = SOFTWARE_SAMPLES + 1
    add("software-host-strace", ["strace", "-f", "-o", "LOG"], options.host, ("opens", opens))
    add("software-mipsel-qemu", ["qemu-mipsel", "-strace", "-D", "LOG"], options.mipsel, ("opens", opens))
    for samples in SOFTWARE_CG_SAMPLES:
        add("software-host-callgrind-%d" % samples,
            ["valgrind", "--tool=callgrind", "--trace-syscalls=yes", "--log-file=LOG",
             "--callgrind-out-file=RUN/cg.%p"], options.host, ("sleeps", samples + 1))

    results = {}
    deadline = time.monotonic() + 60
    while len(results) < len(runs):
        if time.monotonic() > deadline:
            raise Failure("software method runs timed out: %s" % sorted(set(runs) - set(results)))
        for name, run in runs.items():
            if name in results:
                continue
            proc = run["proc"]
            if proc.poll() is not None:
                raise Failure("%s ended: %s" % (name, open(os.path.join(run["dir"], "output")).read()))
            kind, wanted = run["done"]
            pid = proc.pid
            if "strace" in name:
                pid = traced(proc.pid, options.host)
                if not pid:
                    continue
            try:
                text = open(run["log"], errors="replace").read()
            except OSError:
                continue
            sleeps = r"^SYSCALL\[%d,1\]\(\d+\) sys_clock_nanosleep" % pid
            if kind == "opens":
                reached = text.count(ISP_FILE) >= wanted
            else:
                reached = len(re.findall(sleeps, text, re.M)) >= wanted
            if not reached or blocked(pid) is None:
                continue
            result = {"dir": run["dir"], "log": run["log"], "pid": pid, "rss": vmhwm(pid)}
            if "qemu" in name:
                result["guest_rss"] = guest_rss(pid)
            if "callgrind" in name:
                kill([pid], signal.SIGTERM)
            else:
                kill([pid], signal.SIGKILL)
            wait_gone([pid, proc.pid])
            proc.wait()
            if kind == "sleeps":
                slept = len(re.findall(sleeps, open(run["log"], errors="replace").read(), re.M))
                if slept != wanted:
                    raise Failure("%s was stopped after %d sleeps, not %d: is the machine too busy?"
                                  % (name, slept, wanted))
            results[name] = result
        time.sleep(0.02)
    for name, run in runs.items():
        output = open(os.path.join(run["dir"], "output"), errors="replace").read()
        if output.strip():
            raise Failure("%s wrote:\n%s" % (name, output))
    with open(os.path.join(tmp, "software.json"), "w") as f:
        json.dump(results, f)


def software_between_opens(result, kind):
    """Syscalls from the first open of the statistics file up to the open
    SOFTWARE_SAMPLES later: that many whole samples (open, reads, close,
    the next sleep)."""
    calls = syscalls(result["log"], kind, result["pid"])
    opens = [i for i, c in enumerate(calls) if c[1] in ("open", "openat") and ISP_FILE in c[2]]
    if len(opens) < SOFTWARE_SAMPLES + 1:
        raise Failure("%s: only %d opens of %s" % (result["log"], len(opens), ISP_FILE))
    window = calls[opens[0]:opens[SOFTWARE_SAMPLES]]
    tally = counts(window)
    return (len(window) / SOFTWARE_SAMPLES,
            {n: c / SOFTWARE_SAMPLES for n, c in tally.items()})


def expected_software_syscalls():
    """Open, one 100-byte read, one read per line dropped before the third
    wanted line comes to the front of the buffer, close, and one sleep."""
    wanted = ("ISP exposure log2 id: ", "ISP Iridix strength : ", "ISP WB Temperature : ")
    seen = 0
    for index, line in enumerate(ISP_LINES):
        if line.startswith(wanted):
            seen += 1
            if seen == 3:
                return 1 + (1 + index) + 1 + 1
    raise AssertionError("the statistics file lacks a wanted line")


# ------------------------------------------------------------ binaries

def binary_facts(path, strip, readelf, stripped):
    subprocess.run([strip, "-o", stripped, path], check=True)
    size = os.path.getsize(stripped)
    dynamic = subprocess.run([readelf, "-d", "-l", stripped], check=True, capture_output=True,
                             text=True).stdout
    needed = re.findall(r"Shared library: \[([^]]*)\]", dynamic)
    static = not needed and "INTERP" not in dynamic
    return size, needed, static


# ----------------------------------------------------------------- table

def number(value, decimals=0):
    if value is None:
        return "-"
    if abs(value - round(value)) < 1e-9:
        return "{:,}".format(int(round(value)))
    return "{:,.{}f}".format(value, decimals)


def ratio(ours, theirs):
    if not ours or not theirs:
        return "-"
    r = ours / theirs
    return "%.3g (1/%.0f)" % (r, 1 / r) if r < 1 else "%.3g" % r


def print_table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    line = lambda row: "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                 for i, (c, w) in enumerate(zip(row, widths))).rstrip()
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


# ------------------------------------------------------------------ main

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tmp", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--mipsel", required=True)
    parser.add_argument("--mipsel-libc")
    parser.add_argument("--strip-host")
    parser.add_argument("--strip-mipsel")
    parser.add_argument("--readelf")
    parser.add_argument("--baseline")
    parser.add_argument("--fake-adc")
    parser.add_argument("--software-inside", action="store_true")
    options = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(143))
    # Orphans of the shell baseline come back here to be reaped.
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    global FAKE_ADC
    FAKE_ADC = options.fake_adc or FAKE_ADC
    try:
        if options.software_inside:
            software_inside(options)
            return 0
        return measure(options)
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        stop_all()


def measure(options):
    tmp = options.tmp
    failures = []
    notes = []
    # Run copies from the scratch folder (whose name has a fixed length):
    # the lengths of the paths in argv move the stack, and instruction
    # counts with it, so the figures do not depend on where the checkout is.
    for name in ("host", "mipsel", "baseline"):
        copy = os.path.join(tmp, "lumenflip-" + name if name != "baseline" else "baseline.sh")
        shutil.copy2(getattr(options, name), copy)
        setattr(options, name, copy)

    # The software method runs in a private mount namespace, in the
    # background: it spends its time sleeping.
    software = None
    if os.geteuid() == 0 and shutil.which("unshare"):
        software = start(["unshare", "-m", "--propagation", "private", sys.executable,
                          os.path.abspath(__file__), "--software-inside", "--tmp", tmp,
                          "--host", options.host, "--mipsel", options.mipsel],
                         "software.output", tmp)
    else:
        notes.append("software method not measured: it needs root, for a private /proc")

    fig = {}
    expected = 3 * READS + 1
    for column, tool, binary in (("host", "strace", options.host), ("mipsel", "qemu", options.mipsel)):
        value, breakdown, last = light_figure(tool, [binary], READS, LIGHT_SAMPLES, tmp,
                                              "light-%s" % column, "calls")
        fig["light_sys", column] = value
        fig["light_breakdown", column] = breakdown
        fig["light_rss", column] = last["rss"]
        fig["light_guest_rss", column] = last.get("guest_rss")
        if value != expected:
            failures.append("%s light sensor: %s syscalls per sample, expected 3 x %d + 1 = %d (%s)"
                            % (column, number(value, 2), READS, expected, breakdown))
    fig["light_ins", "host"] = light_figure("callgrind", [options.host], READS, LIGHT_SAMPLES, tmp,
                                            "light-host-callgrind", "instructions")[0]

    baseline = ["sh", options.baseline]
    value, breakdown, last = light_figure("strace", baseline, READS, BASELINE_SAMPLES, tmp,
                                          "baseline-strace", "calls")
    fig["light_sys", "baseline"] = value
    fig["light_breakdown", "baseline"] = breakdown
    fig["light_rss", "baseline"] = last["rss"]
    fig["light_ins", "baseline"] = light_figure("callgrind", baseline, READS, BASELINE_CG_SAMPLES,
                                                tmp, "baseline-callgrind", "instructions")[0]

    sizes = {}
    for column, path, strip in (("host", options.host, options.strip_host),
                                ("mipsel", options.mipsel, options.strip_mipsel),
                                ("libc", options.mipsel_libc, options.strip_mipsel)):
        sizes[column] = binary_facts(path, strip, options.readelf,
                                     os.path.join(tmp, "stripped-" + column))
    size, needed, static = sizes["mipsel"]
    if size > BUDGET_STATIC or not static:
        failures.append("mipsel static build: %d bytes stripped (budget %d), needs %s"
                        % (size, BUDGET_STATIC, needed or "a loader"))
    size, needed, static = sizes["libc"]
    # The loader counts with the C library: MIPS glibc exports the stack
    # protector's guard from it.
    if size > BUDGET_LIBC or not set(needed) <= {"libc.so.6", "ld.so.1"}:
        failures.append("mipsel libc-only build: %d bytes stripped (budget %d), NEEDED %s (only libc.so.6 and its loader allowed)"
                        % (size, BUDGET_LIBC, ", ".join(needed)))
    programs = [os.path.realpath(shutil.which(p)) for p in ("sh", "dd", "od", "sleep")]
    baseline_size = os.path.getsize(options.baseline) + sum(os.path.getsize(p) for p in programs)

    if software:
        try:
            software.wait(timeout=120)
        except subprocess.TimeoutExpired:
            raise Failure("the software method runs did not end")
        if software.returncode != 0:
            raise Failure("software method runs failed:\n%s"
                          % open(os.path.join(tmp, "software.output")).read())
        with open(os.path.join(tmp, "software.json")) as f:
            soft = json.load(f)
        expected = expected_software_syscalls()
        for column, name, kind in (("host", "software-host-strace", "strace"),
                                   ("mipsel", "software-mipsel-qemu", "qemu")):
            value, breakdown = software_between_opens(soft[name], kind)
            fig["soft_sys", column] = value
            fig["soft_breakdown", column] = breakdown
            fig["soft_rss", column] = soft[name]["rss"]
            fig["soft_guest_rss", column] = soft[name].get("guest_rss")
            if value != expected:
                failures.append("%s software method: %s syscalls per sample, expected %d "
                                "(open, %d reads, close, sleep): %s"
                                % (column, number(value, 2), expected, expected - 3, breakdown))
        low, high = (callgrind_total(soft["software-host-callgrind-%d" % n]["dir"])
                     for n in SOFTWARE_CG_SAMPLES)
        fig["soft_ins", "host"] = (high - low) / (SOFTWARE_CG_SAMPLES[1] - SOFTWARE_CG_SAMPLES[0])

    # ------------------------------------------------------------ the table
    g = fig.get
    na_qemu = "n/a (no valgrind under qemu)"

    def kb(value):
        return "-" if value is None else "{:,} kB".format(value)

    def under_qemu(key):
        if g((key, "mipsel")) is None:
            return "-"
        return "%s guest, %s qemu" % (kb(g((key.replace("_rss", "_guest_rss"), "mipsel"))),
                                      kb(g((key, "mipsel"))))

    rows = [
        ["syscalls / light-sensor sample", number(g(("light_sys", "host"))),
         number(g(("light_sys", "mipsel"))), "-", number(g(("light_sys", "baseline")), 1),
         ratio(g(("light_sys", "host")), g(("light_sys", "baseline")))],
        ["syscalls / software-method sample", number(g(("soft_sys", "host"))),
         number(g(("soft_sys", "mipsel"))), "-", "-", "-"],
        ["user instructions / light-sensor sample", number(g(("light_ins", "host"))), na_qemu, "-",
         number(g(("light_ins", "baseline")), 1),
         ratio(g(("light_ins", "host")), g(("light_ins", "baseline")))],
        ["user instructions / software-method sample", number(g(("soft_ins", "host"))), na_qemu,
         "-", "-", "-"],
        ["peak RSS, light sensor", kb(g(("light_rss", "host"))), under_qemu("light_rss"), "-",
         kb(g(("light_rss", "baseline"))),
         ratio(g(("light_rss", "host")), g(("light_rss", "baseline")))],
        ["peak RSS, software method", kb(g(("soft_rss", "host"))), under_qemu("soft_rss"), "-",
         "-", "-"],
        ["stripped size, bytes", number(sizes["host"][0]),
         "%s (max %s)" % (number(sizes["mipsel"][0]), number(BUDGET_STATIC)),
         "%s (max %s)" % (number(sizes["libc"][0]), number(BUDGET_LIBC)),
         number(baseline_size), ratio(sizes["host"][0], baseline_size)],
        ["runtime dependencies", ", ".join(sizes["host"][1]) or "static",
         "static" if sizes["mipsel"][2] else ", ".join(sizes["mipsel"][1]),
         ", ".join(sizes["libc"][1]) or "static", "sh, dd, od, sleep", "-"],
    ]
    header = ["lumenflip, -a %d -d 0 -n 5" % READS, "host (%s)" % os.uname().machine,
              "mipsel static", "mipsel libc-only", "baseline.sh", "host / baseline"]
    print()
    print_table(header, rows)
    print()
    print("Per sample: difference of two runs of %d and %d light-sensor samples (baseline.sh: %d and %d;"
          % (LIGHT_SAMPLES + BASELINE_SAMPLES))
    print("under callgrind %d and %d), fed by sim/fake_adc; software method (-S -c true, its"
          % BASELINE_CG_SAMPLES)
    print("statistics file on a tmpfs /proc): syscalls over %d samples, callgrind runs of %d and %d."
          % ((SOFTWARE_SAMPLES,) + SOFTWARE_CG_SAMPLES))
    print("Syscalls: strace -f (host), qemu-mipsel -strace. Instructions: callgrind, user space only.")
    print("Every measured process runs with PATH and LC_ALL=C as its only environment.")
    print("baseline.sh (host, /bin/sh) counts every process it forks; its peak RSS is the VmHWM of its")
    print("processes alive at once (sh, subshell, dd, od), summed; its size is the script and the")
    print("programs it runs (%s)." % ", ".join(programs))
    print("Under qemu: guest = resident pages of the guest's own mappings (qemu loads the whole binary,")
    print("so an upper bound), qemu = the emulator's whole process (VmHWM).")

    def show(label, breakdown, most=8):
        if breakdown:
            names = sorted(breakdown.items(), key=lambda item: -item[1])
            text = ", ".join("%s %s" % (n, number(v, 2)) for n, v in names[:most])
            if len(names) > most:
                text += ", and %d other kinds" % (len(names) - most)
            print("  %-24s %s" % (label + ":", text))
    print("Syscalls per sample by name:")
    for column in ("host", "mipsel"):
        show("%s light sensor" % column, g(("light_breakdown", column)))
    for column in ("host", "mipsel"):
        show("%s software method" % column, g(("soft_breakdown", column)))
    show("baseline.sh", g(("light_breakdown", "baseline")))
    for note in notes:
        print("NOTE: " + note)
    if failures:
        print(file=sys.stderr)
        for failure in failures:
            print("FAILED: " + failure, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
