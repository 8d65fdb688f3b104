"""start, stop, restart and status: one daemon whatever the order of the
commands, a stranger named by a stale pid file left alone, a loud failure
when the daemon cannot run, and nothing left running after stop, not even
a hung mode command."""

import os
import subprocess
import time
import unittest

import camera

camera.require("init.lifecycle")

HANG = """#!/bin/sh
echo "MODE hangs"
exec sleep 86399
"""


class Lifecycle(camera.InitTest):
    def test_a_stale_pid_file_naming_a_live_stranger(self):
        cam = self.camera
        stranger = subprocess.Popen(["sleep", "300"])
        self.addCleanup(stranger.wait)
        self.addCleanup(stranger.kill)
        with open(cam.pidfile, "w") as f:
            f.write("%d\n" % stranger.pid)

        self.assert_status(3)
        self.assertEqual(cam.run("stop").status, 0)
        self.assertIsNone(stranger.poll())
        self.start()
        self.assertEqual(len(cam.daemons()), 1)
        self.assert_status(0)
        self.assertEqual(cam.run("stop").status, 0)
        self.assert_nothing_left()
        time.sleep(0.2)
        self.assertIsNone(stranger.poll(), "the stranger was killed")

    def test_a_second_start_starts_nothing(self):
        cam = self.camera
        cam.slow_shell(0.3)
        with self.subTest("one after the other"):
            result = cam.run_back_to_back(["start", "start"])
            self.assertEqual(result.out.count("status 0"), 2, result)
            self.assertIn("already running", result.out)
            time.sleep(1)  # time for a second daemon to show up
            self.assertEqual(len(cam.daemons()), 1, cam.processes())
            self.assertEqual(cam.run("stop").status, 0)
            self.assert_nothing_left()
        with self.subTest("three at once"):
            # Between a start's look for a supervisor and its pid file comes
            # the removal of a stale one: slowed, every start at once would
            # find none, but for the lock.
            cam.slow_applet("rm", 0.5)
            results = cam.run_together([["start"]] * 3)
            self.assertEqual([r.status for r in results], [0] * 3, results)
            self.assertEqual(sum("already running" in r.out for r in results), 2, results)
            time.sleep(1)
            self.assertEqual(len(cam.supervisors()), 1, cam.processes())
            self.assertEqual(len(cam.daemons()), 1, cam.processes())
            self.assertEqual(len(cam.named("logger")), 1, cam.processes())
            self.assertEqual(cam.run("stop").status, 0)
            self.assert_nothing_left()

    def test_start_fails_loudly_when_the_daemon_cannot_run(self):
        cam = self.camera
        missing = os.path.join(cam.root, "bin", "lumenflip")
        # What a build for another CPU or NaN encoding is to busybox's shell.
        foreign = os.path.join(cam.root, "foreign")
        with open(foreign, "wb") as f:
            f.write(b"\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x08\0(\n")
        os.chmod(foreign, 0o755)
        cases = [
            ("missing daemon", {"DAEMON": missing}, missing + " is not an executable file"),
            ("daemon ends at once", {"OPTIONS": cam.settings["OPTIONS"] + " -n 0"},
             "it ended at once with status 1; see the system log"),
            ("not a daemon for this CPU", {"DAEMON": foreign},
             "'%s ... -h' returned 2, no usage text: is it lumenflip, built for this CPU?" % foreign),
        ]
        for case, settings, reason in cases:
            with self.subTest(case):
                result = cam.run("start", **settings)
                self.assertEqual(result.status, 1, result)
                self.assertIn(reason, result.err)
                self.assert_status(3)
                self.assert_nothing_left()
        self.assertIn("ERROR: -n 0: the window must hold at least 1 sample", cam.messages())

    def test_stop_ends_a_hung_mode_command_and_restart_leaves_one_of_each(self):
        cam = self.camera
        hang = os.path.join(cam.root, "hang.sh")
        with open(hang, "w") as f:
            f.write(HANG)
        os.chmod(hang, 0o755)
        cam.light(camera.NIGHT)
        self.start(NIGHT_COMMAND=hang)
        [hung] = cam.wait_for(lambda: cam.named("sleep", "86399"), "hung night command")

        result = cam.run("restart", NIGHT_COMMAND=hang)
        self.assertEqual(result.status, 0, result)
        self.assertEqual(len(cam.daemons()), 1, cam.processes())
        self.assertEqual(len(cam.named("logger")), 1, cam.processes())
        [again] = cam.wait_for(lambda: cam.named("sleep", "86399"), "hung night command again")
        self.assertNotEqual(again.pid, hung.pid)

        self.assertEqual(cam.run("stop").status, 0)
        self.assert_nothing_left()
        self.assert_status(3)


if __name__ == "__main__":
    unittest.main()
