ralvex_test(flash_application_test flash_application_test.cpp SLOW "FlashExecutableTest.*")
ralvex_test(backup_test backup_test.cpp SLOW "BackupExecutableTest.*")
ralvex_test(restore_test restore_test.cpp SLOW "RestoreExecutableTest.*")
ralvex_test(flash_sensor_test flash_sensor_test.cpp SLOW "SensorFlashExecutableTest.*")
# The cases that start sha256sum or python-can.
ralvex_test(run_record_test run_record_test.cpp LIBS ralvex_json
            SLOW "Sha256Test.*:RunTest.TraceReadBackByPythonCanEqualsTheBus:RunTest.VerifiedRestoreAndItsReport")
ralvex_test(field_faults_test field_faults_test.cpp)
ralvex_test(flashing_test flashing_test.cpp)
ralvex_test(progress_test progress_test.cpp SLOW "*ProgressTerminalTest.*")
ralvex_test(late_answers_test late_answers_test.cpp)
ralvex_test(hex_check_test hex_check_test.cpp SLOW "CheckExecutableTest.*")
