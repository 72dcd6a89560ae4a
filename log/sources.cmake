target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/log.cpp ${CMAKE_CURRENT_LIST_DIR}/frame_trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp)
