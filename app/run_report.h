// The run report (`--report FILE`): one JSON document per run, written when the run ends, on
// success and on every failure, under a temporary name beside FILE and then renamed over it, so
// that FILE is always a whole report. app/ fills a RunReport at the end of the run; the
// operation's part comes from ops/run_record.h, the channel's from can_opened_name and
// can_counters; what the events carry too is built by app/run_json.h. The fields are listed in the
// README ("Run report").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ops/run_settings.h"

struct RunReport {
  const RunSettings* settings;  // nullptr when the options were never read (the log failed)
  const std::vector<std::string>* arguments;  // the command line after the program name
  int64_t started_unix_ms;      // wall clock at the start of the run
  uint64_t duration_us;         // monotonic, start to end
  int32_t status;               // the exit status
  std::string message;          // the failing step's console line ("" on success)
};

// The document as text (two-space indents).
std::string run_report_json(const RunReport& report);

// Writes the document to `path` atomically. 0, or -1 when it could not be written.
int32_t run_report_write(const char* path, const RunReport& report);
