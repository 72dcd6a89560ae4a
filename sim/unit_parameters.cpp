// Emulated Ralvex unit: the parameter page service. Nothing is served before production test mode
// is entered. A page backup is answered and followed at once by the page's 37 data frames and its
// checksum frame; the bus carries them one after the other. A page restore takes 37 data frames
// and is written only when its sequence, length and checksum are right and its bytes are erased.
// Answers carry the page range's code: 0xA6 for 0x1000-0x1FFF and 0xB000-0xBFFF, else 0xA0.
#include <cstring>

#include "protocol/command_codes.h"
#include "protocol/identifiers.h"
#include "sim/page.h"
#include "sim/unit.h"

namespace {
constexpr uint32_t kPageSize = UNIT_PAGE.size;
constexpr uint32_t kSectorSize = 0x1000;

struct ParameterState {
  uint8_t memory[SIM_UNIT_PARAMETER_SIZE] = {};
  SimUnitParameterStats stats = {};
  bool test_mode = false;
  bool repeated = false;  // the repeat_page fault happened
  SimPage restore = {};  // the page a restore opened
};
ParameterState g_parameters;

uint8_t range_code(uint32_t address) {
  const bool guarded = (address >= 0x1000 && address < 0x2000) ||
                       (address >= 0xB000 && address < 0xC000);
  return guarded ? PARAMETER_GUARDED_ANSWER : PARAMETER_ANSWER;
}

void answer(uint64_t at_us, uint8_t code, uint32_t status) {
  uint8_t frame[8] = {code};
  frame_put_value(&frame[4], status);
  if (status != SIM_UNIT_PAGE_WRITTEN) ++g_parameters.stats.requests_refused;
  sim_bus_transmit(sim_unit_device(), at_us, UNIT_ANSWER_ID, frame);
}

bool page_in_memory(uint32_t address, uint32_t alignment) {
  return address % alignment == 0 && address < SIM_UNIT_PARAMETER_SIZE;
}

// The answer, then the page in 37 frames (sequence 0 to 36, seven bytes each, the last carrying
// four and zero fillers), then the checksum frame; all ready at once, sent in that order.
void backup_page(uint64_t at_us, uint32_t address) {
  if (!page_in_memory(address, kPageSize)) {
    answer(at_us, PARAMETER_ANSWER, SIM_UNIT_BAD_ADDRESS);
    return;
  }
  answer(at_us, PARAMETER_ANSWER, SIM_UNIT_PAGE_WRITTEN);
  uint32_t sum = 0;
  for (int index = 0; index < UNIT_PAGE.frames; ++index) {
    uint8_t frame[8];
    sum += page_build_frame(UNIT_PAGE, index, &g_parameters.memory[address], frame);
    sim_bus_transmit(sim_unit_device(), at_us, UNIT_DATA_ID, frame);
  }
  uint8_t checksum[8] = {};
  frame_put_value(&checksum[4], sum);
  sim_bus_transmit(sim_unit_device(), at_us, UNIT_ANSWER_ID, checksum);
  ++g_parameters.stats.pages_backed_up;
}

void erase_sector(uint64_t at_us, uint32_t address) {
  if (!page_in_memory(address, kSectorSize)) {
    answer(at_us, range_code(address), SIM_UNIT_BAD_ADDRESS);
    return;
  }
  std::memset(&g_parameters.memory[address], 0xFF, kSectorSize);
  ++g_parameters.stats.sectors_erased;
  answer(at_us, range_code(address), SIM_UNIT_PAGE_WRITTEN);
}

void start_restore(uint64_t at_us, uint32_t address) {
  g_parameters.restore.open = false;
  if (!page_in_memory(address, kPageSize)) {
    answer(at_us, range_code(address), SIM_UNIT_BAD_ADDRESS);
    return;
  }
  sim_page_open(&g_parameters.restore, &UNIT_PAGE, address);
  answer(at_us, range_code(address), SIM_UNIT_PAGE_WRITTEN);
}

uint32_t check_restore(uint32_t checksum) {
  if (!g_parameters.restore.open) return SIM_UNIT_BAD_ADDRESS;
  if (!sim_page_complete(&g_parameters.restore)) return SIM_UNIT_BAD_SEQUENCE;
  if (sim_page_sum(&g_parameters.restore) != checksum) return SIM_UNIT_BAD_CHECKSUM;
  // Flash takes a page only where it was erased.
  for (uint32_t i = 0; i < kPageSize; ++i) {
    if (g_parameters.memory[g_parameters.restore.address + i] != 0xFF) return SIM_UNIT_NOT_ERASED;
  }
  return SIM_UNIT_PAGE_WRITTEN;
}

void finish_restore(uint64_t at_us, uint32_t checksum) {
  const uint32_t status = check_restore(checksum);
  SimPage& restore = g_parameters.restore;
  const uint8_t code = restore.open ? range_code(restore.address) : PARAMETER_ANSWER;
  if (status == SIM_UNIT_PAGE_WRITTEN) {
    std::memcpy(&g_parameters.memory[restore.address], restore.bytes, kPageSize);
    const int64_t corrupt = sim_unit_config.corrupt_parameter;
    if (corrupt >= restore.address && corrupt < restore.address + int64_t{kPageSize}) {
      uint8_t& stored = g_parameters.memory[static_cast<size_t>(corrupt)];
      stored = static_cast<uint8_t>(~stored);
    }
    ++g_parameters.stats.pages_restored;
  }
  restore.open = false;
  answer(at_us, code, status);
}
}  // namespace

