# Installs the build into a staging folder and checks that the daemon, its
# manual page and the example init script land where packagers expect them,
# and, in a build with the host tools, the replay tool and its page.
#   cmake -DBUILD_DIR=... -DSTAGE=... [-DTOOLS=ON] -P check_install.cmake
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGE}" --strip
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmake --install failed")
endif()
set(files bin/lumenflip share/man/man1/lumenflip.1 share/doc/lumenflip/examples/lumenflip.init)
if(TOOLS)
  list(APPEND files bin/lumenflip-replay share/man/man1/lumenflip-replay.1)
endif()
foreach(file IN LISTS files)
  if(NOT EXISTS "${STAGE}/${file}")
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
