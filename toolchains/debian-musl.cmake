# Cross build against musl through a gcc wrapper, which swaps glibc's
# headers, start files and libraries for musl's: Debian's musl-dev:<arch>
# and its wrapper for CROSS_MUSL, or a musl built here (CROSS_MUSL_ROOT, its
# wrapper CROSS_MUSL_GCC). The C++ sources compile as C++ through it;
# nothing of libstdc++ is linked, as the daemon uses none of it. Tests run
# under qemu-user (CROSS_QEMU, a command): a static binary needs nothing
# more, and the shared variant finds musl's loader where Debian installs it.
# Included by the per-target toolchain files beside this one.
if(NOT CROSS_MUSL_GCC)
  set(CROSS_MUSL_GCC ${CROSS_MUSL}-gcc)
  set(CROSS_MUSL_ROOT /usr/lib/${CROSS_MUSL})
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_MUSL_GCC})
set(CMAKE_CXX_COMPILER ${CROSS_MUSL_GCC})
# musl brings no binutils of its own: the glibc cross toolchain's serve.
set(CMAKE_STRIP ${CROSS_BINUTILS}-strip CACHE FILEPATH "strip for the target")
set(CMAKE_READELF ${CROSS_BINUTILS}-readelf CACHE FILEPATH "readelf for the target")
# FORCE: trees configured before it was set here hold the host's objdump.
set(CMAKE_OBJDUMP ${CROSS_BINUTILS}-objdump CACHE FILEPATH "objdump for the target" FORCE)
set(CMAKE_FIND_ROOT_PATH ${CROSS_MUSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CROSS_QEMU})
