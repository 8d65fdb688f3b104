"""lumenflip-replay on the system log, its lines made as busybox's syslogd
writes them and logread prints them: the forms of the line, other programs,
times across midnight, the new year and a clock set back, output that
reached the log in blocks, and a daemon that the init script's supervisor
started again. The same recording as plain -v output is the reference."""

import datetime
import re
import unittest

from replay_support import busybox_log, field, switches
from test_replay_cli import ReplayTest

START = datetime.datetime(2025, 12, 8, 17, 0, 0)
STEP = datetime.timedelta(seconds=10)


def flapping_dusk(lift=20):
    """The -v output (-n 1 -O 40 -F 45) of a camera whose night mode adds
    `lift` to its sensor: a dusk that flaps, then night, as lines."""
    lines, night = [], False
    for k in range(40):
        ambient = max(10, 70 - 2 * k)
        value = ambient + (lift if night else 0)
        lines += ["Current value: %d.00" % value, "Window (1) Avg: %d.00" % value]
        if night != (value <= 40 if not night else value < 45):
            night = not night
            lines += ["Night Mode %s" % ("Enabled" if night else "Disabled"), "MODE %s" % ("on" if night else "off")]
    return lines


def stamped(lines, start=START, step=STEP, per_sample=True):
    """(time, line) for each line, the time advancing at each sample line."""
    entries, when = [], start
    for line in lines:
        if line.startswith("Current value:") and entries:
            when += step
        entries.append((when, line))
    return entries


class Forms(ReplayTest):
    def reference(self):
        lines = flapping_dusk()
        out, _ = self.replay(["-n", "1", self.trace("".join(l + "\n" for l in lines), "plain.log")])
        return lines, out

    def test_every_form_busybox_writes_reads_as_the_plain_output(self):
        lines, plain = self.reference()
        self.assertGreaterEqual(len(switches(plain)), 6)
        entries = stamped(lines)
        forms = {
            "syslogd": busybox_log(entries),
            "syslogd -S": busybox_log(entries, host=None, facility=None),
            "pid in the tag": busybox_log(entries, tag="lumenflip[1234]"),
            "precise stamps": busybox_log(entries, precise=True),
            "a two-digit day": busybox_log(entries).replace("Dec  8", "Dec 08"),
        }
        for form, text in forms.items():
            with self.subTest(form=form):
                out, err = self.replay(["-n", "1", self.trace(text, "messages")])
                self.assertEqual(err, "")
                self.assertEqual([s[::2] for s in switches(out)], [s[::2] for s in switches(plain)])
                self.assertEqual(field(out, "Feedback"), field(plain, "Feedback"))
                lift = re.fullmatch(r"night mode adds \+(\d+\.\d) to the light sensor \(from %d switches\)"
                                    % len(switches(plain)), field(out, "Feedback"))
                self.assertLess(abs(float(lift.group(1)) - 20), 3)
                self.assertRegex(field(out, "Trace"), r"messages \(system log, lumenflip -v output\): 40 light-"
                                 r"sensor samples, Dec 8 17:00:00 to Dec 8 17:06:30; \d+ lines skipped$")
                # Each switch at its sample's own time.
                for sample, time, _, _ in switches(out):
                    self.assertEqual(time, (START + (sample - 1) * STEP).strftime("%H:%M:%S"))

    def test_the_software_methods_output_and_its_start_again(self):
        # Night's IR LEDs bring the exposure down to about 650000 at each
        # switch; then a new daemon,
        # which starts by printing its settings and going to day.
        lines = ["(1300000, 10, 5000)", "Night Mode Enabled", "MODE on", "(650000, 10, 5000)", "(660000, 10, 5000)",
                 "Night Mode Disabled", "MODE off", "(1310000, 10, 5000)", "Night Mode Enabled", "MODE on",
                 "(640000, 10, 5000)"]
        again = ["S50lumenflip: lumenflip ended with status 137; starting it again in 3 s", "MODE off",
                 "Starting software method using ", "jitter_percent = 3", "sec_wait = 3", "Night Mode Disabled",
                 "MODE off", "(1300000, 10, 5000)", "jitter active"]
        entries = [(START + k * STEP, line) for k, line in enumerate(lines + again)]
        plain, _ = self.replay(["-S", self.trace("".join(l + "\n" for l in lines), "plain.log")])
        out, _ = self.replay(["-S", self.trace(busybox_log(entries[:len(lines)]), "messages")])
        self.assertIn("(system log, lumenflip -S -v -v output): 5 software-method samples", field(out, "Trace"))
        self.assertEqual(field(out, "Feedback"), field(plain, "Feedback"))
        self.assertRegex(field(out, "Feedback"), r"^the IR LEDs alone hold the exposure near 6[456]\d{4} \(from 3 switches\)$")
        # The new daemon's sample was taken in day: no fourth switch to
        # measure, and the replay starts again there (in night by then with
        # no settle period).
        out, _ = self.replay(["-S", "-w", "0", self.trace(busybox_log(entries), "messages")])
        self.assertRegex(field(out, "Feedback"), r"^the IR LEDs alone hold the exposure near 6[456]\d{4} \(from 4 switches\)$")
        self.assertEqual(field(out, "Restarts"), "1, at sample 6 (17:03:00): a new daemon began in day, with the day "
                                                 "command and a settle period, and so does the replay")
        self.assertEqual(switches(out)[-1][::2], (6, "day"))
        self.assertTrue(switches(out)[-1][3].startswith("a new daemon"))

    def test_other_programs_are_skipped_and_counted(self):
        lines, plain = self.reference()
        entries = stamped(lines)
        text = busybox_log(entries, tag="lumenflip[77]")
        others = busybox_log([(START, "syslogd started: BusyBox v1.35.0", None),
                              (START, "[   12.345678] usb 1-1: new high-speed USB device", "kernel"),
                              (START, "Current value: 1.00", "logger"),
                              (START, "Current value: 1.00", "lumenflipd"),
                              (START, "-- MARK --", None)], facility="syslog.info")
        out, _ = self.replay(["-n", "1", self.trace(others + text + others, "messages")])
        self.assertIn("; 10 lines of other programs skipped", field(out, "Trace"))
        self.assertIn(": 40 light-sensor samples", field(out, "Trace"))
        self.assertEqual([s[::2] for s in switches(out)], [s[::2] for s in switches(plain)])


