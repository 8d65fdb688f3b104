"""The simulated camera itself: the ADC device goes away with fake_adc,
however that ends, and the private /proc's command line runs a command
with the ISP's file in place and leaves the host's /proc alone."""

import contextlib
import io
import os
import struct
import subprocess
import sys
import time
import unittest
from unittest import mock

import simcam
from harness import DaemonTest, daemon_command

# Opens the device and prints how many bytes one read gives, or the error.
READ_ONCE = """import sys
try:
    with open(sys.argv[1], "rb") as f:
        print(len(f.read(4)))
except OSError as e:
    print(e.strerror)
"""


def read_once(path, timeout=10):
    return subprocess.run([sys.executable, "-c", READ_ONCE, path], capture_output=True, text=True,
                          timeout=timeout, check=True).stdout.strip()


def wait_gone(path, timeout=10):
    deadline = time.monotonic() + timeout
    while os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.02)
    return not os.path.exists(path)


class FakeAdcEnds(DaemonTest):
    def test_the_device_goes_when_the_script_ends(self):
        script = os.path.join(self.dir, "script")
        with open(script, "w") as f:
            f.write("5\n6\n")
        path = os.path.join(self.dir, "adc")
        proc = subprocess.Popen(simcam.EMULATOR + [simcam.FAKE_ADC, path, script])
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 20
        while not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual([read_once(path), read_once(path)], ["4", "4"])
        # A reader after the end may even find the last node before it goes;
        # it must not wait there.
        self.assertIn(read_once(path), ("No such file or directory", "0"))
        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertFalse(os.path.exists(path))

    def test_a_held_device_goes_with_its_holder(self):
        for number, how in enumerate(("terminate", "kill")):
            with self.subTest(how):
                adc = self.fake_adc(["7"], name="adc%d" % number)
                self.assertEqual(read_once(adc.path), "4")
                held = subprocess.Popen([sys.executable, "-c", READ_ONCE, adc.path],
                                        stdout=subprocess.PIPE, text=True)
                adc.wait_held()
                getattr(adc.proc, how)()
                self.assertEqual(held.communicate(timeout=10)[0], "0\n")  # the end of the device
                self.assertTrue(wait_gone(adc.path), "%s is still there" % adc.path)
                self.assertEqual(read_once(adc.path), "No such file or directory")


class FakeAdcLevel(DaemonTest):
    def read(self, path):
        with open(path, "rb") as f:
            return struct.unpack("=I", f.read(4))[0]

    def test_each_conversion_reads_the_level_and_the_device_stays(self):
        level = os.path.join(self.dir, "level")
        with open(level, "w") as f:
            f.write("30\n")
        adc = self.fake_adc(["level " + level])
        changes = {
            3: "55\n",
            6: "4294967295\n",
            9: "",  # being written: the last level stays
            12: "4294967296\n",  # out of range: the same
            15: "7 and more\n",
            18: None,  # gone: the same
        }
        values = []
        for k in range(21):
            if k in changes:
                if changes[k] is None:
                    os.remove(level)
                else:
                    with open(level, "w") as f:
                        f.write(changes[k])
            self.assertTrue(os.path.exists(adc.path), "the device went away at conversion %d" % k)
            values.append(self.read(adc.path))
        self.assertEqual(values, [30] * 3 + [55] * 3 + [4294967295] * 9 + [7] * 6)


class FakeAdcRamp(DaemonTest):
    # The target's own byte order: the device node hands out native words.
    READ_WORDS = "import struct, sys\nfor _ in range(int(sys.argv[2])):\n" \
                 "    with open(sys.argv[1], 'rb') as f:\n        print(struct.unpack('=I', f.read(4))[0])\n"

    def test_a_ramp_goes_evenly_over_the_whole_32_bits(self):
        adc = self.fake_adc(["ramp 10 20 3", "ramp 4294967295 4294967293 2", "ramp 7 9 1"])
        done = subprocess.run([sys.executable, "-c", self.READ_WORDS, adc.path, "6"], capture_output=True,
                              text=True, timeout=60, check=True)
        self.assertEqual(done.stdout.split(), ["10", "15", "20", "4294967295", "4294967293", "7"])

    def test_a_ramp_past_32_bits_is_refused(self):
        for line in ("ramp 0 4294967296 2", "ramp 4294967296 0 2", "ramp 1 2 0"):
            with self.subTest(line):
                script = os.path.join(self.dir, "script")
                with open(script, "w") as f:
                    f.write(line + "\n")
                done = subprocess.run(simcam.EMULATOR + [simcam.FAKE_ADC, os.path.join(self.dir, "adc"), script],
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertIn("line 1: cannot read: " + line, done.stderr)


def private_proc(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "simcam", "private-proc"] + list(args),
                          capture_output=True, text=True, timeout=60, **kwargs)


