# Installs the build as a packager does, into DESTDIR, and checks that the
# daemon, its manual page, the init script and the run script land where a
# firmware expects them (and, in a build with the host tools, the replay
# tool and its page), and nothing else. Then installs it again with
# another --prefix, which must take every file along.
#   cmake -DBUILD_DIR=... -DSTAGE=... -DPREFIX=<CMAKE_INSTALL_PREFIX> -DSOURCE_DIR=...
#         [-DTOOLS=ON] -P check_install.cmake
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/installed_files.cmake)
if(TOOLS)
  set(tools TOOLS)
endif()

file(REMOVE_RECURSE "${STAGE}")
lumenflip_step("${CMAKE_COMMAND}" -E env "DESTDIR=${STAGE}/destdir"
  "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --strip)
lumenflip_check_installed(ROOT "${STAGE}/destdir" PREFIX "${PREFIX}" SOURCE_DIR "${SOURCE_DIR}" ${tools})

# Another prefix at install time moves every file along, none stays at the
# configured prefix (under a DESTDIR still, so that a fault writes nothing
# into this machine's own /usr/local). An init script outside the prefix
# (/etc for /usr) cannot move: a firmware.* test shows that refused.
if(NOT PREFIX STREQUAL "/usr")
  lumenflip_step("${CMAKE_COMMAND}" -E env "DESTDIR=${STAGE}/moved"
    "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /elsewhere --strip)
  lumenflip_check_installed(ROOT "${STAGE}/moved" PREFIX /elsewhere SOURCE_DIR "${SOURCE_DIR}" ${tools})
endif()
