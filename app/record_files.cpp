// Record files against the run's own files and each other, by what the paths name.
#include "app/record_files.h"


#include "log/log.h"
#include "platform/file_look.h"

namespace {
using PathField = char (RunSettings::*)[RUN_FILE_NAME_MAX + 1];

struct RecordRow {
  const char* option;  // how the command line names it
  const char* what;    // how the lines call it
  PathField path;      // nullptr: the log, whose path is given apart
  bool pipe_allowed;   // written as the run goes, so a reader may take it from a pipe
};

const RecordRow kRecords[] = {
    {"--log", "the log", nullptr, false},
    {"--report", "the report", &RunSettings::report_path, false},
    {"--trace", "the trace", &RunSettings::trace_path, true},
    {"--events", "the events", &RunSettings::events_path, true},
};
constexpr size_t kRecordCount = sizeof kRecords / sizeof kRecords[0];

// What the job's file is to the run, nullptr when it has none.
const char* job_file_role(const RunSettings& settings) {
  if (settings.file_name[0] == '\0') return nullptr;
  switch (settings.mode) {
    case RUN_MODE_FLASH:
    case RUN_MODE_SENSOR:
    case RUN_MODE_SENSOR_FORCE:
      return "the HEX file";
    case RUN_MODE_BACKUP:
      return "the backup file";
    case RUN_MODE_RESTORE:
      return "the restore file";
    default:
      return nullptr;
  }
}

const char* kind_name(FileKind kind) {
  switch (kind) {
    case FILE_KIND_FIFO:
      return "a named pipe";
    case FILE_KIND_DIRECTORY:
      return "a folder";
    default:
      return "a device or another special file";
  }
}

// "--report 'r.json'", or for the default log "the log 'ZR4_BL_Log.txt'".
std::string named(const RecordRow& row, const char* path, bool given) {
  return std::string(given ? row.option : "the log") + " '" + path + "'";
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

}  // namespace

RecordCheck record_files_check(RunSettings* settings, const char* log_path) {
  RecordCheck check;
  const char* paths[kRecordCount];
  bool given[kRecordCount];
  FileLook looks[kRecordCount];
  bool refused[kRecordCount] = {};
  for (size_t i = 0; i < kRecordCount; ++i) {
    const RecordRow& row = kRecords[i];
    paths[i] = row.path ? settings->*row.path : log_path;
    given[i] = row.path ? paths[i][0] != '\0' : settings->log_path[0] != '\0';
    if (paths[i][0] != '\0') looks[i] = file_look(paths[i]);
  }
  const char* role = job_file_role(*settings);
  const FileLook job = role ? file_look(settings->file_name) : FileLook{};
  for (size_t i = 0; i < kRecordCount; ++i) {
    const RecordRow& row = kRecords[i];
    if (paths[i][0] == '\0') continue;
    const std::string name = named(row, paths[i], given[i]);
    const FileKind kind = looks[i].kind;
    std::string problem;
    if (role && looks[i].identity == job.identity) {
      problem = name + " is " + role + " of this run: it would be overwritten; give " + row.what +
                " a file of its own\n";
    } else if (given[i] && kind != FILE_KIND_NONE && kind != FILE_KIND_REGULAR &&
               !(kind == FILE_KIND_FIFO && row.pipe_allowed)) {
      problem = name + " is " + kind_name(kind) + ": " + row.what + " is written to a regular " +
                (row.pipe_allowed ? "file or a named pipe only\n" : "file only\n");
    } else {
      for (size_t k = 0; k < i; ++k) {
        if (paths[k][0] != '\0' && looks[k].identity == looks[i].identity) {
          problem = named(kRecords[k], paths[k], given[k]) + " and " + name +
                    " are one file: give each record a file of its own\n";
          refused[k] = true;
          break;
        }
      }
    }
    if (problem.empty()) continue;
    refused[i] = true;
    check.problems += problem;
  }
  for (size_t i = 0; i < kRecordCount; ++i) {
    if (!refused[i]) continue;
    if (kRecords[i].path) {
      (settings->*kRecords[i].path)[0] = '\0';
    } else {
      check.log_usable = false;
    }
  }
  return check;
}

RecordCheck record_files_judge(CommandLine* line, CommandLineResult* read, const char* log_path) {
  RecordCheck records = record_files_check(&line->settings, log_path);
  const std::string kept = records.log_usable ? kept_log_problem(line->settings, log_path) : "";
  if (!kept.empty()) {
    records.problems += kept;
    records.log_usable = false;
  }
  size_t begin = 0;
  while (begin < records.problems.size()) {
    const size_t end = records.problems.find('\n', begin);
    line->said.push_back({records.problems.substr(begin, end + 1 - begin), true});
    if (*read == COMMAND_LINE_RUN) {
      line->refusal = records.problems.substr(begin, end - begin);
      *read = COMMAND_LINE_REFUSED;
    }
    begin = end + 1;
  }
  return records;
}
