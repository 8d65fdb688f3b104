# Fails when the stripped daemon is larger than its budget, when it needs a
# shared library other than the C library and its loader, or, for a musl or
# uClibc-ng build, when its link map shows any object that is not that C
# library's, gcc's start files or libgcc, or our own: nothing of glibc,
# another C library or libstdc++ may slip in.
#   cmake -DBINARY=... -DSTRIP=... -DREADELF=... -DBUDGET=bytes
#         -DLINK=static|libc|dynamic|default [-DLIBC=musl|uclibc]
#         [-DSYSROOT=folder] -P footprint.cmake
# The link map is BINARY.map, written by the link. uClibc-ng's files are
# those of SYSROOT, the folder scripts/libc built it into.
set(stripped "${BINARY}.stripped")
execute_process(COMMAND "${STRIP}" -o "${stripped}" "${BINARY}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot strip ${BINARY}")
endif()
file(SIZE "${stripped}" size)
execute_process(COMMAND "${READELF}" -d -l "${stripped}" OUTPUT_VARIABLE dynamic)
string(REGEX MATCHALL "Shared library: \\[[^]]*\\]" needed "${dynamic}")
string(REGEX MATCH "interpreter: [^]]*" interpreter "${dynamic}")
message(STATUS "stripped size ${size} bytes (budget ${BUDGET}); needs: ${needed} ${interpreter}")

if(size GREATER BUDGET)
  message(FATAL_ERROR "the stripped daemon is ${size} bytes, over its budget of ${BUDGET}")
endif()
if(LINK STREQUAL "static")
  if(needed OR dynamic MATCHES "INTERP")
    message(FATAL_ERROR "the static daemon still needs a loader or libraries: ${needed} ${interpreter}")
  endif()
elseif(LIBC STREQUAL "musl")
  if(NOT needed STREQUAL "Shared library: [libc.so]" OR NOT interpreter MATCHES "^interpreter: /lib/ld-musl-[a-z0-9_]+\\.so\\.1$")
    message(FATAL_ERROR "the musl daemon must need only libc.so through /lib/ld-musl-ARCH.so.1, not: ${needed} ${interpreter}")
  endif()
else()
  foreach(library IN LISTS needed)
    if(NOT library MATCHES "\\[(libc\\.so|ld\\.so|ld-linux[-a-z0-9_]*\\.so)[.0-9]*\\]")
      message(FATAL_ERROR "the daemon needs ${library}; only the C library and its loader are allowed")
    endif()
  endforeach()
endif()

# Where the C library's files may come from, and the start routine that
# only it has (pulled from its libc.a by its crt1.o).
if(LIBC STREQUAL "musl")
  set(libc_files "^/usr/lib/[a-z0-9_]+-linux-musl[a-z]*/")
  set(libc_start "__libc_start_main\\.lo")
elseif(LIBC STREQUAL "uclibc")
  if(NOT IS_DIRECTORY "${SYSROOT}/lib")
    message(FATAL_ERROR "no uClibc-ng at SYSROOT=${SYSROOT}")
  endif()
  string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" libc_files "${SYSROOT}/lib/")
  set(libc_files "^${libc_files}")
  set(libc_start "__uClibc_main\\.os?")
endif()

if(libc_files)
  file(STRINGS "${BINARY}.map" loads REGEX "^LOAD ")
  if(NOT loads)
    message(FATAL_ERROR "no link map at ${BINARY}.map")
  endif()
  foreach(line IN LISTS loads)
    string(REGEX REPLACE "^LOAD " "" input "${line}")
    if(input MATCHES "${libc_files}"
       OR input MATCHES "^/usr/lib/gcc[-a-z]*/[^/]+/[0-9]+/(crtbegin[ST]?\\.o|crtend[S]?\\.o|libgcc\\.a|libgcc_eh\\.a)$"
       OR NOT input MATCHES "^/")
      continue()
    endif()
    message(FATAL_ERROR "the ${LIBC} daemon links ${input}, which is neither ${LIBC}'s, libgcc nor its own")
  endforeach()
  # Members pulled from an archive are named on the line after the archive.
  file(READ "${BINARY}.map" map)
  if(LINK STREQUAL "static" AND NOT map MATCHES "libc\\.a\\(${libc_start}\\)")
    message(FATAL_ERROR "the static ${LIBC} daemon does not start through ${LIBC}'s own start routine")
  endif()
  string(REGEX MATCHALL "[^\n]*libgcc[_a-z]*\\.a\\(([^)]+)\\)" members "${map}")
  string(REGEX MATCHALL "libgcc_eh\\.a\\([^)]+\\)" unwinder "${members}")
  if(unwinder)
    message(FATAL_ERROR "the daemon needs gcc's unwinder: ${unwinder}")
  endif()
  string(REGEX MATCHALL "libgcc\\.a\\([^)]+\\)" libgcc "${members}")
  list(REMOVE_DUPLICATES libgcc)
  message(STATUS "links ${LIBC} only; from libgcc: ${libgcc}")
endif()
