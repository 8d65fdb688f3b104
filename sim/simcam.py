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
  write_isp(exposure, iridix, wb, path=ISP_FILE)
      one set of ISP statistics, written atomically by sim/fake_isp.
  SteppedIsp(directory, samples, path=ISP_FILE)
      sim/fake_isp playing (exposure, iridix, wb) samples one at a time: the
      first on start, the next at each .advance(); .stop().
  ModeScript(directory, name="nightmode.sh", status=0)
      a mode command that prints "MODE <args>", records its arguments and
      exits with status. .path; .calls() lists the arguments of each call.

The daemon's output with -S -v -v:
  TRIPLE        matches the raw "(exposure, iridix, wb)" line of each read
  reads(out)    the output split into one piece per read, each starting
                with its triple (what comes before the first read is left out)

A private /proc. The daemon reads the ISP's statistics at a fixed path under
/proc (ISP_FILE), so a test gets a mount namespace of its own (root only)
whose /proc is a tmpfs holding the ISP driver's folder; the host's procfs
is mounted at HOST_PROC inside it and its entries but the processes' are
linked into the tmpfs, so /proc/self and the like keep working.
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

Environment: FAKE_ADC (the fake_adc program, default "fake_adc") and
LUMENFLIP_EMULATOR (a command such as qemu-user put in front of it), as
CTest sets them.
"""

import ctypes
import os
import re
import select
import shlex
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_ADC = os.environ.get("FAKE_ADC", "fake_adc")
FAKE_ISP = os.path.join(HERE, "fake_isp")
EMULATOR = shlex.split(os.environ.get("LUMENFLIP_EMULATOR", ""))

ISP_DIR = "/proc/jz/isp"
ISP_FILE = ISP_DIR + "/isp_info"
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
        if self.proc.poll() is None:
            self.proc.terminate()  # not SIGKILL: it removes the FIFO on the way out
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()


def constant_adc(path, value):
    with open(path, "wb") as f:
        f.write(struct.pack("=I", value))
    return path


def write_isp(exposure, iridix, wb, path=ISP_FILE):
    subprocess.run([sys.executable, FAKE_ISP, path, str(exposure), str(iridix), str(wb)],
                   stdin=subprocess.DEVNULL, check=True, timeout=20)


class SteppedIsp:
    def __init__(self, directory, samples, path=ISP_FILE):
        script = os.path.join(directory, "isp.script")
        with open(script, "w") as f:
            f.write("".join("%d %d %d\n" % tuple(s) for s in samples))
        self.proc = subprocess.Popen([sys.executable, FAKE_ISP, "--step", path, script],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.step = 0
        self._expect_step()

    def _expect_step(self):
        self.step += 1
        line = self.proc.stdout.readline()
        if line != "step %d\n" % self.step:
            raise AssertionError("fake_isp said %r instead of step %d" % (line, self.step))

    def advance(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        self._expect_step()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc.stdin.close()
        self.proc.stdout.close()


MODE_SCRIPT = """#!/bin/sh
# Records each call and says so on standard output, like a camera's script.
printf '%s\\n' "$*" >> "{log}"
echo "MODE $*"
exit {status}
"""


class ModeScript:
    def __init__(self, directory, name="nightmode.sh", status=0):
        self.path = os.path.join(directory, name)
        self.log = self.path + ".log"
        with open(self.path, "w") as f:
            f.write(MODE_SCRIPT.format(log=self.log, status=status))
        os.chmod(self.path, 0o755)

    def calls(self):
        try:
            with open(self.log) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


# ------------------------------------------------------------------- output

TRIPLE = re.compile(r"^\(-?\d+, -?\d+, -?\d+\)$", re.M)


def reads(out):
    return re.split(r"(?m)^(?=\(-?\d+, -?\d+, -?\d+\)$)", out)[1:]


# ------------------------------------------------------------ private /proc

LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS = 0x20000
MS_PRIVATE, MS_REC = 1 << 18, 1 << 14
MNT_DETACH = 2


def _mount(source, target, fstype, flags=0, data=None):
    if LIBC.mount(source.encode(), target.encode(), fstype.encode() if fstype else None,
                  ctypes.c_ulong(flags), data.encode() if data else None) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, "mount %s on %s: %s" % (fstype or "--make-rprivate", target, os.strerror(errno)))


def _make_private_proc():
    """Moves this process into a mount namespace of its own and sets up
    its /proc there. Raises OSError."""
    if LIBC.unshare(CLONE_NEWNS) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, "unshare: %s" % os.strerror(errno))
    _mount("none", "/", None, MS_REC | MS_PRIVATE)  # nothing leaks back to the host
    _mount("lumenflip-proc", "/proc", "tmpfs", 0, "mode=0755")
    os.makedirs(ISP_DIR)
    os.mkdir(HOST_PROC)
    try:
        _mount("proc", HOST_PROC, "proc")
    except OSError:
        return  # some containers allow no second procfs: /proc is then the ISP's alone
    for name in os.listdir(HOST_PROC):
        if not name.isdigit() and name != "jz":  # the host's own ISP driver stays out
            os.symlink(os.path.join(".host", name), os.path.join("/proc", name))


def _inside():
    return os.environ.get(INSIDE) == "1" and os.path.isdir(ISP_DIR)


def private_proc_unavailable():
    if _inside():
        return None
    if os.geteuid() != 0:
        return "it needs root, to give the daemon its own /proc in a private mount namespace"
    # A trial in a child, which takes its namespace with it.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            _make_private_proc()
            os._exit(0)
        except BaseException as e:  # noqa: B036 (the child must end here)
            os.write(write_end, str(e).encode())
            os._exit(1)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        error = f.read().decode(errors="replace")
    _, status = os.waitpid(pid, 0)
    if status != 0:
        return "cannot make a private /proc: %s" % (error or "status %d" % status)
    return None


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
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(sys.executable, [sys.executable, os.path.abspath(__file__), "private-proc", "--"]
             + command + sys.argv[1:])
    return False  # not reached


def release_private_proc():
    if LIBC.umount2(b"/proc", MNT_DETACH) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, "umount /proc: %s" % os.strerror(errno))


def host_proc():
    return HOST_PROC if os.path.isdir(os.path.join(HOST_PROC, "self")) else "/proc"


# ------------------------------------------------------------- command line

USAGE = ("usage: python3 -m simcam private-proc [--isp-file FILE] -- COMMAND [ARG...]\n"
         "       python3 -m simcam private-proc --check\n")


def main(argv):
    if not argv or argv[0] != "private-proc":
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
    if not _inside():
        if os.geteuid() != 0:
            sys.stderr.write("simcam: %s\n" % private_proc_unavailable())
            return SKIPPED
        try:
            _make_private_proc()
        except OSError as e:
            sys.stderr.write("simcam: cannot make a private /proc: %s\n" % e)
            return SKIPPED
    if isp_file is not None:
        shutil.copyfile(isp_file, ISP_FILE)
    os.environ[INSIDE] = "1"
    sys.stdout.flush()
    try:
        os.execvp(command[0], command)
    except OSError as e:
        sys.stderr.write("simcam: %s: %s\n" % (command[0], e.strerror))
        return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
