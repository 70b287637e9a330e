# Debian packages, one per install component: libtarvik1 (lib), libtarvik-dev
# (dev) and tarvik-tools (tools). tools/package.sh configures a build per
# architecture with TARVIK_DEB_ARCH and CMAKE_INSTALL_LIBDIR=lib/<multiarch>,
# runs CPack, then adds what CPack 3.25 cannot write (Multi-Arch, triggers).
set(TARVIK_DEB_ARCH "amd64" CACHE STRING "Debian architecture of the packages (amd64, i386)")
set(TARVIK_DEB_MAINTAINER "tarvik maintainers <maintainers@tarvik.example.org>"
  CACHE STRING "Maintainer field of the packages")
set(TARVIK_DEB_REVISION 1)
set(deb_version ${PROJECT_VERSION}-${TARVIK_DEB_REVISION})

# The packaging date is the last commit's, so that two builds, and the two
# architectures, give the same changelog and manual pages.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(packages lib libtarvik1 dev libtarvik-dev)
set(components lib dev)
if(TARGET tarvik-print OR TARGET tarvik-virtual)
  list(APPEND packages tools tarvik-tools)
  list(APPEND components tools)
endif()

# Each package's copyright (from LICENSE), changelog and, for the library, the
# lintian override; all architecture-independent.
set(doc ${PROJECT_BINARY_DIR}/debian-doc)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
list(REMOVE_AT license_lines 0 1) # the title and the blank line after it
set(license_text)
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright")
    string(REGEX REPLACE "^Copyright \\(c\\) " "" holder "${line}")
    continue()
  endif()
  if(line STREQUAL "")
    set(line ".")
  endif()
  string(APPEND license_text " ${line}\n")
endforeach()
string(REGEX REPLACE "^ \\.\n" "" license_text "${license_text}")
file(WRITE ${doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tarvik

Files: *
Copyright: ${holder}
License: Expat
${license_text}")
file(WRITE ${doc}/changelog.Debian
"tarvik (${deb_version}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${TARVIK_DEB_MAINTAINER}  ${deb_date}
")
add_custom_command(OUTPUT ${doc}/changelog.Debian.gz
  COMMAND gzip -9nc changelog.Debian > changelog.Debian.gz
  DEPENDS ${doc}/changelog.Debian WORKING_DIRECTORY ${doc})
add_custom_target(tarvik_debian_doc ALL DEPENDS ${doc}/changelog.Debian.gz)
list(LENGTH packages n)
math(EXPR n "${n} / 2 - 1")
foreach(i RANGE ${n})
  math(EXPR ci "${i} * 2")
  math(EXPR pi "${i} * 2 + 1")
  list(GET packages ${ci} component)
  list(GET packages ${pi} package)
  install(FILES ${doc}/copyright ${doc}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides
    ${doc}/overrides/${package} COPYONLY)
  install(FILES ${doc}/overrides/${package}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${component})
endforeach()

# The symbols file: the exported set, fixed, all there since the first release.
file(STRINGS ${PROJECT_SOURCE_DIR}/tests/exported-symbols.txt exported)
set(symbols "libtarvik.so.${PROJECT_VERSION_MAJOR} libtarvik1 #MINVER#\n")
string(APPEND symbols "* Build-Depends-Package: libtarvik-dev\n")
foreach(symbol IN LISTS exported)
  string(APPEND symbols " ${symbol}@Base 1.0.0\n")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian-control/symbols "${symbols}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
# Each package has a summary of its own, the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tarvik authors")
set(CPACK_PACKAGE_CONTACT "${TARVIK_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVIK_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVIK_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVIK_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE tarvik)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libtarvik1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_DESCRIPTION "driver library for serial check and document printers
tarvik drives a document printer on a serial line: Brazilian bank checks,
text lines on the front of a document, authentication prints, text on the
back, line feeds and back-side mode. Each call reads tarvik.ini in the
current directory to find the printer's port and the banks' check layouts.

This package holds the shared library.")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-control/symbols)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvik-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtarvik1 (= ${deb_version})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "driver library for serial check and document printers - development files
tarvik drives a document printer on a serial line: Brazilian bank checks,
text lines on the front of a document, authentication prints and text on
the back.

This package holds the header, the link to the shared library, a
pkg-config file and a CMake package (find_package(tarvik)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvik-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "print and test tools for serial check and document printers
tarvik-print prints checks and text lines through libtarvik from the
command line, and checks a printer's set-up. tarvik-virtual plays the
printer on a pseudo-terminal and shows what an application sends to it.")

# The 64-bit build links against the system's libraries, which
# dpkg-shlibdeps reads. The 32-bit build links against g++-multilib's copies,
# which belong to no i386 package, so its dependencies are stated here: at
# least the versions it was built with, which the multilib copies share with
# the system's libc6 and libstdc++6 (same sources).
function(tarvik_upstream_version package digits out)
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${package}
    OUTPUT_VARIABLE version RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "no version of ${package} installed")
  endif()
  string(REGEX MATCH "^[0-9]+(\\.[0-9]+)?" version "${version}")
  if(digits EQUAL 1)
    string(REGEX REPLACE "\\..*" "" version "${version}")
  endif()
  set(${out} ${version} PARENT_SCOPE)
endfunction()
tarvik_upstream_version(libc6 2 libc_version)
tarvik_upstream_version(libstdc++6 1 gcc_version)
# The library itself needs the C library alone (tests/package/check.sh holds
# each package's Depends against what its files link); the tools are C++
# programs.
set(lib_depends "libc6 (>= ${libc_version})")
set(runtime_depends
  "libc6 (>= ${libc_version}), libgcc-s1 (>= ${gcc_version}), libstdc++6 (>= ${gcc_version})")
if(TARVIK_DEB_ARCH STREQUAL "amd64")
  set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  # The tools find the library in the build tree; their dependency on it is
  # stated below, as dpkg-shlibdeps has no information on an uninstalled one.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libtarvik1 (= ${deb_version})")
else()
  set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${lib_depends}")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libtarvik1 (= ${deb_version}), ${runtime_depends}")
endif()

include(CPack)
