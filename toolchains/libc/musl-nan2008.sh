# musl for the MIPS cameras whose FPU knows only the IEEE 754-2008 NaN
# encoding, built from Debian's source package of the musl-dev in use, with
# gcc's integer helpers and a compiler wrapper beside it (scripts/libc).
#
# Debian ships musl and libgcc only in the legacy encoding, a kernel in its
# default ieee754=strict mode refuses to start a binary whose ELF NaN flag
# its FPU does not support, and GNU ld refuses to link objects of both
# encodings. So everything this library links is built for 2008 NaN:
#   include/, lib/        musl, static only (the cameras' binary is static)
#   lib/libgcc.a          gcc's 64-bit integer helpers (musl-nan2008.py says how)
#   bin/gcc               the compiler for it: Debian's mipsel-linux-gnu-gcc
#                         with the flags below, musl's headers, start files and
#                         library and those helpers; every link static
# Only what a static libc.a needs is built: no libc.so, no dynamic loader,
# no debug information (it changes no code), musl's own -Os with -O2 for
# its string, malloc and internal code.

SOURCE_VERSION=$(dpkg-query -W -f='${Version}' musl-dev:mipsel 2>/dev/null) || {
  echo "libc: musl-dev:mipsel is not installed (scripts/setup installs it): its version is the one built" >&2
  exit 1
}
COMPILER=mipsel-linux-gnu-gcc

# -mnan=2008 -mabs=2008: the newer cores' FPU encoding, and abs/neg as the
#   plain sign operations it implements.
# -march=mips32r2: the least ISA that has the 2008 encoding (for mips32, gcc
#   warns "the 'mips32' architecture does not support '-mnan=2008'"); the
#   newer cores run MIPS32r2 code, and it is the compiler's default besides.
# -mfpxx: the code runs in either FPU register mode, FR=0 or FR=1.
ABI_FLAGS="-march=mips32r2 -mfpxx -mnan=2008 -mabs=2008"
# The older cores' FPU can compute dependent fused multiply-adds wrongly:
# the library never holds one (the project's CMakeLists.txt does the same).
ERRATUM_FLAGS="-ffp-contract=off -mno-madd4"

build() {
  local out=$1 recipe_dir suite mirror apt
  recipe_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  command -v dpkg-source >/dev/null || { echo "dpkg-source is missing: scripts/setup installs dpkg-dev"; return 1; }

  # The source comes through apt with a private source list and private
  # lists and cache: the machine's apt configuration stays as it was.
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(sed -n 's/^URIs: *\([^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
  mkdir -p apt/lists/partial apt/cache/archives/partial apt/parts
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror:-http://deb.debian.org/debian} $suite main" \
    >apt/sources.list
  apt=(apt-get -q -o "Dir::Etc::SourceList=$PWD/apt/sources.list" -o "Dir::Etc::SourceParts=$PWD/apt/parts"
       -o "Dir::State::Lists=$PWD/apt/lists" -o "Dir::Cache=$PWD/apt/cache" -o APT::Sandbox::User=root)
  "${apt[@]}" update
  "${apt[@]}" source "musl=$SOURCE_VERSION"
  cd musl-*/

  # As Debian's musl-dev: with the fts functions it adds.
  mkdir -p src/fts
  cp debian/musl-fts/fts.c debian/musl-fts/config.h src/fts/
  cp debian/musl-fts/fts.h include/
  ./configure --target=mipsel-linux-gnu --prefix=/ --disable-shared \
    CC="$COMPILER $ABI_FLAGS" CROSS_COMPILE=mipsel-linux-gnu- CFLAGS="$ERRATUM_FLAGS"
  nice make -j"$(nproc)" install-headers install-libs DESTDIR="$out"

  mkdir "$out/helpers"
  python3 "$recipe_dir/musl-nan2008.py" make "$($COMPILER -print-libgcc-file-name)" "$out/helpers" "$COMPILER $ABI_FLAGS"
  mipsel-linux-gnu-ar rcs "$out/lib/libgcc.a" "$out"/helpers/*.o
  rm -r "$out/helpers"

  # The specs find the start files and libraries through -B, in lib/ only,
  # and keep gcc's own (legacy) start files and libraries out of the link.
  cat >"$out/lib/musl.specs" <<'EOF'
*startfile:
crt1.o%s crti.o%s

*endfile:
crtn.o%s

*libgcc:
libgcc.a%s

*link_libgcc:


*link:
-nostdlib -static

EOF
  mkdir "$out/bin"
  cat >"$out/bin/gcc" <<EOF
#!/bin/sh
# $COMPILER for the static musl of this folder, 2008 NaN (made by toolchains/libc/musl-nan2008.sh).
root=\$(cd "\$(dirname "\$0")/.." && pwd)
exec $COMPILER $ABI_FLAGS "\$@" -static -nostdinc -isystem "\$root/include" \\
  -isystem "$($COMPILER -print-file-name=include)" -B "\$root/lib/" -L "\$root/lib" -specs "\$root/lib/musl.specs"
EOF
  chmod +x "$out/bin/gcc"

  # A program links through the wrapper, and is flagged 2008 NaN.
  printf '#include <stdio.h>\nint main(int argc, char **argv) { (void)argv; return printf("%%lld\\n", ((long long)argc << 40) / 3) < 0; }\n' >probe.c
  "$out/bin/gcc" -Os probe.c -o probe
  mipsel-linux-gnu-readelf -h probe | grep -q 'Flags:.*nan2008' || { echo "the probe is not flagged nan2008"; return 1; }
}
