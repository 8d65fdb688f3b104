"""A day recorded as a camera owner records one, and replayed: the shipped
init script runs the real daemon, with -v in its OPTIONS, on the simulated
camera whose night mode lights its own sensor (the simulated ADC's lift,
the mode script recording its calls), under busybox's syslogd. The
recording is read back from syslogd's file, with logread from its
shared-memory ring buffer, or from the init script's LOGFILE. Replayed with
the daemon's own options it must give the daemon's switches one for one
(the "Night Mode" lines among its output, and the mode script's calls), and
estimate the lift within 15 %.

Needs root, busybox, unshare and nsenter (tests/init/camera.py); each
recording takes a few seconds."""

import datetime
import os
import re
import signal
import time
import unittest

import camera
from replay_support import LIFT, READS, dusk_and_dawn, field, light_switches, lit_adc_script, run_replay, switches
from simcam import FakeAdc, ModeScript

camera.require("replay.init")

FLAPPING = ["-n", "5", "-O", "40", "-F", "45"]
_, CONVERSIONS = dusk_and_dawn()


def recorded_modes(lines):
    """Whether each sample of the daemon's output was taken in night: after
    "Night Mode Enabled", and before "Disabled" or a new daemon."""
    modes, night = [], False
    for line in lines:
        if line.startswith("Current value: "):
            modes.append(night)
        elif line in ("Night Mode Enabled", "Night Mode Disabled"):
            night = line.endswith("Enabled")
        elif "lumenflip ended with status" in line:
            night = False
    return modes


class Recording(camera.InitTest):
    def record(self, mode=None, during=None, **settings):
        """Runs the init script over the whole dusk and dawn and stops it;
        returns the mode script's calls. `during(mode)` runs while it does."""
        cam = self.camera
        mode = mode or cam.mode
        adc = FakeAdc(cam.root, lit_adc_script(CONVERSIONS, mode.log), name="lit-adc")
        self.addCleanup(adc.stop)
        self.started = datetime.datetime.now().replace(microsecond=0)
        options = "-v -D %s -a %d -d 0 %s" % (adc.path, READS, " ".join(FLAPPING))
        self.start(OPTIONS=options, MODE_COMMAND=mode.path, RESPAWN_DELAY="0", **settings)
        if during:
            during(mode)
        adc.wait_held()
        # Every switch has reached the log before its mode command ran.
        calls = mode.calls()
        cam.wait_for(lambda: self.log_switches() >= len(calls) - 1 - (1 if during else 0), "every switch in the log")
        self.assertEqual(cam.run("stop").status, 0)
        self.stopped = datetime.datetime.now()
        return calls

    def log_switches(self):
        return len([line for line in self.own_lines() if line.startswith("Night Mode ")])

    def own_lines(self):
        return self.camera.messages()

    def replay(self, text, name):
        path = os.path.join(self.camera.root, name)
        with open(path, "w") as f:
            f.write(text)
        status, report, problems = run_replay(FLAPPING + [path])
        self.assertEqual((status, problems), (0, ""), report)
        return report

    def check(self, report, calls, restarts=()):
        """The replay's switches are the daemon's, each switch a mode
        command, and the lift is found."""
        logged = [(sample, mode) for sample, mode, _ in light_switches("\n".join(self.own_lines()))]
        self.assertGreaterEqual(len(logged), 10, "the lift must make the daemon flap")
        predicted = [(sample, mode) for sample, _, mode, _ in switches(report)]
        self.assertEqual(predicted, sorted(logged + list(restarts)))
        # The day command before the daemon starts, then one per switch, a
        # new daemon's day command among them.
        self.assertEqual(calls, ["off"] + ["on" if mode == "night" else "off" for _, mode in predicted])
        feedback = re.fullmatch(r"night mode adds \+(\d+\.\d) to the light sensor \(from (\d+) switches\)",
                                field(report, "Feedback"))
        self.assertIsNotNone(feedback, report)
        self.assertLess(abs(float(feedback.group(1)) - LIFT), 0.15 * LIFT, report)
        # Measured at each change of mode between two samples.
        modes = recorded_modes(self.own_lines())
        self.assertEqual(int(feedback.group(2)), sum(a != b for a, b in zip(modes, modes[1:])))

    def check_times(self, report):
        """A system log's times are its stamps: within the recording."""
        span = re.search(r"samples, (\w+ \d+ [\d:]+) to (\w+ \d+ [\d:]+);", field(report, "Trace"))
        year = self.started.year
        first, last = (datetime.datetime.strptime("%d %s" % (year, t), "%Y %b %d %H:%M:%S") for t in span.groups())
        self.assertLessEqual(self.started, first, report)
        self.assertLessEqual(first, last)
        self.assertLessEqual(last, self.stopped)
        for _, time_text, _, _ in switches(report):
            self.assertTrue(first.strftime("%H:%M:%S") <= time_text <= last.strftime("%H:%M:%S"), report)


