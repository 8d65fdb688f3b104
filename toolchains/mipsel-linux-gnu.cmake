# MIPS32r2 little-endian, hard float (the compiler's defaults).
set(CROSS_TRIPLE mipsel-linux-gnu)
set(CROSS_QEMU qemu-mipsel)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
