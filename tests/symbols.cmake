# With LIB: compares the defined dynamic symbols of LIB with the names of
# EXPECTED, the package's symbols file (debian/libtarvik1.symbols), which
# dpkg-gensymbols holds the package build to as well. With PROGRAMS: fails if
# any of the programs defines one of those names, tsave or tcur, that is,
# carries a copy of the library's own.
cmake_minimum_required(VERSION 3.21) # IN_LIST

function(defined_names out)
  execute_process(COMMAND ${NM} ${ARGN} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm ${ARGN} failed")
  endif()
  string(REGEX REPLACE "\n$" "" table "${table}")
  string(REPLACE "\n" ";" rows "${table}")
  list(TRANSFORM rows REPLACE "^.* " "")
  set(${out} ${rows} PARENT_SCOPE)
endfunction()

# A symbol's line: a space, NAME@VERSION and its minimum package version.
file(STRINGS ${EXPECTED} expected REGEX "^ ")
list(TRANSFORM expected REPLACE "^ ([^@ ]+)@.*" "\\1")
if(DEFINED PROGRAMS)
  foreach(program IN LISTS PROGRAMS)
    defined_names(found --defined-only ${program})
    # A stripped program would pass without being looked at.
    if(NOT "main" IN_LIST found)
      message(FATAL_ERROR "${program} has no symbol table")
    endif()
    set(copies)
    foreach(name IN LISTS expected ITEMS tsave tcur)
      if(name IN_LIST found)
        list(APPEND copies ${name})
      endif()
    endforeach()
    if(copies)
      message(FATAL_ERROR "${program} defines the library's own: ${copies}")
    endif()
  endforeach()
  message(STATUS "no program defines a name of the library's")
  return()
endif()

defined_names(found -D --defined-only ${LIB})
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  message(FATAL_ERROR "exported symbols differ\n  unexpected: ${extra}\n  missing: ${missing}")
endif()
list(LENGTH found count)
message(STATUS "${count} exported symbols, as expected")
