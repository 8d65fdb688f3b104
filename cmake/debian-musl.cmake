# Cross build against Debian's musl for CROSS_MUSL (musl-dev:<arch>), through
# its gcc wrapper, which swaps glibc's headers, start files and libraries for
# musl's and keeps only gcc's libgcc. The C++ sources compile as C++ through
# it; nothing of libstdc++ is linked, as the daemon uses none of it. Tests
# run under qemu-user (CROSS_QEMU): a static binary needs nothing more, and
# the shared variant finds musl's loader where Debian installs it.
# Included by the per-target toolchain files beside this one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_MUSL}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_MUSL}-gcc)
# musl brings no binutils of its own: the glibc cross toolchain's serve.
set(CMAKE_STRIP ${CROSS_BINUTILS}-strip CACHE FILEPATH "strip for the target")
set(CMAKE_READELF ${CROSS_BINUTILS}-readelf CACHE FILEPATH "readelf for the target")
set(CMAKE_FIND_ROOT_PATH /usr/lib/${CROSS_MUSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU})
