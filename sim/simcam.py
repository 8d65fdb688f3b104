"""The simulated camera, as one Python module for everything that needs one:
the end-to-end tests, the soaks, the replay's tests, the benchmark and the
demo. Put sim/ on PYTHONPATH and `import simcam`.

Devices and commands:
  FakeAdc(directory, script, name="adc")
      the ADC device: a FIFO at directory/name fed by sim/fake_adc from a
      script (a string, or a list of lines; see fake_adc.cpp), held open
      once the script is done. .path, .proc; .wait_held(timeout) returns
      once the reader has opened the device after the script's last
      conversion, that is once it has done all it will do with them;
      .stop() ends the tool, which removes the FIFO.
  constant_adc(path, value)
      a regular file as the ADC device: every open reads the same raw
      conversion. Returns path.
  FakeIsp(directory, script, path=ISP_FILE)
      the ISP's statistics file at path (ISP_FILE, ISP_M0 or any other): a
      FIFO that sim/fake_isp serves in lock step from a script (a string,
      or a list of lines; fake_isp -h lists them), one whole file per open
      of the reader, held open once the script is done. .wait_held() and
      .stop() as FakeAdc's; .lines reads what the tool says.
  write_isp(exposure, iridix, wb, path=ISP_FILE)
      one file of ISP statistics, written atomically by sim/fake_isp.
  with_ir(exposure, ir)
      the exposure of a scene lit by night mode's IR LEDs too, as fake_isp
      makes it.
  wait_for(predicate, timeout, what, alive=None, detail=None)
      polls predicate() until it returns something true, and returns it;
      fails naming what when the time is up, or once alive() says that
      what should bring it about has ended (detail() adds to the message).
  on_terminal(command, stderr, **popen)
      starts a daemon in a session of its own with its standard output (and
      standard error, when stderr is None) on a pseudo-terminal, so that it
      is line-buffered; returns (process, terminal to read).
  ModeScript(directory, name="nightmode.sh", status=0, pause_at=None)
      a mode command that prints "MODE <args>", records its arguments and
      exits with status. .path; .calls() lists the arguments of each call.
      With pause_at, its call of that number (from 1) waits, once recorded,
      until .release(); .paused() says whether it has come to that.

The daemon's output with -S -v -v:
  TRIPLE        matches the raw "(exposure, iridix, wb)" line of each read,
                "-" for a statistic that the file does not publish
  reads(out)    the output split into one piece per read, each starting
                with its triple (what comes before the first read is left out)

A private /proc. The daemon reads the ISP's statistics at fixed paths under
/proc (ISP_FILE, or ISP_M0 for the later generations), so a test gets a
mount namespace of its own (root only)
whose /proc holds the ISP driver's folder, made by the shell script
sim/private-proc (which the emulated camera runs too); the host's procfs is
at HOST_PROC inside it, and /proc/self and the like keep working.
  private_proc_unavailable()       why none can be had here, or None
  enter_private_proc(label, required=True)
      called first thing by a test module: outside, runs the same test
      command again inside a private /proc in place of this process; inside,
      returns True. Where none can be had it exits with status 77 (CTest's
      "skipped") after saying why, or returns False when not required.
  release_private_proc()          uncovers the host's /proc again inside
  host_proc()                     the host's /proc, inside or out

From the shell:
  python3 -m simcam private-proc [--isp-file FILE] -- COMMAND [ARG...]
      runs COMMAND in a private /proc (with FILE as the ISP's statistics)
      and exits with its status; 77 and the reason on stderr where no
      private /proc can be had.
  python3 -m simcam private-proc --check
      exits 0 where a private /proc can be had, else 77 with the reason.
  python3 -m simcam isp-steps [--path FILE] SCRIPT -- COMMAND [ARG...]
      runs COMMAND, a daemon with -S, on a terminal and passes its output
      (both streams) on while a FakeIsp plays SCRIPT (a fake_isp script)
      at FILE (default ISP_FILE), one step per read. Ends COMMAND once it
      has read the last step and exits 0; 1 and why on stderr if it stops
      or goes silent first, 2 on a script that fake_isp refuses. From
      Python: isp_steps(script, command, path).

Environment: FAKE_ADC and FAKE_ISP (the simulated devices, default
"fake_adc" and "fake_isp" on PATH) and LUMENFLIP_EMULATOR (a command such
as qemu-user put in front of them), as CTest sets them.
"""

