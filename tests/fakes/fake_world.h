// The emulated devices behind both fake vendor libraries in bus mode, as a run of the tool's
// executable sets them with the fake's settings:
//   sensors_running=1  the sensor nodes run their application from the start (they answer wake
//     frames) instead of being switched on a second after the bus opened
//   erase_ms=MS  the unit's and the sensor nodes' erase time (default 500)
//   answer_late_ms=MS  the first answer to DL_START_LOADING, a node's wake frame and
//     COMMAND_ID_ENTER_PRODUCTION_TEST_MODE comes MS ms late (the tool resends meanwhile)
//   repeat_page=ADDRESS  the first COMMAND_ID_START_PAGE_BACKUP of that page reaches the unit twice
//   unit_flash_out=PATH  when the process ends, the unit's application flash goes to PATH
//     (0x3E0000 bytes, address 0x70020000 first)
//   node_flash_out=PATH  and node node_id=N's flash (0x400000 bytes, index = image address)
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fakes/fake_support.h"
#include "sim/nodes.h"
#include "sim/unit.h"
#include "sim/world.h"

namespace fake_world {
struct Dumps {
  std::string unit_flash;
  std::string node_flash;
  uint8_t node = 0;
};
inline Dumps& dumps() {
  static Dumps values;
  return values;
}

inline void write_memory(const std::string& path, const uint8_t* bytes, size_t size) {
  if (path.empty() || !bytes) return;
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
  }
}

// Registered once the devices exist, so that it runs before their memories are destroyed.
inline void write_memories() {
  const Dumps& d = dumps();
  write_memory(d.unit_flash, sim_unit_flash(), SIM_UNIT_FLASH_SIZE);
  write_memory(d.node_flash, sim_node_flash(d.node), SIM_NODE_FLASH_SIZE);
}

// Attaches the emulated unit and nodes to the fake's bus with the settings' timing and faults.
inline void attach_devices(const FakeSettings& settings) {
  const long long erase_ms = settings.number("erase_ms", -1);
  const auto late_us = static_cast<uint64_t>(settings.number("answer_late_ms", 0)) * 1000u;
  // Otherwise the sensors are switched on a second after the bus opened (SimNodesConfig).
  if (settings.number("sensors_running", 0) != 0) sim_nodes_config.running_before = true;
  sim_nodes_config.answer_late_us = late_us;
  if (erase_ms >= 0) sim_nodes_config.erase_us = static_cast<uint64_t>(erase_ms) * 1000u;
  for (const SimDevice* const* device = sim_world_devices(); *device; ++device) {
    sim_bus_attach(*device);
  }
  // Attaching resets the unit's timing.
  if (erase_ms >= 0) sim_unit_config.erase_us = static_cast<uint64_t>(erase_ms) * 1000u;
  sim_unit_config.answer_late_us = late_us;
  sim_unit_config.repeat_page = settings.number("repeat_page", -1);
  Dumps& d = dumps();
  d.unit_flash = settings.text("unit_flash_out", "");
  d.node_flash = settings.text("node_flash_out", "");
  d.node = static_cast<uint8_t>(settings.number("node_id", 0));
  static bool registered = false;
  if (!registered && (!d.unit_flash.empty() || !d.node_flash.empty())) {
    registered = true;
    std::atexit(write_memories);
  }
}
}  // namespace fake_world
