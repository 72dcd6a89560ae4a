target_sources(ralvex_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lock_rules.cpp)
if(WIN32)
  target_sources(ralvex_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_windows.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_look_windows.cpp)
  target_link_libraries(ralvex_platform PUBLIC winmm advapi32)
else()
  target_sources(ralvex_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_posix.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_look_posix.cpp)
  target_link_libraries(ralvex_platform PUBLIC ${CMAKE_DL_LIBS})
endif()
