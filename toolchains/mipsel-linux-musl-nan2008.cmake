# MIPS32r2 little-endian, hard float in the IEEE 754-2008 NaN encoding, musl:
# for the newer cameras, whose FPU knows no other. The C library, gcc's
# integer helpers and the compiler wrapper that carries the flags are built
# once from Debian's sources into a cache (scripts/libc; the recipe
# toolchains/libc/musl-nan2008.sh says which flags and why). Every link is static.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/libc musl-nan2008
  OUTPUT_VARIABLE CROSS_MUSL_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
if(failed OR NOT IS_DIRECTORY "${CROSS_MUSL_ROOT}")
  message(FATAL_ERROR "scripts/libc musl-nan2008 built no C library for this toolchain (its messages are above)")
endif()
set(CROSS_MUSL_GCC ${CROSS_MUSL_ROOT}/bin/gcc)
# The footprint entry lets nothing but this folder's objects and ours link.
set(LUMENFLIP_LIBC_ROOT ${CROSS_MUSL_ROOT})
set(CROSS_BINUTILS mipsel-linux-gnu)
# qemu's P5600 knows only the 2008 encoding: a legacy binary fails at once.
set(CROSS_QEMU qemu-mipsel -cpu P5600)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-musl.cmake)
