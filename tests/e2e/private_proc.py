"""A private /proc for tests of the image-statistics method.

The daemon reads the ISP's statistics from a fixed path under /proc. A test
module calls enter() before anything else: it runs the same test command
again in a private mount namespace (root only) and exits with its status;
inside, /proc is a tmpfs holding the ISP driver's folder, with a fresh
procfs linked in for /proc/self and the like (Python, the sanitizers and
qemu-user look there). Where none can be had, the module exits with status
77, which CTest counts as skipped.
"""

import ctypes
import os
import shutil
import subprocess
import sys

ISP_DIR = "/proc/jz/isp"
ISP_FILE = ISP_DIR + "/isp_info"
HOST_PROC = "/proc/.host"
INSIDE = "LUMENFLIP_PRIVATE_PROC"
SKIPPED = 77

LIBC = ctypes.CDLL(None, use_errno=True)


def unavailable():
    """Why no private /proc can be made here, or None."""
    if os.environ.get(INSIDE) == "1":
        return None
    if os.geteuid() != 0:
        return "it needs root, to give the daemon its own /proc in a private mount namespace"
    if not shutil.which("unshare"):
        return "unshare(1) is not installed"
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if probe.returncode != 0:
        return "cannot make a private mount namespace: %s" % probe.stderr.strip()
    return None


def skip(label, reason):
    sys.stderr.write("%s skipped: %s\n" % (label, reason))
    sys.stderr.flush()
    sys.exit(SKIPPED)


def mount(source, target, fstype, data=None):
    """Returns the error text, or None."""
    if LIBC.mount(source.encode(), target.encode(), fstype.encode(), ctypes.c_ulong(0),
                  data.encode() if data else None) != 0:
        return os.strerror(ctypes.get_errno())
    return None


def enter(label):
    """Outside: runs this test command again in a private namespace and
    exits with its status. Inside: sets up /proc and returns."""
    if os.environ.get(INSIDE) != "1":
        reason = unavailable()
        if reason:
            skip(label, reason)
        if sys.argv[0].endswith("-m unittest"):
            command = [sys.executable, "-m", "unittest"]
        else:
            command = [sys.executable, os.path.abspath(sys.argv[0])]
        env = dict(os.environ, **{INSIDE: "1"})
        sys.exit(subprocess.call(["unshare", "-m", "--propagation", "private"] + command + sys.argv[1:],
                                 env=env))

    error = mount("lumenflip-proc", "/proc", "tmpfs", "mode=0755")
    if error:
        skip(label, "cannot mount a tmpfs on /proc: %s" % error)
    os.mkdir(HOST_PROC)
    if mount("proc", HOST_PROC, "proc") is None:
        for name in os.listdir(HOST_PROC):
            if not name.isdigit() and name != "jz":
                os.symlink(os.path.join(".host", name), os.path.join("/proc", name))
    os.makedirs(ISP_DIR)
