# MIPS32r2 little-endian, hard float, musl.
set(CROSS_MUSL mipsel-linux-musl)
set(CROSS_BINUTILS mipsel-linux-gnu)
set(CROSS_QEMU qemu-mipsel)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-musl.cmake)
