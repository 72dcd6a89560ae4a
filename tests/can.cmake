# CAN channel, back-ends and emulated bus. The PEAK and Kvaser back-ends are tested through fake
# vendor libraries loaded by the real dynamic loader: in the test process by their full paths, and
# by the tool's executable under their usual names through LD_LIBRARY_PATH.
ralvex_test(can_channel_test can_channel_test.cpp)
ralvex_test(can_sim_bus_test can_sim_bus_test.cpp)
ralvex_test(can_listing_test can_listing_test.cpp)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(RALVEX_FAKES_DIR ${CMAKE_CURRENT_BINARY_DIR}/fakes)

  # The emulated bus and world that each fake carries (a copy of its own in each library at run
  # time), compiled once: position-independent and hidden, as the fakes themselves.
  add_library(ralvex_fake_bus OBJECT ${RALVEX_SIM_BUS_SOURCES} ${RALVEX_SIM_DEVICE_SOURCES}
              ${PROJECT_SOURCE_DIR}/platform/platform_common.cpp
              ${PROJECT_SOURCE_DIR}/platform/lock_rules.cpp
              ${PROJECT_SOURCE_DIR}/platform/platform_posix.cpp)
  target_include_directories(ralvex_fake_bus PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(ralvex_fake_bus PRIVATE ralvex_options)
  set_target_properties(ralvex_fake_bus PROPERTIES POSITION_INDEPENDENT_CODE ON
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

  # ralvex_fake_library(TARGET FILE_NAME source... [DEFINES def...]): a fake vendor library that
  # exports only its entry points and control functions.
  function(ralvex_fake_library target file_name)
    cmake_parse_arguments(F "" "" "DEFINES" ${ARGN})
    add_library(${target} SHARED ${F_UNPARSED_ARGUMENTS} $<TARGET_OBJECTS:ralvex_fake_bus>)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE ${F_DEFINES})
    target_link_libraries(${target} PRIVATE ralvex_options)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
    set_target_properties(${target} PROPERTIES
      PREFIX "" SUFFIX "" OUTPUT_NAME ${file_name}
      LIBRARY_OUTPUT_DIRECTORY ${RALVEX_FAKES_DIR}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endfunction()

  set(fake_pcan_sources fakes/fake_pcan_basic.cpp)
  ralvex_fake_library(fake_pcan_basic libpcanbasic.so ${fake_pcan_sources})
  ralvex_fake_library(fake_pcan_basic_no_error_text libpcanbasic_no_error_text.so
                      ${fake_pcan_sources} DEFINES FAKE_WITHOUT_CAN_GetErrorText)
  ralvex_fake_library(fake_pcan_basic_no_event libpcanbasic_no_event.so ${fake_pcan_sources}
                      DEFINES FAKE_WITHOUT_RECEIVE_EVENT)
  ralvex_fake_library(fake_canlib libcanlib.so.1 fakes/fake_canlib.cpp)
  ralvex_fake_library(fake_canlib_no_read_wait libcanlib_no_read_wait.so.1 fakes/fake_canlib.cpp
                      DEFINES FAKE_WITHOUT_canReadWait)
  ralvex_fake_library(fake_canlib_no_write libcanlib_no_write.so.1 fakes/fake_canlib.cpp
                      DEFINES FAKE_WITHOUT_canWrite)
  ralvex_fake_library(fake_canlib_no_version libcanlib_no_version.so.1 fakes/fake_canlib.cpp
                      DEFINES FAKE_WITHOUT_canGetVersion)
  # PEAK's own PCAN-Basic for Linux, 4.3.1.3 and that of 2022, each under the usual name in a folder
  # of its own (for the tool's executable through LD_LIBRARY_PATH).
  foreach(variant 43 2022)
    ralvex_fake_library(fake_pcan_basic_linux${variant} libpcanbasic.so ${fake_pcan_sources}
                        DEFINES FAKE_PCAN_LINUX=${variant})
    set_target_properties(fake_pcan_basic_linux${variant} PROPERTIES
                          LIBRARY_OUTPUT_DIRECTORY ${RALVEX_FAKES_DIR}/linux${variant})
  endforeach()
  set(RALVEX_FAKE_LIBRARIES fake_pcan_basic fake_pcan_basic_no_error_text fake_pcan_basic_no_event
      fake_pcan_basic_linux43 fake_pcan_basic_linux2022
      fake_canlib fake_canlib_no_write fake_canlib_no_version fake_canlib_no_read_wait)

  ralvex_test(can_peak_test can_peak_test.cpp)
  # The PEAK back-end's tests once more against each of PEAK's Linux libraries.
  foreach(variant linux43 linux2022)
    gtest_discover_tests(can_peak_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                         TEST_PREFIX "${variant}/" TEST_LIST can_peak_test_${variant}_TESTS
                         PROPERTIES ENVIRONMENT RALVEX_FAKE_PCAN_VARIANT=${variant})
  endforeach()
  ralvex_test(can_peak_linux_test can_peak_linux_test.cpp
              SLOW "Libraries/PeakLibraryExecutableTest.*")
  ralvex_test(can_kvaser_test can_kvaser_test.cpp)
  ralvex_test(can_kvaser_library_test can_kvaser_library_test.cpp)
  # The cases that start the tool (or python-can) as a program of its own.
  ralvex_test(can_open_test can_open_test.cpp
              SLOW "CanOpenExecutableTest.*:Rows/NamedAdapterTest.*:Rows/ListTest.*:Rows/NonDataFrameTest.*:Rows/ForeignFrameTraceTest.*:StationScriptTest.*:Rows/LateAnswerExecutableTest.*")
  # And the opening's PEAK cases that hold for every library (the others are told apart in
  # can_peak_linux_test).
  set(peak_open_cases "Rows/HeldInterfaceTest.*/pcan:Rows/IdentityTest.*/pcan_decimal:\
Rows/IdentityTest.*/pcan_hex:Rows/LostAdapterTest.*/pcan_read_no_driver:\
Rows/LostAdapterTest.*/pcan_status:Rows/LostAdapterTest.*/pcan_write:Rows/OverrunTest.*/pcan_*:\
Rows/UnpluggedDuringEraseTest.*/pcan")
  set(peak_open_slow_cases "Rows/LateAnswerExecutableTest.*/pcan_*:Rows/NonDataFrameTest.*/pcan_*")
  foreach(variant linux43 linux2022)
    gtest_discover_tests(can_open_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                         TEST_FILTER "${peak_open_cases}" TEST_PREFIX "${variant}/"
                         TEST_LIST can_open_test_${variant}_TESTS
                         PROPERTIES ENVIRONMENT RALVEX_FAKE_PCAN_VARIANT=${variant})
    gtest_discover_tests(can_open_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                         TEST_FILTER "${peak_open_slow_cases}" TEST_PREFIX "${variant}/"
                         TEST_LIST can_open_test_${variant}_SLOW_TESTS
                         PROPERTIES ENVIRONMENT RALVEX_FAKE_PCAN_VARIANT=${variant} LABELS slow)
  endforeach()
  # The lock files against what a local user can plant; the cases that start the tool.
  ralvex_test(locks_test locks_test.cpp
              SLOW "Rows/PlantedRunTest.*:ManyRunsTest.*:TwoUsersTest.NobodysRunOfTheToolIsRefusedOnAHeldInterface")
  foreach(test can_peak_test can_peak_linux_test can_kvaser_test can_kvaser_library_test can_open_test
           locks_test)
    target_compile_definitions(${test} PRIVATE RALVEX_FAKES_DIR="${RALVEX_FAKES_DIR}")
    add_dependencies(${test} ${RALVEX_FAKE_LIBRARIES})
  endforeach()

  # Runs inside the vcan VM (tests/vm/run.sh), not under ctest: this kernel has no CAN.
  add_executable(socketcan_vm_test vm/socketcan_vm_test.cpp)
  target_link_libraries(socketcan_vm_test PRIVATE ralvex_test_support GTest::gtest_main)
  target_compile_options(socketcan_vm_test PRIVATE ${RALVEX_TEST_COMPILE_OPTIONS})
endif()