class Times(ReplayTest):
    def times_of(self, text, args=("-n", "1")):
        out, err = self.replay(list(args) + [self.trace(text, "messages")])
        self.assertEqual(err, "")
        return out

    def test_across_midnight_and_the_new_year(self):
        # Light at 50 but for three dark samples from 23:59:50 on.
        values = [50] * 5 + [30] * 3 + [50] * 4
        lines = []
        for value in values:
            lines += ["Current value: %d.00" % value, "Window (1) Avg: %d.00" % value]
        start = datetime.datetime(2025, 12, 31, 23, 59, 0)
        out = self.times_of(busybox_log(stamped(lines, start=start)))
        self.assertIn("Dec 31 23:59:00 to Jan 1 00:00:50", field(out, "Trace"))
        self.assertEqual([(s, t, m) for s, t, m, _ in switches(out)],
                         [(6, "23:59:50", "night"), (9, "00:00:20", "day")])
        self.assertEqual(field(out, "night"), "3 samples, 30s (27.3%)")
        self.assertNotIn("Sensor:", out)

    def test_the_end_of_february_with_and_without_feb_29(self):
        # A sample every 6 hours across the end of February: a gap shows
        # wherever a day is counted that was not there.
        lines = ["Current value: 50.00", "Window (1) Avg: 50.00", "Current value: 52.00", "Window (1) Avg: 52.00"] * 6
        for year in (2025, 2024):
            with self.subTest(year=year):
                start = datetime.datetime(year, 2, 27, 12)
                out = self.times_of(busybox_log(stamped(lines, start=start, step=datetime.timedelta(hours=6))))
                self.assertEqual(field(out, "day"), "12 samples, 66h00m00s (100.0%)")
                self.assertNotIn("Sensor:", out)

    def test_a_clock_set_back_stands_still(self):
        lines = ["Current value: 50.00", "Window (1) Avg: 50.00"] * 6
        entries = stamped(lines)
        # The clock goes back an hour at the fourth sample's lines.
        entries = [(when - datetime.timedelta(hours=1) if k >= 6 else when, line) for k, (when, line) in
                   enumerate(entries)]
        out = self.times_of(busybox_log(entries))
        self.assertEqual(field(out, "Times"), "the clock went back 1 time (first at line 7): "
                                              "the times after stand still over each step")
        self.assertEqual(field(out, "day"), "6 samples, 40s (100.0%)")

    def test_samples_that_reached_the_log_in_blocks_are_spread_before_their_stamp(self):
        # A sample every 10 s, written in blocks of 6 (a minute) that each
        # bear the stamp of their last sample; light for 6, dark for 18.
        values = [50] * 6 + [30] * 18
        lines = []
        for value in values:
            lines += ["Current value: %d.00" % value, "Window (1) Avg: %d.00" % value]
        entries = [(START + datetime.timedelta(minutes=1 + k // 12), line) for k, line in enumerate(lines)]
        out = self.times_of(busybox_log(entries))
        self.assertEqual(field(out, "Times"), "20 samples reached the log in blocks, sharing the stamp of the last "
                                              "in each: put before it, 10s apart")
        self.assertEqual([(s, t) for s, t, _, _ in switches(out)], [(7, "17:01:10")])
        self.assertEqual(field(out, "day"), "6 samples, 1m00s (26.1%)")
        self.assertNotIn("Sensor:", out)
        # A pause between blocks (the camera off) stays a pause.
        entries = [(when + datetime.timedelta(hours=2) if k >= 24 else when, line) for k, (when, line) in
                   enumerate(entries)]
        out = self.times_of(busybox_log(entries))
        self.assertRegex(field(out, "Sensor"), r"^1 gap in the time column, the longest 2h00m10s after sample 12 \(17:02:00\)")


class Restarts(ReplayTest):
    # -n 3: dark, night at sample 3; a daemon ends at sample 5; the new one
    # fills its window again and goes to night at sample 8.
    BEFORE = ["Current value: 30.00", "Current value: 30.00", "Current value: 30.00", "Window (3) Avg: 30.00",
              "Night Mode Enabled", "MODE on", "Current value: 50.00", "Window (3) Avg: 36.67"]
    AFTER = ["Current value: 30.00", "Current value: 30.00", "Current value: 30.00", "Window (3) Avg: 30.00",
             "Night Mode Enabled", "MODE on"]

    def check(self, text, name):
        out, err = self.replay(["-n", "3", self.trace(text, name)])
        self.assertEqual(err, "")
        self.assertEqual([(s, m) for s, _, m, _ in switches(out)], [(3, "night"), (5, "day"), (7, "night")])
        self.assertEqual(switches(out)[1][3], "a new daemon, in day (the init script runs the day command first)")
        self.assertRegex(field(out, "Restarts"), r"^1, at sample 5\b")
        self.assertIn("7 light-sensor samples", field(out, "Trace"))
        return out

    def test_the_supervisor_starts_a_killed_daemon_again(self):
        # Killed inside a line; the supervisor's line runs on from it.
        cut = "Current value: 3S50lumenflip: lumenflip ended with status 137; starting it again in 3 s"
        lines = self.BEFORE + [cut, "MODE off"] + self.AFTER
        for form, text in (("LOGFILE", "".join(l + "\n" for l in lines)),
                           ("system log", busybox_log(stamped(lines)))):
            with self.subTest(form=form):
                out = self.check(text, "day.log")
                self.assertNotIn("cut short", field(out, "Trace"))

    def test_a_stopped_daemon_leaves_a_line_cut_short(self):
        # Stopped and started: the day command's output, then a new daemon
        # filling its window.
        lines = self.BEFORE + ["Current value: 4MODE off"] + self.AFTER
        out = self.check("".join(l + "\n" for l in lines), "day.log")
        self.assertIn("; 1 line cut short where a daemon ended (first at line 9)", field(out, "Trace"))
        # A new daemon's first sample run on from the cut line is kept.
        lines = self.BEFORE + ["Current value: 4Current value: 30.00"] + self.AFTER[1:]
        out = self.check("".join(l + "\n" for l in lines), "day.log")
        self.assertIn("; 1 line cut short", field(out, "Trace"))
        # No new daemon after it: an unreadable sample line is an error.
        lines = self.BEFORE + ["Current value: 4MODE off", "Current value: 30.00", "Window (3) Avg: 36.67"]
        _, err = self.replay(["-n", "3", self.trace("".join(l + "\n" for l in lines), "day.log")], status=2)
        self.assertRegex(err, r'day\.log:9: not a number after "Current value:": Current value: 4MODE off\n$')

    def test_a_recording_that_ends_while_the_window_fills_is_no_restart(self):
        lines = self.BEFORE + ["Current value: 30.00"]
        out, _ = self.replay(["-n", "3", self.trace("".join(l + "\n" for l in lines), "day.log")])
        self.assertNotIn("Restarts", out)


class Unreadable(ReplayTest):
    def test_what_a_system_log_without_samples_says(self):
        cases = {
            busybox_log([(START, "started", "dropbear")]): ": no lines tagged lumenflip among the 1 lines of this "
                                                           "system log",
            busybox_log([(START, "MODE off"), (START, "WARNING: x on")]): ": no samples among the 2 lines tagged "
                                                                          "lumenflip: run the daemon with -v",
        }
        for text, message in cases.items():
            with self.subTest(message=message):
                path = self.trace(text, "messages")
                _, err = self.replay([path], status=2)
                self.assertTrue(err.startswith(path + message), err)

    def test_a_last_line_cut_short(self):
        text = busybox_log(stamped(["Current value: 50.00", "Window (1) Avg: 50.00"] * 3)[:-1])
        out, _ = self.replay(["-n", "1", self.trace(text[:-8], "messages")])
        self.assertTrue(re.search(r"2 light-sensor samples, .*; the last line \(5\) is cut short", field(out, "Trace")),
                        out)


if __name__ == "__main__":
    unittest.main()
