// The events of one run as JSON Lines.
#include "app/run_events.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "app/run_json.h"
#include "can/interfaces.h"
#include "log/log.h"
#include "ops/run_record.h"
#include "platform/platform.h"

namespace {
// A reader follows the run well at four a second; every page would be 40 a second.
constexpr uint64_t kProgressEveryUs = 250000;

struct EventsState {
  FILE* file = nullptr;
  bool listening = false;  // between run_events_begin and run_events_end
  bool failed = false;     // a write failed: the events stopped there
  uint64_t start_us = 0;
  char requested[CAN_INTERFACE_NAME_MAX + 1] = {};  // the -i value
  // Problem lines printed before the file was opened, with their times.
  std::vector<std::pair<uint64_t, std::string>> kept;
  int32_t progress_pages = -1;  // pages_done of the last progress written
  uint64_t progress_us = 0;     // when it was written
};
EventsState g_events;

RunJson event(const char* name, uint64_t at_us) {
  RunJson object = RunJson::object();
  object["event"] = name;
  object["time_s"] = run_json_seconds(at_us - g_events.start_us);
  return object;
}

// One line in one write; after a failure the file is closed and nothing more is tried.
void write_event(const RunJson& object) {
  if (!g_events.file) return;
  const std::string line = run_json_text(object, -1) + "\n";
  if (file_write_flush(g_events.file, line.data(), line.size()) == 0) return;
  g_events.failed = true;
  std::fclose(g_events.file);
  g_events.file = nullptr;
}

void write_problem(uint64_t at_us, const std::string& line) {
  RunJson object = event("problem", at_us);
  object["line"] = line;
  write_event(object);
}

void write_progress(const RunProgress& progress, uint64_t at_us) {
  RunJson object = event("progress", at_us);
  object.update(run_json_progress(progress));
  write_event(object);
  g_events.progress_pages = progress.pages_done;
  g_events.progress_us = at_us;
}

void on_problem(const std::string& line) {
  if (g_events.file) {
    write_problem(now_us(), line);
  } else if (g_events.listening) {
    g_events.kept.emplace_back(now_us(), line);
  }
}

void on_open() {
  RunJson object = event("opened", now_us());
  object["interface"] = run_json_interface(g_events.requested);
  write_event(object);
}

// Progress at most every kProgressEveryUs, but the first and the last count always.
void on_change(RunChange change) {
  const RunRecord& record = run_record();
  const uint64_t now = now_us();
  if (change == RUN_CHANGE_PHASE) {
    RunJson object = event("phase", now);
    object["phase"] = run_phase_name(record.phase);
    write_event(object);
    return;
  }
  if (!record.progress) return;
  const RunProgress& progress = *record.progress;
  if (progress.pages_done == g_events.progress_pages) return;
  const bool first = g_events.progress_pages < 0;
  const bool last = progress.pages_done == progress.pages;
  if (first || last || now - g_events.progress_us >= kProgressEveryUs) write_progress(progress, now);
}

void stop_listening() {
  console_set_problem_sink(nullptr);
  run_record_listen(nullptr);
  can_listen_open(nullptr);
  g_events.listening = false;
  g_events.kept.clear();
}
}  // namespace

void run_events_begin(uint64_t start_us) {
  if (g_events.file) std::fclose(g_events.file);
  g_events = EventsState{};
  g_events.start_us = start_us;
  g_events.listening = true;
  console_set_problem_sink(on_problem);
}

int32_t run_events_open(const char* path, const RunSettings& settings) {
  g_events.file = std::fopen(path, "wb");
  if (!g_events.file) {
    stop_listening();
    return -1;
  }
  // Unbuffered: each line goes out in the one write that file_write_flush makes, and nothing is
  // left for fclose to write to a reader that went away.
  std::setvbuf(g_events.file, nullptr, _IONBF, 0);
  std::snprintf(g_events.requested, sizeof g_events.requested, "%s", settings.interface_name);
  // The run began at time 0, before the lines kept.
  RunJson start = event("start", g_events.start_us);
  start["tool"] = run_json_tool();
  start["arguments"] = run_json_arguments(settings.arguments);
  start["operation"] = run_json_operation(&settings);
  start["interface"] = run_json_interface(g_events.requested);
  write_event(start);
  for (const auto& [at_us, line] : g_events.kept) write_problem(at_us, line);
  g_events.kept.clear();
  run_record_listen(on_change);
  can_listen_open(on_open);
  return 0;
}

void run_events_end(int32_t status, const std::string& message) {
  stop_listening();
  if (!g_events.file) return;
  const uint64_t now = now_us();
  const std::optional<RunProgress>& progress = run_record().progress;
  if (progress && progress->pages_done != g_events.progress_pages) write_progress(*progress, now);
  RunJson end = event("end", now);
  end["result"] = run_json_result(status, message);
  write_event(end);
  if (g_events.file) std::fclose(g_events.file);
  g_events.file = nullptr;
}

bool run_events_failed() { return g_events.failed; }