class SyslogdFile(Recording):
    def test_the_file_syslogd_writes(self):
        calls = self.record()
        text = self.camera.system_log()
        report = self.replay(text, "messages")
        self.assertRegex(field(report, "Trace"), r"\(system log, lumenflip -v output\): \d+ light-sensor samples, "
                                                 r".*; \d+ lines skipped; [1-9]\d* lines? of other programs skipped$")
        self.check(report, calls)
        self.check_times(report)

    def test_a_daemon_killed_in_night_is_started_again(self):
        # The fourth call is the second switch to night: the daemon waits
        # for it, and is killed; the supervisor runs the day command and
        # starts another, which reads on where the first one stopped.
        mode = ModeScript(self.camera.root, name="paused.sh", pause_at=4)

        def kill_daemon(mode):
            self.camera.wait_for(mode.paused, "the fourth mode command")
            [daemon] = self.camera.daemons()
            os.kill(daemon.pid, signal.SIGKILL)
            self.camera.wait_for(lambda: any("ended with status 137" in line for line in self.own_lines()),
                                 "the supervisor's line")
            mode.release()

        calls = self.record(mode=mode, during=kill_daemon)
        self.assertEqual(calls[:4], ["off", "on", "off", "on"])
        report = self.replay(self.camera.system_log(), "messages")
        # Day again where the new daemon's samples begin.
        lines = self.own_lines()
        restart = len([line for line in lines[:next(i for i, line in enumerate(lines) if "ended with status" in line)]
                       if line.startswith("Current value: ")]) + 1
        self.assertRegex(field(report, "Restarts"), r"^1, at sample %d \(" % restart)
        self.check(report, calls, restarts=[(restart, "day")])


class LogreadRingBuffer(Recording):
    camera_options = {"log_buffer_kb": 256, "small_log": True}

    def test_what_logread_prints(self):
        calls = self.record()
        self.assertFalse(os.path.exists(os.path.join(self.camera.root, "messages")))
        text = self.camera.system_log()
        # syslogd -S: no host, no facility.
        self.assertRegex(text.splitlines()[-1], r"^\w{3} [ \d]\d \d\d:\d\d:\d\d lumenflip: ")
        report = self.replay(text, "day.log")
        self.check(report, calls)
        self.check_times(report)


class InitScriptLogfile(Recording):
    def own_lines(self):
        try:
            with open(os.path.join(self.camera.root, "lumenflip.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def test_the_logfile_of_the_init_script(self):
        logfile = os.path.join(self.camera.root, "lumenflip.log")
        calls = self.record(LOGFILE=logfile)
        self.assertEqual(self.camera.messages(), [])
        with open(logfile) as f:
            text = f.read()
        self.assertIn("MODE on\n", text)
        report = self.replay(text, "lumenflip.log")
        self.assertRegex(field(report, "Trace"), r"\(lumenflip -v output\): \d+ light-sensor samples; \d+ lines "
                                                 r"skipped")
        self.check(report, calls)


if __name__ == "__main__":
    unittest.main()
