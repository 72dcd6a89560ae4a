# Manual pages: man/NAME.1.scd, with @PROJECT_VERSION@ replaced, turned into roff by scdoc.
# Linux builds also gzip them for installation; Windows builds render the tool's page as text
# (CR LF) for the zip instead. Without scdoc (or, for the text, groff) the pages are skipped.
#   ralvex_manual_page(NAME): adds the page; RALVEX_MANUAL_PAGES lists the files to install.
find_program(SCDOC_EXECUTABLE scdoc)
find_program(GZIP_EXECUTABLE gzip)
find_program(GROFF_EXECUTABLE groff)
if(NOT SCDOC_EXECUTABLE)
  message(WARNING "scdoc not found: the manual pages are not built (apt-get install scdoc)")
elseif(WIN32 AND NOT GROFF_EXECUTABLE)
  message(WARNING "groff not found: the manual page is not rendered as text (apt-get install groff)")
endif()

set(RALVEX_MANUAL_PAGES "")
set(render ${PROJECT_SOURCE_DIR}/cmake/render_manual_page.cmake)

function(ralvex_manual_page name)
  if(NOT SCDOC_EXECUTABLE)
    return()
  endif()
  set(dir ${PROJECT_BINARY_DIR}/man)
  set(source ${PROJECT_SOURCE_DIR}/man/${name}.1.scd)
  configure_file(${source} ${dir}/${name}.1.scd @ONLY)
  add_custom_command(OUTPUT ${dir}/${name}.1
    COMMAND ${CMAKE_COMMAND} -DMODE=roff -DTOOL=${SCDOC_EXECUTABLE} -DIN=${dir}/${name}.1.scd
            -DOUT=${dir}/${name}.1 -P ${render}
    DEPENDS ${dir}/${name}.1.scd ${render}
    COMMENT "Manual page ${name}(1)" VERBATIM)
  if(WIN32 AND GROFF_EXECUTABLE)
    set(installed ${dir}/${name}.txt)
    add_custom_command(OUTPUT ${installed}
      COMMAND ${CMAKE_COMMAND} -DMODE=text -DTOOL=${GROFF_EXECUTABLE} -DIN=${dir}/${name}.1
              -DOUT=${installed} -P ${render}
      DEPENDS ${dir}/${name}.1 ${render}
      COMMENT "Manual page ${name}(1) as text" VERBATIM)
  elseif(WIN32)
    return()
  elseif(GZIP_EXECUTABLE)
    set(installed ${dir}/${name}.1.gz)
    add_custom_command(OUTPUT ${installed}
      COMMAND ${CMAKE_COMMAND} -DMODE=gzip -DTOOL=${GZIP_EXECUTABLE} -DIN=${dir}/${name}.1
              -DOUT=${installed} -P ${render}
      DEPENDS ${dir}/${name}.1 ${render}
      COMMENT "Manual page ${name}(1), compressed" VERBATIM)
  else()
    set(installed ${dir}/${name}.1)
  endif()
  add_custom_target(${name}-manual-page ALL DEPENDS ${installed})
  set(RALVEX_MANUAL_PAGES ${RALVEX_MANUAL_PAGES} ${installed} PARENT_SCOPE)
endfunction()

ralvex_manual_page(ralvex-service-tool)
if(NOT WIN32)
  ralvex_manual_page(ralvex-sim-unit)
endif()