import errno
import math
import os
import pty
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_ADC = os.environ.get("FAKE_ADC", "fake_adc")
FAKE_ISP = os.environ.get("FAKE_ISP", "fake_isp")
EMULATOR = shlex.split(os.environ.get("LUMENFLIP_EMULATOR", ""))

ISP_DIR = "/proc/jz/isp"
ISP_FILE = ISP_DIR + "/isp_info"  # T10, T20
ISP_M0 = ISP_DIR + "/isp-m0"      # the later generations
HOST_PROC = "/proc/.host"
INSIDE = "LUMENFLIP_PRIVATE_PROC"
SKIPPED = 77


# ------------------------------------------------------------------ devices

class FakeAdc:
    def __init__(self, directory, script, name="adc"):
        self.path = os.path.join(directory, name)
        script_path = self.path + ".script"
        with open(script_path, "w") as f:
            f.write(script if isinstance(script, str) else "".join(line + "\n" for line in script))
        # Made here too, so that a reader started next finds it at once.
        os.mkfifo(self.path, 0o600)
        self.proc = subprocess.Popen(EMULATOR + [FAKE_ADC, "--hold", self.path, script_path],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)

    def wait_held(self, timeout=60):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline() if ready else b""
        if line != b"held\n":
            self.proc.terminate()
            self.proc.wait(timeout=10)
            raise AssertionError("the simulated ADC was not read to the end of its script: %r %r"
                                 % (line, self.proc.stderr.read()))

    def stop(self):
        _stop(self.proc)


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()  # not SIGKILL: it removes the FIFO on the way out
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
    proc.wait(timeout=10)
    proc.stdout.close()
    proc.stderr.close()


def constant_adc(path, value):
    with open(path, "wb") as f:
        f.write(struct.pack("=I", value))
    return path


def _script_file(directory, script, prefix):
    fd, path = tempfile.mkstemp(dir=directory, prefix=prefix, suffix=".script")
    with os.fdopen(fd, "w") as f:
        f.write(script if isinstance(script, str) else "".join(line + "\n" for line in script))
    return path


