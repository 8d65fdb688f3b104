# scripts/libc recipe: uClibc-ng, static, for MIPS32r2 little-endian, from
# the tarball of Debian's uclibc-source, configured by uclibc.config and
# compiled by Debian's glibc cross compiler. The kernel's headers are those
# of that compiler (linux-libc-dev-mipsel-cross), copied into the result so
# that it is a whole sysroot: include/ and lib/ with crt1.o, crti.o, crtn.o
# and libc.a (which holds libm and librt too).

uclibc_recipe_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE_VERSION=$(dpkg-query -W -f='${Version}' uclibc-source 2>/dev/null) || {
  echo "libc: Debian's uclibc-source is not installed (scripts/setup installs it)" >&2
  exit 1
}
COMPILER=mipsel-linux-gnu-gcc

build() {
  local out=$1 tarball headers line missing=()
  tarball=/usr/src/uClibc-ng-${SOURCE_VERSION%-*}.tar.xz
  # scripts/libc runs this where errexit does not hold: every step checks.
  tar -xJf "$tarball" && cd "uClibc-ng-${SOURCE_VERSION%-*}" || return 1

  # 1.0.35 puts the static loader's objects into libc.a only when it builds
  # libc.so as well; __uClibc_main needs _dl_pagesize from them.
  sed -i 's/^libc-a-\$(HAVE_SHARED) += \$(libdl-a-y)$/libc-a-y += $(libdl-a-y)/' libc/Makefile.in &&
    grep -qx 'libc-a-y += $(libdl-a-y)' libc/Makefile.in || {
    echo "libc/Makefile.in has no line to mend for the static loader's objects" >&2
    return 1
  }

  # The locale generator's .NOTPARALLEL, included by the top Makefile,
  # makes the whole build serial; this configuration has no locales.
  sed -i '/^\.NOTPARALLEL:$/d' extra/locale/Makefile.in || return 1

  headers=$PWD/kernel-headers
  mkdir "$headers" || return 1
  dpkg -L linux-libc-dev-mipsel-cross | sed -n 's|^/usr/mipsel-linux-gnu/include/\([^/]*\)$|\1|p' |
    while read -r line; do
      [ ! -d "/usr/mipsel-linux-gnu/include/$line" ] || cp -a "/usr/mipsel-linux-gnu/include/$line" "$headers/"
    done
  [ -f "$headers/linux/version.h" ] && [ -d "$headers/asm" ] || {
    echo "no MIPS kernel headers from linux-libc-dev-mipsel-cross" >&2
    return 1
  }

  { cat "$uclibc_recipe_dir/uclibc.config" && echo "KERNEL_HEADERS=\"$headers\""; } > .config &&
    make olddefconfig || return 1
  # A misspelt option, or one whose dependencies are off, would silently
  # fall back to its default.
  while read -r line; do
    grep -qxF "$line" .config || missing+=("$line")
  done < <(grep -E '^(# )?[A-Z][A-Z0-9_]*(=| is not set$)' "$uclibc_recipe_dir/uclibc.config")
  if [ ${#missing[@]} -gt 0 ]; then
    printf 'uclibc.config: not taken by uClibc-ng: %s\n' "${missing[@]}" >&2
    return 1
  fi

  # The C library's own headers win where the kernel has one of the same name.
  make -j"$(nproc)" && make install PREFIX="$out" && cp -an "$headers"/. "$out/include/"
}
