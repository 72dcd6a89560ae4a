target_sources(ralvex_ihex PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image.cpp)
target_link_libraries(ralvex_ihex PUBLIC ralvex_log ralvex_platform)
