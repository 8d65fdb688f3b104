# Fails when the stripped daemon is larger than its budget, when it needs a
# shared library other than the C library and its loader, or, for a musl or
# uClibc-ng build, when its link map shows any object that is not that C
# library's, gcc's start files or libgcc, or our own: nothing of glibc,
# another C library or libstdc++ may slip in. With LIBC_ROOT (a C library
# built here by scripts/libc) the C library's objects are that folder's;
# a 2008-NaN build may then link nothing else but its own, as gcc's start
# files and libgcc are legacy-NaN. With NAN (2008 or legacy), the ELF flags
# must say that MIPS NaN encoding; with OBJDUMP (the target's), the code
# must hold no floating-point fused multiply-add, which the older MIPS
# cores' FPU can get wrong.
#   cmake -DBINARY=... -DSTRIP=... -DREADELF=... -DBUDGET=bytes
#         -DLINK=static|libc|dynamic|default [-DLIBC=musl|uclibc [-DLIBC_ROOT=dir]]
#         [-DNAN=2008|legacy] [-DOBJDUMP=...] -P footprint.cmake
# The link map is BINARY.map, written by the link.
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
if(LIBC AND LIBC_ROOT)
  if(NOT IS_DIRECTORY "${LIBC_ROOT}/lib")
    message(FATAL_ERROR "no C library at LIBC_ROOT=${LIBC_ROOT}")
  endif()
  string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" libc_files "${LIBC_ROOT}/")
  set(libc_files "^${libc_files}")
elseif(LIBC STREQUAL "musl")
  set(libc_files "^/usr/lib/[a-z0-9_]+-linux-musl[a-z]*/")
elseif(LIBC)
  message(FATAL_ERROR "a ${LIBC} build names the folder of its C library: LIBC_ROOT")
endif()
if(LIBC STREQUAL "musl")
  set(libc_start "__libc_start_main\\.l?o")
elseif(LIBC STREQUAL "uclibc")
  set(libc_start "__uClibc_main\\.os?")
endif()
set(gcc_files "^/usr/lib/gcc[-a-z]*/[^/]+/[0-9]+/(crtbegin[ST]?\\.o|crtend[S]?\\.o|libgcc\\.a|libgcc_eh\\.a)$")

if(libc_files)
  file(STRINGS "${BINARY}.map" loads REGEX "^LOAD ")
  if(NOT loads)
    message(FATAL_ERROR "no link map at ${BINARY}.map")
  endif()
  foreach(line IN LISTS loads)
    string(REGEX REPLACE "^LOAD " "" input "${line}")
    if(NOT input MATCHES "^/" OR input MATCHES "${libc_files}"
       OR (NOT NAN STREQUAL "2008" AND input MATCHES "${gcc_files}"))
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

if(NAN)
  execute_process(COMMAND "${READELF}" -h "${BINARY}" OUTPUT_VARIABLE header)
  string(REGEX MATCH "Flags:[^\n]*" flags "${header}")
  if(NAN STREQUAL "2008" AND NOT flags MATCHES ", nan2008")
    message(FATAL_ERROR "the daemon is not flagged for the 2008 NaN encoding: ${flags}")
  elseif(NAN STREQUAL "legacy" AND flags MATCHES "nan2008")
    message(FATAL_ERROR "the daemon is flagged for the 2008 NaN encoding, not the legacy one: ${flags}")
  endif()
  message(STATUS "NaN encoding ${NAN}: ${flags}")
endif()

if(OBJDUMP)
  # Any format (.s, .d, .ps), anywhere in the code, the C library's too.
  # The integer madd and msub of MIPS32 have no suffix, and are fine.
  set(listing "${BINARY}.disassembly")
  execute_process(COMMAND "${OBJDUMP}" -d --no-show-raw-insn "${BINARY}" OUTPUT_FILE "${listing}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} cannot disassemble ${BINARY}")
  endif()
  file(STRINGS "${listing}" lines REGEX "^[0-9a-f]+ <.*>:$|\t(madd|msub|nmadd|nmsub)\\.(s|d|ps)\t")
  set(fused)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ <(.*)>:$")
      set(function "${CMAKE_MATCH_1}")
    else()
      string(REGEX REPLACE "[ \t]+" " " line "${line}")
      list(APPEND fused "${function}:${line}")
    endif()
  endforeach()
  list(LENGTH fused count)
  if(count)
    list(JOIN fused "\n  " fused)
    message(FATAL_ERROR "the code holds ${count} floating-point fused multiply-adds, which the older MIPS "
      "cores' FPU can get wrong (build with -ffp-contract=off -mno-madd4):\n  ${fused}")
  endif()
  message(STATUS "no floating-point fused multiply-add in the code")
endif()
