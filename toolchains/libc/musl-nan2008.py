#!/usr/bin/env python3
"""gcc's 64-bit integer helpers for a 2008-NaN link, taken from Debian's
legacy-NaN libgcc.a, and the proof that this is sound.

  musl-nan2008.py make LIBGCC OUT_DIR CC     writes the chosen members, re-flagged
  musl-nan2008.py check HELPERS LIBGCC CC    proves an archive made so

GNU ld refuses to link objects of both NaN encodings, and Debian ships
libgcc only in the legacy one. The encoding says how the FPU represents a
NaN: it means nothing to code that never touches the FPU nor a
floating-point value. The members taken are the integer helpers of
libgcc2.c (64-bit division, shifts, multiplication, comparison, bit
counts), compiled from C with no floating-point type in them; each must
hold no FPU instruction, call nothing outside itself, and have exactly the
ELF flags and MIPS ABI sections of an object that CC (the 2008-NaN
compiler) makes, but for the NaN flag. Only that flag is changed. Soft-float members are never
taken, FPU instruction or not: they build NaNs in integer registers, in
the encoding they were compiled for.
"""

import os
import struct
import subprocess
import sys
import tempfile

HELPERS = {"_" + name + ".o" for name in (
    "divdi3", "udivdi3", "moddi3", "umoddi3", "divmoddi4", "udivmoddi4",
    "ashldi3", "lshrdi3", "ashrdi3", "muldi3", "negdi2", "cmpdi2", "ucmpdi2",
    "clzsi2", "clzdi2", "ctzsi2", "ctzdi2", "ffssi2", "ffsdi2", "clrsbsi2", "clrsbdi2",
    "popcountsi2", "popcountdi2", "paritysi2", "paritydi2", "bswapsi2", "bswapdi2")}
EF_MIPS_NAN2008 = 0x400
E_FLAGS = 0x24  # in a 32-bit ELF header
SHF_EXECINSTR = 0x4
SHT_SYMTAB, SHT_NOBITS = 2, 8
ABI_SECTIONS = (".MIPS.abiflags", ".gnu.attributes")
# Every MIPS32r2 instruction that reads or writes the FPU, by major opcode:
# COP1 (arithmetic, moves, branches on FP conditions), COP1X (indexed
# loads and stores, the fused multiply-adds), the FP loads and stores, and
# MSA; and within SPECIAL, MOVCI (movf/movt, which read FP conditions).
FPU_OPCODES = {0x11: "COP1", 0x13: "COP1X", 0x1E: "MSA", 0x31: "LWC1", 0x35: "LDC1",
               0x39: "SWC1", 0x3D: "SDC1"}


