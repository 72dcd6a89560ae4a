# The emulated devices; also compiled into the fake vendor libraries of the tests.
set(RALVEX_SIM_DEVICE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/world.cpp ${CMAKE_CURRENT_LIST_DIR}/unit.cpp
    ${CMAKE_CURRENT_LIST_DIR}/unit_parameters.cpp ${CMAKE_CURRENT_LIST_DIR}/nodes.cpp
    ${CMAKE_CURRENT_LIST_DIR}/page.cpp)
target_sources(ralvex PRIVATE ${RALVEX_SIM_DEVICE_SOURCES})
