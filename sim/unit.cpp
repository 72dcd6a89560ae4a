// Emulated Ralvex unit: the download service.
#include "sim/unit.h"

#include <cstring>
#include <vector>

#include "protocol/command_codes.h"
#include "protocol/identifiers.h"
#include "sim/page.h"
#include "sim/world.h"

SimUnitConfig sim_unit_config;

namespace {
constexpr uint32_t kPageSize = UNIT_PAGE.size;

struct UnitState {
  std::vector<uint8_t> flash;  // made when first needed (see flash_memory)
  SimUnitStats stats = {};
  bool loading = false;  // DL_START_LOADING seen, DL_END_OF_DOWNLOAD not yet
  bool erased = false;
  bool start_answered = false;  // the first answer to DL_START_LOADING came (answer_late_us)
  SimPage page = {};     // the page DL_DOWNLOAD opened
};
UnitState g_unit;

const SimDevice* self();

// The application flash as the unit holds it; an "old application" until erased.
std::vector<uint8_t>& flash_memory() {
  if (g_unit.flash.empty()) {
    g_unit.flash.assign(SIM_UNIT_FLASH_SIZE, g_unit.erased ? 0xFF : SIM_UNIT_OLD_APPLICATION);
  }
  return g_unit.flash;
}

void answer(uint64_t at_us, uint8_t code, uint32_t status) {
  uint8_t data[8] = {code};
  frame_put_value(&data[4], status);
  sim_bus_transmit(self(), at_us, UNIT_ANSWER_ID, data);
}

uint32_t check_page(uint32_t checksum) {
  if (!g_unit.erased) return SIM_UNIT_NOT_ERASED;
  if (!g_unit.page.open || g_unit.page.address < SIM_UNIT_FLASH_BASE ||
      g_unit.page.address - SIM_UNIT_FLASH_BASE > SIM_UNIT_FLASH_SIZE - kPageSize ||
      g_unit.page.address % kPageSize != 0) {
    return SIM_UNIT_BAD_ADDRESS;
  }
  if (!sim_page_complete(&g_unit.page)) return SIM_UNIT_BAD_SEQUENCE;
  return sim_page_sum(&g_unit.page) == checksum ? SIM_UNIT_PAGE_WRITTEN : SIM_UNIT_BAD_CHECKSUM;
}

void on_data(const uint8_t data[8]) {
  ++g_unit.stats.data_frames;
  sim_page_take(&g_unit.page, data);
}

void on_command(uint64_t at_us, const uint8_t data[8]) {
  switch (data[0]) {
    case DL_START_LOADING:
      ++g_unit.stats.start_requests;
      g_unit.loading = true;
      answer(g_unit.start_answered ? at_us : at_us + sim_unit_config.answer_late_us,
             DL_START_LOADING_ANSWER, 0);
      g_unit.start_answered = true;
      break;
    case DL_ERASE_APP:
      if (!g_unit.loading) break;
      if (sim_world_keeps_memories()) {
        std::memset(flash_memory().data(), 0xFF, SIM_UNIT_FLASH_SIZE);
      }
      g_unit.erased = true;
      ++g_unit.stats.erases;
      answer(at_us + sim_unit_config.erase_us, DL_ERASE_APP_ANSWER, 0);
      break;
    case DL_DOWNLOAD:
      if (!g_unit.loading) break;
      sim_page_open(&g_unit.page, &UNIT_PAGE, frame_value(&data[4]));
      break;
    case DL_FLASH_COMMAND: {
      if (!g_unit.loading) break;
      const uint32_t status = check_page(frame_value(&data[4]));
      if (status == SIM_UNIT_PAGE_WRITTEN) {
        if (sim_world_keeps_memories()) {
          std::memcpy(&flash_memory()[g_unit.page.address - SIM_UNIT_FLASH_BASE],
                      g_unit.page.bytes, kPageSize);
        }
        ++g_unit.stats.pages_written;
      } else {
        ++g_unit.stats.pages_refused;
      }
      g_unit.page.open = false;
      answer(at_us + sim_unit_config.flash_us, DL_FLASH_COMMAND_ANSWER, status);
      break;
    }
    case DL_END_OF_DOWNLOAD:
      if (!g_unit.loading) break;
      ++g_unit.stats.end_of_download;
      g_unit.loading = false;
      break;
    default:
      break;
  }
}

void unit_reset() {
  g_unit = UnitState{};
  sim_unit_config = SimUnitConfig{};
  sim_unit_parameters_reset();
}

void unit_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]) {
  if (id == UNIT_COMMAND_ID) {
    if (!sim_unit_parameters_command(at_us, data)) on_command(at_us, data);
  } else if (id == UNIT_DATA_ID) {
    if (!sim_unit_parameters_data(data)) on_data(data);
  }
}

const SimDevice kUnit{"Ralvex unit", unit_reset, unit_on_frame};
const SimDevice* self() { return &kUnit; }
}  // namespace

const SimDevice* sim_unit_device() { return &kUnit; }
const uint8_t* sim_unit_flash() {
  return sim_world_keeps_memories() ? flash_memory().data() : nullptr;
}
const SimUnitStats& sim_unit_stats() { return g_unit.stats; }
