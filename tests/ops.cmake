ralvex_test(flash_application_test flash_application_test.cpp
            SLOW "FlashExecutableTest.DemoFileOnTheEmulatedBus")
ralvex_test(backup_test backup_test.cpp SLOW "BackupExecutableTest.WholeBackupThenOneKilledHalfway")
ralvex_test(restore_test restore_test.cpp)
ralvex_test(flash_sensor_test flash_sensor_test.cpp
            SLOW "SensorFlashExecutableTest.FlashesNode5WithAndWithoutForce")
ralvex_test(run_record_test run_record_test.cpp LIBS ralvex_json)
ralvex_test(field_faults_test field_faults_test.cpp)
