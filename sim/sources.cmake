# The emulated devices; also compiled into the fake vendor libraries of the tests, with the page
# format they share with the tool.
set(sim_device_sources ${CMAKE_CURRENT_LIST_DIR}/world.cpp ${CMAKE_CURRENT_LIST_DIR}/unit.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_parameters.cpp ${CMAKE_CURRENT_LIST_DIR}/nodes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page.cpp)
target_sources(ralvex_sim PRIVATE ${sim_device_sources})
set(RALVEX_SIM_DEVICE_SOURCES ${sim_device_sources}
    ${CMAKE_CURRENT_LIST_DIR}/../protocol/page_format.cpp)
target_link_libraries(ralvex_sim PUBLIC ralvex_protocol ralvex_can ralvex_log ralvex_platform)
