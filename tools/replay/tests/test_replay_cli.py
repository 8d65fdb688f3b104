"""lumenflip-replay on hand-made traces: options, trace formats, the report
and the picture's markup."""

import math
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

from harness import run_to_exit
from replay_support import (DAY_TRACE, T31_LIMIT, field, given_row, paragraph, run_replay, saturating_evening,
                            sweep_rows, switches)
from simcam import with_ir

SVG = "{http://www.w3.org/2000/svg}"

# Software method, -w 1 -2 930000,14,1 -3 3000,17,1: the first read is
# jitter (nothing read before it), each exposure jump is jitter, one
# sample settles after each switch.
ISP_DAY = [(500000, 10, 5000)] * 2 + [(1300000, 10, 5000)] * 3 + [(900000, 10, 5000)] * 3 \
    + [(1300000, 20, 2500)] * 6
ISP_DAY_OPTIONS = ["-w", "1", "-2", "930000,14,1", "-3", "3000,17,1"]
ISP_DAY_SWITCHES = [(4, "night", "Eq1"), (8, "day", "Eq2"), (11, "night", "Eq1"), (14, "day", "Eq3")]


class ReplayTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="lumenflip-replay-")
        self.addCleanup(self.tmp.cleanup)

    def trace(self, text, name="trace.csv"):
        path = os.path.join(self.tmp.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def replay(self, args, status=0):
        code, out, err = run_replay(args)
        self.assertEqual(code, status, "stdout:\n%s\nstderr:\n%s" % (out, err))
        return out, err


class SharedOptions(ReplayTest):
    def test_decision_options_convert_as_the_daemon_converts_them(self):
        light = self.trace("50\n")
        for args in (["-n", " +3abc", "-O", "1e1x", "-F", " 0x10"],
                     ["-n", "+07", "-O", "-2.5", "-F", "junk"],
                     ["-O", "7", "-n", "4", "-O", "39.125"]):  # a later one wins
            with self.subTest(args=args):
                out, _ = self.replay(args + [light])
                status, usage, _ = run_to_exit(args + ["-h"])
                self.assertEqual(status, 0)
                n, on, off = field(out, "Options").split()[1::2]
                self.assertIn("(default: %s)\n-O" % n, usage)
                self.assertIn("(default: %.2f)\n-F" % float(on), usage)
                self.assertIn("(default: %.2f)\n-h" % float(off), usage)

    def test_software_options_convert_and_report_like_the_daemon(self):
        isp = self.trace("1,2,3\n")
        out, err = self.replay(["-j", " +12abc", "-w", "-99999999999", "-1", "0x10",
                                "-2", "5,6", "-3", "7, -8,9x", isp])
        self.assertEqual(field(out, "Options"), "-S -j 12 -w -2147483648 -1 0 -2 5,6,10 -3 7,-8,9")
        # The daemon's own complaint, and its usage, for the -2 that fell short.
        self.assertEqual(err, "invalid argument: 5,6\n")
        self.assertIn("Usage: lumenflip [options]\n", out)

    def test_the_daemons_command_line_can_be_pasted(self):
        # Options that do not decide are accepted and ignored; the word after
        # an option that takes one is its argument, even when it looks like
        # one of the tool's own options.
        out, _ = self.replay(["-v", "-D", "/dev/x", "-a", "5", "-d", "1", "-c", "--help", "-y", "--svg",
                              "-n", "1", self.trace("10\n")])
        self.assertEqual(switches(out), [(1, None, "night", "window mean 10.00 <= 40")])
        self.assertFalse(os.path.exists("--svg"))

    def test_help_and_bad_options(self):
        out, _ = self.replay(["-n", "9", "-h", "-Z"])
        self.assertIn("(default: 9)\n", out)
        self.assertIn("\nUsage: lumenflip-replay ", out)
        self.assertTrue(self.replay(["--help"])[0].startswith("Usage: lumenflip-replay "))
        light, isp = self.trace("1\n"), self.trace("1,2,3\n", "isp.csv")
        for args in (["--svg"], ["--bogus", "t"], [], ["a", "b"], ["--sweep=1", light],
                     ["--night-offset", "x", light], ["--night-exposure-factor", "0", isp],
                     ["--night-offset", "3", isp], ["--night-exposure-factor", "0.5", light]):
            with self.subTest(args=args):
                _, err = self.replay(args, status=1)
                self.assertIn("lumenflip-replay --help", err)
        _, err = self.replay(["-n", "0", self.trace("1\n")], status=1)
        self.assertIn("-n 0", err)

    def test_an_unknown_option_gets_the_replays_usage_not_the_daemons(self):
        for args in (["-Z", "t"], ["-n", "3", "-vq", "t"], ["t", "-n"]):
            with self.subTest(args=args):
                out, err = self.replay(args, status=1)
                self.assertEqual(out, "")
                self.assertIn("Usage: lumenflip-replay ", err)
                self.assertNotIn("Usage: lumenflip [options]", err)


class Traces(ReplayTest):
    def test_daemon_output_keeps_its_samples_and_counts_the_rest(self):
        log = ("Current value: 60.00\nsomething the mode script said\n"
               "Current value: 30.00\nWindow (2) Avg: 45.00\n\n"
               "Current value: 30.00\nWindow (2) Avg: 30.00\nNight Mode Enabled\n(1, 2, 3)\n")
        out, err = self.replay(["-n", "2", self.trace(log, "day.log")])
        self.assertEqual(err, "")
        self.assertIn("3 light-sensor samples; 5 lines skipped", field(out, "Trace"))
        self.assertEqual(switches(out), [(3, None, "night", "window mean 30.00 <= 40")])

    def test_software_output_is_recognised_by_its_triples(self):
        log = "".join("(%d, %d, %d)\njitter active\n" % s for s in ISP_DAY)
        out, _ = self.replay(ISP_DAY_OPTIONS + [self.trace("Starting software method using \n" + log)])
        self.assertIn("14 software-method samples; 15 lines skipped", field(out, "Trace"))
        self.assertEqual([(s, m, r.split(":")[0]) for s, _, m, r in switches(out)], ISP_DAY_SWITCHES)

    def test_malformed_lines_name_the_file_and_line(self):
        cases = {
            "time,sample\n0,50\n10,abc\n": ":3: column 2: 'abc' is not a number",
            "0,50\n10,40,1\n": ":2: 3 columns, but line 1 has 2",
            "0:00:10,50\n0:00:05,50\n": ":2: time '0:00:05' is before",
            "5,50\n1:00,50\n": ":2: time '1:00' is not written like",
            "1,2,3\n4,5,6e9\n": ":2: column 3: '6e9' is not an integer",
            "1,2,3\n4,5,9999999999\n": ":2: column 3: '9999999999' does not fit in 32 bits",
            "a,b,c,d,e\n1,2,3,4,5\n": ":2: expected 1 or 2 columns",
            "50\nnan\n": ":2: column 1: 'nan' is not a number",
            "Current value: 50.00\nCurrent value: 5x\n": ":2: not a number after \"Current value:\"",
            "(1, 2, 3)\n(1, 2, 99999999999)\n": ":2: a value does not fit in 32 bits",
            # Beyond any sensor: a lift between such samples would not be finite.
            "Current value: 1e308\nNight Mode Enabled\nCurrent value: -1e308\n": ":1: out of range after \"Current "
                                                                                "value:\" (samples lie within +-1e15)",
            "0,50\n10,-2e15\n": ":2: column 2: '-2e15' is out of range (samples lie within +-1e15)",
            "0,50\n1e16,50\n": ":2: column 1: '1e16' is out of range (times lie within +-1e15 s)",
        }
        for text, message in cases.items():
            with self.subTest(text=text):
                path = self.trace(text)
                picture = os.path.join(self.tmp.name, "never.svg")
                _, err = self.replay([path, "--svg", picture], status=2)
                self.assertTrue(err.startswith(path + message), err)
                self.assertEqual(err.count("\n"), 1)
                self.assertFalse(os.path.exists(picture))

    def test_nothing_to_replay(self):
        for text in ("", "\n\n", "time,sample\n", "# a comment\nNight Mode Enabled\n"):
            with self.subTest(text=text):
                path = self.trace(text)
                _, err = self.replay([path], status=2)
                self.assertTrue(err.startswith(path + ": no samples"), err)
        _, err = self.replay([os.path.join(self.tmp.name, "missing")], status=2)
        self.assertIn("missing", err)

    def test_the_method_must_match_the_trace(self):
        for text in ("50\n", "0,50\n", "Current value: 50.00\n"):
            with self.subTest(text=text):
                _, err = self.replay(["-S", self.trace(text)], status=2)
                self.assertIn("-S", err)

    def test_a_trace_shorter_than_the_window_decides_nothing(self):
        out, _ = self.replay(["-n", "4", self.trace("0\n0\n0\n")])
        self.assertIn("never filled", field(out, "Start"))
        self.assertIn("Switches: none", out)
        self.assertEqual(field(out, "day"), "3 samples (100.0%)")

    def test_a_cut_short_last_line_is_reported_and_not_taken_as_a_sample(self):
        for cut in ("Current value: 4", "Current va", "Night Mode Ena"):
            with self.subTest(cut=cut):
                out, err = self.replay(["-n", "1", self.trace("Current value: 50.00\nWindow (1) Avg: 50.00\n" + cut)])
                self.assertEqual(err, "")
                self.assertTrue(field(out, "Trace").endswith(
                    "1 light-sensor sample; 1 line skipped; the last line (3) is cut short, "
                    "as when the recording stopped inside it"), out)
                self.assertIn("Switches: none", out)

    def test_a_header_is_reported_as_a_header(self):
        out, _ = self.replay([self.trace("# made by hand\ntime,lux\n0,50\n10,50\n")])
        self.assertTrue(field(out, "Trace").endswith('2 light-sensor samples, 0 to 10; header "time,lux"; '
                                                     '1 line skipped'), out)

    def test_binary_junk_is_shown_escaped(self):
        cases = {b"0,50\n10,5\x00\xff\x1b[2J\n": ":2: column 2: '5\\x00\\xff\\x1b[2J' is not a number",
                 b"Current value: 50.00\nCurrent value: \x07\\9\n": ':2: not a number after "Current value:": '
                                                                       "Current value: \\x07\\\\9"}
        for text, message in cases.items():
            with self.subTest(text=text):
                path = os.path.join(self.tmp.name, "junk")
                with open(path, "wb") as f:
                    f.write(text)
                _, err = self.replay([path], status=2)
                self.assertEqual(err, path + message + "\n")

    def test_a_recording_gets_times_from_the_delay(self):
        log = "".join("Current value: %d.00\n" % v for v in (50, 50, 30, 30, 30))
        out, _ = self.replay(["-n", "2", "-d", "600", self.trace(log, "day.log")])
        self.assertEqual(field(out, "Trace").split("/")[-1], "day.log (lumenflip -v output, a sample every 10m00s (-d)): "
                                              "5 light-sensor samples, 0:00:00 to 0:40:00")
        self.assertEqual(switches(out), [(3, "0:20:00", "night", "window mean 40.00 <= 40")])
        self.assertEqual(field(out, "night"), "3 samples, 20m00s (50.0%)")
        # Without -d, or with a CSV's own times, nothing is made up.
        out, _ = self.replay(["-n", "2", self.trace(log, "day.log")])
        self.assertNotIn("0:00:00", out)
        out, _ = self.replay(["-d", "600", self.trace("5,50\n7,50\n")])
        self.assertIn("2 light-sensor samples, 5 to 7", field(out, "Trace"))


class SensorHealth(ReplayTest):
    def sensor(self, text, args=()):
        out, _ = self.replay(list(args) + [self.trace(text)])
        return re.findall(r"^Sensor: +(.*)$", out, re.M)

    def test_a_sensor_that_never_moves_or_sits_at_an_end_of_its_range(self):
        self.assertEqual(self.sensor("41\n41.5\n42\n" * 20),
                         ["never moves: every sample of 60 lies between 41 and 42, within 1 unit; "
                          "fix the sensor before tuning"])
        # Stuck means it never leaves the end: one odd sample in a hundred
        # still counts, two do not.
        self.assertEqual(self.sensor("0\n" * 120),
                         ["stuck: 120 of 120 samples (100.0%) read 0, its lowest value; fix the sensor before tuning"])
        self.assertEqual(self.sensor("1023\n" * 99 + "35\n"),
                         ["stuck: 99 of 100 samples (99.0%) read 1023, the top of its range; "
                          "fix the sensor before tuning"])
        self.assertEqual(self.sensor("65535\n" * 98 + "35\n" * 2), [])
        self.assertEqual(self.sensor("1,2,3\n1,5,6\n"),
                         ["never moves: every exposure of 2 lies between 1 and 1, within 1 unit; "
                          "fix the sensor before tuning"])
        # A night at 0 is no fault, nor is a light that moves by a unit and a half.
        self.assertEqual(self.sensor("0\n" * 5 + "35\n" * 6), [])
        self.assertEqual(self.sensor("41\n42.5\n" * 10), [])

    def test_a_long_dark_night_of_exact_zeros_is_a_healthy_sensor(self):
        # A winter day, a sample every 10 minutes: 10 hours of daylight and
        # 14 hours at exactly 0, most of the trace.
        day = [round(300 * math.sin(math.pi * (k + 1) / 61), 2) for k in range(60)]
        rows = ["%d,%s" % (600 * k, v) for k, v in enumerate([0] * 42 + day + [0] * 42)]
        self.assertEqual(self.sensor("time,light\n" + "\n".join(rows) + "\n"), [])

    def test_gaps_in_the_time_column(self):
        rows = ["12:00:%02d,%d" % (s, 50 + s) for s in range(0, 60, 10)] + ["12:05:00,50", "12:05:10,52", "13:00:00,70"]
        self.assertEqual(self.sensor("\n".join(rows) + "\n\n"),
                         ["2 gaps in the time column, the longest 54m50s after sample 8 (12:05:10); "
                          "samples are 10s apart otherwise"])
        self.assertEqual(self.sensor("0,50\n10,52\n25,60\n30,50\n"), [])


class Feedback(ReplayTest):
    def test_a_csv_gets_night_modes_light_by_hand(self):
        # Ambient light sinking to 30: with 12 more in night the window of 1
        # climbs to 42 >= -F 41 and falls back; night stays with -F 45.
        csv = self.trace("".join("%d\n" % v for v in (50, 45, 38, 30, 30, 30)))
        out, _ = self.replay(["-n", "1", "-O", "40", "-F", "41", csv])
        self.assertEqual(field(out, "Feedback"),
                         "not modelled: a CSV does not say when night mode was on (--night-offset sets it)")
        self.assertEqual(len(switches(out)), 1)
        out, _ = self.replay(["-n", "1", "-O", "40", "-F", "41", "--night-offset", "12", csv])
        self.assertEqual(field(out, "Feedback"), "night mode adds +12.0 to the light sensor (--night-offset)")
        self.assertEqual([(s, m, d) for s, _, m, d in switches(out)],
                         [(3, "night", "window mean 38.00 <= 40"), (4, "day", "window mean 42.00 >= 41"),
                          (5, "night", "window mean 30.00 <= 40"), (6, "day", "window mean 42.00 >= 41")])
        self.assertEqual(field(out, "Warning"),
                         "flapping: night mode lifts the sensor by 12.0, no less than the gap of 1 between -O 40 "
                         "and -F 41; widen the gap by more than 11.0 (for example -F 55)")
        out, _ = self.replay(["-n", "1", "-O", "40", "-F", "53", "--night-offset", "12", csv])
        self.assertNotIn("Warning", out)
        self.assertEqual(len(switches(out)), 1)

    def test_the_ir_leds_of_the_software_method(self):
        # A -S -v -v recording of a T31 (no Iridix) in the dark at its limit:
        # at each switch to night the IR LEDs bring the exposure down to about
        # what they alone hold, and back up at each switch to day.
        night = "(%d, -, 3825)\n" % round(with_ir(1600000, 800000))
        dark = "(%d, -, 3825)\n" % T31_LIMIT
        log = (dark * 3 + "Night Mode Enabled\n" + night * 3 + "Night Mode Disabled\n" + dark * 3 +
               "Night Mode Enabled\n" + night * 3)
        out, _ = self.replay(["-S", "-1", "1100000", self.trace(log, "isp.log")])
        feedback = re.fullmatch(r"the IR LEDs alone hold the exposure near (\d+) \(from 3 switches\)",
                                field(out, "Feedback"))
        self.assertIsNotNone(feedback, out)
        self.assertLess(abs(int(feedback.group(1)) - 800000), 8000)
        # They bring night below -2's exposure, whatever -1 is.
        warning = field(out, "Warning")
        self.assertIn("below -2's 930000, so Eq2 counts towards day at once", warning)
        self.assertIn("raising -1 cannot help: the IR LEDs alone hold the exposure near", warning)
        self.assertNotIn(", or -1 above", warning)
        out, _ = self.replay(["-S", "--night-exposure", "0", self.trace(log, "isp.log")])
        self.assertEqual(field(out, "Feedback"), "none (--night-exposure 0)")

    def test_the_flapping_advice_stays_within_the_recorded_exposure(self):
        # Given the IR LEDs: -2 clear of them, or -1 high enough, where the
        # exposure gets that high, and never a -1 it never reaches.
        path = self.trace("".join("%d,-,4000\n" % e for e in [500000, 900000, T31_LIMIT, T31_LIMIT]))
        ir = 800000

        def warning(eq1, eq2):
            out, _ = self.replay(["-S", "-1", str(eq1), "-2", "%d,14,10" % eq2, "--night-exposure", str(ir), path])
            return field(out, "Warning") if "\nWarning:" in out else None

        lowered = with_ir(900000, ir)
        self.assertIn("the IR LEDs bring the exposure down to about %d, below -2's 780000" % round(lowered),
                      warning(900000, 780000))
        above = -65536 * math.log2(2 ** (-780000 / 65536) - 2 ** (-ir / 65536))
        self.assertTrue(warning(900000, 780000).endswith(", or -1 above %d" % round(above)))
        self.assertIn("raising -1 cannot help: the exposure never gets above %d" % T31_LIMIT, warning(1100000, 799000))
        self.assertIsNone(warning(1100000, 700000))


class AbsentStatistics(ReplayTest):
    def test_a_t31_returns_to_day_by_exposure_alone(self):
        # The raw lines of an isp-m0 without Iridix, its source line among them.
        log = ("ISP statistics: /proc/jz/isp/isp-m0 (T23/T31 labels): exposure, white balance; no Iridix: day by "
               "exposure alone, white-balance rule off\n" + "(1300000, -, 2500)\n" * 3 + "(700000, -, 2500)\n" * 15)
        out, _ = self.replay(["-S", "-w", "1", self.trace(log, "t31.log")])
        self.assertIn("18 software-method samples; 1 line skipped", field(out, "Trace"))
        found = switches(out)
        # Jitter and the settle period after each switch, then 11 in a row.
        self.assertEqual([(s, m) for s, _, m, _ in found], [(3, "night"), (16, "day")])
        # Warm and corrected enough for Eq3 at every sample: it never counts.
        self.assertEqual(found[1][3], "Eq2: exposure 700000 < 930000 (no Iridix), 11 in a row > 10 (wb 2500)")
        self.assertEqual(found[0][3], "Eq1: exposure 1300000 > 1200000 (iridix -, wb 2500)")

    def test_a_t21_and_a_csv_without_white_balance_or_iridix(self):
        rows = [(1300000,)] * 3 + [(700000,)] * 15
        log = "".join("(%d, -, -)\n" % r for r in rows)
        csv = "exposure,iridix,wb\n" + "".join("%d,-,-\n" % r for r in rows)
        for text in (log, csv):
            with self.subTest(text=text[:20]):
                out, _ = self.replay(["-S", "-w", "1", self.trace(text, "t21")])
                self.assertEqual([d for _, _, _, d in switches(out)],
                                 ["Eq1: exposure 1300000 > 1200000 (iridix -, wb -)",
                                  "Eq2: exposure 700000 < 930000 (no Iridix), 11 in a row > 10 (wb -)"])
        # Only Iridix and white balance may be absent.
        _, err = self.replay(["-S", self.trace("exposure,iridix,wb\n-,1,2\n")], status=2)
        self.assertIn(":2: column 1: '-' is not an integer", err)


class Sweep(ReplayTest):
    def lit_day(self):
        """A day of light as a CSV, 20000 samples."""
        rng = random.Random(1)
        samples = ("%.2f\n" % max(0.0, 45 + 35 * math.cos(2 * math.pi * k / 20000) + rng.uniform(-3, 3))
                   for k in range(20000))
        return self.trace("".join(samples))

    def test_a_sweep_keeps_clear_of_night_modes_light(self):
        # The night lifted by 20 wherever the camera would be in night: the
        # given -O 40 -F 45 flaps all night.
        path = self.lit_day()
        out, _ = self.replay(["--sweep", "--night-offset", "20", path])
        self.assertGreater(given_row(out).switches, 100)
        options, count = re.fullmatch(r"(-n \d+ -O \S+ -F \S+) \((\d+) switches\)", field(out, "Suggested")).groups()
        self.assertEqual(count, "2")
        # The suggestion, replayed on its own, keeps clear of the lift.
        out, _ = self.replay(options.split() + ["--night-offset", "20", path])
        self.assertEqual([m for _, _, m, _ in switches(out)], ["night", "day"])
        self.assertNotIn("Warning", out)

    def test_rows_that_fail_with_the_lift_a_quarter_off_are_marked(self):
        path = self.lit_day()
        out, _ = self.replay(["--sweep", "--night-offset", "20", path])
        self.assertIn("Suggested: the first that keeps its switches with lift 25.0 and with lift 16.0, a quarter "
                      "stronger and weaker", paragraph(out, "Ranked"))
        rows = sweep_rows(out)
        suggested = next(i for i, row in enumerate(rows) if "suggested" in row.notes)
        # Every row that goes to night in the dark and back to day, ranked
        # above the suggestion, was passed over for what the lift, a slower
        # dusk or its narrow gap does to it.
        for row in rows[1:suggested]:
            if not any(note.startswith("no ") for note in row.notes):
                self.assertTrue([n for n in row.notes if n.startswith(("lift ", "4x slower dusk: ", "gap clears "))],
                                out)
        # Each mark says what that lift does, as a replay with it says, and
        # a row without one keeps its switches with both.
        for row in rows:
            if any(note.startswith(("no ", "gap clears ", "4x slower dusk: ")) for note in row.notes):
                continue
            with self.subTest(row=row):
                marks = [n for n in row.notes if n.startswith("lift ")]
                counts = {}
                for lift in ("25", "16"):
                    again, _ = self.replay(row.options.split() + ["--night-offset", lift, path])
                    counts[lift] = len(switches(again))
                if not marks:
                    self.assertEqual(set(counts.values()), {row.switches})
                else:
                    lift, count = re.fullmatch(r"lift (\d+)\.0: (\d+) switches", marks[0]).groups()
                    self.assertEqual(counts[lift], int(count))
                    self.assertNotEqual(counts[lift], row.switches)

    def test_a_sweep_without_night_modes_light_says_what_it_assumes(self):
        cases = {
            "a CSV": ([], "50\n45\n30\n30\n20\n50\n60\n", "a CSV does not say when night mode was on"),
            "a recording without switches": ([], "Current value: 50.00\nCurrent value: 30.00\n",
                                             "the recording holds no switch to measure it from"),
            "image statistics": (["-S"], "1300000,10,5000\n900000,10,5000\n", "a CSV does not say"),
        }
        for case, (args, text, why) in cases.items():
            with self.subTest(case=case):
                out, _ = self.replay(args + ["--sweep", self.trace(text)])
                assumed = paragraph(out, "Assumed")
                self.assertIn(why, assumed)
                self.assertIn("--night-exposure" if args else "--night-offset", assumed)
                self.assertRegex(assumed, "^night mode (adds nothing to the light sensor|leaves the exposure as it is)")
                self.assertIn("without night mode's own light", field(out, "Sweep"))
        # Given, even as none, it is no longer assumed.
        for offset in ("20", "0"):
            out, _ = self.replay(["--sweep", "--night-offset", offset, self.trace("50\n45\n30\n30\n")])
            self.assertNotIn("Assumed:", out)

    def test_the_largest_window_sweeps_without_overflow(self):
        # Twice and four times -n do not fit in an int: they are left out,
        # not wrapped round into other windows.
        path = self.trace("50\n45\n30\n30\n20\n20\n50\n60\n")
        out, _ = self.replay(["-n", "2147483647", "--sweep", path])
        rows = sweep_rows(out)
        self.assertTrue(rows and all(row.options.startswith("-n 2147483647 ") for row in rows), out)
        self.assertEqual(field(out, "Suggested"),
                         "none of these goes to night in the dark and back to day in the light")

    def saturating_csv(self, slower=1, name="evening.csv"):
        """An evening of a T31-class camera as a CSV: the exposure stops at
        the sensor's limit in the dark."""
        rows = ["%d,-,4000\n" % min(round(e), T31_LIMIT) for e in saturating_evening(slower)]
        return self.trace("".join(rows), name)

    def test_the_software_method_sweeps_below_the_sensors_limit(self):
        # The defaults never go to night: -1 lies above the most the
        # exposure ever shows. The sweep says so and suggests a -1 below it.
        path = self.saturating_csv()
        out, _ = self.replay(["-S", "--sweep", path])
        self.assertRegex(field(out, "Exposure"), r"^never above -1's 1200000: its highest is %d, held for \d+ samples "
                         r"in all, the longest \d+ samples from sample \d+, the sensor's limit; -1 lies above it"
                         % T31_LIMIT)
        self.assertEqual(given_row(out).switches, 0)
        self.assertIn("no night in the dark", given_row(out).notes)
        suggested = re.fullmatch(r"-S -j 3 -w \d+ -1 (\d+) -2 \S+ -3 \S+ \(2 switches\)", field(out, "Suggested"))
        self.assertIsNotNone(suggested, out)
        self.assertLess(int(suggested.group(1)), T31_LIMIT)
        self.assertIn("night mode leaves the exposure as it is", paragraph(out, "Assumed"))

    def test_the_software_methods_suggestion_clears_the_ir_leds_on_any_evening(self):
        # With the IR LEDs holding 800000 in the dark, a -2 above that flaps
        # all night; the sweep lowers it, and its suggestion switches once
        # each way on this evening and on one four times slower.
        path = self.saturating_csv()
        ir = ["--night-exposure", "800000"]
        out, _ = self.replay(["-S", "-1", "1100000", "--sweep"] + ir + [path])
        self.assertIn("flapping", field(out, "Warning"))
        self.assertGreater(given_row(out).switches, 4)
        options = re.fullmatch(r"(-S .*) \(2 switches\)", field(out, "Suggested")).group(1).split()
        eq2 = int(options[options.index("-2") + 1].split(",")[0])
        self.assertLess(eq2, with_ir(int(options[options.index("-1") + 1]), 800000))
        for evening in (path, self.saturating_csv(slower=4, name="slow.csv")):
            with self.subTest(evening=evening):
                out, _ = self.replay(options + ir + [evening])
                self.assertEqual([m for _, _, m, _ in switches(out)], ["night", "day"])
                self.assertNotIn("Warning", out)

    def test_an_iridix_above_eq2s_in_daylight_is_named_and_raised(self):
        # A T20 in full daylight shows an Iridix strength of 69: Eq2, which
        # needs it below 14, never returns the camera to day.
        evening = [min(e, 1500000) for e in saturating_evening()]
        rows = ["%d,%d,5000\n" % (e, 69 if e < 900000 else 30) for e in evening]
        path = self.trace("".join(rows), "t20.csv")
        out, _ = self.replay(["-S", "--sweep", path])
        warning = re.search(r"^Warning: +Eq2 cannot return the camera to day: .* the Iridix strength is 69, at or above "
                            r"-2's Iridix 14, and Eq2 needs it below; give -2's Iridix above 69", out, re.M)
        self.assertIsNotNone(warning, out)
        self.assertEqual(given_row(out).switches, 1)
        suggested = re.fullmatch(r"-S .* -2 \d+,(\d+),\d+ .* \(2 switches\)", field(out, "Suggested"))
        self.assertIsNotNone(suggested, out)
        self.assertGreater(int(suggested.group(1)), 69)


class Report(ReplayTest):
    def test_time_in_each_mode_and_the_shortest_periods(self):
        # A window of 1: night at 23:58:00, day at 23:59:00, night again at
        # 00:00:30 past midnight, day at 00:03:00.
        rows = [("23:57:00", 50), ("23:58:00", 30), ("23:58:30", 42), ("23:59:00", 45),
                ("00:00:30", 40), ("00:01:00", 20), ("00:03:00", 99), ("00:04:00", 99)]
        text = "time,light\n" + "".join("%s,%d\n" % r for r in rows)
        out, _ = self.replay(["-n", "1", self.trace(text)])
        self.assertEqual([(s, t, m) for s, t, m, _ in switches(out)],
                         [(2, "23:58:00", "night"), (4, "23:59:00", "day"),
                          (5, "00:00:30", "night"), (7, "00:03:00", "day")])
        self.assertEqual(field(out, "Summary"), "4 switches (2 to night, 2 to day)")
        self.assertEqual(field(out, "day"), "4 samples, 3m30s (50.0%)")
        self.assertEqual(field(out, "night"), "4 samples, 3m30s (50.0%)")
        self.assertEqual(field(out, "shortest day"), "1 sample, 1m30s, from sample 4 (23:59:00)")
        self.assertEqual(field(out, "shortest night"), "2 samples, 1m00s, from sample 2 (23:58:00)")

    def test_rules_of_the_software_method(self):
        csv = "".join("%d,%d,%d\n" % s for s in ISP_DAY)
        out, _ = self.replay(ISP_DAY_OPTIONS + [self.trace(csv)])
        self.assertEqual(field(out, "Start"), "day (the day command runs at start)")
        found = switches(out)
        self.assertEqual([(s, m, r.split(":")[0]) for s, _, m, r in found], ISP_DAY_SWITCHES)
        self.assertEqual(found[1][3], "Eq2: exposure 900000 < 930000 and iridix 10 < 14, 2 in a row > 1 (wb 5000)")
        self.assertEqual(found[3][3], "Eq3: wb 2500 < 3000 and iridix 20 > 17, 2 in a row > 1 (exposure 1300000)")
        # With a negative Eq2 count a night sample that misses Eq2 still
        # leaves its count above it: the switch is Eq3's all the same.
        out, _ = self.replay(["-w", "0", "-2", "930000,14,-1", "-3", "3000,17,0",
                              self.trace("1300000,20,2500\n" * 3)])
        self.assertEqual([(s, m, r.split(":")[0]) for s, _, m, r in switches(out)],
                         [(2, "night", "Eq1"), (3, "day", "Eq3")])

    def test_the_simulated_day(self):
        day = subprocess.run([sys.executable, DAY_TRACE], capture_output=True, check=True, timeout=60).stdout
        path = self.trace(day.decode(), "day.csv")
        # The defaults switch at dusk and dawn, and flap on a shower cloud
        # and a car's headlights; a longer window and a lower night threshold
        # keep only dusk and dawn.
        out, _ = self.replay([path])
        found = switches(out)
        self.assertEqual([m for _, _, m, _ in found], ["night", "day"] * 3)
        self.assertIn("8640 light-sensor samples, 12:00:00 to 11:59:50", field(out, "Trace"))
        self.assertRegex(field(out, "shortest day"), r"^\d samples, \d+s, ")
        out, _ = self.replay(["-n", "12", "-O", "30", path])
        found = switches(out)
        self.assertEqual([m for _, _, m, _ in found], ["night", "day"])
        self.assertTrue("19:30" < found[0][1] < "20:30" and "05:30" < found[1][1] < "06:30", found)

    def test_the_simulated_evening_of_the_software_method(self):
        evening = subprocess.run([sys.executable, DAY_TRACE, "--software", "--start", "19:00", "--hours", "2"],
                                 capture_output=True, check=True, timeout=60).stdout
        status, out, err = run_replay(["-"], stdin=evening)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("standard input (CSV with times): 7200 software-method samples", field(out, "Trace"))
        first = switches(out)[0]
        self.assertEqual((first[2], first[3][:4]), ("night", "Eq1:"))
        self.assertTrue("19:45" < first[1] < "20:30", first)


class Picture(ReplayTest):
    def picture(self, args, name):
        path = os.path.join(self.tmp.name, name)
        out, _ = self.replay(args + ["--svg", path])
        self.assertEqual(field(out, "Picture"), path)
        return ET.parse(path).getroot(), out

    def night_shades(self, root):
        return [r for r in root.iter(SVG + "rect") if r.get("fill") == "#25336b" and float(r.get("y")) >= 0]

    def test_light_sensor_picture(self):
        # A name that XML must escape, and values far apart.
        rows = "".join("%d,%s\n" % (10 * k, v) for k, v in enumerate([90, 10, 10, 90, 90, 4294967295, 10]))
        root, out = self.picture(["-n", "1", self.trace(rows, "a&b<c>.csv")], "light.svg")
        self.assertEqual(root.tag, SVG + "svg")
        self.assertEqual((root.get("width"), root.get("height")), ("1200", "530"))
        self.assertIn("a&b<c>.csv", root.find(SVG + "title").text)
        self.assertEqual(len(self.night_shades(root)), 2)  # two nights, the last one open
        text = " ".join(t.text or "" for t in root.iter(SVG + "text"))
        for label in ("night at \u2264 40 (-O)", "day at \u2265 45 (-F)", "window mean (1 sample)", "time (s)"):
            self.assertIn(label, text)
        self.assertEqual(len([p for p in root.iter(SVG + "path") if p.get("d", "").endswith("z")]),
                         len(switches(out)) + 2)  # the markers, and the legend's two

    def test_software_picture_has_a_panel_per_statistic(self):
        csv = "".join("%d,%d,%d,%d\n" % ((k,) + s) for k, s in enumerate(ISP_DAY))
        root, _ = self.picture(ISP_DAY_OPTIONS + [self.trace(csv)], "isp.svg")
        self.assertEqual((root.get("width"), root.get("height")), ("1200", "818"))
        self.assertEqual(len(self.night_shades(root)), 3 * 2)
        text = " ".join(t.text or "" for t in root.iter(SVG + "text"))
        for label in ("exposure", "Iridix strength", "white balance (K)", "Eq1: night above 1200000 (-1)",
                      "Eq2: below 14 (-2)", "Eq3: above 17 (-3)", "Eq3: day below 3000, 2+ in a row (-3)"):
            self.assertIn(label, text)

    def test_unwritable_picture(self):
        _, err = self.replay([self.trace("1\n"), "--svg", os.path.join(self.tmp.name, "no", "x.svg")], status=2)
        self.assertIn("cannot write", err)


if __name__ == "__main__":
    unittest.main()
