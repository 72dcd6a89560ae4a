target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_common.cpp
               ${CMAKE_CURRENT_LIST_DIR}/lock_rules.cpp)
if(WIN32)
  target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_windows.cpp)
  target_link_libraries(ralvex PUBLIC winmm advapi32)
else()
  target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform_posix.cpp)
  target_link_libraries(ralvex PUBLIC ${CMAKE_DL_LIBS})
endif()
