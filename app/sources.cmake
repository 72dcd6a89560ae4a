target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/app.cpp ${CMAKE_CURRENT_LIST_DIR}/run_report.cpp)
