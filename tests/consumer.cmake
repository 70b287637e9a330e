# Installs the build tree BUILD into a scratch prefix, then builds and runs a
# consumer of it twice: through find_package(tarvik) and through pkg-config.
# EMULATOR, if set, runs the consumers.
file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
file(GLOB_RECURSE libs LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*libtarvik.so*)
list(LENGTH libs count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "expected the library with its SONAME links, found: ${libs}")
endif()
file(GLOB_RECURSE pcs ${prefix}/*/tarvik.pc)
get_filename_component(pcdir "${pcs}" DIRECTORY)
get_filename_component(libdir "${pcdir}" DIRECTORY)

# find_package
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/cmake-build)
run(${EMULATOR} ${WORK}/cmake-build/consumer)
if(NOT last_output STREQUAL "consumer ok\n")
  message(FATAL_ERROR "find_package consumer: ${last_output}")
endif()

# pkg-config
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(pkg-config --cflags --libs tarvik)
string(STRIP "${last_output}" pc)
separate_arguments(pc UNIX_COMMAND "${pc}")
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
run(${CXX} ${flags} ${SOURCE}/main.cpp ${pc} -o ${WORK}/pc-consumer)
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${EMULATOR} ${WORK}/pc-consumer)
if(NOT last_output STREQUAL "consumer ok\n")
  message(FATAL_ERROR "pkg-config consumer: ${last_output}")
endif()
message(STATUS "installed tree served both consumers")