class FakeIsp:
    def __init__(self, directory, script, path=ISP_FILE):
        self.path = path
        script_path = _script_file(directory, script, "isp.")
        self.proc = subprocess.Popen(EMULATOR + [FAKE_ISP, "--fifo", "--hold", path, script_path],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = _Lines(self.proc.stdout.fileno())
        # The whole script is read before the FIFO is in place: a bad one
        # is refused here.
        self._expect("ready", 60, "did not start")

    def _expect(self, word, timeout, failure):
        line = self.lines.next(timeout)
        if line != word + "\n":
            if self.proc.poll() is None:
                self.proc.terminate()
            self.proc.wait(timeout=10)
            raise AssertionError("the simulated ISP %s: %r %s" % (failure, line, self.proc.stderr.read().decode()))

    def wait_held(self, timeout=120):
        self._expect("held", timeout, "was not read to the end of its script")

    def stop(self):
        _stop(self.proc)


def write_isp(exposure, iridix, wb, path=ISP_FILE):
    subprocess.run(EMULATOR + [FAKE_ISP, path, str(exposure), str(iridix), str(wb)],
                   stdin=subprocess.DEVNULL, check=True, timeout=60)


def with_ir(exposure, ir):
    """The exposure fake_isp's `ir` line gives a scene that needs exposure
    alone, once night mode's IR LEDs, which alone need ir, add their light:
    an exposure is about -log2 of the light, times 65536."""
    return -65536 * math.log2(2 ** (-exposure / 65536) + 2 ** (-ir / 65536))


def wait_for(predicate, timeout=30, what="a condition", alive=None, detail=None):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        ended = alive is not None and not alive()
        if ended or time.monotonic() > deadline:
            value = predicate()  # what came about while it ended
            if value:
                return value
            raise AssertionError("%s waiting for %s%s" % ("it ended while" if ended else "timed out", what,
                                                           "\n" + detail() if detail else ""))
        time.sleep(0.02)


MODE_SCRIPT = """#!/bin/sh
# Records each call and says so on standard output, like a camera's script.
printf '%s\\n' "$*" >> "{log}"
echo "MODE $*"
{pause}exit {status}
"""

MODE_PAUSE = """if [ $(wc -l < "{log}") -eq {call} ]; then
    : > "{paused}"
    while [ -e "{hold}" ]; do sleep 0.05; done
fi
"""


class ModeScript:
    def __init__(self, directory, name="nightmode.sh", status=0, pause_at=None):
        self.path = os.path.join(directory, name)
        self.log = self.path + ".log"
        self.hold, self.waiting = self.path + ".hold", self.path + ".paused"
        pause = ""
        if pause_at is not None:
            pause = MODE_PAUSE.format(log=self.log, call=int(pause_at), paused=self.waiting, hold=self.hold)
            open(self.hold, "w").close()
        with open(self.path, "w") as f:
            f.write(MODE_SCRIPT.format(log=self.log, status=status, pause=pause))
        os.chmod(self.path, 0o755)

    def paused(self):
        return os.path.exists(self.waiting)

    def release(self):
        if os.path.exists(self.hold):
            os.remove(self.hold)

    def calls(self):
        try:
            with open(self.log) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


# ------------------------------------------------------------------- output

_TRIPLE = r"\((?:-?\d+|-), (?:-?\d+|-), (?:-?\d+|-)\)"
TRIPLE = re.compile(r"^%s$" % _TRIPLE, re.M)


def reads(out):
    return re.split(r"(?m)^(?=%s$)" % _TRIPLE, out)[1:]


# ------------------------------------------------------------ private /proc

PRIVATE_PROC = os.path.join(HERE, "private-proc")


def _private_proc_command(command, isp_file=None):
    """COMMAND run inside a private /proc, in a mount namespace of its own
    from which nothing propagates back to the host."""
    return (["unshare", "-m", "--propagation", "private", PRIVATE_PROC]
            + (["--isp-file", isp_file] if isp_file is not None else []) + ["--"] + list(command))


def _inside():
    return os.environ.get(INSIDE) == "1" and os.path.isdir(ISP_DIR)


def private_proc_unavailable():
    if _inside():
        return None
    if os.geteuid() != 0:
        return "it needs root, to give the daemon its own /proc in a private mount namespace"
    if shutil.which("unshare") is None:
        return "unshare(1) is not installed"
    # A trial: the namespace goes with the process.
    done = subprocess.run(_private_proc_command(["true"]), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        return "cannot make a private /proc: %s" % (done.stderr.strip() or "status %d" % done.returncode)
    return None


def _exec_inside(command, isp_file=None):
    """Replaces this process with COMMAND run inside a private /proc."""
    os.environ[INSIDE] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    argv = _private_proc_command(command, isp_file)
    os.execvp(argv[0], argv)


def enter_private_proc(label, required=True):
    if _inside():
        return True
    reason = private_proc_unavailable()
    if reason:
        if not required:
            return False
        sys.stderr.write("%s skipped: %s\n" % (label, reason))
        sys.exit(SKIPPED)
    if sys.argv[0].endswith("-m unittest"):
        command = [sys.executable, "-m", "unittest"]
    else:
        command = [sys.executable, os.path.abspath(sys.argv[0])]
    _exec_inside(command + sys.argv[1:])
    return False  # not reached


def release_private_proc():
    subprocess.run(["umount", "-l", "/proc"], check=True, timeout=30)


def host_proc():
    return HOST_PROC if os.path.isdir(os.path.join(HOST_PROC, "self")) else "/proc"


def on_terminal(command, stderr, **popen):
    """Starts COMMAND in a session of its own with its standard output on a
    pseudo-terminal, which the C library line-buffers: a daemon that is
    killed loses nothing, and a mode command's lines stay in their place
    among its own. Returns (process, the terminal's other side to read)."""
    terminal, their_side = pty.openpty()
    try:
        attributes = termios.tcgetattr(their_side)
        attributes[1] &= ~termios.ONLCR  # keep "\n" as written
        termios.tcsetattr(their_side, termios.TCSANOW, attributes)
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=their_side,
                                stderr=their_side if stderr is None else stderr,
                                start_new_session=True, **popen)
    except BaseException:
        os.close(terminal)
        raise
    finally:
        os.close(their_side)
    return proc, terminal


class _Lines:
    """The lines of a pipe or a terminal as they come, waiting at most so
    long for each."""

    def __init__(self, fd):
        self.fd, self.pending = fd, b""

    def next(self, timeout):
        """The next line; None when none came in time, "" at the end."""
        while b"\n" not in self.pending:
            if not select.select([self.fd], [], [], timeout)[0]:
                return None
            try:
                chunk = os.read(self.fd, 4096)
            except OSError as e:  # a terminal whose other side is closed
                if e.errno != errno.EIO:
                    raise
                chunk = b""
            if not chunk:
                line, self.pending = self.pending, b""
                return line.decode(errors="replace")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode(errors="replace") + "\n"


def isp_steps(script, command, path=ISP_FILE, silence=10):
    """Runs COMMAND, a daemon with -S, with its output on a terminal, while
    a FakeIsp plays a fake_isp script at path: in lock step, one step per
    read. Passes its output on as it comes, up to its next read after the
    last step, then ends it. Returns None once it has read the last step,
    else why not. A script that fake_isp refuses raises AssertionError."""
    with tempfile.TemporaryDirectory(prefix="simcam.") as work:
        isp = FakeIsp(work, script, path)
        daemon = terminal = None
        try:
            # Both streams on the terminal; in a session of its own, so
            # that Ctrl-C is the caller's to handle.
            daemon, terminal = on_terminal(command, None)
            lines = _Lines(terminal)
            while True:
                line = lines.next(0)
                if line == "":
                    return "%s stopped before the end of the statistics" % command[0]
                if line is not None:
                    sys.stdout.write(line)
                    sys.stdout.flush()
                    continue
                said = isp.lines.next(0)
                if said == "held\n":
                    break
                if said is not None:
                    return "the simulated ISP stopped: %r %s" % (said, isp.proc.stderr.read().decode())
                if not select.select([terminal, isp.proc.stdout], [], [], silence)[0]:
                    return "%s went silent before the end of the statistics" % command[0]
            # It has opened the file again: all it says of the last step
            # is on the terminal already.
            while (line := lines.next(0.2)):
                sys.stdout.write(line)
            sys.stdout.flush()
            return None
        finally:
            if daemon is not None:
                # With whatever it started: a reader held in the file's read.
                for signum in (signal.SIGTERM, signal.SIGKILL):
                    try:
                        os.killpg(daemon.pid, signum)
                        daemon.wait(timeout=10)
                        break
                    except ProcessLookupError:
                        break
                    except subprocess.TimeoutExpired:
                        pass
                daemon.wait()
            if terminal is not None:
                os.close(terminal)
            isp.stop()


# ------------------------------------------------------------- command line

USAGE = ("usage: python3 -m simcam private-proc [--isp-file FILE] -- COMMAND [ARG...]\n"
         "       python3 -m simcam private-proc --check\n"
         "       python3 -m simcam isp-steps [--path FILE] SCRIPT -- COMMAND [ARG...]\n")


def _ended_by(signum, _frame):
    sys.exit(128 + signum)  # through the cleanups on the way out


def main(argv):
    if argv[:1] == ["isp-steps"]:
        return _isp_steps_main(argv[1:])
    if argv[:1] != ["private-proc"]:
        sys.stderr.write(USAGE)
        return 2
    args, isp_file = argv[1:], None
    if args == ["--check"]:
        reason = private_proc_unavailable()
        if reason:
            sys.stderr.write("simcam: %s\n" % reason)
            return SKIPPED
        return 0
    if args[:1] == ["--isp-file"] and len(args) > 1:
        isp_file, args = args[1], args[2:]
    if args[:1] != ["--"] or len(args) < 2:
        sys.stderr.write(USAGE)
        return 2
    command = args[1:]
    if isp_file is not None and not os.path.isfile(isp_file):
        sys.stderr.write("simcam: no ISP statistics file %s\n" % isp_file)
        return 2
    if _inside():  # already in one: only the statistics are new
        if isp_file is not None:
            shutil.copyfile(isp_file, ISP_FILE)
        sys.stdout.flush()
        try:
            os.execvp(command[0], command)
        except OSError as e:
            sys.stderr.write("simcam: %s: %s\n" % (command[0], e.strerror))
            return 127
    reason = private_proc_unavailable()
    if reason:
        sys.stderr.write("simcam: %s\n" % reason)
        return SKIPPED
    _exec_inside(command, isp_file)
    return 127  # not reached


def _isp_steps_main(args):
    path = ISP_FILE
    if args[:1] == ["--path"] and len(args) > 1:
        path, args = args[1], args[2:]
    if len(args) < 3 or args[1] != "--":
        sys.stderr.write(USAGE)
        return 2
    try:
        with open(args[0]) as f:
            script = f.read()
    except OSError as e:
        sys.stderr.write("simcam: %s\n" % e)
        return 2
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _ended_by)
    try:
        failure = isp_steps(script, args[2:], path)
    except KeyboardInterrupt:
        return 130
    except AssertionError as e:
        sys.stderr.write("simcam: %s\n" % e)
        return 2
    except OSError as e:
        failure = str(e)
    if failure:
        sys.stderr.write("simcam: %s\n" % failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
