# ARM hard float.
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
