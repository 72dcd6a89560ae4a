// The run's record for the report.
#include "ops/run_record.h"

#include "platform/platform.h"

namespace {
struct RecordState {
  RunRecord record;
  bool running = false;  // a phase is being timed
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

const RunRecord& run_record() { return g_run.record; }

const char* run_phase_name(int32_t phase) {
  static const char* const kNames[RUN_PHASE_COUNT] = {"open",     "start", "erase",
                                                      "transfer", "end",   "verify"};
  return phase >= 0 && phase < RUN_PHASE_COUNT ? kNames[phase] : "";
}
