// Emulated bus back-end.
#include "can/sim/sim_backend.h"

#include "can/sim/sim_bus.h"
#include "platform/platform.h"
#include "sim/world.h"

namespace {
int32_t sim_open() {
  if (sim_bus_device_count() == 0) {
    for (const SimDevice* const* device = sim_world_devices(); *device; ++device) {
      sim_bus_attach(*device);
    }
  }
  sim_bus_set_tool_filter(can_id_accepted);
  // An adapter receives only what passes the bus after it opened.
  sim_bus_run_until(now_us());
  uint8_t data[8];
  uint32_t id = 0;
  while (sim_bus_tool_try_receive(data, &id) == 0) {
  }
  return 0;
}
}  // namespace

const CanBackend* sim_backend() {
  static const CanBackend backend{"emulated bus", sim_open, sim_bus_tool_send,
                                  sim_bus_tool_try_receive, nullptr};
  return &backend;
}
