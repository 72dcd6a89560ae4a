target_sources(ralvex_protocol PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/command_layer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/page_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/download.cpp
  ${CMAKE_CURRENT_LIST_DIR}/parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/node_commands.cpp)
target_link_libraries(ralvex_protocol PUBLIC ralvex_can ralvex_log ralvex_platform)
