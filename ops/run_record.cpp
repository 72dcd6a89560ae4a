// The run's record for the report.
#include "ops/run_record.h"

#include "platform/platform.h"

namespace {
struct RecordState {
  RunRecord record;
  bool running = false;  // a phase is being timed
  RunRecordListener listener = nullptr;
};
RecordState g_run;

void end_running_phase() {
  if (!g_run.running) return;
  RunRecord& record = g_run.record;
  record.phase_us[record.phase] += now_us() - record.phase_started_us;
  g_run.running = false;
}
}  // namespace

void run_record_reset() { g_run = RecordState{}; }

void run_record_phase(RunPhase phase) {
  end_running_phase();
  RunRecord& record = g_run.record;
  record.phase = phase;
  record.phase_seen[phase] = true;
  record.phase_started_us = now_us();
  g_run.running = true;
  if (g_run.listener) g_run.listener(RUN_CHANGE_PHASE);
}

void run_record_end() { end_running_phase(); }

void run_record_image(int32_t extent, uint32_t data_sum, uint32_t image_sum, int32_t pages) {
  g_run.record.image = RunImage{extent, data_sum, image_sum, pages};
}

void run_record_verify(int32_t differing_bytes, int32_t first_difference, uint8_t file_byte,
                       uint8_t unit_byte) {
  g_run.record.verify = RunVerify{differing_bytes, first_difference, file_byte, unit_byte};
}

void run_record_forced_page(uint32_t address, uint32_t status) {
  g_run.record.forced_pages.push_back(RunPageStatus{address, status});
}

void run_record_progress(int32_t pages_done, int32_t pages, uint32_t page_bytes) {
  const uint64_t now = now_us();
  std::optional<RunProgress>& progress = g_run.record.progress;
  if (!progress || pages_done == 0) progress = RunProgress{0, 0, 0, 0, now, now};
  progress->pages_done = pages_done;
  progress->pages = pages;
  progress->bytes = static_cast<uint64_t>(pages_done) * page_bytes;
  progress->bytes_all = static_cast<uint64_t>(pages) * page_bytes;
  progress->at_us = now;
  if (g_run.listener) g_run.listener(RUN_CHANGE_PROGRESS);
}

void run_record_listen(RunRecordListener listener) { g_run.listener = listener; }

double run_progress_rate(const RunProgress& progress) {
  const uint64_t us = progress.at_us - progress.started_us;
  return us == 0 ? 0.0 : static_cast<double>(progress.bytes) * 1e6 / static_cast<double>(us);
}

double run_progress_left_s(const RunProgress& progress) {
  const double rate = run_progress_rate(progress);
  if (rate <= 0.0) return -1.0;
  return static_cast<double>(progress.bytes_all - progress.bytes) / rate;
}

const RunRecord& run_record() { return g_run.record; }

const char* run_phase_name(int32_t phase) {
  static const char* const kNames[RUN_PHASE_COUNT] = {"open",     "start", "erase",
                                                      "transfer", "end",   "verify"};
  return phase >= 0 && phase < RUN_PHASE_COUNT ? kNames[phase] : "";
}
