"""The simulated camera itself: the ADC device and the ISP's file go away
with fake_adc and fake_isp, however they end; fake_isp writes each
generation's file as the real cameras do and serves it in lock step; and
the private /proc's command line runs a command with the ISP's file in
place and leaves the host's /proc alone."""

import contextlib
import io
import os
import re
import stat
import struct
import subprocess
import sys
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
    simcam.wait_for(lambda: not os.path.lexists(path), timeout, "%s to go" % path)


class FakeAdcEnds(DaemonTest):
    def test_the_device_goes_when_the_script_ends(self):
        script = os.path.join(self.dir, "script")
        with open(script, "w") as f:
            f.write("5\n6\n")
        path = os.path.join(self.dir, "adc")
        proc = subprocess.Popen(simcam.EMULATOR + [simcam.FAKE_ADC, path, script])
        self.addCleanup(proc.kill)
        simcam.wait_for(lambda: os.path.exists(path), 20, "the device")
        self.assertEqual([read_once(path), read_once(path)], ["4", "4"])
        # A reader after the end may even find the last node before it goes;
        # it must not wait there.
        self.assertIn(read_once(path), ("No such file or directory", "0"))
        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertFalse(os.path.exists(path))

    def test_a_held_device_goes_with_its_holder(self):
        devices = {"adc": lambda name: self.fake_adc(["7"], name=name),
                   "isp": lambda name: self.fake_isp(["1 2 3"], path=os.path.join(self.dir, name))}
        for tool, start in devices.items():
            for how in ("terminate", "kill"):
                with self.subTest(tool=tool, how=how):
                    device = start(tool + how)
                    self.assertEqual(read_once(device.path), "4")
                    held = subprocess.Popen([sys.executable, "-c", READ_ONCE, device.path],
                                            stdout=subprocess.PIPE, text=True)
                    device.wait_held()
                    getattr(device.proc, how)()
                    self.assertEqual(held.communicate(timeout=10)[0], "0\n")  # the end of the device
                    wait_gone(device.path)
                    self.assertEqual(read_once(device.path), "No such file or directory")


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


DUMPS = os.environ.get("LUMENFLIP_ISP_DUMPS", "")
GENERATIONS = ("t20", "t21", "t23", "t31", "t40", "t41")
# What each generation's file gives the daemon: the others it ignores.
PUBLISHED = {"t20": ("exposure", "iridix", "wb"), "t21": ("exposure",)}