def archive_members(path):
    """(name, bytes) of each member of a System V / GNU ar archive."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(b"!<arch>\n"):
        sys.exit("%s is not an archive" % path)
    at, long_names, members = 8, b"", []
    while at + 60 <= len(data):
        header = data[at:at + 60]
        name, size = header[:16].decode().rstrip(), int(header[48:58])
        body = data[at + 60:at + 60 + size]
        at += 60 + size + size % 2
        if name == "//":
            long_names = body
        elif name.startswith("/") and name[1:].isdigit():
            start = int(name[1:])
            members.append((long_names[start:long_names.index(b"/\n", start)].decode(), body))
        elif name not in ("/", "/SYM64/"):
            members.append((name.rstrip("/"), body))
    return members


def sections(elf):
    """{name: (type, flags, link, bytes)} of a little-endian 32-bit ELF file."""
    if elf[:6] != b"\x7fELF\x01\x01":
        raise ValueError("not a little-endian 32-bit ELF file")
    shoff, = struct.unpack_from("<I", elf, 0x20)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", elf, 0x2E)
    headers = [struct.unpack_from("<IIIIIII", elf, shoff + i * shentsize) for i in range(shnum)]
    names = headers[shstrndx]
    result = {}
    for name, kind, flags, _, offset, size, link in headers:
        start = names[4] + name
        label = elf[start:elf.index(b"\0", start)].decode()
        result[label] = (kind, flags, headers[link], elf[offset:offset + size] if kind != SHT_NOBITS else b"")
    return result


def undefined_symbols(elf):
    """What the object calls or reads outside itself (o32's _gp_disp is the linker's)."""
    found = []
    for kind, _, strings, table in sections(elf).values():
        if kind != SHT_SYMTAB:
            continue
        for at in range(16, len(table), 16):  # entry 0 is the null symbol
            name, _, _, _, _, shndx = struct.unpack_from("<IIIBBH", table, at)
            start = strings[4] + name
            label = elf[start:elf.index(b"\0", start)].decode()
            if shndx == 0 and label not in ("", "_gp_disp"):
                found.append(label)
    return found


def fpu_instructions(elf):
    """'section+offset: word (kind)' for each FPU instruction in the code."""
    found = []
    for name, (_, flags, _, body) in sections(elf).items():
        if not flags & SHF_EXECINSTR:
            continue
        for at in range(0, len(body) - 3, 4):
            word, = struct.unpack_from("<I", body, at)
            kind = FPU_OPCODES.get(word >> 26)
            if kind is None and word >> 26 == 0 and word & 0x3F == 0x01:
                kind = "MOVCI"
            if kind:
                found.append("%s+0x%x: %08x (%s)" % (name, at, word, kind))
    return found


def e_flags(elf):
    return struct.unpack_from("<I", elf, E_FLAGS)[0]


def reference(cc):
    """An object CC makes: the ELF flags and ABI sections every helper must match."""
    with tempfile.TemporaryDirectory() as scratch:
        source, obj = os.path.join(scratch, "r.c"), os.path.join(scratch, "r.o")
        with open(source, "w") as f:
            f.write("int reference(int x) { return x + 1; }\n")
        subprocess.run(cc.split() + ["-O2", "-c", source, "-o", obj], check=True)
        with open(obj, "rb") as f:
            elf = f.read()
    if not e_flags(elf) & EF_MIPS_NAN2008:
        sys.exit("%s does not compile for 2008 NaN" % cc)
    return elf


def faults(name, original, ref, made=None):
    """Why the original member cannot serve as a 2008-NaN helper (and, given
    the member made from it, why that is not exactly the original re-flagged)."""
    problems = []
    if name not in HELPERS:
        problems.append("not one of the integer helpers")
    try:
        fpu, outside = fpu_instructions(original), undefined_symbols(original)
        ours, theirs = sections(original), sections(ref)
    except ValueError as error:
        return problems + [str(error)]
    if fpu:
        problems.append("%d FPU instructions, first %s" % (len(fpu), fpu[0]))
    if outside:
        problems.append("calls or reads outside itself: %s" % ", ".join(outside))
    if e_flags(original) != e_flags(ref) & ~EF_MIPS_NAN2008:
        problems.append("ELF flags 0x%08x, not the reference's 0x%08x in the legacy encoding"
                        % (e_flags(original), e_flags(ref)))
    for section in ABI_SECTIONS:
        if ours.get(section, (None,) * 4)[3] != theirs.get(section, (None,) * 4)[3]:
            problems.append("%s differs from the reference's" % section)
    if made is not None and made != reflagged(original):
        problems.append("is not the original with only the NaN flag set")
    return problems


def reflagged(elf):
    return elf[:E_FLAGS] + struct.pack("<I", e_flags(elf) | EF_MIPS_NAN2008) + elf[E_FLAGS + 4:]


def make(libgcc, out_dir, cc):
    ref = reference(cc)
    members = dict(archive_members(libgcc))
    missing = sorted(HELPERS - set(members))
    if missing:
        sys.exit("%s lacks %s" % (libgcc, ", ".join(missing)))
    failed = False
    for name in sorted(HELPERS):
        problems = faults(name, members[name], ref)
        for problem in problems:
            print("%s: %s" % (name, problem), file=sys.stderr)
        failed = failed or bool(problems)
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(reflagged(members[name]))
    if failed:
        sys.exit(1)
    print("%d helpers from %s, no FPU instruction in any, only the NaN flag set" % (len(HELPERS), libgcc))


def check(helpers, libgcc, cc):
    ref = reference(cc)
    originals = dict(archive_members(libgcc))
    made = archive_members(helpers)
    problems = []
    for name, body in made:
        if name not in originals:
            problems.append("%s: not a member of %s" % (name, libgcc))
            continue
        if not e_flags(body) & EF_MIPS_NAN2008:
            problems.append("%s: legacy NaN" % name)
        problems += ["%s: %s" % (name, p) for p in faults(name, originals[name], ref, body)]
    for problem in problems:
        print(problem)
    print("%s: %d members, %d problems (against %s and %s)" % (helpers, len(made), len(problems), libgcc, cc))
    return 1 if problems or not made else 0


def main():
    args = sys.argv[1:]
    if len(args) == 4 and args[0] == "make":
        return make(*args[1:])
    if len(args) == 4 and args[0] == "check":
        return check(*args[1:])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
