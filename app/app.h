// The entry point: banner, library notice, the command line read once (what reading it prints
// follows the log's start-up lines), the logging level handed to the log, and dispatch to exactly
// one operation whose result becomes the exit status; the run report when one was asked for.
// Example: `-i sim -f app.hex 4` flashes the unit over the emulated bus, level 4.
#pragma once

#include <cstdint>

#include "ops/run_settings.h"

// The whole program: returns the exit status (0 success, negative failure).
int32_t app_main(int argc, char** argv);

// Reads the command line in one walk of its options, strictly left to right, into `settings`
// (reset first), the logging level from the last argument included; the interface goes to the
// channel as it comes. 0; 1 when --help or --version answered the run (exit 0); -2 after printing
// why the command line was refused and the usage text, that line kept in settings->refusal (the
// options after it are read for --report alone, so that the refusal is reported too). Options
// beginning with "--" are long options (`--trace FILE` or `--trace=FILE`).
int32_t read_options(int argc, char** argv, RunSettings* settings);
// The logging level carried by the last argument (argument 0 when there are no others).
int32_t read_logging_level(int argc, char** argv);
void print_usage();
