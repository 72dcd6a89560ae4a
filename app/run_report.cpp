// The run report as JSON (nlohmann-json, built as objects and dumped without throwing).
#include "app/run_report.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "ralvex_version.h"  // generated from the project() version

#include "can/channel.h"
#include "can/interfaces.h"
#include "log/sha256.h"
#include "ops/run_record.h"
#include "platform/platform.h"

namespace {
using json = nlohmann::ordered_json;

// By run mode, from RUN_MODE_NONE to RUN_MODE_LIST: -g and -b run the same operation.
const char* const kOperationNames[] = {"none",         "flash",        "backup", "restore",
                                       "sensor flash", "sensor flash", "list"};
static_assert(sizeof kOperationNames / sizeof *kOperationNames == RUN_MODE_LIST + 1,
              "one name per run mode");

const char* operation_name(RunMode mode) {
  const bool known = mode >= RUN_MODE_NONE && mode <= RUN_MODE_LIST;
  return known ? kOperationNames[mode] : "none";
}

double seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

// "2024-05-02T09:14:03.120Z"
std::string utc_text(int64_t unix_ms) {
  const std::time_t seconds_since = static_cast<std::time_t>(unix_ms / 1000);
  const std::tm* utc = std::gmtime(&seconds_since);
  if (!utc) return "";
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900,
                utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec,
                static_cast<int>(unix_ms % 1000));
  return text;
}

json file_entry(const RunSettings& settings, int32_t status) {
  json file = json::object();
  if (settings.file_name[0] == '\0') return nullptr;
  const bool output = settings.mode == RUN_MODE_BACKUP;
  file["path"] = settings.file_name;
  file["role"] = output ? "output" : "input";
  // A backup's file is this run's only when the run succeeded; otherwise it is an earlier one.
  char digest[65];
  uint64_t size = 0;
  if ((!output || status == 0) && sha256_file(settings.file_name, digest, &size) == 0) {
    file["size"] = size;
    file["sha256"] = digest;
  } else {
    file["size"] = nullptr;
    file["sha256"] = nullptr;
  }
  if (output) file["written"] = status == 0;
  return file;
}

json interface_entry(const RunSettings* settings) {
  json entry = json::object();
  entry["requested"] = settings && settings->interface_name[0] ? json(settings->interface_name)
                                                               : json(nullptr);
  const CanOpened opened = can_opened_name();
  if (!opened.backend) {
    entry["opened"] = nullptr;
    return entry;
  }
  entry["opened"] = opened.interface;
  entry["backend"] = opened.backend;
  entry["channel"] = opened.channel == CAN_DEFAULT_CHANNEL ? json(nullptr) : json(opened.channel);
  entry["library"] = opened.library[0] ? json(opened.library) : json(nullptr);
  // The back-ends do not tell their library's version yet.
  entry["library_version"] = nullptr;
  return entry;
}
}  // namespace

std::string run_report_json(const RunReport& report) {
  const RunRecord& record = run_record();
  const RunSettings* settings = report.settings;
  json doc = json::object();
  doc["tool"] = {{"name", "ralvex-service-tool"}, {"version", RALVEX_VERSION}};
  json arguments = json::array();
  for (int i = 1; i < report.argc; ++i) arguments.push_back(report.argv[i]);
  doc["arguments"] = arguments;
  // What the station said of the run (--tag): the unit's serial number, the station, the operator.
  json tags = json::object();
  if (settings) {
    for (const auto& tag : settings->tags) tags[tag.first] = tag.second;
  }
  doc["tags"] = tags;

  json operation = json::object();
  operation["name"] = operation_name(settings ? settings->mode : RUN_MODE_NONE);
  operation["run_mode"] = settings ? static_cast<int32_t>(settings->mode) : 0;
  if (settings) {
    operation["log_level"] = settings->log_level;
    operation["verify"] = settings->verify;
    operation["trace"] = settings->trace_path[0] ? json(settings->trace_path) : json(nullptr);
    const bool sensor = settings->mode == RUN_MODE_SENSOR || settings->mode == RUN_MODE_SENSOR_FORCE;
    operation["node_id"] = sensor ? json(settings->node_id) : json(nullptr);
    operation["force"] = settings->force;
  }
  doc["operation"] = operation;
  doc["interface"] = interface_entry(settings);
  doc["file"] = settings ? file_entry(*settings, report.status) : json(nullptr);

  const RunImage image = record.image.value_or(RunImage{});
  if (record.image) {
    doc["image"] = {{"extent", image.extent},
                    {"data_sum", image.data_sum},
                    {"image_sum", image.image_sum},
                    {"pages", image.pages}};
  } else {
    doc["image"] = nullptr;
  }
  if (record.verify) {
    json verify = json::object();
    verify["bytes_compared"] = image.extent;
    verify["differing_bytes"] = record.verify->differing_bytes;
    if (record.verify->first_difference >= 0) {
      verify["first_difference"] = record.verify->first_difference;
      verify["file_byte"] = record.verify->file_byte;
      verify["unit_byte"] = record.verify->unit_byte;
    } else {
      verify["first_difference"] = nullptr;
    }
    doc["verify"] = verify;
  } else {
    doc["verify"] = nullptr;
  }
  json forced = json::array();
  for (const RunPageStatus& page : record.forced_pages) {
    forced.push_back({{"address", page.address}, {"status", page.status}});
  }
  doc["forced_pages"] = forced;

  doc["started_utc"] = utc_text(report.started_unix_ms);
  doc["duration_s"] = seconds(report.duration_us);
  json phases = json::object();
  for (int32_t phase = 0; phase < RUN_PHASE_COUNT; ++phase) {
    if (record.phase_seen[phase]) phases[run_phase_name(phase)] = seconds(record.phase_us[phase]);
  }
  doc["phases_s"] = phases;

  const CanCounters& counters = can_counters();
  doc["frames"] = {{"sent", counters.sent},
                   {"received", counters.received},
                   {"delivered", counters.delivered},
                   {"send_refused", counters.send_refused},
                   {"send_retries", counters.send_retries}};

  json result = json::object();
  result["exit_status"] = report.status;
  result["shell_status"] = report.status & 0xFF;
  result["success"] = report.status == 0;
  result["message"] = report.status == 0 ? json(nullptr) : json(report.message);
  result["failed_phase"] = report.status != 0 && record.phase >= 0
                               ? json(run_phase_name(record.phase))
                               : json(nullptr);
  doc["result"] = result;
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

int32_t run_report_write(const char* path, const RunReport& report) {
  const std::string text = run_report_json(report);
  // A name beside the target that no one else uses, retried on a clash.
  uint64_t tag = now_us() ^ reinterpret_cast<uintptr_t>(&tag);
  FILE* file = nullptr;
  std::string temp;
  for (int attempt = 0; !file; ++attempt, tag = tag * 6364136223846793005u + 1) {
    if (attempt == 100) return -1;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(tag >> 32));
    temp = std::string(path) + suffix;
    file = file_create_new(temp.c_str());
    if (!file && errno != EEXIST) return -1;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = ok && std::fflush(file) == 0 && file_sync(file) == 0;
  ok = std::fclose(file) == 0 && ok;
  std::error_code error;
  if (ok) std::filesystem::rename(temp, path, error);
  if (!ok || error) {
    std::remove(temp.c_str());
    return -1;
  }
  return 0;
}
