# The emulated bus is also compiled into the fake vendor libraries of the tests.
set(RALVEX_SIM_BUS_SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim/sim_bus.cpp)
target_sources(ralvex_can PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interfaces.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/target.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vendor_library.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peak/peak.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peak/peak_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kvaser/kvaser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kvaser/kvaser_open.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kvaser/kvaser_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim/sim_backend.cpp
  ${RALVEX_SIM_BUS_SOURCES})
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(ralvex_can PRIVATE ${CMAKE_CURRENT_LIST_DIR}/socketcan/socketcan.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/socketcan/socketcan_list.cpp)
endif()
target_link_libraries(ralvex_can PUBLIC ralvex_log ralvex_platform)
