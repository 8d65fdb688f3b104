# ARM hard float, musl.
set(CROSS_MUSL arm-linux-musleabihf)
set(CROSS_BINUTILS arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-musl.cmake)
