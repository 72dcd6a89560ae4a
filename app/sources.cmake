target_sources(ralvex PRIVATE ${CMAKE_CURRENT_LIST_DIR}/app.cpp)
