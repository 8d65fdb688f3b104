"""The pipeline comes back: a log reader that is killed is replaced while
the daemon and its mode commands go on writing, and a daemon that is killed
runs again, after a pause and the day command, within 10 seconds. status
names the daemon and its supervisor, or says that it is between two runs."""

import os
import signal
import time
import unittest

import camera

camera.require("init.respawn")


class Respawn(camera.InitTest):
    def test_a_killed_log_reader_is_replaced_and_no_mode_command_dies(self):
        cam = self.camera
        self.start()
        [reader] = cam.wait_for(lambda: cam.named("logger"), "log reader")
        [daemon] = cam.daemons()

        os.kill(reader.pid, signal.SIGKILL)
        cam.wait_for(lambda: [p for p in cam.named("logger") if p.pid != reader.pid],
                     "new log reader", timeout=10)
        # A switch after the loss: the night command's output, written while
        # no log reader may have been there, reaches the log.
        cam.light(camera.NIGHT)
        cam.wait_for(lambda: "MODE on" in cam.messages(), "night command's output in the log")
        self.assertEqual(cam.mode.calls()[-1], "on")
        self.assertEqual(cam.daemons(), [daemon])
        self.assertFalse([line for line in cam.messages() if "WARNING" in line], cam.messages())
        self.assertIn("S50lumenflip: the log reader ended with status 137; starting another", cam.messages())
        self.assertNotIn("Killed", cam.messages(), "the shell's own notice")
        self.assertEqual(len(cam.named("logger")), 1)
        self.assert_status(0)

    def test_a_killed_daemon_runs_again_after_a_pause_and_the_day_command(self):
        cam = self.camera
        cam.light(camera.NIGHT)
        self.start()
        cam.wait_for(lambda: "on" in cam.mode.calls(), "switch to night")
        [daemon] = cam.daemons()
        [supervisor] = cam.supervisors()
        calls = len(cam.mode.calls())
        self.assert_running(daemon, supervisor)

        killed = time.monotonic()
        os.kill(daemon.pid, signal.SIGKILL)
        cam.wait_for(lambda: daemon not in cam.daemons(), "the killed daemon gone")
        result = cam.run("status")
        if not [p for p in cam.daemons() if p.pid != daemon.pid]:  # ASan may have been slow to die
            self.assertEqual(result, camera.Result(
                0, "lumenflip is between two runs (supervisor %d starts it again)\n" % supervisor.pid, ""))
        # The killed one may linger a moment while it dies (long, under ASan).
        cam.wait_for(lambda: [p for p in cam.daemons() if p.pid != daemon.pid],
                     "daemon running again", timeout=10)
        back = time.monotonic() - killed
        self.assertEqual(len([p for p in cam.daemons() if p.pid != daemon.pid]), 1)
        # Not at once: a daemon that cannot run must not spin.
        self.assertGreater(back, 2)
        # The camera was put in day for the new daemon, which found night.
        cam.wait_for(lambda: cam.mode.calls()[calls:] == ["off", "on"], "day, then night, again")
        self.assertIn("S50lumenflip: lumenflip ended with status 137; starting it again in 3 s", cam.messages())
        self.assertNotIn("Killed", cam.messages(), "the shell's own notice")
        [again] = cam.daemons()
        self.assert_running(again, supervisor)

        self.assertEqual(cam.run("stop").status, 0)
        self.assert_nothing_left()


    def assert_running(self, daemon, supervisor):
        self.assertEqual(self.camera.run("status"), camera.Result(
            0, "lumenflip is running (pid %d, supervisor %d)\n" % (daemon.pid, supervisor.pid), ""))


if __name__ == "__main__":
    unittest.main()
