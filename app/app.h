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
// (reset first): the run mode, the files, the interface (handed to the channel as it comes), the
// node, the long options, and the logging level from the last argument. 0; 1 when a long option
// answered the run (--help, --version: exit 0); -2 after printing why the command line was refused
// (a missing value, an over-long name, an unknown long option, --verify without -w) and the usage
// text, with that line in settings->refusal. Options beginning with "--" are long options
// (`--trace FILE` or `--trace=FILE`); all others keep the single-dash rules. After a refusal the
// options left are read for --report alone, so that a refused command line is reported too.
int32_t read_options(int argc, char** argv, RunSettings* settings);
// The logging level carried by the last argument (argument 0 when there are no others).
int32_t read_logging_level(int argc, char** argv);
void print_usage();
