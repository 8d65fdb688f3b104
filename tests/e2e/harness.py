"""Runs the real lumenflip binary against the simulated camera (simcam,
whose FakeAdc, FakeIsp and ModeScript are importable from here too).

The daemon's standard output goes to a pseudo-terminal so that the C
library line-buffers it: the daemon never exits by itself, and whatever it
had buffered when it is killed would otherwise be lost. Standard error goes
to a pipe. Mode commands run by the daemon write to the same terminal, so
the order of their lines among the daemon's is the order things happened.

Environment (set by CTest, with PYTHONPATH):
  LUMENFLIP            path of the daemon
  LUMENFLIP_EMULATOR   optional command put in front of the daemon and of the
                       simulated devices built with it (qemu-user)
  LUMENFLIP_WRAPPER    optional command put in front of the daemon only
                       (valgrind); the daemon is then stopped with SIGTERM,
                       which lets the wrapper report before the process ends
  LUMENFLIP_LIBC       the C library the daemon was built with, when it is
                       not glibc: "musl" or "uclibc" (see fixed())
"""

import math
import os
import shlex
import signal
import subprocess
import tempfile
import threading
import unittest

from decimal import Decimal

import simcam
from simcam import EMULATOR, ISP_FILE, FakeAdc, FakeIsp, ModeScript, constant_adc, on_terminal  # noqa: F401 (for the tests)

BIN = os.environ.get("LUMENFLIP", "lumenflip")
WRAPPER = shlex.split(os.environ.get("LUMENFLIP_WRAPPER", ""))
LIBC = os.environ.get("LUMENFLIP_LIBC", "")


def daemon_command(args):
    return WRAPPER + EMULATOR + [BIN] + list(args)


