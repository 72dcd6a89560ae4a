// The entry point: banner, library notice, log start-up, options read strictly left to right, the
// logging level from the last argument, and dispatch to exactly one operation whose result becomes
// the exit status. Example: `-i sim -f app.hex 4` flashes the unit over the emulated bus, level 4.
#pragma once

#include <cstdint>

enum RunMode : int32_t {
  RUN_MODE_NONE = 0,
  RUN_MODE_FLASH = 1,
  RUN_MODE_BACKUP = 2,
  RUN_MODE_RESTORE = 3,
  RUN_MODE_SENSOR = 4,
  RUN_MODE_SENSOR_FORCE = 5,
  RUN_MODE_LIST = 6,
};

// The whole program: returns the exit status (0 success, negative failure).
int32_t app_main(int argc, char** argv);

// Reads the options into the run settings below; 0, or -2 after printing why the command line
// was refused (a missing value, an over-long name) and the usage text.
int32_t read_options(int argc, char** argv);
// The logging level carried by the last argument (argument 0 when there are no others).
int32_t read_logging_level(int argc, char** argv);
void print_usage();

RunMode app_run_mode();
const char* app_file_name();
const char* app_interface_name();

// Chooses the W2 node (1 to 127) and says so on the console.
void sensor_set_node_id(uint8_t id);
