# Builds a consumer that adds the tarvik source tree with add_subdirectory, then
# checks that only the library came along and that its flags stayed on its own
# targets: the consumer keeps its standard and gets no warning flags.
# EMULATOR, if set, runs the consumer.
file(REMOVE_RECURSE ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

run(${CMAKE_COMMAND} -S ${SOURCE}/subproject -B ${WORK} -DTARVIK_SOURCE=${TARVIK_SOURCE}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
run(${CMAKE_COMMAND} --build ${WORK})
run(${EMULATOR} ${WORK}/consumer)
if(NOT last_output STREQUAL "consumer ok\n")
  message(FATAL_ERROR "subproject consumer: ${last_output}")
endif()

file(GLOB extra ${WORK}/tarvik/tests ${WORK}/tarvik/tools ${WORK}/tarvik/examples ${WORK}/tarvik/fuzz)
if(extra)
  message(FATAL_ERROR "a subproject build should hold the library alone, found: ${extra}")
endif()

file(READ ${WORK}/compile_commands.json db)
string(JSON count LENGTH "${db}")
math(EXPR last "${count} - 1")
set(seen_consumer OFF)
set(seen_library OFF)
# The flags this test was given (a package build's -Wformat, say) reach the
# consumer through its CMAKE_CXX_FLAGS, as they should: each is taken off
# once, so that the same flag leaking from the library still shows.
separate_arguments(given UNIX_COMMAND "${FLAGS}")
foreach(i RANGE ${last})
  string(JSON file GET "${db}" ${i} file)
  string(JSON command GET "${db}" ${i} command)
  separate_arguments(flags UNIX_COMMAND "${command}")
  list(FILTER flags INCLUDE REGEX "^(-W.*|-std=.*|-DCONSUMER_OWN_FLAG)$")
  if(file MATCHES "/consumer/main.cpp$")
    set(seen_consumer ON)
    foreach(flag IN LISTS given)
      list(FIND flags "${flag}" at)
      if(at GREATER_EQUAL 0)
        list(REMOVE_AT flags ${at})
      endif()
    endforeach()
    if(NOT flags STREQUAL "-DCONSUMER_OWN_FLAG;-std=gnu++20")
      message(FATAL_ERROR "the consumer's flags changed: ${flags}\n${command}")
    endif()
  elseif(file MATCHES "/src/")
    set(seen_library ON)
    if(NOT flags MATCHES "-Wall;-Wextra" OR NOT flags MATCHES "-std=c\\+\\+17")
      message(FATAL_ERROR "the library lost its own flags: ${flags}\n${command}")
    endif()
  endif()
endforeach()
if(NOT seen_consumer OR NOT seen_library)
  message(FATAL_ERROR "compile database lacks the consumer or the library")
endif()
message(STATUS "subproject build kept the consumer's flags")
