# The build machine's own CPU with musl: not a cross build, so the tests run
# natively, but with musl's headers, start files and C library.
set(CMAKE_C_COMPILER x86_64-linux-musl-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-musl-gcc)
