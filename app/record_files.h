// The run's records (the log, --report, --trace, --events) judged before anything is opened or
// sent: none may be the run's input (its HEX or restore file) or its backup file, none may be
// another record of the run, and each names a regular file or nothing yet (the trace and the
// events may also go into a named pipe). A record that fails is not written at all.
// Example: `-w good.bin --report good.bin` gives "--report 'good.bin' is the restore file of this
// run: it would be overwritten; give the report a file of its own" and no report.
#pragma once

#include <string>

#include "app/command_line.h"
#include "ops/run_settings.h"

struct RecordCheck {
  bool log_usable = true;  // false: the log must not be opened this run
  // The lines that name each record refused, in the order of the records ("" when none was).
  std::string problems;
};

// Judges the records of *settings against its job's file; the paths of refused records are
// emptied. `log_path` is the log the run would open (--log FILE, or the default).
RecordCheck record_files_check(RunSettings* settings, const char* log_path);

// The same for a command line just read, and the earlier log's keeping place (the log's ".1"
// file) too: each refusal becomes a problem line of `line`, and a command line that was to run is
// refused with the first (a refused one stays refused by its own line).
RecordCheck record_files_judge(CommandLine* line, CommandLineResult* read, const char* log_path);
