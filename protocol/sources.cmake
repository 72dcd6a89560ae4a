target_sources(ralvex PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/download.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/node_commands.cpp)
