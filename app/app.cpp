// The run: from the command line to the exit status, ended in one place.
#include "app/app.h"

#include <chrono>
#include <string>

#include "app/command_line.h"
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
#include "platform/file_look.h"
#include "platform/platform.h"
#include "ralvex_version.h"  // generated from the project() version
#include "protocol/command_layer.h"
#include "sim/world.h"

namespace {
struct RunStart {
  int64_t unix_ms;  // wall clock
  uint64_t us;      // monotonic
};

void print_banner_and_notice() {
  console_print("\n\n===  Ralvex Service Tool %d.%d.%d  ===\n\n", RALVEX_VERSION_MAJOR,
                RALVEX_VERSION_MINOR, RALVEX_VERSION_PATCH);
  console_print("This software uses the following 3rd party libraries (on Windows):\n\n");
  console_print("1. PCAN-Basic, by PEAK-System Technik GmbH\n");
  console_print("   Used under PEAK-System's end-user licence agreement (PCAN-Basic EULA.txt), "
                "www.peak-system.com\n\n");
  console_print("2. CANlib, by Kvaser AB\n");
  console_print("   Used under Kvaser's end-user licence agreement (CANlib license.txt), "
                "www.kvaser.com\n\n");
}

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

// The earlier log is moved to log_kept_name before the run writes its own: never onto the run's
// file or another of its records. The line that says so, or "".
std::string kept_log_problem(const RunSettings& settings, const char* log_path) {
  const std::string kept = log_kept_name(log_path);
  const FileLook look = file_look(kept.c_str());
  if (look.kind == FILE_KIND_NONE || file_look(log_path).kind != FILE_KIND_REGULAR) return "";
  const char* const others[] = {settings.file_name, settings.report_path, settings.trace_path,
                                settings.events_path};
  for (const char* other : others) {
    if (other[0] == '\0' || file_look(other).identity != look.identity) continue;
    return "The earlier log would be kept as '" + kept + "', which is '" + other +
           "' of this run: give the log a file of its own with --log FILE\n";
  }
  return "";
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
  if (traced != 0) {
    console_problem("Trace file writing error '%s'\n", settings.trace_path);
    if (status == 0) {
      status = -7;
      message = console_last_line();
    }
  }
  if (run_events_failed()) {
    console_problem("Events file writing error '%s'\n", settings.events_path);
    if (status == 0) {
      status = -7;
      message = console_last_line();
    }
  }
  if (settings.report_path[0] != '\0') {
    const RunReport report{settings_taken ? &settings : nullptr, &settings.arguments,
                           start.unix_ms, now_us() - start.us, status, message};
    if (run_report_write(settings.report_path, report) != 0) {
      console_problem("Report file writing error '%s'\n", settings.report_path);
      if (status == 0) {
        status = -7;
        message = console_last_line();
      }
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
  // Before anything is opened: no record may be written over the run's own files or another
  // record (a refused command line is recorded too, so its records are judged as well).
  RecordCheck records;
  // A check writes no record at all.
  const bool check = read == COMMAND_LINE_RUN && line.settings.mode == RUN_MODE_CHECK;
  if (read != COMMAND_LINE_ANSWERED && !check) {
    records = record_files_check(&line.settings, log_path);
    const std::string kept = records.log_usable ? kept_log_problem(line.settings, log_path) : "";
    if (!kept.empty()) {
      records.problems += kept;
      records.log_usable = false;
    }
    size_t begin = 0;
    while (begin < records.problems.size()) {
      const size_t end = records.problems.find('\n', begin);
      line.said.push_back({records.problems.substr(begin, end + 1 - begin), true});
      if (read == COMMAND_LINE_RUN) {
        line.refusal = records.problems.substr(begin, end - begin);
        read = COMMAND_LINE_REFUSED;
      }
      begin = end + 1;
    }
  }
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
