# CAN channel, back-ends and emulated bus. The PEAK and Kvaser back-ends are tested through fake
# vendor libraries loaded by the real dynamic loader: in the test process by their full paths, and
# by the tool's executable under their usual names through LD_LIBRARY_PATH.
ralvex_test(can_channel_test can_channel_test.cpp)
ralvex_test(can_sim_bus_test can_sim_bus_test.cpp)
ralvex_test(can_listing_test can_listing_test.cpp)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(RALVEX_FAKES_DIR ${CMAKE_CURRENT_BINARY_DIR}/fakes)

  # ralvex_fake_library(TARGET FILE_NAME source... [DEFINES def...]): a fake vendor library that
  # exports only its entry points and control functions.
  function(ralvex_fake_library target file_name)
    cmake_parse_arguments(F "" "" "DEFINES" ${ARGN})
    add_library(${target} SHARED ${F_UNPARSED_ARGUMENTS})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE ${F_DEFINES})
    target_link_libraries(${target} PRIVATE ralvex_options)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
    set_target_properties(${target} PROPERTIES
      PREFIX "" SUFFIX "" OUTPUT_NAME ${file_name}
      LIBRARY_OUTPUT_DIRECTORY ${RALVEX_FAKES_DIR}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endfunction()

  # Both fakes carry their own copy of the emulated bus and world.
  set(fake_bus_sources ${RALVEX_SIM_BUS_SOURCES} ${RALVEX_SIM_DEVICE_SOURCES}
      ${PROJECT_SOURCE_DIR}/platform/platform_common.cpp
      ${PROJECT_SOURCE_DIR}/platform/platform_posix.cpp)
  set(fake_pcan_sources fakes/fake_pcan_basic.cpp ${fake_bus_sources})
  ralvex_fake_library(fake_pcan_basic libpcanbasic.so ${fake_pcan_sources})
  ralvex_fake_library(fake_pcan_basic_no_error_text libpcanbasic_no_error_text.so
                      ${fake_pcan_sources} DEFINES FAKE_WITHOUT_CAN_GetErrorText)
  ralvex_fake_library(fake_pcan_basic_no_event libpcanbasic_no_event.so ${fake_pcan_sources}
                      DEFINES FAKE_WITHOUT_RECEIVE_EVENT)
  ralvex_fake_library(fake_canlib libcanlib.so.1 fakes/fake_canlib.cpp ${fake_bus_sources})
  ralvex_fake_library(fake_canlib_no_read_wait libcanlib_no_read_wait.so.1 fakes/fake_canlib.cpp
                      ${fake_bus_sources} DEFINES FAKE_WITHOUT_canReadWait)
  ralvex_fake_library(fake_canlib_no_write libcanlib_no_write.so.1 fakes/fake_canlib.cpp
                      ${fake_bus_sources} DEFINES FAKE_WITHOUT_canWrite)
  ralvex_fake_library(fake_canlib_no_version libcanlib_no_version.so.1 fakes/fake_canlib.cpp
                      ${fake_bus_sources} DEFINES FAKE_WITHOUT_canGetVersion)
  set(RALVEX_FAKE_LIBRARIES fake_pcan_basic fake_pcan_basic_no_error_text fake_pcan_basic_no_event
      fake_canlib fake_canlib_no_write fake_canlib_no_version fake_canlib_no_read_wait)

  ralvex_test(can_peak_test can_peak_test.cpp)
  ralvex_test(can_kvaser_test can_kvaser_test.cpp)
  ralvex_test(can_kvaser_library_test can_kvaser_library_test.cpp)
  # The cases that start the tool (or python-can) as a program of its own.
  ralvex_test(can_open_test can_open_test.cpp
              SLOW "CanOpenExecutableTest.*:Rows/NamedAdapterTest.*:Rows/ListTest.*:Rows/NonDataFrameTest.*:Rows/ForeignFrameTraceTest.*:StationScriptTest.*:Rows/LateAnswerExecutableTest.*")
  foreach(test can_peak_test can_kvaser_test can_kvaser_library_test can_open_test)
    target_compile_definitions(${test} PRIVATE RALVEX_FAKES_DIR="${RALVEX_FAKES_DIR}")
    add_dependencies(${test} ${RALVEX_FAKE_LIBRARIES})
  endforeach()

  # Runs inside the vcan VM (tests/vm/run.sh), not under ctest: this kernel has no CAN.
  add_executable(socketcan_vm_test vm/socketcan_vm_test.cpp)
  target_link_libraries(socketcan_vm_test PRIVATE ralvex_test_support GTest::gtest_main)
endif()
