"""A camera's boot for the init script's tests.

The script runs as a camera's rcS runs it, `busybox sh S50lumenflip start`,
with a test folder for the root file system and busybox's applets as the
only programs on PATH, against the real daemon, the simulated camera's mode
script and its light sensor: a FIFO that sim/fake_adc feeds with the level
the test sets, read at each open, so that a change shows at the next sample.

Busybox's logger and syslogd use the fixed path /dev/log, so a busybox
syslogd and every command of a test run in a mount namespace of their own
(root only) whose /dev is a tmpfs with links to the host's device nodes:
the host's /dev is left as it was. The processes of that namespace are the
ones the script started. syslogd writes the file `messages`, or, as many
cameras run it, keeps the log in a shared-memory ring buffer that logread
prints (-C; then in an IPC namespace of its own too, since the buffer's key
is fixed), with or without its host and facility fields (-S).

The run script is started by busybox init itself, as the first process of
a pid namespace of its own whose /etc/inittab (an overlay) holds one
respawn line.

Environment: LUMENFLIP, the daemon, and FAKE_ADC (set by CTest);
LUMENFLIP_INIT_SCRIPT, optionally another init script to test in place of
init/lumenflip.init.
"""

import collections
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import simcam
from simcam import SKIPPED, FakeAdc, ModeScript

INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "init")
SCRIPT = os.environ.get("LUMENFLIP_INIT_SCRIPT") or os.path.join(INIT, "lumenflip.init")
RUN_SCRIPT = os.path.join(INIT, "lumenflip.run")
DAEMON = os.path.realpath(os.environ.get("LUMENFLIP", "lumenflip"))
BUSYBOX = shutil.which("busybox")
UNSHARE = shutil.which("unshare")
NSENTER = shutil.which("nsenter")

# Raw light-sensor values: day and night by the daemon's default thresholds.
DAY = 100
NIGHT = 0

PRIVATE_DEV = r"""
set -e
mkdir "$1/host-dev"
mount --rbind /dev "$1/host-dev"
mount -t tmpfs -o mode=0755 camera-dev /dev
for node in "$1"/host-dev/*; do ln -s "$node" /dev/; done
shift
exec "$@"
"""

# Busybox init as the first process of a pid namespace inside the camera's,
# with the files of the folder $1 over /etc and the file $2 as its console.
BUSYBOX_INIT = r"""
set -e
mkdir "$1.work"
mount -t overlay camera-etc -o "lowerdir=/etc,upperdir=$1,workdir=$1.work" /etc
exec env -i CONSOLE="$2" "$3" init
"""

Result = collections.namedtuple("Result", "status out err")
Process = collections.namedtuple("Process", "pid args exe")


def require(label):
    """Exits with 77 (skipped) after saying why, where these tests cannot run."""
    reason = None
    if os.geteuid() != 0:
        reason = "it needs root, for busybox syslogd on /dev/log in a private mount namespace"
    for tool, path in (("busybox", BUSYBOX), ("unshare", UNSHARE), ("nsenter", NSENTER)):
        if not reason and not path:
            reason = "%s is not installed" % tool
    if reason:
        sys.stderr.write("%s skipped: %s\n" % (label, reason))
        sys.exit(SKIPPED)


