target_sources(ralvex PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/page_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/download.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/node_commands.cpp)
