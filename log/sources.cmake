target_sources(ralvex_log PRIVATE ${CMAKE_CURRENT_LIST_DIR}/log.cpp ${CMAKE_CURRENT_LIST_DIR}/frame_trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp)
target_link_libraries(ralvex_log PUBLIC ralvex_platform)
