// The entry point: banner, library notice, the command line read once into a value (what reading
// it says follows the log's start-up lines), the logging level handed to the log, dispatch to
// exactly one operation whose result becomes the exit status, and the end of every run in one
// place: an interruption named, the log closed, the trace, the run report and the events.
// Example: `-i sim -f app.hex 4` flashes the unit over the emulated bus, level 4.
#pragma once

#include <cstdint>

// The whole program: returns the exit status (0 success, negative failure).
int32_t app_main(int argc, char** argv);
