target_sources(ralvex_app PRIVATE ${CMAKE_CURRENT_LIST_DIR}/app.cpp ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/record_files.cpp ${CMAKE_CURRENT_LIST_DIR}/notice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_json.cpp ${CMAKE_CURRENT_LIST_DIR}/run_events.cpp)
target_link_libraries(ralvex_app PUBLIC ralvex_ops ralvex_sim ralvex_protocol ralvex_ihex ralvex_can
                      ralvex_log ralvex_platform)
target_link_libraries(ralvex_app PRIVATE ralvex_json)