def fake_isp(*args, stdin=None):
    """Runs sim/fake_isp to its end: (status, stdout as bytes, stderr)."""
    done = subprocess.run(simcam.EMULATOR + [simcam.FAKE_ISP] + list(args), input=stdin,
                          capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.decode()


def printed(generation, exposure, iridix, wb, isps=1):
    status, out, err = fake_isp("-g", generation, "--isps", str(isps), "--print", str(exposure), str(iridix), str(wb))
    if status != 0:
        raise AssertionError(err)
    return out.decode()


def layout(generation):
    """{statistic: the line of the file it stands on, from 1}"""
    status, out, err = fake_isp("-g", generation, "--layout")
    if status != 0:
        raise AssertionError(err)
    return {name: int(line) for line, name in (row.split() for row in out.decode().splitlines())}


def format_pattern(lines):
    """A driver's format strings as patterns of the lines they print, in
    order; the anti-flicker steps follow their heading on its line."""
    patterns = []
    for number, line in enumerate(lines):
        if line == "%d. ":
            continue
        pattern = ""
        for part in re.split(r"(%0?\d*[dusx])", line):
            width = re.fullmatch(r"%0?(\d*)x", part)
            pattern += (r"-?\d+" if re.fullmatch(r"%0?\d*[du]", part) else r".+" if part == "%s"
                        else r"[0-9a-f]{%s}" % (width.group(1) or "1,") if width else re.escape(part))
        if lines[number + 1:number + 2] == ["%d. "]:
            pattern += r"(\d+\. )+"
        patterns.append(re.compile(pattern))
    return patterns


class FakeIspFiles(DaemonTest):
    """What each generation's file holds."""

    @unittest.skipUnless(os.path.isdir(DUMPS), "no real cameras' ISP files at %r" % DUMPS)
    def test_the_real_dumps_and_the_drivers_formats(self):
        for generation, dump, values in (("t20", "t20-jxf23-day.isp_info", (718531, 69, 3600)),
                                         ("t31", "t31-gc2083-day.isp-m0", (752023, "-", 4686))):
            with self.subTest(generation), open(os.path.join(DUMPS, dump)) as f:
                self.assertEqual(printed(generation, *values), f.read())
        for generation in ("t21", "t23", "t40", "t41"):
            with self.subTest(generation), open(os.path.join(DUMPS, generation + ".format")) as f:
                patterns = format_pattern(f.read().splitlines())
                at = 0
                for line in printed(generation, 1100000, "-", 5200 if generation != "t21" else "-").splitlines():
                    while at < len(patterns) and not patterns[at].fullmatch(line):
                        at += 1
                    self.assertLess(at, len(patterns), "%r is none of the format's lines after the one before" % line)
                    at += 1

    def test_each_statistic_stands_where_the_layout_says_once(self):
        values = {"exposure": 1234567, "iridix": 7654, "wb": 2718}
        for generation in GENERATIONS:
            with self.subTest(generation):
                published = PUBLISHED.get(generation, ("exposure", "wb"))
                where = layout(generation)
                self.assertEqual(sorted(where), sorted(published))
                lines = printed(generation, *(values[n] if n in published else "-"
                                              for n in ("exposure", "iridix", "wb"))).splitlines()
                for name, line in where.items():
                    self.assertRegex(lines[line - 1], r"[^\d]%d$" % values[name])
                    self.assertEqual(sum(bool(re.search(r"\b%d\b" % values[name], text)) for text in lines), 1, name)

    def test_two_isps_and_long_lines_before_the_exposure(self):
        for generation in ("t40", "t41"):
            with self.subTest(generation):
                text = printed(generation, 990000, "-", 4100, isps=2)
                blocks = re.split(r"(?m)^(?=\*+ ISP\( \d \) INFO \*+$)", text)[1:]
                self.assertEqual([b.splitlines()[0] for b in blocks],
                                 ["****************** ISP( %d ) INFO **********************" % n for n in (0, 1)])
                first = blocks[0].splitlines()
                exposure = layout(generation)["exposure"] - 1
                self.assertEqual(first[exposure], "EVLog2 : 990000")
                self.assertIn("AWBColorTemperature: 4100", first)
                long_lines = [line.split(" :")[0] for line in first[:exposure] if len(line) > 100]
                self.assertEqual(long_lines, ["Antiflicker nodes: 24: step", "DefaultPath", "RunningPath"])
                # The second ISP shows a scene of its own.
                self.assertIn("EVLog2 : 1250000", blocks[1].splitlines())
                self.assertNotIn("EVLog2 : 990000", blocks[1])
                if generation == "t40":
                    self.assertIn("Dual mode : 1, Sensor Num : 2, Joint_mode : 0", first)
                self.assertEqual(printed(generation, 990000, "-", 4100), blocks[0].replace("Dual mode : 1, Sensor Num : 2",
                                                                                          "Dual mode : 0, Sensor Num : 1"))

    def test_a_regular_file_replaced_at_each_step(self):
        path = os.path.join(self.dir, "isp-m0")
        script = os.path.join(self.dir, "script")
        with open(script, "w") as f:
            f.write("generation t31\n900000 - 5000\ndirectory\nidle\ngone\n800000 - 4000  # the last\n")
        status, out, err = fake_isp("--every", "0", "--steps", path, script)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.decode().splitlines(),
                         ["step 1: exposure 900000, wb 5000", "step 2: a directory",
                          "step 3: the sensor is not running", "step 4: no file", "step 5: exposure 800000, wb 4000"])
        with open(path) as f:
            self.assertEqual(f.read(), printed("t31", 800000, "-", 4000))
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o444)
        self.assertEqual(sorted(os.listdir(self.dir)), ["isp-m0", "script"], "a temporary file is left")
        # One file, over whatever is there.
        self.assertEqual(fake_isp("-g", "t41", path, "700000", "-", "3000")[0], 0)
        with open(path) as f:
            self.assertEqual(f.read(), printed("t41", 700000, "-", 3000))

    def test_bad_input_is_told_with_status_2(self):
        file = os.path.join(self.dir, "isp")
        script_cases = [
            ("1 2", "line 1: a sample is: EXPOSURE IRIDIX WB[*K]: 1 2"),
            ("1 2 99999999999", "line 1: 99999999999 is not a 32-bit number"),
            ("1 2 3*0", "line 1: *K wants a count of steps from 1"),
            ("1 2 -", "line 1: T20 files publish the white balance: give a number, not -"),
            ("generation t31\n1 2 -", "line 2: T31 files publish the white balance: give a number, not -"),
            ("generation t99", "line 1: no such generation (t20, t21, t23, t31, t40, t41)"),
            ("generation t31 isps 2", "line 1: only T40 and T41 files have a block per ISP"),
            ("generation t40 isps 3", "line 1: isps is 1 or 2"),
            ("ramp 1 2 3 4 5 6 0", "line 1: a ramp is: ramp E I W E2 I2 W2 K"),
            ("gone*x", "line 1: *K wants a count of steps from 1"),
            ("idle now", "line 1: idle[*K] stands alone"),
            ("raw %s/none" % self.dir, "line 1: No such file or directory: raw"),
            ("max", "line 1: max wants a 32-bit EXPOSURE"),
            ("ir lots %s/mode.log" % self.dir, "line 1: ir wants E_IR"),
            ("# only this\n\nfrobnicate", "line 3: cannot read (fake_isp -h lists the script's lines): frobnicate"),
            ("# nothing", "holds no step"),
        ]
        for text, message in script_cases:
            with self.subTest(script=text):
                script = os.path.join(self.dir, "script")
                with open(script, "w") as f:
                    f.write(text + "\n")
                for mode in ([], ["--fifo"]):
                    status, out, err = fake_isp(*mode + [file, script])
                    self.assertEqual((status, out), (2, b""), err)
                    self.assertIn(message, err)
                    self.assertFalse(os.path.lexists(file), "a bad script put a file in place")
        argument_cases = [
            (["--isps", "3", file, "1", "2", "3"], "--isps is 1 or 2"),
            (["--isps", "2", file, "1", "2", "3"], "only T40 and T41 files have a block per ISP"),
            (["-g", "t50", file], "no such generation"),
            (["--hold", file], "--hold goes with --fifo"),
            (["--print", "1", "2"], "--print wants EXPOSURE IRIDIX WB"),
            (["--every", "soon", file], "--every wants SECONDS"),
            (["--fifo", "--print", "1", "2", "3"], "exclude each other"),
            ([file, "1", "x", "3"], "the command line: x is not a 32-bit number"),
            ([], "no FILE"),
            (["--frob"], "unknown option: --frob"),
        ]
        for args, message in argument_cases:
            with self.subTest(args=args):
                status, out, err = fake_isp(*args)
                self.assertEqual((status, out), (2, b""), err)
                self.assertIn(message, err)
                self.assertIn("usage: fake_isp", err)
        status, out, _ = fake_isp("-h")
        self.assertEqual(status, 0)
        for line in ("E I W[*K]", "ramp ", "gone[*K]", "idle[*K]", "raw PATH", "directory", "generation NAME",
                     "max E", "ir E_IR PATH", "--fifo", "--hold", "--every", "--print", "--layout", "--steps"):
            self.assertIn(line, out.decode())


