// The run report as JSON: the pieces it shares with the events from app/run_json.h, the file's
// digest and the counters of its own.
#include "app/run_report.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "app/run_json.h"
#include "can/channel.h"
#include "log/log.h"
#include "log/sha256.h"
#include "platform/file_look.h"
#include "platform/platform.h"

namespace {
using json = RunJson;

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
}  // namespace

std::string run_report_json(const RunReport& report) {
  const RunRecord& record = run_record();
  const RunSettings* settings = report.settings;
  json doc = json::object();
  doc["tool"] = run_json_tool();
  doc["arguments"] = run_json_arguments(*report.arguments);
  doc["tags"] = run_json_tags(settings);
  doc["operation"] = run_json_operation(settings);
  doc["interface"] = run_json_interface(settings ? settings->interface_name : "");
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
  doc["progress"] = record.progress ? run_json_progress(*record.progress) : json(nullptr);
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

  doc["started_utc"] = run_json_utc(report.started_unix_ms);
  doc["duration_s"] = run_json_seconds(report.duration_us);
  json phases = json::object();
  for (int32_t phase = 0; phase < RUN_PHASE_COUNT; ++phase) {
    if (record.phase_seen[phase]) {
      phases[run_phase_name(phase)] = run_json_seconds(record.phase_us[phase]);
    }
  }
  doc["phases_s"] = phases;

  const CanCounters& counters = can_counters();
  doc["frames"] = {{"sent", counters.sent},
                   {"received", counters.received},
                   {"delivered", counters.delivered},
                   {"send_refused", counters.send_refused},
                   {"send_retries", counters.send_retries}};
  // Only a run whose console went away says so: every other report stays as it was.
  const std::string console = console_gone();
  if (!console.empty()) doc["console"] = "given up: " + console;
  doc["result"] = run_json_result(report.status, report.message);
  return run_json_text(doc, 2) + "\n";
}

int32_t run_report_write(const char* path, const RunReport& report) {
  // The report replaces a regular file only: a device or a folder is never renamed over.
  const FileKind kind = file_look(path).kind;
  if (kind != FILE_KIND_NONE && kind != FILE_KIND_REGULAR) return -1;
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
