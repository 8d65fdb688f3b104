"""End-to-end tests of the image-statistics method (-S) on each ISP
generation's file: the real cameras' dumps (T20's isp_info, T31's isp-m0)
and sim/fake_isp's files of T21 and of a two-sensor T40, served in lock
step, one file per read, in two runs of the daemon.

The daemon reads the statistics at fixed paths under /proc: a private
/proc, which needs root (see simcam). The real dumps come from
LUMENFLIP_ISP_DUMPS (CTest points it at the folder beside the project).
Either missing, the module says why and exits with status 77 (skipped).
"""

import os
import sys
import unittest

import simcam

DUMPS = os.environ.get("LUMENFLIP_ISP_DUMPS", "")
T20_DAY = os.path.join(DUMPS, "t20-jxf23-day.isp_info")
T31_DAY = os.path.join(DUMPS, "t31-gc2083-day.isp-m0")
if not (os.path.isfile(T20_DAY) and os.path.isfile(T31_DAY)):
    sys.stderr.write("ISP generations end-to-end tests skipped: no real cameras' ISP files in %r "
                     "(LUMENFLIP_ISP_DUMPS)\n" % DUMPS)
    sys.exit(simcam.SKIPPED)

simcam.enter_private_proc("ISP generations end-to-end tests")

from harness import DaemonTest, ModeScript, start_dump  # noqa: E402
from simcam import ISP_FILE, ISP_M0  # noqa: E402

OPEN_FAILED = "ERROR: readIspInfo: open failed\n"
UNABLE = "Unable to read isp_info\n"
WITHOUT_IRIDIX = "no Iridix: day by exposure alone, white-balance rule off"


def source(labels, gives):
    return "ISP statistics: %s (%s labels): %s\n" % (ISP_M0, labels, gives)


def lines(*texts):
    return "".join(text + "\n" for text in texts)


class Generations(DaemonTest):

    def setUp(self):
        super().setUp()
        self.mode = ModeScript(self.dir)

    def run_daemon(self, script, path, args):
        isp = self.fake_isp(script, path=path)
        daemon = self.start(["-S", "-v", "-v", "-c", self.mode.path] + args)
        isp.wait_held()
        return daemon.stop()

    def test_later_generations_at_isp_m0(self):
        # Nothing at isp_info. isp-m0 appears late, then holds the
        # placeholder of a sensor not yet running; then a real T31's
        # statistics go to night by -1 and back to day by exposure alone
        # (Eq2), with a white balance that Eq3 would take at once if there
        # were an Iridix strength; then a T21 without white balance goes
        # to night, and a two-sensor T40 back to day by its first ISP (the
        # second one's exposure would keep it in night).
        script = (["gone*2", "generation t31", "idle*2"] + ["raw " + T31_DAY] * 3 + ["500000 - 2500*6",
                  "generation t21", "800000 - -*3", "generation t40 isps 2", "400000 - 4100*6"])
        out, err = self.run_daemon(script, ISP_M0, ["-w", "1", "-1", "700000", "-2", "600000,14,3",
                                                    "-3", "3000,10,0"])

        t31, t21, t40 = "(752023, -, 4686)\n", "(800000, -, -)\n", "(400000, -, 4100)\n"
        settle = "mode switch wait active\n"
        expected = (start_dump(eq1=700000, eq2=(600000, 14, 3), eq3=(3000, 10, 0), sec_wait=1)
                    + "Night Mode Disabled\nMODE off\n"
                    + source("T23/T31", "exposure, white balance; " + WITHOUT_IRIDIX)
                    + t31 + "jitter active\n" + t31 + settle
                    + t31 + lines("Switching to night new exp=752023", "Night Mode Enabled", "MODE on"))
        low = "(500000, -, 2500)\n"
        expected += (low + "jitter active\n" + low + settle
                     + (low + "Eq2 wait_count active exp=500000 iridix=-\n") * 3
                     + low + lines("Eq2 switching to day mode exp=500000 iridix=-", "Night Mode Disabled", "MODE off"))
        expected += (source("T21", "exposure; no white balance, " + WITHOUT_IRIDIX)
                     + t21 + "jitter active\n" + t21 + settle
                     + t21 + lines("Switching to night new exp=800000", "Night Mode Enabled", "MODE on"))
        expected += (source("T40/T41", "exposure, white balance; " + WITHOUT_IRIDIX)
                     + t40 + "jitter active\n" + t40 + settle
                     + (t40 + "Eq2 wait_count active exp=400000 iridix=-\n") * 3
                     + t40 + lines("Eq2 switching to day mode exp=400000 iridix=-", "Night Mode Disabled", "MODE off"))
        self.assertEqual(out, expected)
        self.assertNotIn("Eq3", out)
        # A failed read each pass until the statistics arrive: the missing
        # file says why, the placeholder only that it was not read.
        self.assertEqual(err, (OPEN_FAILED + UNABLE) * 2 + UNABLE * 2)
        self.assertEqual(self.mode.calls(), ["off", "on", "off", "on", "off"])

    def test_t20_isp_info_as_of_old(self):
        # The real T20 dump, then a warm and strongly corrected night that
        # Eq3 takes back to day: every statistic, and no source line.
        script = ["raw " + T20_DAY] * 3 + ["720000 20 2500*3"]
        out, err = self.run_daemon(script, ISP_FILE, ["-w", "1", "-1", "700000", "-3", "3000,17,1"])

        t20, warm = "(718531, 69, 3600)\n", "(720000, 20, 2500)\n"
        expected = (start_dump(eq1=700000, eq3=(3000, 17, 1), sec_wait=1) + "Night Mode Disabled\nMODE off\n"
                    + t20 + "jitter active\n" + t20 + "mode switch wait active\n"
                    + t20 + lines("Switching to night new exp=718531", "Night Mode Enabled", "MODE on")
                    + warm + "mode switch wait active\n" + warm + "Eq3 wait_count active wb=2500 iridix=20\n"
                    + warm + lines("Eq3 switching to day mode wb=2500 iridix=20", "Night Mode Disabled", "MODE off"))
        self.assertEqual(out, expected)
        self.assertEqual(err, "")
        self.assertEqual(self.mode.calls(), ["off", "on", "off"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
