"""The pipeline comes back: a log reader that is killed is replaced while
the daemon and its mode commands go on writing, and a daemon that is killed
runs again, after a pause and the day command, within 10 seconds."""

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
        self.assertEqual(len(cam.named("logger")), 1)
        self.assert_status(0)

    def test_a_killed_daemon_runs_again_after_a_pause_and_the_day_command(self):
        cam = self.camera
        cam.light(camera.NIGHT)
        self.start()
        cam.wait_for(lambda: "on" in cam.mode.calls(), "switch to night")
        [daemon] = cam.daemons()
        calls = len(cam.mode.calls())

        killed = time.monotonic()
        os.kill(daemon.pid, signal.SIGKILL)
        # The killed one may linger a moment while it dies (long, under ASan).
        cam.wait_for(lambda: [p for p in cam.daemons() if p.pid != daemon.pid],
                     "daemon running again", timeout=10)
        back = time.monotonic() - killed
        self.assertEqual(len([p for p in cam.daemons() if p.pid != daemon.pid]), 1)
        # Not at once: a daemon that cannot run must not spin.
        self.assertGreater(back, 2)
        # The camera was put in day for the new daemon, which found night.
        cam.wait_for(lambda: cam.mode.calls()[calls:] == ["off", "on"], "day, then night, again")
        self.assertTrue([line for line in cam.messages() if "status 137" in line], cam.messages())
        self.assert_status(0)

        self.assertEqual(cam.run("stop").status, 0)
        self.assert_nothing_left()


if __name__ == "__main__":
    unittest.main()
