# The files an install must leave, and nothing else, as a firmware's
# packager expects them: under PREFIX the daemon, its manual page and the
# run script for a supervisor, and the init script where the system's init
# looks (/etc/init.d for the prefix /usr, PREFIX/etc/init.d otherwise).
# Included by check_install.cmake and check_firmware_build.cmake, with the
# step that runs each command they check.
#   lumenflip_check_installed(ROOT dir PREFIX dir SOURCE_DIR dir [TOOLS] [MACHINE e_machine])
# ROOT is the DESTDIR given to cmake --install; with TOOLS,
# lumenflip-replay and its page belong there too; with MACHINE, the daemon
# must be an ELF executable for that CPU (e_machine's two bytes in a
# little-endian file: 0800 for MIPS).
function(lumenflip_check_installed)
  cmake_parse_arguments(PARSE_ARGV 0 arg "TOOLS" "ROOT;PREFIX;SOURCE_DIR;MACHINE" "")
  if(arg_PREFIX STREQUAL "/usr")
    set(sysconf /etc)
  else()
    set(sysconf ${arg_PREFIX}/etc)
  endif()
  # Each installed file and the source it must be a copy of ("" for a build output).
  set(expected
    ${arg_PREFIX}/bin/lumenflip ""
    ${arg_PREFIX}/share/man/man1/lumenflip.1 docs/lumenflip.1
    ${sysconf}/init.d/S50lumenflip init/lumenflip.init
    ${arg_PREFIX}/share/lumenflip/run init/lumenflip.run)
  if(arg_TOOLS)
    list(APPEND expected
      ${arg_PREFIX}/bin/lumenflip-replay ""
      ${arg_PREFIX}/share/man/man1/lumenflip-replay.1 docs/lumenflip-replay.1)
  endif()

  file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${arg_ROOT}" "${arg_ROOT}/*")
  set(wanted)
  set(faults)
  while(expected)
    list(POP_FRONT expected file source)
    string(REGEX REPLACE "^/+" "" file "${file}")
    list(APPEND wanted ${file})
    if(NOT file IN_LIST installed)
      list(APPEND faults "${file} was not installed")
      continue()
    endif()
    if(source)
      file(SHA256 "${arg_ROOT}/${file}" got)
      file(SHA256 "${arg_SOURCE_DIR}/${source}" want)
      if(NOT got STREQUAL want)
        list(APPEND faults "${file} is not a copy of ${source}")
      endif()
    endif()
    if(NOT file MATCHES "/man/")
      execute_process(COMMAND test -x "${arg_ROOT}/${file}" RESULT_VARIABLE not_executable)
      if(not_executable)
        list(APPEND faults "${file} is not executable")
      endif()
    endif()
  endwhile()
  foreach(file IN LISTS installed)
    if(NOT file IN_LIST wanted)
      list(APPEND faults "${file} was installed, and does not belong there")
    endif()
    file(READ "${arg_ROOT}/${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46" AND NOT file MATCHES "(^|/)bin/lumenflip(-replay)?$")
      list(APPEND faults "${file} is a program or library, and does not belong there")
    endif()
  endforeach()

  string(REGEX REPLACE "^/+" "" daemon "${arg_PREFIX}/bin/lumenflip")
  if(arg_MACHINE AND EXISTS "${arg_ROOT}/${daemon}")
    # e_type (an executable, or a position-independent one) and e_machine,
    # little-endian.
    file(READ "${arg_ROOT}/${daemon}" header LIMIT 20 HEX)
    set(padded "${header}0000000000000000000000000000000000000000")
    string(SUBSTRING "${padded}" 0 8 magic)
    string(SUBSTRING "${padded}" 32 4 type)
    string(SUBSTRING "${padded}" 36 4 machine)
    if(NOT magic STREQUAL "7f454c46" OR NOT type MATCHES "^0[23]00$" OR NOT machine STREQUAL arg_MACHINE)
      list(APPEND faults "${daemon} is not an executable for e_machine ${arg_MACHINE}: ELF header ${header}")
    endif()
  endif()

  if(faults)
    list(JOIN faults "\n  " faults)
    list(JOIN installed "\n  " installed)
    message(FATAL_ERROR "In ${arg_ROOT}:\n  ${faults}\ninstalled:\n  ${installed}")
  endif()
  message(STATUS "${arg_ROOT}: ${installed}")
endfunction()

# Runs a command that must succeed; its output is left in `output`.
macro(lumenflip_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed:\n${output}")
  endif()
endmacro()
