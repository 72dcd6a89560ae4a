target_sources(ralvex PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_application.cpp
  ${CMAKE_CURRENT_LIST_DIR}/backup_parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore_parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_sensor.cpp)
