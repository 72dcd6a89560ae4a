// The entry point: banner, library notice, log start-up, options read strictly left to right, the
// logging level from the last argument, and dispatch to exactly one operation whose result becomes
// the exit status. Example: `-i sim -f app.hex 4` flashes the unit over the emulated bus, level 4.
#pragma once

#include <cstdint>

#include "ops/run_settings.h"

// The whole program: returns the exit status (0 success, negative failure).
int32_t app_main(int argc, char** argv);

// Reads the options into `settings` (reset first; the logging level is left at 1); 0, or -2 after
// printing why the command line was refused (a missing value, an over-long name) and the usage
// text.
int32_t read_options(int argc, char** argv, RunSettings* settings);
// The logging level carried by the last argument (argument 0 when there are no others).
int32_t read_logging_level(int argc, char** argv);
void print_usage();