class FakeIspLockStep(DaemonTest):
    """The file served through a FIFO, read here as the daemon reads it."""

    def read(self, path, kind=stat.S_ISFIFO):
        """Waits for the step's node, then reads the file once: its text,
        or why it could not be read."""
        simcam.wait_for(lambda: os.path.lexists(path) and kind(os.lstat(path).st_mode), 20, "the next step's node")
        try:
            with open(path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError as e:
            return e.strerror

    def held(self, isp):
        """Opens the file once more, which the tool holds."""
        fd = os.open(isp.path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            isp.wait_held()
        finally:
            os.close(fd)

    def test_one_whole_file_per_open(self):
        path = os.path.join(self.dir, "isp-m0")
        raw = os.path.join(self.dir, "raw")
        with open(raw, "wb") as f:
            f.write(b"ISP EV value log2: 12\x00\xff\n")
        isp = self.fake_isp(["generation t31", "800000 - 5000*2", "gone", "idle", "raw " + raw, "directory",
                             "ramp 1000 - 10 2000 - 30 3", "max 1500", "generation t40 isps 2", "idle",
                             "1800 - 4000"], path=path)
        got = [self.read(path), self.read(path), self.read(path, stat.S_ISLNK), self.read(path),
               self.read(path), self.read(path, stat.S_ISDIR)]
        got += [self.read(path) for _ in range(5)]
        self.held(isp)
        self.assertEqual(got, [printed("t31", 800000, "-", 5000)] * 2 + [
            "No such file or directory",
            "****************** ISP INFO **********************\nsensor doesn't work, please enable sensor\n",
            "ISP EV value log2: 12\x00\ufffd\n", "Is a directory",
            printed("t31", 1000, "-", 10), printed("t31", 1500, "-", 20), printed("t31", 2000, "-", 30),
            "".join("****************** ISP( %d ) INFO **********************\nThis ISP( %d ) Don't Wrok\n" % (n, n)
                    for n in (0, 1)),
            printed("t40", 1500, "-", 4000, isps=2)])

    def test_night_modes_ir_light_and_the_sensors_limit(self):
        path = os.path.join(self.dir, "isp-m0")
        mode_log = os.path.join(self.dir, "mode.log")
        ambient = [1400000, 900000, 1000000, 1400000, 2400000, 2147483647, 700000]
        night = [False, True, True, True, True, True, False]
        isp = self.fake_isp(["generation t31", "ir 900000 " + mode_log, "max 1176104"]
                            + ["%d - 5000" % e for e in ambient], path=path)
        exposures = []
        for lit in night:
            # The mode script records each call; the file shows its light
            # from the next open on.
            with open(mode_log, "a") as f:
                f.write("off\non\n" if lit else "on\noff\n")
            text = self.read(path)
            exposures.append(int(re.search(r"^ISP EV value log2: (\d+)$", text, re.M).group(1)))
        self.held(isp)
        expected = [min(1176104, round(simcam.with_ir(e, 900000)) if lit else e) for e, lit in zip(ambient, night)]
        self.assertEqual(exposures, expected)
        # Two equal lights are twice one, so one stop less; the dimmer the
        # ambient, the nearer the IR light's own, which it is in the dark.
        self.assertEqual(expected[:2] + expected[4:], [1176104, 900000 - 65536, 900000, 900000, 700000])
        self.assertTrue(expected[1] < expected[2] < expected[3] < 900000, expected)


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
        # to the folder that its fake_isp fills; its init script watches the
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

    def test_isp_steps_gives_the_daemon_each_step_once(self):
        samples = [(800000, 8, 5600), (800000, 8, 5600), (1300000, 10, 5000), (1290000, 10, 5000)]
        script = os.path.join(self.dir, "isp.script")
        with open(script, "w") as f:
            f.write("# plain samples\n\ngone\n" + "".join("%d %d %d\n" % s for s in samples))
        mode = simcam.ModeScript(self.dir)
        done = private_proc("--", sys.executable, "-m", "simcam", "isp-steps", script, "--",
                            *daemon_command(["-S", "-v", "-v", "-w", "1", "-c", mode.path]))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(simcam.TRIPLE.findall(done.stdout), ["(%d, %d, %d)" % s for s in samples])
        self.assertEqual(done.stdout.count("Unable to read isp_info"), 1)
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
              "sed -n 's/^ISP exposure log2 id: \\([0-9]*\\)$/(\\1, 0, 0)/p' %s; echo said; sleep 0.2; done")

    def isp_steps(self, samples, reader, timeout=60):
        script = os.path.join(self.dir, "isp.script")
        with open(script, "w") as f:
            f.write("".join(line + "\n" for line in samples))
        return subprocess.run([sys.executable, "-m", "simcam", "isp-steps", "--path", self.isp, script,
                               "--", "sh", "-c", reader], capture_output=True, text=True, timeout=timeout)

    def setUp(self):
        super().setUp()
        self.isp = os.path.join(self.dir, "isp_info")

    def test_each_step_is_read_once_and_the_reader_ended(self):
        pid_file = os.path.join(self.dir, "pid")
        done = self.isp_steps(["1 2 3", "# a comment", "ramp 4 5 6 7 8 9 2"],
                              "echo $$ >%s; %s" % (pid_file, self.READER % self.isp))
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        # The fourth read is held open: the reader never says it is done.
        self.assertEqual(done.stdout, "start\n(1, 0, 0)\nsaid\n(4, 0, 0)\nsaid\n(7, 0, 0)\nsaid\n")
        with open(pid_file) as f:
            pid = int(f.read())
        with self.assertRaises(ProcessLookupError):
            os.kill(pid, 0)
        self.assertFalse(os.path.lexists(self.isp))

    def test_failures_are_told(self):
        cases = [("reader stops", ["1 2 3", "4 5 6"], "echo '(1, 0, 0)'", 1, "sh stopped before the end"),
                 ("a bad line", ["1 2"], "true", 2, "line 1: a sample is: EXPOSURE IRIDIX WB[*K]: 1 2"),
                 ("no step", ["# nothing"], "true", 2, "holds no step")]
        for case, samples, reader, status, error in cases:
            with self.subTest(case):
                done = self.isp_steps(samples, reader)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(error, done.stderr)


if __name__ == "__main__":
    unittest.main()
