# Manual pages, written in scdoc and installed compressed (gzip -n, so that the
# same page is byte-identical in every architecture's package).
find_program(TARVIK_SCDOC scdoc)
find_program(TARVIK_GZIP gzip)
if(TARVIK_MANPAGES AND NOT (TARVIK_SCDOC AND TARVIK_GZIP))
  message(FATAL_ERROR "the packages' manual pages need scdoc and gzip (tools/setup.sh)")
endif()

set(TARVIK_MANPAGES)
function(tarvik_manpage name section component)
  if(NOT TARVIK_SCDOC OR NOT TARVIK_GZIP)
    return()
  endif()
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${name}.${section}.scd)
  set(page ${PROJECT_BINARY_DIR}/man/${name}.${section}.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "'${TARVIK_SCDOC}' < '${source}' | '${TARVIK_GZIP}' -9n > '${page}'"
    DEPENDS ${source} VERBATIM)
  set_property(GLOBAL APPEND PROPERTY TARVIK_MANPAGES ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

tarvik_manpage(tarvik.ini 5 lib)
foreach(program tarvik-print tarvik-virtual)
  if(TARGET ${program})
    tarvik_manpage(${program} 1 tools)
  endif()
endforeach()
get_property(pages GLOBAL PROPERTY TARVIK_MANPAGES)
if(pages)
  add_custom_target(tarvik_manpages ALL DEPENDS ${pages})
endif()
