#!/usr/bin/env python3
"""Checks that each MIPS CPU generation starts the build for its own NaN
encoding and refuses the other at once. The older cores' FPU (qemu's 24Kf)
knows only the legacy encoding, the newer cores' (qemu's P5600) only the
2008 one. NEW and LEGACY are static builds of lumenflip, started with -h.

  nan_check.py user --emulator QEMU_USER --new NEW --legacy LEGACY
      under qemu-user: each build prints its usage text on its own CPU and
      is refused on the other.
  nan_check.py kernel --kernel-deb DEB --new NEW --legacy LEGACY [--log DIR]
      the emulated camera's kernel on the P5600, strict as it comes (no
      ieee754= on its command line), with each build as /init of an
      otherwise empty initramfs: NEW prints its usage text, LEGACY is
      refused with error -8 (ENOEXEC).

Exit status 0 when every check passes, 1 when one fails, 77 when the
emulator or the kernel is missing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from guest import SKIPPED, Console, boot, qemu_command
from mkimage import Cpio, one_member

USAGE = r"^Usage: lumenflip "
QEMU_USER_REFUSAL = "ELF binary's NaN mode not supported by CPU"
OWN_CPU = {"new": "P5600", "legacy": "24Kf"}


def check_user(console, emulator, builds):
    for build, path in builds.items():
        for cpu in ("P5600", "24Kf"):
            done = subprocess.run([emulator, "-cpu", cpu, path, "-h"], capture_output=True, text=True,
                                  timeout=60)
            said = (done.stdout + done.stderr).strip().splitlines()
            console.lines += ["%s on %s: %s" % (build, cpu, said[0] if said else "(nothing)")]
            if cpu == OWN_CPU[build]:
                console.check(done.returncode == 0 and done.stdout.startswith("Usage: lumenflip "),
                              "the %s build runs on the %s" % (build, cpu), "status %d" % done.returncode)
            else:
                console.check(done.returncode != 0 and QEMU_USER_REFUSAL in done.stderr and not done.stdout,
                              "the %s build is refused on the %s" % (build, cpu), "status %d" % done.returncode)


def initramfs(path, init):
    image = Cpio()
    # The kernel opens the console for init before anything mounts /dev.
    image.char_device("dev/console", 5, 1)
    with open(init, "rb") as f:
        image.file("init", f.read(), 0o755)
    with open(path, "wb") as f:
        f.write(image.finish())


def check_kernel(console, kernel_deb, builds, log_dir):
    with tempfile.TemporaryDirectory() as scratch:
        kernel = os.path.join(scratch, "vmlinux")
        with open(kernel, "wb") as f:
            f.write(one_member(kernel_deb, lambda n: n.startswith("boot/vmlinuz-"), "a kernel"))
        for build, init in builds.items():
            image = os.path.join(scratch, build + ".cpio")
            initramfs(image, init)
            lines, _, seconds = boot(qemu_command(kernel, image, cpu="P5600", init_args=["-h"]), 60)
            if log_dir:
                with open(os.path.join(log_dir, "nan-%s.log" % build), "w") as f:
                    f.write("\n".join(lines))
            c = Console(lines)
            command_line = c.find(r"Kernel command line: ")
            c.check(command_line is not None and "ieee754=" not in lines[command_line],
                    "%s: the kernel runs in its default strict mode" % build)
            refused = c.find(r"Failed to execute /init \(error -8\)")
            usage = c.find(USAGE)
            if build == "new":
                c.check(usage is not None and refused is None,
                        "the P5600's kernel runs the 2008-NaN build as init, which prints its usage text")
            else:
                c.check(refused is not None and usage is None,
                        "the P5600's kernel refuses the legacy build as init with error -8")
            console.passes += c.passes
            console.failures += c.failures
            shown = [lines[i].strip() for i in (command_line, usage, refused) if i is not None]
            shown += [line.strip() for line in lines if "Kernel panic" in line][:1]
            console.lines += ["%s (%.1f s):" % (build, seconds)] + ["  " + line for line in shown]
            if c.failures:
                console.lines += ["---- console ----"] + lines


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    user = sub.add_parser("user")
    user.add_argument("--emulator", required=True)
    kernel = sub.add_parser("kernel")
    kernel.add_argument("--kernel-deb", default="")
    kernel.add_argument("--log", metavar="DIR")
    for each in (user, kernel):
        each.add_argument("--new", required=True)
        each.add_argument("--legacy", required=True)
    args = parser.parse_args()

    tool = args.emulator if args.what == "user" else "qemu-system-mipsel"
    if not shutil.which(tool):
        print("nan.%s skipped: %s is not installed" % (args.what, tool))
        return SKIPPED
    builds = {"new": args.new, "legacy": args.legacy}
    console = Console([])
    if args.what == "user":
        check_user(console, args.emulator, builds)
    elif not os.path.isfile(args.kernel_deb):
        print("nan.kernel skipped: no kernel package (scripts/setup fetches it into /var/cache/lumenflip-camera)")
        return SKIPPED
    else:
        check_kernel(console, args.kernel_deb, builds, args.log)
    print("\n".join(console.lines))
    for passed in console.passes:
        print("ok: " + passed)
    for failed in console.failures:
        print("FAILED: " + failed)
    return 1 if console.failures or not console.passes else 0


if __name__ == "__main__":
    sys.exit(main())
