# CPack pre-build script (Linux): removes the .comment section (compiler version strings) from the
# staged executables, as Debian's dh_strip does; CPACK_STRIP_FILES has already stripped them.
file(GLOB_RECURSE executables LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(executable IN LISTS executables)
  execute_process(COMMAND ${CPACK_RALVEX_STRIP} --remove-section=.comment ${executable}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CPACK_RALVEX_STRIP} --remove-section=.comment ${executable} failed")
  endif()
endforeach()
