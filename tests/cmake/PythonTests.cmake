# Registers Python unittest modules that drive the built programs from
# outside. Test PREFIX.NAME runs `python3 -m unittest -v MODULE_PREFIXNAME`
# in DIRECTORY, with the daemon, the simulated ADC and ISP, the C library's name
# (LUMENFLIP_LIBC) and, in a cross build, the emulator in its environment,
# and on PYTHONPATH the simulated camera (sim/simcam.py), the daemon runner
# (tests/e2e/harness.py) and the camera's boot under busybox for the init
# script (tests/init/camera.py): the one place test modules find each
# other. Exit status 77 means the machine cannot run it (no root for a
# private /proc, a missing tool): CTest counts that as skipped.
#   lumenflip_python_tests(PREFIX p MODULE_PREFIX m DIRECTORY d NAMES n...
#                          [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
function(lumenflip_python_tests)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PREFIX;MODULE_PREFIX;DIRECTORY;TIMEOUT" "NAMES;ENVIRONMENT")
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  set(environment
    "LUMENFLIP=$<TARGET_FILE:lumenflip>"
    "FAKE_ADC=$<TARGET_FILE:fake_adc>"
    "FAKE_ISP=$<TARGET_FILE:fake_isp>"
    "LUMENFLIP_EMULATOR=${emulator}"
    "LUMENFLIP_LIBC=${LUMENFLIP_LIBC}"
    "PYTHONDONTWRITEBYTECODE=1"
    "PYTHONPATH=${PROJECT_SOURCE_DIR}/sim:${PROJECT_SOURCE_DIR}/tests/e2e:${PROJECT_SOURCE_DIR}/tests/init"
    ${arg_ENVIRONMENT})
  foreach(name IN LISTS arg_NAMES)
    add_test(NAME ${arg_PREFIX}.${name}
      COMMAND ${Python3_EXECUTABLE} -m unittest -v ${arg_MODULE_PREFIX}${name}
      WORKING_DIRECTORY ${arg_DIRECTORY})
    set_tests_properties(${arg_PREFIX}.${name} PROPERTIES
      ENVIRONMENT "${environment}"
      SKIP_RETURN_CODE 77
      TIMEOUT ${arg_TIMEOUT})
  endforeach()
endfunction()
