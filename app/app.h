// The entry point: banner, library notice, log start-up, options read strictly left to right, the
// logging level from the last argument, and dispatch to exactly one operation whose result becomes
// the exit status. Example: `-i sim -f app.hex 4` flashes the unit over the emulated bus, level 4.
#pragma once

#include <cstdint>
#include <string>

#include "ops/run_settings.h"

// The whole program: returns the exit status (0 success, negative failure).
int32_t app_main(int argc, char** argv);

// Reads the options into `settings` (reset first; the logging level is left at 1); 0, 1 when a
// long option answered the run (--help, --version: exit 0), or -2 after printing why the command
// line was refused (a missing value, an over-long name, an unknown long option, --verify without
// -w) and the usage text. Options beginning with "--" are long options (`--trace FILE` or
// `--trace=FILE`); all others keep the single-dash rules.
int32_t read_options(int argc, char** argv, RunSettings* settings);
// The console line that refused the last read_options, without its line end.
const std::string& refused_command_line_message();
// The logging level carried by the last argument (argument 0 when there are no others).
int32_t read_logging_level(int argc, char** argv);
void print_usage();
