"""The run script, init/lumenflip.run, as a supervisor that restarts the
daemon itself uses it: busybox init runs it from a respawn line of its
inittab and it becomes the daemon, with OPTIONS and the commands, after the
day command; a daemon that ends is started again the same way. Its settings
come from /etc/default/lumenflip, under the environment."""

import os
import signal
import subprocess
import unittest

import camera
from simcam import ModeScript

camera.require("init.run")

# Prints the arguments it is given, one a line, in place of the daemon.
ARGUMENTS = """#!/bin/sh
# Its usage text is the real daemon's, so that the default mode command is.
[ "$1" != -h ] || exec "DAEMON" "$@"
echo "ARGUMENTS${POSIXLY_CORRECT+ with POSIXLY_CORRECT}"
printf '[%s]\\n' "$@"
"""


class UnderBusyboxInit(camera.InitTest):
    def test_respawn_runs_the_day_command_then_becomes_the_daemon(self):
        cam = self.camera
        mode = ModeScript(cam.root, name="camera mode.sh")
        quoted = "'%s' --camera 'front  door'" % mode.path
        cam.light(camera.NIGHT)
        namespace = cam.busybox_init({
            "inittab": "::respawn:%s\n" % camera.RUN_SCRIPT,
            "default/lumenflip": 'DAEMON=%s\nOPTIONS="-D %s -a 1 -d 1 -n 1"\nMODE_COMMAND="%s"\n'
                                 % (camera.DAEMON, cam.adc, quoted.replace('"', '\\"')),
        })

        def daemons():
            return cam.daemons(namespace)

        [daemon] = cam.wait_for(daemons, "daemon under busybox init")
        # Exec'd: init's own child, with the command whole and before OPTIONS.
        self.assertEqual(camera.parent(daemon.pid), cam.init_pid)
        self.assertEqual(daemon.args, [camera.DAEMON, "-c", quoted, "-D", cam.adc, "-a", "1", "-d", "1", "-n", "1"])
        # Day before the daemon, which found night.
        cam.wait_for(lambda: mode.calls() == ["--camera front  door off", "--camera front  door on"],
                     "day, then night")
        # No LOGFILE: the output is the supervisor's, here init's console.
        with open(os.path.join(cam.root, "console")) as f:
            self.assertIn("MODE --camera front  door off\n", f.read())

        os.kill(daemon.pid, signal.SIGKILL)
        [again] = cam.wait_for(lambda: [p for p in daemons() if p.pid != daemon.pid], "daemon started again")
        self.assertEqual(again.args, daemon.args)
        cam.wait_for(lambda: mode.calls()[2:] == ["--camera front  door off", "--camera front  door on"],
                     "day, then night, again")


class Settings(camera.InitTest):
    def run_script(self, defaults, quiet=True, **environment):
        """Runs the run script with `defaults` as its defaults file and a
        daemon that prints its arguments; returns what it printed."""
        cam = self.camera
        path = os.path.join(cam.root, "arguments.sh")
        with open(path, "w") as f:
            f.write(ARGUMENTS.replace("DAEMON", camera.DAEMON, 1))
        os.chmod(path, 0o755)
        with open(cam.settings["LUMENFLIP_DEFAULTS"], "w") as f:
            f.write(defaults)
        env = {"PATH": cam.bin, "DAEMON": path, "LUMENFLIP_DEFAULTS": cam.settings["LUMENFLIP_DEFAULTS"],
               "POSIXLY_CORRECT": "1"}
        env.update(environment)
        done = subprocess.run(["busybox", "sh", camera.RUN_SCRIPT], env=env, cwd=cam.root, capture_output=True,
                              text=True, timeout=30, stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stderr)
        if quiet:
            self.assertEqual(done.stderr, "")
        self.stderr = done.stderr
        return done.stdout

    def test_the_environment_over_the_defaults_file(self):
        cam = self.camera
        log = os.path.join(cam.root, "lumenflip.log")
        out = self.run_script(
            'OPTIONS="-v  -n 3"\nDAY_COMMAND="echo day from the file"\nNIGHT_COMMAND=file\nLOGFILE=%s\n' % log,
            MODE_COMMAND="%s 'a  b'" % cam.mode.path, NIGHT_COMMAND="night")
        self.assertEqual(out, "")
        with open(log) as f:
            self.assertEqual(f.read().splitlines(), [
                "day from the file", "ARGUMENTS", "[-c]", "[%s 'a  b']" % cam.mode.path, "[-y]",
                "[echo day from the file]", "[-g]", "[night]", "[-v]", "[-n]", "[3]"])
        self.assertEqual(cam.mode.calls(), [])

    def test_the_day_command_of_the_base_command_or_none(self):
        cam = self.camera
        out = self.run_script("MODE_COMMAND=%s\n" % cam.mode.path, OPTIONS="-S")
        self.assertEqual(out.splitlines(), ["MODE off", "ARGUMENTS", "[-c]", "[%s]" % cam.mode.path, "[-S]"])
        # Set to empty counts as given: the day command is none.
        out = self.run_script("MODE_COMMAND=%s\n" % cam.mode.path, DAY_COMMAND="")
        self.assertEqual(out.splitlines(), ["ARGUMENTS", "[-c]", "[%s]" % cam.mode.path, "[-y]", "[]"])
        self.assertEqual(cam.mode.calls(), ["off"])
        # Without one, the daemon's own, as its usage text shows it.
        out = self.run_script("", quiet=False)
        self.assertEqual(out.splitlines(), ["ARGUMENTS", "[]"])  # no arguments at all
        self.assertIn("/system/sdcard/scripts/nightmode.sh: not found", self.stderr)


if __name__ == "__main__":
    unittest.main()
