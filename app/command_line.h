// The command line read into a value: argv in, the run's settings (or a refusal, or an answer such
// as --help) out, with everything reading it would print kept as lines, in order. Nothing is
// printed, opened or selected while it is read: no console, log or CAN state is behind it. Every
// option is a row of one table; single-dash options are known by their second letter alone
// (`-file` acts as -f), long ones by their whole name (`--trace FILE` or `--trace=FILE`).
// Example: `-f app.hex -i sim 4` gives mode RUN_MODE_FLASH, file "app.hex", the target of "sim",
// logging level 4, and the lines "HEX file: 'app.hex'\n" and "Use CAN interface: 'sim'\n".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ops/run_settings.h"

// A console line reading the command line printed; a `problem` one names a problem (it goes
// through console_problem when it is printed).
struct CommandLineLine {
  std::string text;
  bool problem;
};

enum CommandLineResult : int32_t {
  COMMAND_LINE_RUN = 0,       // the settings say what to run (RUN_MODE_NONE: the usage text)
  COMMAND_LINE_ANSWERED = 1,  // --help or --version: the lines are the answer, exit 0
  COMMAND_LINE_REFUSED = -2,  // the lines say why, then the usage text; exit -2
};

struct CommandLine {
  RunSettings settings;
  std::vector<CommandLineLine> said;
  // The line that refused the command line, without its line end ("" when it was accepted).
  std::string refusal;
};

// Reads argv (argv[0] the program) into *line (reset first), strictly left to right. A refused
// command line goes on being read for --report and --events alone, so that the refusal is
// recorded too.
CommandLineResult command_line_read(int argc, char** argv, CommandLine* line);

// The logging level the last argument carries (argument 0 when there are no others): a leading
// decimal integer, else 1.
int32_t command_line_logging_level(int argc, char** argv);

// The usage text, and with `long_options` the long options after it, as printed.
std::string command_line_usage(bool long_options);
