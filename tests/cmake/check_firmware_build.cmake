# lumenflip built by others, as its firmware's build systems build it:
#   cmake -DMODE=... -DSOURCE_DIR=... -DTOOLCHAIN=... -DWORK=... -P check_firmware_build.cmake
# MODE package: a firmware build system's cmake package: its own toolchain
#   file (TOOLCHAIN, knowing nothing of lumenflip), the options it passes to
#   every package, -DBUILD_TESTING=OFF, the prefix /usr, and static linking
#   as a package option; built, then installed into the target folder with
#   DESTDIR and checked: the MIPS daemon, its page, the init script and the
#   run script, nothing else; installing with --prefix instead is refused.
# MODE no_emulator: the same toolchain with the tests left on: the daemon
#   builds, configure says in one message why the tests are skipped and
#   how to get them, and neither tests nor test tools are built.
# MODE subproject: another project (with tests of its own) takes lumenflip
#   in with add_subdirectory() and builds the daemon: none of lumenflip's
#   tests or tools are configured.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/installed_files.cmake)
set(build "${WORK}/build")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# What ctest would run in a build tree.
function(count_tests dir)
  lumenflip_step(${CMAKE_CTEST_COMMAND} --test-dir "${dir}" --show-only)
  if(NOT output MATCHES "Total Tests: 0")
    message(FATAL_ERROR "tests were configured in ${dir}:\n${output}")
  endif()
endfunction()

if(MODE STREQUAL "package")
  lumenflip_step(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${build}" -G Ninja --no-warn-unused-cli
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=MinSizeRel
    -DCMAKE_COLOR_MAKEFILE=OFF -DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF
    -DBUILD_TEST=OFF -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=OFF
    -DLUMENFLIP_LINK=static)
  # Tests switched off need no word about them.
  if(output MATCHES "CMake (Warning|Error)|tests are skipped")
    message(FATAL_ERROR "configure was not clean:\n${output}")
  endif()
  lumenflip_step(${CMAKE_COMMAND} --build "${build}")
  lumenflip_step(${CMAKE_COMMAND} -E env "DESTDIR=${WORK}/target" ${CMAKE_COMMAND} --install "${build}")
  lumenflip_check_installed(ROOT "${WORK}/target" PREFIX /usr SOURCE_DIR "${SOURCE_DIR}" MACHINE 0800)

  # The init script goes to /etc, which no other prefix moves: an install
  # with another prefix is refused before anything is installed. Shown on a
  # configured tree whose /etc is a folder here, so that a fault writes
  # nothing into this machine's own.
  lumenflip_step(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK}/refused" -G Ninja --no-warn-unused-cli
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=${WORK}/etc
    -DBUILD_TESTING=OFF)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DESTDIR
      ${CMAKE_COMMAND} --install "${WORK}/refused" --prefix "${WORK}/elsewhere"
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  if(NOT failed OR NOT output MATCHES "init script to [^ ]*/etc/init.d, outside the prefix [^ ]*/elsewhere: install into a staging folder with DESTDIR")
    message(FATAL_ERROR "cmake --install --prefix of a build whose init script goes outside its prefix was not refused:\n${output}")
  endif()
  if(EXISTS "${WORK}/elsewhere" OR EXISTS "${WORK}/etc")
    message(FATAL_ERROR "the refused install still installed files")
  endif()

elseif(MODE STREQUAL "no_emulator")
  lumenflip_step(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${build}" -G Ninja -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
  string(REGEX MATCHALL "tests are skipped" said "${output}")
  list(LENGTH said count)
  string(REGEX MATCH "[^\n]*tests are skipped[^\n]*" notice "${output}")
  if(NOT count EQUAL 1 OR NOT notice MATCHES "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-mipsel .*-DBUILD_TESTING=OFF")
    message(FATAL_ERROR "configure did not say once why the tests are skipped and how to get them:\n${output}")
  endif()
  lumenflip_step(${CMAKE_COMMAND} --build "${build}")
  count_tests("${build}")
  foreach(file sim/fake_adc tests/unit_tests)
    if(EXISTS "${build}/${file}")
      message(FATAL_ERROR "a build without tests built ${file}")
    endif()
  endforeach()
  file(READ "${build}/lumenflip" header LIMIT 20 HEX)
  if(NOT header MATCHES "^7f454c46.*0800$")
    message(FATAL_ERROR "no MIPS daemon was built: ${header}")
  endif()

elseif(MODE STREQUAL "subproject")
  file(WRITE "${WORK}/CMakeLists.txt"
    "cmake_minimum_required(VERSION 3.20)\n"
    "project(firmware LANGUAGES CXX)\n"
    "include(CTest)\n"
    "add_subdirectory(\"${SOURCE_DIR}\" lumenflip)\n")
  lumenflip_step(${CMAKE_COMMAND} -S "${WORK}" -B "${build}" -G Ninja -DCMAKE_CXX_COMPILER=${CXX})
  if(output MATCHES "tests are skipped")
    message(FATAL_ERROR "a project that takes lumenflip in was told of lumenflip's tests:\n${output}")
  endif()
  lumenflip_step(${CMAKE_COMMAND} --build "${build}" --target lumenflip)
  count_tests("${build}")
  foreach(folder tests sim tools camera)
    if(EXISTS "${build}/lumenflip/${folder}")
      message(FATAL_ERROR "lumenflip's ${folder}/ was configured in another project's build")
    endif()
  endforeach()
  if(NOT EXISTS "${build}/lumenflip/lumenflip")
    message(FATAL_ERROR "the daemon was not built in another project's build")
  endif()

else()
  message(FATAL_ERROR "MODE must be package, no_emulator or subproject, not ${MODE}")
endif()
message(STATUS "${MODE}: as expected")
