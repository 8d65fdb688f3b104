#!/usr/bin/env python3
"""Builds the emulated camera: its kernel and its root filesystem.

  mkimage.py --kernel-deb DEB --busybox-deb DEB --tree DIR
             [--file GUEST_PATH=HOST_PATH]... --kernel-out FILE --image-out FILE

The kernel comes out of Debian's package as the ELF file that qemu's
-kernel boots. The root filesystem is an initramfs, a newc cpio written
here rather than by cpio(1), so that its device nodes and root ownership
need neither root nor the cpio package: busybox from its package, the
guest files of DIR with their modes, and the single files named with
--file (executable when the host file is).
"""

import argparse
import io
import os
import stat
import subprocess
import sys
import tarfile


def members_of_deb(deb, wanted):
    """Yields (name, bytes) for the data members of a .deb whose path
    (without its leading "./") satisfies wanted()."""
    tar_stream = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    with tarfile.open(fileobj=tar_stream.stdout, mode="r|") as tar:
        for member in tar:
            name = member.name.removeprefix("./")
            if member.isfile() and wanted(name):
                yield name, tar.extractfile(member).read()
    if tar_stream.wait() != 0:
        sys.exit("mkimage: dpkg-deb cannot read %s" % deb)


def one_member(deb, wanted, what):
    found = list(members_of_deb(deb, wanted))
    if len(found) != 1:
        sys.exit("mkimage: %s holds %d files that look like %s" % (deb, len(found), what))
    return found[0][1]


class Cpio:
    """A newc archive, written in order: parents before their children."""

    def __init__(self):
        self.out = io.BytesIO()
        self.inode = 1
        self.seen = set()

    def _entry(self, path, mode, data=b"", rdev=(0, 0)):
        name = path.lstrip("/").encode() + b"\0"
        header = "070701" + "".join("%08X" % v for v in (
            self.inode, mode, 0, 0, 2 if stat.S_ISDIR(mode) else 1, 0,
            len(data), 0, 0, rdev[0], rdev[1], len(name), 0))
        self.inode += 1
        self.out.write(header.encode() + name)
        self._pad()
        self.out.write(data)
        self._pad()

    def _pad(self):
        self.out.write(b"\0" * (-self.out.tell() % 4))

    def directory(self, path):
        path = path.strip("/")
        if not path or path in self.seen:
            return
        self.directory(os.path.dirname(path))
        self.seen.add(path)
        self._entry(path, stat.S_IFDIR | 0o755)

    def _new(self, path):
        path = path.strip("/")
        if path in self.seen:
            sys.exit("mkimage: %s is given twice" % path)
        self.directory(os.path.dirname(path))
        self.seen.add(path)

    def file(self, path, data, mode):
        self._new(path)
        self._entry(path, stat.S_IFREG | mode, data)

    def symlink(self, path, target):
        self._new(path)
        self._entry(path, stat.S_IFLNK | 0o777, target.encode())

    def char_device(self, path, major, minor, mode=0o600):
        self._new(path)
        self._entry(path, stat.S_IFCHR | mode, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return self.out.getvalue()


def host_file(path):
    with open(path, "rb") as f:
        data = f.read()
    return data, 0o755 if os.stat(path).st_mode & 0o111 else 0o644


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel-deb", required=True)
    parser.add_argument("--busybox-deb", required=True)
    parser.add_argument("--tree", required=True)
    parser.add_argument("--file", action="append", default=[])
    parser.add_argument("--kernel-out", required=True)
    parser.add_argument("--image-out", required=True)
    args = parser.parse_args()

    kernel = one_member(args.kernel_deb, lambda n: n.startswith("boot/vmlinuz-"), "a kernel")
    busybox = one_member(args.busybox_deb, lambda n: n == "bin/busybox", "busybox")

    image = Cpio()
    for folder in ("proc", "sys", "dev", "tmp", "root", "var/run", "var/log", "sbin", "usr/bin", "usr/sbin"):
        image.directory(folder)
    # The kernel opens the console for init before anything mounts /dev.
    image.char_device("dev/console", 5, 1)
    image.char_device("dev/null", 1, 3, 0o666)
    image.file("bin/busybox", busybox, 0o755)
    # Enough to reach rcS, which installs the other applet links.
    image.symlink("bin/sh", "busybox")
    image.symlink("init", "bin/busybox")
    for top, folders, files in os.walk(args.tree):
        folders.sort()
        for name in sorted(files):
            source = os.path.join(top, name)
            image.file(os.path.relpath(source, args.tree), *host_file(source))
    for item in args.file:
        guest, _, host = item.partition("=")
        if not guest.startswith("/") or not host:
            sys.exit("mkimage: --file wants GUEST_PATH=HOST_PATH, not %s" % item)
        image.file(guest, *host_file(host))

    for path, data in ((args.kernel_out, kernel), (args.image_out, image.finish())):
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.replace(path + ".part", path)


if __name__ == "__main__":
    main()
