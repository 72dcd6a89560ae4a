// The run: from the command line to the exit status, ended in one place.
#include "app/app.h"

#include <chrono>
#include <string>

#include "app/command_line.h"
#include "app/notice.h"
#include "app/record_files.h"
#include "app/run_events.h"
#include "app/run_report.h"
#include "can/interfaces.h"
#include "can/sim/sim_backend.h"
#include "log/frame_trace.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/outcome.h"
#include "ops/run_record.h"
#include "platform/platform.h"
#include "protocol/command_layer.h"
#include "sim/world.h"

namespace {
struct RunStart {
  int64_t unix_ms;  // wall clock
  uint64_t us;      // monotonic
};

bool is_operation(RunMode mode) {
  return mode != RUN_MODE_NONE && mode != RUN_MODE_LIST;
}

// -l opens and sends nothing; the operations own the run once called.
int32_t run_mode(const RunSettings& settings) {
  switch (settings.mode) {
    case RUN_MODE_FLASH:
      return flash_application(settings);
    case RUN_MODE_BACKUP:
      return backup_parameters(settings);
    case RUN_MODE_RESTORE:
      return restore_parameters(settings);
    case RUN_MODE_SENSOR:
    case RUN_MODE_SENSOR_FORCE:
      return flash_sensor(settings);
    case RUN_MODE_LIST:
      return can_list();
    case RUN_MODE_CHECK:
      return check_hex_file(settings);
    case RUN_MODE_NONE:
      break;
  }
  console_print("%s", command_line_usage(false).c_str());
  return -2;
}

// What a run came to, for its end.
struct RunOutcome {
  int32_t status;
  std::string message;  // the failed run's cause ("" on success)
  bool operation_ran;   // an operation was called (only it can have been interrupted)
};

// The line that named why the run failed: the first problem line of the failing step, else the
// last line the console printed.
std::string cause() {
  const std::string first = console_first_problem();
  return first.empty() ? console_last_line() : first;
}

// A record that could not be written whole: said, and a successful run becomes -7 (a file could
// not be written), its message that line.
void record_not_written(const char* what, const char* path, int32_t* status,
                        std::string* message) {
  console_problem("%s file writing error '%s'\n", what, path);
  if (*status != 0) return;
  *status = -7;
  *message = console_last_line();
}

// The end of every run, once: an operation's end (an interruption named, ops/outcome.h), then the
// log is closed, the trace too, the report written when one was asked for, and the events end.
// Events or a report that could not be written turn a successful run into -7 (a file could not be
// written); the events' "end" carries the status the process ends with.
int32_t end_run(const RunStart& start, const RunSettings& settings, bool settings_taken,
                const RunOutcome& outcome) {
  int32_t status = outcome.status;
  std::string message = outcome.message;
  if (outcome.operation_ran) {
    const int32_t ended = operation_end(status);
    if (ended != status) message = cause();
    status = ended;
  }
  console_gone_log();
  log_close();
  const int32_t traced = frame_trace_close();
  run_record_end();
  if (traced != 0) record_not_written("Trace", settings.trace_path, &status, &message);
  if (run_events_failed()) {
    record_not_written("Events", settings.events_path, &status, &message);
  }
  if (settings.report_path[0] != '\0') {
    const RunReport report{settings_taken ? &settings : nullptr, &settings.arguments,
                           start.unix_ms, now_us() - start.us, status, message};
    if (run_report_write(settings.report_path, report) != 0) {
      record_not_written("Report", settings.report_path, &status, &message);
    }
  }
  run_events_end(status, message);
  return status;
}

// Everything between the command line and the end.
RunOutcome run(const CommandLine& line, CommandLineResult read, bool events_open) {
  const RunSettings& settings = line.settings;
  if (read == COMMAND_LINE_REFUSED) return {-2, line.refusal, false};
  console_print("Logging level: %d\n", settings.log_level);
  log_set_level(settings.log_level);
  console_print("\n");
  if (!events_open) {
    console_problem("Events file init error '%s'\n", settings.events_path);
    return {-1, cause(), false};
  }
  if (settings.trace_path[0] != '\0' && settings.mode != RUN_MODE_NONE &&
      frame_trace_open(settings.trace_path) != 0) {
    console_problem("Trace file init error '%s'\n", settings.trace_path);
    return {-1, cause(), false};
  }
  console_problem_mark();
  const int32_t status = run_mode(settings);
  // Without a run mode the usage text is all the console says.
  return {status,
          status == 0                        ? std::string()
          : settings.mode == RUN_MODE_NONE ? "No run mode given: usage printed"
                                           : cause(),
          is_operation(settings.mode)};
}
}  // namespace

int32_t app_main(int argc, char** argv) {
  console_gone_reset();
  print_banner_and_notice();
  // The emulated devices wait on the emulated bus for `-i sim` (and for nothing else); what they
  // write into their flash cannot be read after the run, so they keep none of it.
  sim_backend_set_devices(sim_world_devices());
  sim_world_keep_memories(false);
  // Every run starts from a closed channel with nothing counted (tests run several in a process).
  can_reset();
  command_forget_late_answers();
  run_record_reset();
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  const RunStart start{
      static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()),
      now_us()};
  // Problem lines count from here, those of the command line included.
  run_events_begin(start.us);
  CommandLine line;
  CommandLineResult read = command_line_read(argc, argv, &line);
  const char* const log_path = line.settings.log_path[0] ? line.settings.log_path : LOG_FILE_DEFAULT;
  // A check writes no record at all.
  const bool check = read == COMMAND_LINE_RUN && line.settings.mode == RUN_MODE_CHECK;
  RecordCheck records;
  if (read != COMMAND_LINE_ANSWERED && !check) records = record_files_judge(&line, &read, log_path);
  // What reading the command line said is printed after the log's own lines; its problem lines
  // reach the events now, in the order they were said.
  std::string said;
  std::string* const console = console_set_capture(&said);
  for (const CommandLineLine& text : line.said) {
    if (text.problem) {
      console_problem("%s", text.text.c_str());
    } else {
      console_print("%s", text.text.c_str());
    }
  }
  console_set_capture(console);
  const RunSettings& settings = line.settings;
  // --help, --version and --check open nothing: no log (an earlier one stays as it is), no events.
  if (read == COMMAND_LINE_ANSWERED || check) {
    console_print("%s", said.c_str());
    const int32_t status = read == COMMAND_LINE_ANSWERED ? 0 : run_mode(settings);
    run_events_end(status, "");  // none was opened: it stops listening
    return status;
  }
  // The events begin before the log, so that every run that has an events file ends it (a reader
  // of a named pipe waits for its "end"); a file that cannot be opened is said after the log's.
  const bool events_open = settings.events_path[0] == '\0' ||
                           run_events_open(settings.events_path, settings) == 0;
  console_problem_mark();
  if (records.log_usable && log_open(log_path) != 0) {
    console_problem("Logging init error\n");
    return end_run(start, settings, false, {-1, cause(), false});
  }
  console_print("%s", said.c_str());
  return end_run(start, settings, true, run(line, read, events_open));
}
