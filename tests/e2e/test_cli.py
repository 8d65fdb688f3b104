"""The command line: usage text, exits, and options reaching the running daemon."""

import os
import re
import unittest

from harness import BIN, DaemonTest, ModeScript, current_line, fixed, run_to_exit, window_line


def usage(mode_command="/system/sdcard/scripts/nightmode.sh", adc_device="/dev/jz_adc_aux_0",
          adc_reads=25, delay_sec=10, window_size=5, on_threshold=40.0, off_threshold=45.0):
    return (
        "Usage: lumenflip [options]\n\n"
        "Options:\n"
        "-v              Increase verbosity\n"
        "-c <str>        Sets the command to call to set night mode (default: %s)\n"
        "-y <str>        Sets the command to run for day mode (default: disabled, use %s for both day and night)\n"
        "-g <str>        Sets the command to run for night mode (default: disabled, use %s for both day and night)\n"
        "-S              uses software to determine day/night\n"
        "                    following options don't mean anything for software method\n"
        "                    use sw_night_configure.html for more software mode options\n"
        "-D <str>        Sets jz_adc_aux device (default: %s)\n"
        "-a <int>        Sets the number of ADC reads to average into a single sample (default: %d)\n"
        "-d <int>        Delay (in seconds) between averaged reads (default: %d)\n"
        "-n <int>        Number of averaged samples to window average for thresholding (default: %d)\n"
        "-O <float>      Turn on night mode when window average value drops below this threshold (default: %s)\n"
        "-F <floag>      Turn off night mode when window average value goes above this threshold (default: %s)\n"
        "-h              Print this usage statement and exit\n"
    ) % (mode_command, mode_command, mode_command, adc_device, adc_reads, delay_sec, window_size,
         fixed(on_threshold), fixed(off_threshold))


def getopt_diagnostic(line, letter):
    """getopt's own complaint names the program and the option letter; its
    wording belongs to the C library."""
    return (os.path.basename(BIN) in line and re.search(r"\b'?%s'?$" % letter, line)) is not None


class ExitingOptions(DaemonTest):
    def test_help_prints_current_values_and_exits_0(self):
        mode = ModeScript(self.dir)
        cases = [
            ("every value shown", ["-a", "7", "-c", mode.path, "-D", "/x/adc", "-d", "-4", "-n", "12",
                                   "-O", "1.255", "-F", "1e3", "-h"],
             usage(mode_command=mode.path, adc_device="/x/adc", adc_reads=7, delay_sec=-4, window_size=12,
                   on_threshold=1.255, off_threshold=1000.0)),
            # Neither the later -a nor the unknown -Z is looked at.
            ("help stops parsing", ["-h", "-a", "9", "-Z"], usage()),
            ("integers clamp and stop at junk", ["-a", " +12abc", "-d", "99999999999", "-n", "-99999999999",
                                                 "-O", "x", "-h"],
             usage(adc_reads=12, delay_sec=2147483647, window_size=-2147483648, on_threshold=0.0)),
            # Ties and near-ties, where C libraries print different last digits.
            ("thresholds as the C library prints them", ["-O", "40.125", "-F", "0.015", "-h"],
             usage(on_threshold=40.125, off_threshold=0.015)),
        ]
        for case, args, want in cases:
            with self.subTest(case):
                self.assertEqual(run_to_exit(args), (0, want, ""))
        self.assertEqual(mode.calls(), [])

    def test_bad_options_exit_1(self):
        mode = ModeScript(self.dir)
        for case, args, letter in [("unknown option", ["-c", mode.path, "-x", "-a", "3"], "x"),
                                   ("missing argument", ["-c", mode.path, "-v", "-a"], "a")]:
            with self.subTest(case):
                status, out, err = run_to_exit(args)
                self.assertEqual(status, 1)
                self.assertEqual(out, usage(mode_command=mode.path))
                lines = err.splitlines(keepends=True)
                self.assertEqual(len(lines), 2, err)
                self.assertTrue(getopt_diagnostic(lines[0].rstrip("\n"), letter), err)
                self.assertEqual(lines[1], "Unknown argument: '?'\n")
        self.assertEqual(mode.calls(), [])


class OptionsInTheRunningDaemon(DaemonTest):
    def test_options_among_other_arguments_take_effect(self):
        # -a 1 makes each conversion a sample, the last -n 2 a window of two,
        # and -O 10 the night threshold.
        mode = ModeScript(self.dir)
        adc = self.fake_adc(["30", "20", "10", "0"])
        daemon = self.start(["foo", "-n", "9", "-n", "2", "bar", "-a", "1", "-c", mode.path, "baz",
                             "-D", adc.path, "-O", "10", "-v", "-d", "0", "qux"])
        adc.wait_held()
        out, err = daemon.stop()
        self.assertEqual(err, "")
        self.assertEqual(out, current_line(30) + current_line(20) + window_line(2, 25)
                         + current_line(10) + window_line(2, 15)
                         + current_line(0) + window_line(2, 5)
                         + "Night Mode Enabled\nMODE on\n")
        self.assertEqual(mode.calls(), ["on"])

    def test_bad_triple_is_reported_and_the_method_still_starts(self):
        mode = ModeScript(self.dir)
        adc = self.fake_adc(["5*2", "50*2"])
        daemon = self.start(["-a", "2", "-2", "5,6", "-D", adc.path, "-d", "0", "-n", "1", "-v",
                             "-c", mode.path])
        adc.wait_held()
        out, err = daemon.stop()
        self.assertEqual(err, "invalid argument: 5,6\n")
        # The usage shows the settings parsed so far, then sampling begins.
        self.assertEqual(out, usage(adc_reads=2) + current_line(5) + window_line(1, 5)
                         + "Night Mode Enabled\nMODE on\n"
                         + current_line(50) + window_line(1, 50)
                         + "Night Mode Disabled\nMODE off\n")
        self.assertEqual(mode.calls(), ["on", "off"])

    def test_light_sensor_is_the_default_method(self):
        # The only options say where the device and the mode command are;
        # the defaults (25 reads, a window of 5) do the rest. Quiet: only
        # the mode command speaks.
        mode = ModeScript(self.dir)
        adc = self.fake_adc(["0*100", "0*24"])
        daemon = self.start(["-D", adc.path, "-d", "0", "-c", mode.path])
        adc.wait_held()
        out, err = daemon.stop()
        self.assertEqual((out, err), ("", ""))
        self.assertEqual(mode.calls(), [])
        adc = self.fake_adc(["0*125"], name="adc2")
        daemon = self.start(["-D", adc.path, "-d", "0", "-c", mode.path])
        adc.wait_held()
        out, err = daemon.stop()
        self.assertEqual((out, err), ("MODE on\n", ""))
        self.assertEqual(mode.calls(), ["on"])


if __name__ == "__main__":
    unittest.main()
