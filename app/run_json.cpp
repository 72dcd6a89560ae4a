// The record of a run in JSON.
#include "app/run_json.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "ralvex_version.h"  // generated from the project() version

#include "can/interfaces.h"
#include "ops/progress.h"

namespace {
// By run mode, from RUN_MODE_NONE to RUN_MODE_LIST: -g and -b run the same operation.
const char* const kOperationNames[] = {"none",         "flash",        "backup", "restore",
                                       "sensor flash", "sensor flash", "list"};
static_assert(sizeof kOperationNames / sizeof *kOperationNames == RUN_MODE_LIST + 1,
              "one name per run mode");

const char* operation_name(RunMode mode) {
  const bool known = mode >= RUN_MODE_NONE && mode <= RUN_MODE_LIST;
  return known ? kOperationNames[mode] : "none";
}

RunJson text_or_null(const char* text) { return text[0] ? RunJson(text) : RunJson(nullptr); }
}  // namespace

RunJson run_json_tool() { return {{"name", "ralvex-service-tool"}, {"version", RALVEX_VERSION}}; }

RunJson run_json_tags(const RunSettings* settings) {
  RunJson tags = RunJson::object();
  if (settings) {
    for (const auto& tag : settings->tags) tags[tag.first] = tag.second;
  }
  return tags;
}

RunJson run_json_arguments(const std::vector<std::string>& arguments) {
  RunJson list = RunJson::array();
  for (const std::string& argument : arguments) list.push_back(argument);
  return list;
}

RunJson run_json_operation(const RunSettings* settings) {
  RunJson operation = RunJson::object();
  operation["name"] = operation_name(settings ? settings->mode : RUN_MODE_NONE);
  operation["run_mode"] = settings ? static_cast<int32_t>(settings->mode) : 0;
  if (!settings) return operation;
  operation["log_level"] = settings->log_level;
  operation["verify"] = settings->verify;
  operation["trace"] = text_or_null(settings->trace_path);
  operation["events"] = text_or_null(settings->events_path);
  const char* progress = progress_mode_name(settings->progress);
  operation["progress"] = progress ? progress : "auto";
  const bool sensor = settings->mode == RUN_MODE_SENSOR || settings->mode == RUN_MODE_SENSOR_FORCE;
  operation["node_id"] = sensor ? RunJson(settings->node_id) : RunJson(nullptr);
  operation["force"] = settings->force;
  return operation;
}

RunJson run_json_interface(const char* requested) {
  RunJson entry = RunJson::object();
  entry["requested"] = text_or_null(requested);
  const CanOpened opened = can_opened_name();
  if (!opened.backend) {
    entry["opened"] = nullptr;
    return entry;
  }
  entry["opened"] = opened.interface;
  entry["backend"] = opened.backend;
  entry["channel"] = opened.channel == CAN_DEFAULT_CHANNEL ? RunJson(nullptr)
                                                           : RunJson(opened.channel);
  entry["library"] = text_or_null(opened.library);
  entry["library_version"] = text_or_null(opened.library_version);
  return entry;
}

RunJson run_json_progress(const RunProgress& progress) {
  return {{"pages_done", progress.pages_done},
          {"pages", progress.pages},
          {"bytes", progress.bytes},
          {"bytes_per_s", std::round(run_progress_rate(progress) * 10.0) / 10.0}};
}

RunJson run_json_result(int32_t status, const std::string& message) {
  const RunRecord& record = run_record();
  RunJson result = RunJson::object();
  result["exit_status"] = status;
  result["shell_status"] = status & 0xFF;
  result["success"] = status == 0;
  result["message"] = status == 0 ? RunJson(nullptr) : RunJson(message);
  result["failed_phase"] = status != 0 && record.phase >= 0 ? RunJson(run_phase_name(record.phase))
                                                            : RunJson(nullptr);
  return result;
}

std::string run_json_utc(int64_t unix_ms) {
  const std::time_t seconds_since = static_cast<std::time_t>(unix_ms / 1000);
  const std::tm* utc = std::gmtime(&seconds_since);
  if (!utc) return "";
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900,
                utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec,
                static_cast<int>(unix_ms % 1000));
  return text;
}

double run_json_seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

std::string run_json_text(const RunJson& value, int indent) {
  return value.dump(indent, ' ', false, RunJson::error_handler_t::replace);
}