@unittest.skipIf(simcam.private_proc_unavailable(), "the private /proc needs root")
class PrivateProcCommand(DaemonTest):
    def test_runs_the_command_inside_and_passes_its_status_on(self):
        isp = os.path.join(self.dir, "isp_info")
        simcam.write_isp(1300000, 10, 5000, path=isp)
        with open(isp) as f:
            content = f.read()
        done = private_proc("--isp-file", isp, "--", "sh", "-c",
                            "cat %s && test -r /proc/self/status && echo self && exit 3" % simcam.ISP_FILE)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (3, content + "self\n", ""))
        self.assertFalse(os.path.exists(simcam.HOST_PROC), "the private /proc leaked to the host")
        done = private_proc("--", "sh", "-c", "test -d %s && ! test -e %s" % (simcam.ISP_DIR, simcam.ISP_FILE))
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_refusals(self):
        cases = [("no command", [], 2, "usage"),
                 ("missing command", ["--", os.path.join(self.dir, "none")], 127, "No such file"),
                 ("missing statistics", ["--isp-file", os.path.join(self.dir, "none"), "--", "true"],
                  2, "no ISP statistics file")]
        for case, args, status, error in cases:
            with self.subTest(case):
                done = private_proc(*args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(error, done.stderr)
        self.assertEqual(private_proc("--check").returncode, 0)

    def test_the_script_under_the_camera_shells(self):
        # The emulated camera runs it with busybox ash and no Python, bound
        # to the folder its ISP writer fills; its init script watches the
        # daemon by the pid it started, which every exec must keep.
        isp_dir = os.path.join(self.dir, "isp")
        simcam.write_isp(1300000, 10, 5000, path=os.path.join(self.dir, "isp_info"))
        check = ("echo $$; cat %s; test -r /proc/self/status && echo self; "
                 "ls /proc | grep -x '[0-9]*' || echo no processes; touch %s/written"
                 % (simcam.ISP_FILE, simcam.ISP_DIR))
        for shell in (["dash"], ["busybox", "sh"]):
            with self.subTest(shell[0]):
                os.makedirs(isp_dir, exist_ok=True)
                os.replace(os.path.join(self.dir, "isp_info"), os.path.join(isp_dir, "isp_info"))
                with open(os.path.join(isp_dir, "isp_info")) as f:
                    content = f.read()
                proc = subprocess.Popen(["unshare", "-m", "--propagation", "private"] + shell
                                        + [simcam.PRIVATE_PROC, "--isp-dir", isp_dir, "sh", "-c", check],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                out, err = proc.communicate(timeout=60)
                self.assertEqual((proc.returncode, out, err),
                                 (0, "%d\n%sself\nno processes\n" % (proc.pid, content), ""))
                os.remove(os.path.join(isp_dir, "written"))  # it was the host's folder
                os.replace(os.path.join(isp_dir, "isp_info"), os.path.join(self.dir, "isp_info"))
                self.assertFalse(os.path.exists(simcam.HOST_PROC), "the private /proc leaked to the host")

    def test_isp_steps_gives_the_daemon_each_sample_once(self):
        samples = [(800000, 8, 5600), (800000, 8, 5600), (1300000, 10, 5000), (1290000, 10, 5000)]
        script = os.path.join(self.dir, "isp.script")
        with open(script, "w") as f:
            f.write("# plain samples\n\n" + "".join("%d %d %d\n" % s for s in samples))
        mode = simcam.ModeScript(self.dir)
        done = private_proc("--", sys.executable, "-m", "simcam", "isp-steps", script, "--",
                            *daemon_command(["-S", "-v", "-v", "-w", "1", "-c", mode.path]))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(simcam.TRIPLE.findall(done.stdout), ["(%d, %d, %d)" % s for s in samples])
        self.assertIn("Night Mode Enabled", done.stdout)
        self.assertEqual(mode.calls(), ["off", "on"])

    def test_without_root_it_says_why_and_runs_nothing(self):
        ran = os.path.join(self.dir, "ran")
        for args in (["--", "touch", ran], ["--check"]):
            with self.subTest(" ".join(args)):
                stderr = io.StringIO()
                # Both return before anything is mounted or run.
                with mock.patch("os.geteuid", return_value=1000), contextlib.redirect_stderr(stderr):
                    status = simcam.main(["private-proc"] + args)
                self.assertEqual(status, simcam.SKIPPED)
                self.assertIn("needs root", stderr.getvalue())
        self.assertFalse(os.path.exists(ran))


class IspSteps(DaemonTest):
    """python3 -m simcam isp-steps, which the demo runs, with a reader in
    place of the daemon: no root needed."""

    READER = ("echo start; while :; do "
              "sed -n 's/^ISP exposure log2 id: \\([0-9]*\\)$/(\\1, 0, 0)/p' %s; echo said; sleep 0.5; done")

    def isp_steps(self, samples, reader, timeout=60):
        script = os.path.join(self.dir, "isp.script")
        with open(script, "w") as f:
            f.write("".join(line + "\n" for line in samples))
        return subprocess.run([sys.executable, "-m", "simcam", "isp-steps", "--path", self.isp, script,
                               "--", "sh", "-c", reader], capture_output=True, text=True, timeout=timeout)

    def setUp(self):
        super().setUp()
        self.isp = os.path.join(self.dir, "isp_info")

    def test_each_sample_is_read_once_and_the_reader_ended(self):
        pid_file = os.path.join(self.dir, "pid")
        done = self.isp_steps(["1 2 3", "# a comment", "4 5 6", "7 8 9"],
                              "echo $$ >%s; %s" % (pid_file, self.READER % self.isp))
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, "start\n(1, 0, 0)\nsaid\n(4, 0, 0)\nsaid\n(7, 0, 0)\nsaid\n")
        with open(pid_file) as f:
            pid = int(f.read())
        with self.assertRaises(ProcessLookupError):
            os.kill(pid, 0)

    def test_failures_are_told(self):
        cases = [("reader stops", ["1 2 3", "4 5 6"], "echo '(1, 0, 0)'", 1, "sh stopped before the end"),
                 ("not a plain sample", ["ramp 1 2 3 4 5 6 7"], "true", 2, "not a sample"),
                 ("no sample", ["# nothing"], "true", 2, "holds no sample")]
        for case, samples, reader, status, error in cases:
            with self.subTest(case):
                done = self.isp_steps(samples, reader)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(error, done.stderr)


if __name__ == "__main__":
    unittest.main()