def run_to_exit(args, timeout=20):
    """Runs the daemon for options that end it (-h, bad options); returns
    (status, stdout, stderr) with stdout and stderr as text."""
    proc = subprocess.run(daemon_command(args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


class Reader(threading.Thread):
    """Collects everything a file descriptor yields until it closes."""

    def __init__(self, fd):
        super().__init__(daemon=True)
        self.fd = fd
        self.chunks = []
        self.lock = threading.Lock()

    def run(self):
        while True:
            try:
                data = os.read(self.fd, 65536)
            except OSError:  # EIO once the terminal's last writer is gone
                break
            if not data:
                break
            with self.lock:
                self.chunks.append(data)

    def text(self):
        with self.lock:
            return b"".join(self.chunks).decode(errors="replace")


class Daemon:
    """A running lumenflip. stop() kills it and returns what it wrote.
    With one_pipe, both streams go to one pipe, as under the init script,
    where standard output is block-buffered: stdout() is all of it."""

    def __init__(self, args, cwd=None, env=None, one_pipe=False):
        self.master = self.err = None
        if one_pipe:
            self.proc = subprocess.Popen(daemon_command(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, start_new_session=True, cwd=cwd, env=env)
            self.out = Reader(self.proc.stdout.fileno())
        else:
            self.proc, self.master = on_terminal(daemon_command(args), subprocess.PIPE, cwd=cwd, env=env)
            self.out = Reader(self.master)
            self.err = Reader(self.proc.stderr.fileno())
        for reader in (self.out, self.err):
            if reader:
                reader.start()
        self.stopped = False

    @property
    def pid(self):
        return self.proc.pid

    def stdout(self):
        return self.out.text()

    def stderr(self):
        return self.err.text() if self.err else ""

    def wait_for(self, predicate, timeout=30, what="condition"):
        """Polls predicate(self) until it holds; fails the test otherwise,
        at once if the daemon has ended."""
        return simcam.wait_for(lambda: predicate(self), timeout, what, alive=lambda: self.proc.poll() is None,
                               detail=lambda: "stdout:\n%s\nstderr:\n%s" % (self.stdout(), self.stderr()))

    def wait_stdout(self, text, count=1, timeout=30):
        self.wait_for(lambda d: d.stdout().count(text) >= count, timeout,
                      "%d x %r on stdout" % (count, text))

    def wait_stderr(self, text, count=1, timeout=30):
        self.wait_for(lambda d: d.stderr().count(text) >= count, timeout,
                      "%d x %r on stderr" % (count, text))

    def stop(self):
        """Kills the daemon (and any mode command it is running)."""
        if self.stopped:
            return self.stdout(), self.stderr()
        self.stopped = True
        if self.proc.poll() is None:
            if WRAPPER:
                # Terminated by a signal it does not handle, the daemon ends
                # at once; a wrapper still gets to write its report first.
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    pass
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)  # and any mode command
            except ProcessLookupError:
                pass
        self.proc.wait(timeout=20)
        for reader in (self.out, self.err):
            if reader:
                reader.join(timeout=10)
        if self.master is not None:
            os.close(self.master)
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        return self.stdout(), self.stderr()


_POWERS_OF_TEN = (1e1, 1e2, 1e4, 1e8, 1e16, 1e32, 1e64, 1e128, 1e256)


def _uclibc_fixed(value, precision):
    """uClibc-ng's "%.Nf": the value is scaled to nine digits before the
    point by powers of ten, each step rounded, and read as 18 digits of
    which 17 are kept; the cut rounds a 5 away from zero. glibc and musl
    print the exact binary value rounded to even."""
    if math.isnan(value):
        return "nan"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    x = abs(value)
    if math.isinf(x):
        return sign + "inf"
    digits, exponent = [0] * 18, -1  # of the first digit
    if x != 0:
        exponent, step, small = 8, 1 << (len(_POWERS_OF_TEN) - 1), x < 1e8
        for power in reversed(_POWERS_OF_TEN):
            if small and x * power < 1e9:
                x, exponent = x * power, exponent - step
            elif not small and x / power >= 1e8:
                x, exponent = x / power, exponent + step
            step >>= 1
        if x >= 1e9:
            x, exponent = x / 1e1, exponent + 1
        for block in (0, 9):
            whole = int(x)
            x = (x - whole) * 1e9
            digits[block:block + 9] = [int(d) for d in "%09d" % whole]
    shown = precision + exponent + 1  # digits down to the last one printed
    if shown < 0:
        digits, exponent, shown = [0] * 18, -1, 0
    kept = digits[:min(shown, 17)]
    number = int("".join(map(str, kept)) or "0")
    if shown <= 17 and digits[shown] >= 5:
        number += 1
    return sign + "{:.{}f}".format(Decimal(number).scaleb(exponent + 1 - len(kept)), precision)


def fixed(value, precision=2):
    """value as the daemon's C library prints it with "%.<precision>lf".
    The last digit is the C library's own: decisions compare the values,
    never the text."""
    if LIBC == "uclibc":
        return _uclibc_fixed(value, precision)
    return "%.*f" % (precision, value)


def current_line(sample):
    """The verbose line for one sample."""
    return "Current value: %s\n" % fixed(sample)


def window_line(size, mean):
    """The verbose line for the window's mean."""
    return "Window (%d) Avg: %s\n" % (size, fixed(mean))


def start_dump(jitter=3, eq1=1200000, eq2=(930000, 14, 10), eq3=(3000, 17, 8), sec_wait=3):
    """What the software method prints first with -v."""
    return ("Starting software method using \n"
            "jitter_percent = %d\neq1_user_exposure = %d\n"
            "eq2_user_exposure = %d\neq2_user_iridix = %d\neq2_count = %d\n"
            "eq3_user_wb = %d\neq3_user_iridix = %d\neq3_count = %d\n"
            "sec_wait = %d\n" % ((jitter, eq1) + tuple(eq2) + tuple(eq3) + (sec_wait,)))


class DaemonTest(unittest.TestCase):
    """Gives each test a private folder and stops what it started."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="lumenflip-test-")
        self.dir = self.tmp.name
        self.addCleanup(self.tmp.cleanup)

    def start(self, args, **kwargs):
        daemon = Daemon(args, **kwargs)
        self.addCleanup(daemon.stop)
        return daemon

    def fake_adc(self, script, name="adc"):
        adc = FakeAdc(self.dir, script, name)
        self.addCleanup(adc.stop)
        return adc

    def fake_isp(self, script, path=ISP_FILE):
        """The ISP's statistics file served in lock step (simcam.FakeIsp)."""
        isp = FakeIsp(self.dir, script, path)
        self.addCleanup(isp.stop)
        return isp

    def constant_device(self, value, name="adc.const"):
        return constant_adc(os.path.join(self.dir, name), value)

    def run_light(self, script, args):
        """Runs the light-sensor method over a whole ADC script and returns
        (stdout, stderr) once the daemon has handled every conversion."""
        adc = self.fake_adc(script)
        daemon = self.start(["-D", adc.path, "-d", "0"] + list(args))
        adc.wait_held()
        result = daemon.stop()
        adc.stop()  # which frees the name for the next run
        return result
