# Builds and installs lumenflip as a firmware build system does: its own
# toolchain file, tests off, then checks that only what belongs on the
# camera was installed: the daemon as the one ELF file, its manual page and
# the init script.
#   cmake -DSOURCE_DIR=... -DTOOLCHAIN=... -DWORK=... -P check_firmware_build.cmake
file(REMOVE_RECURSE "${WORK}")
set(build "${WORK}/build")
set(stage "${WORK}/stage")
foreach(step
    "${CMAKE_COMMAND};-S;${SOURCE_DIR};-B;${build};-G;Ninja;-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN};-DLUMENFLIP_BUILD_TESTS=OFF;-DCMAKE_BUILD_TYPE=MinSizeRel;-DLUMENFLIP_LINK=static"
    "${CMAKE_COMMAND};--build;${build}"
    "${CMAKE_COMMAND};--install;${build};--prefix;${stage};--strip")
  execute_process(COMMAND ${step} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${step} failed:\n${output}")
  endif()
endforeach()

foreach(file bin/lumenflip share/man/man1/lumenflip.1 share/doc/lumenflip/examples/lumenflip.init)
  if(NOT EXISTS "${stage}/${file}")
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
file(GLOB_RECURSE installed RELATIVE "${stage}" "${stage}/*")
foreach(file IN LISTS installed)
  file(READ "${stage}/${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46" AND NOT file STREQUAL "bin/lumenflip")
    message(FATAL_ERROR "a firmware build installed ${file}, which does not belong on the camera")
  endif()
endforeach()
file(READ "${stage}/bin/lumenflip" header LIMIT 20 HEX)
# e_machine 8 is MIPS: the daemon was built by the firmware's compiler.
if(NOT header MATCHES "^7f454c46.*0800$")
  message(FATAL_ERROR "bin/lumenflip is not a MIPS executable")
endif()
message(STATUS "installed: ${installed}")