def stat_field(pid, index):
    """Field `index` of /proc/PID/stat after the command's name (0 is the
    state), as a number; None once the process has ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[index])
    except (OSError, IndexError, ValueError):
        return None


def parent(pid):
    return stat_field(pid, 1)


def session(pid):
    return stat_field(pid, 3)


class Camera:
    """The folder `root` as a camera: bin/ with busybox, S50lumenflip, run/
    for the pid file, the light sensor `adc` at the level `light` sets, the
    mode script `mode`, and syslogd writing `messages`, or with
    log_buffer_kb keeping a ring buffer of that size for logread; small_log
    drops the host and facility from each line. `settings` are the script's
    environment."""

    def __init__(self, root, log_buffer_kb=None, small_log=False):
        self.root = root
        self.bin = os.path.join(root, "bin")
        os.mkdir(self.bin)
        applets = subprocess.run([BUSYBOX, "--list"], capture_output=True, text=True,
                                 check=True).stdout.split()
        for applet in applets + ["busybox"]:
            os.symlink(BUSYBOX, os.path.join(self.bin, applet))
        self.script = os.path.join(root, "S50lumenflip")
        shutil.copy(SCRIPT, self.script)
        os.mkdir(os.path.join(root, "run"))
        self.pidfile = os.path.join(root, "run", "lumenflip.pid")
        self.level = os.path.join(root, "light")
        self.light(DAY)
        self.sensor = FakeAdc(root, ["level " + self.level])
        self.adc = self.sensor.path
        self.mode = ModeScript(root)
        self.settings = {
            "DAEMON": DAEMON,
            "PIDFILE": self.pidfile,
            "OPTIONS": "-D %s -a 1 -d 1 -n 1" % self.adc,
            "MODE_COMMAND": self.mode.path,
            "LUMENFLIP_DEFAULTS": os.path.join(root, "default"),
        }
        self.init = self.init_pid = None

        self.log_buffer_kb = log_buffer_kb
        syslogd = [BUSYBOX, "syslogd", "-n"] + (["-S"] if small_log else [])
        syslogd += ["-C%d" % log_buffer_kb] if log_buffer_kb else ["-O", os.path.join(root, "messages")]
        self.namespaces = ["-m"] + (["-i"] if log_buffer_kb else [])
        with open(os.path.join(root, "syslogd.err"), "w") as err:
            self.syslogd = subprocess.Popen(
                [UNSHARE] + self.namespaces + ["--propagation", "private", "/bin/sh", "-c", PRIVATE_DEV,
                                               "private-dev", root] + syslogd,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + 15
        while not os.path.exists("/proc/%d/root/dev/log" % self.syslogd.pid):
            if self.syslogd.poll() is not None or time.monotonic() > deadline:
                self.syslogd.kill()
                self.syslogd.wait(timeout=10)
                self.sensor.stop()
                with open(os.path.join(root, "syslogd.err")) as err:
                    raise AssertionError("no syslogd on a private /dev/log: " + err.read())
            time.sleep(0.02)
        self.namespace = os.readlink("/proc/%d/ns/mnt" % self.syslogd.pid)

    def command(self, commands, settings):
        """The argument vector and environment that run the script once per
        command, each as soon as the one before has returned."""
        env = dict(self.settings, PATH=self.bin)
        env.update(settings)
        env = {name: value for name, value in env.items() if value is not None}
        if len(commands) == 1:
            script = ["busybox", "sh", self.script] + commands
        else:
            loop = 'for command; do busybox sh "$0" "$command"; echo "status $?"; done'
            script = ["busybox", "sh", "-c", loop, self.script] + commands
        return self.inside(script), env

    def inside(self, command):
        """COMMAND run in the camera's namespaces."""
        return [NSENTER, "-t", str(self.syslogd.pid)] + self.namespaces + list(command)

    def run(self, command, timeout=60, **settings):
        """Runs the script with `command`; a setting of None is unset."""
        return self.run_together([[command]], timeout, **settings)[0]

    def run_back_to_back(self, commands, timeout=60, **settings):
        """Runs the script with each of `commands` from one shell, with no
        pause between; the output ends with a line "status N" after each."""
        return self.run_together([commands], timeout, **settings)[0]

    def run_together(self, runs, timeout=60, **settings):
        """Starts each run (a list of commands, as run_back_to_back) at once
        and waits for all. Output goes to files: whatever the script leaves
        running may keep them open."""
        started = []
        for commands in runs:
            args, env = self.command(commands, settings)
            out = tempfile.TemporaryFile(dir=self.root)
            err = tempfile.TemporaryFile(dir=self.root)
            started.append((subprocess.Popen(args, env=env, cwd=self.root, stdin=subprocess.DEVNULL,
                                             stdout=out, stderr=err), out, err))
        results = []
        for proc, out, err in started:
            status = proc.wait(timeout=timeout)
            out.seek(0)
            err.seek(0)
            results.append(Result(status, out.read().decode(), err.read().decode()))
            out.close()
            err.close()
        return results

    def slow_shell(self, seconds):
        """Makes each start of `sh` take `seconds` longer, as on a slow
        camera, to widen whatever race a script leaves open."""
        self.slow_applet("sh", seconds)

    def slow_applet(self, applet, seconds):
        """Makes each run of busybox's `applet` (found on PATH, not a shell
        builtin) take `seconds` longer."""
        path = os.path.join(self.bin, applet)
        os.remove(path)
        with open(path, "w") as f:
            f.write('#!%s sh\nsleep %s\nexec busybox %s "$@"\n' % (BUSYBOX, seconds, applet))
        os.chmod(path, 0o755)

    def processes(self, namespace=None):
        """The live processes of the camera's namespace (or of the mount
        namespace named) but syslogd."""
        found = []
        for name in os.listdir("/proc"):
            if not name.isdigit() or int(name) == self.syslogd.pid:
                continue
            base = "/proc/" + name
            try:
                if os.readlink(base + "/ns/mnt") != (namespace or self.namespace):
                    continue
                with open(base + "/stat") as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        continue
                # The program first: an exec changes both at once, and sets
                # the arguments only a moment after.
                exe = os.readlink(base + "/exe")
                with open(base + "/cmdline", "rb") as f:
                    args = [a.decode(errors="replace") for a in f.read().split(b"\0")[:-1]]
            except OSError:  # ended meanwhile
                continue
            if not args:  # in the middle of an exec
                continue
            found.append(Process(int(name), args, exe))
        return found

    def daemons(self, namespace=None):
        """The daemons, but for one's child on its way to a mode command:
        between its fork and its exec it is a copy of the daemon."""
        running = self.processes(namespace)
        pids = {p.pid for p in running if p.exe == DAEMON}
        return [p for p in running if p.exe == DAEMON and parent(p.pid) not in pids]

    def supervisors(self):
        """The processes running the script as a supervisor, each leading
        its session (its log reader's loop is a copy of it)."""
        return [p for p in self.processes() if self.script in p.args
                and p.args[p.args.index(self.script) + 1:][:1] == ["supervise"] and session(p.pid) == p.pid]

    def named(self, program, *args):
        """The processes running `program` (by its base name) with `args` first."""
        return [p for p in self.processes() if p.args and os.path.basename(p.args[0]) == program
                and tuple(p.args[1:1 + len(args)]) == args]

    def system_log(self):
        """The whole system log as text: the file, or what logread prints."""
        if self.log_buffer_kb:
            return subprocess.run(self.inside([BUSYBOX, "logread"]), stdin=subprocess.DEVNULL,
                                  capture_output=True, check=True, timeout=30).stdout.decode(errors="replace")
        try:
            with open(os.path.join(self.root, "messages"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def messages(self):
        """What reached the system log under the tag lumenflip, line by line."""
        return [line.split(" lumenflip: ", 1)[1] for line in self.system_log().splitlines()
                if " lumenflip: " in line]

    def light(self, value):
        """Changes the light sensor's value for every later open."""
        with open(self.level + ".new", "w") as f:
            f.write("%d\n" % value)
        os.replace(self.level + ".new", self.level)

    def read_since(self):
        """A predicate for wait_for: true once the daemon has read the light
        set before this call. The simulated device puts a fresh FIFO in
        place at each open, once it has taken that open's light: the first
        new node may belong to an open under way at the call, the second
        cannot."""
        nodes = [os.stat(self.adc).st_ino]

        def read():
            node = os.stat(self.adc).st_ino
            if node != nodes[-1]:
                nodes.append(node)
            return len(nodes) > 2
        return read

    def device(self, name, target=None):
        """Makes /dev/`name` in the camera a link to `target`, or removes it."""
        path = "/dev/" + name
        command = ["ln", "-sf", target, path] if target else ["rm", "-f", path]
        subprocess.run(self.inside([BUSYBOX] + command), check=True, timeout=30)

    def busybox_init(self, etc):
        """Starts busybox init as the first process of a pid and mount
        namespace of its own, inside the camera's, with `etc` (a path under
        /etc: its text, inittab included) over /etc and the file `console`
        as its console. Returns the mount namespace of its processes."""
        upper = os.path.join(self.root, "etc")
        for name, text in etc.items():
            os.makedirs(os.path.dirname(os.path.join(upper, name)), exist_ok=True)
            with open(os.path.join(upper, name), "w") as f:
                f.write(text)
        console = os.path.join(self.root, "console")
        open(console, "w").close()  # busybox init only opens it
        unshare = [UNSHARE, "-p", "-f", "-m", "--propagation", "private", "--mount-proc", "/bin/sh", "-c",
                   BUSYBOX_INIT, "busybox-init", upper, console, BUSYBOX]
        with open(os.path.join(self.root, "init.err"), "w") as err:
            self.init = subprocess.Popen(self.inside(unshare), stdin=subprocess.DEVNULL, stdout=err, stderr=err)

        def started():
            """unshare's child once it runs busybox (nsenter has become unshare)."""
            try:
                with open("/proc/%d/task/%d/children" % (self.init.pid, self.init.pid)) as f:
                    pid = int(f.read().split()[0])
                return pid if os.readlink("/proc/%d/exe" % pid) == os.path.realpath(BUSYBOX) else None
            except (OSError, IndexError, ValueError):
                return None
        self.wait_for(lambda: self.init.poll() is not None or started(), "busybox init")
        self.init_pid = started()
        if not self.init_pid:
            with open(os.path.join(self.root, "init.err")) as err:
                raise AssertionError("busybox init did not start: " + err.read())
        return os.readlink("/proc/%d/ns/mnt" % self.init_pid)

    def wait_for(self, predicate, what, timeout=15):
        """Polls predicate() until it gives something true and returns that."""
        return simcam.wait_for(predicate, timeout, what,
                               detail=lambda: "processes %s; system log %s" % (self.processes(), self.messages()))

    def close(self):
        if self.init is not None:
            if self.init_pid:  # the first process of its pid namespace: the others go with it
                os.kill(self.init_pid, signal.SIGKILL)
            self.init.kill()
            self.init.wait(timeout=10)
        self.sensor.stop()
        for process in self.processes():
            try:
                os.kill(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.syslogd.kill()
        self.syslogd.wait(timeout=10)


class InitTest(unittest.TestCase):
    """Gives each test a camera of its own, made with camera_options, and
    ends whatever it left."""

    camera_options = {}

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="lumenflip-init-")
        self.addCleanup(tmp.cleanup)
        self.camera = Camera(tmp.name, **self.camera_options)
        self.addCleanup(self.camera.close)

    def start(self, **settings):
        result = self.camera.run("start", **settings)
        self.assertEqual(result.status, 0, result)
        return result

    def assert_status(self, expected):
        result = self.camera.run("status")
        self.assertEqual(result.status, expected, result)

    def assert_nothing_left(self):
        """After stop: nothing of the service runs and its pid file is gone."""
        self.assertEqual(self.camera.processes(), [])
        self.assertFalse(os.path.exists(self.camera.pidfile))
