target_sources(ralvex_ops PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/outcome.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console_lines.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flashing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parameter_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/backup_parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore_parameters.cpp)
target_link_libraries(ralvex_ops PUBLIC ralvex_protocol ralvex_ihex ralvex_can ralvex_log
                      ralvex_platform)
