// The run's record for the report.
#include "ops/run_record.h"

#include "platform/platform.h"

namespace {
RunRecord g_record;
bool g_running = false;

void end_running_phase() {
  if (!g_running) return;
  const uint64_t now = now_us();
  g_record.phase_us[g_record.phase] += now - g_record.phase_started_us;
  g_running = false;
}
}  // namespace

void run_record_reset() {
  g_record = RunRecord{};
  g_record.phase = -1;
  g_record.first_difference = -1;
  g_running = false;
}

void run_record_phase(RunPhase phase) {
  end_running_phase();
  g_record.phase = phase;
  g_record.phase_seen[phase] = true;
  g_record.phase_started_us = now_us();
  g_running = true;
}

void run_record_end() { end_running_phase(); }

void run_record_image(int32_t extent, uint32_t data_sum, uint32_t image_sum, int32_t pages) {
  g_record.has_image = true;
  g_record.image_extent = extent;
  g_record.data_sum = data_sum;
  g_record.image_sum = image_sum;
  g_record.pages = pages;
}

void run_record_verify(int32_t differing_bytes, int32_t first_difference, uint8_t file_byte,
                       uint8_t unit_byte) {
  g_record.verified = true;
  g_record.differing_bytes = differing_bytes;
  g_record.first_difference = first_difference;
  g_record.file_byte = file_byte;
  g_record.unit_byte = unit_byte;
}

const RunRecord& run_record() { return g_record; }

const char* run_phase_name(int32_t phase) {
  static const char* const kNames[RUN_PHASE_COUNT] = {"open",     "start", "erase",
                                                      "transfer", "end",   "verify"};
  return phase >= 0 && phase < RUN_PHASE_COUNT ? kNames[phase] : "";
}
