target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/app.cpp ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp
  ${CMAKE_CURRENT_LIST_DIR}/record_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_json.cpp ${CMAKE_CURRENT_LIST_DIR}/run_events.cpp)