uint8_t sim_unit_parameter_default(uint32_t address) {
  return static_cast<uint8_t>(address % 16 == 0 ? address >> 8 : address);
}

uint8_t* sim_unit_parameters() { return g_parameters.memory; }
const SimUnitParameterStats& sim_unit_parameter_stats() { return g_parameters.stats; }

void sim_unit_parameters_reset() {
  g_parameters = ParameterState{};
  for (uint32_t address = 0; address < SIM_UNIT_PARAMETER_SIZE; ++address) {
    g_parameters.memory[address] = sim_unit_parameter_default(address);
  }
}

bool sim_unit_parameters_command(uint64_t at_us, const uint8_t data[8]) {
  const uint8_t code = data[0];
  if (code != COMMAND_ID_ENTER_PRODUCTION_TEST_MODE &&
      (code < COMMAND_ID_START_PAGE_BACKUP || code > COMMAND_ID_ERASE_SECTOR)) {
    return false;
  }
  const uint64_t ready_us = at_us + sim_unit_config.parameter_us;
  if (code == COMMAND_ID_ENTER_PRODUCTION_TEST_MODE) {
    const bool first = g_parameters.stats.test_mode_requests++ == 0;
    g_parameters.test_mode = true;
    answer(first ? ready_us + sim_unit_config.answer_late_us : ready_us, PARAMETER_ANSWER,
           SIM_UNIT_PAGE_WRITTEN);
    return true;
  }
  if (!g_parameters.test_mode) {
    ++g_parameters.stats.ignored_commands;
    return true;
  }
  switch (code) {
    case COMMAND_ID_START_PAGE_BACKUP: {
      g_parameters.restore.open = false;
      const uint32_t address = frame_value(&data[4]);
      backup_page(ready_us, address);
      if (!g_parameters.repeated && sim_unit_config.repeat_page == int64_t{address}) {
        g_parameters.repeated = true;
        backup_page(ready_us + SIM_FRAME_US, address);
      }
      break;
    }
    case COMMAND_ID_START_PAGE_RESTORE:
      start_restore(ready_us, frame_value(&data[4]));
      break;
    case COMMAND_ID_FINISH_PAGE_RESTORE:
      finish_restore(ready_us, frame_value(&data[4]));
      break;
    default:
      erase_sector(ready_us, frame_value(&data[4]));
      break;
  }
  return true;
}

bool sim_unit_parameters_data(const uint8_t data[8]) {
  if (!g_parameters.restore.open) return false;
  ++g_parameters.stats.data_frames;
  sim_page_take(&g_parameters.restore, data);
  return true;
}
