# MIPS32r2 little-endian, hard float, uClibc-ng: the C library is built once
# from Debian's uclibc-source by scripts/libc (cached), and Debian's glibc
# cross compiler is pointed at it by mipsel-linux-uclibc.specs, which swaps
# glibc's headers, start files and libraries for uClibc-ng's and keeps only
# gcc's own headers, crtbeginT/crtend and libgcc. The C++ sources compile as
# C++ through gcc, so nothing of libstdc++ is linked. The library is static
# only, and so is every link. Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

# try_compile's projects read this file too: they take the folder from the
# project instead of asking scripts/libc again.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/libc uclibc
    OUTPUT_VARIABLE LUMENFLIP_LIBC_ROOT OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "scripts/libc could not build uClibc-ng (see above; scripts/setup installs what it needs)")
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMENFLIP_LIBC_ROOT)
set(CMAKE_SYSROOT ${LUMENFLIP_LIBC_ROOT})

# Older cores' FPUs compute dependent fused multiply-adds wrongly: none may
# be emitted (Debian's gcc knows -mno-madd4).
set(compiler mipsel-linux-gnu-gcc -specs=${CMAKE_CURRENT_LIST_DIR}/mipsel-linux-uclibc.specs
  -ffp-contract=off -mno-madd4)
set(CMAKE_C_COMPILER ${compiler})
set(CMAKE_CXX_COMPILER ${compiler})
# CMake finds the binutils by a g++'s prefix, and the compiler is gcc.
foreach(tool ar ranlib nm objcopy objdump readelf strip)
  string(TOUPPER ${tool} variable)
  set(CMAKE_${variable} mipsel-linux-gnu-${tool} CACHE FILEPATH "${tool} for the target")
endforeach()
set(CMAKE_FIND_ROOT_PATH ${LUMENFLIP_LIBC_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
