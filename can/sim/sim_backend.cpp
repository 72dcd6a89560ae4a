// Emulated bus back-end.
#include "can/sim/sim_backend.h"

#include <cstring>

#include "platform/platform.h"

namespace {
struct SimBackendState {
  const SimDevice* const* devices = nullptr;  // attached by the next open to an empty bus
};
SimBackendState g_sim_backend;

int32_t sim_open(const CanTarget*, CanOpenFailure*) {
  if (sim_bus_device_count() == 0 && g_sim_backend.devices) {
    for (const SimDevice* const* device = g_sim_backend.devices; *device; ++device) {
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

int32_t sim_send(const CanFrame& frame, CanNews*) {
  return sim_bus_tool_send(frame.id, frame.data);
}

// The emulated bus carries extended data frames of 8 bytes only.
int32_t sim_try_receive(CanRead* frame, CanNews*) {
  frame->kind = CAN_KIND_DATA;
  frame->extended = true;
  frame->length = 8;
  return sim_bus_tool_try_receive(frame->data, &frame->id);
}

// Sleeps until the next frame for the tool completes, or until `until_us`.
int32_t sim_wait(uint64_t until_us, CanNews*) {
  uint64_t at_us = 0;
  if (sim_bus_next_tool_delivery(until_us, &at_us) == 0) {
    sleep_until_us(at_us);
    return 1;
  }
  sleep_until_us(until_us);
  return 0;
}

void sim_list(CanListing* listing) {
  CanListRecord record = can_list_interface(
      CanVendor::SIM, "sim",
      "emulated bus at 250 kbit/s with the emulated Ralvex unit and W2 sensor nodes 1 to 127");
  record.is_virtual = true;
  listing->push_back(record);
}
}  // namespace

void sim_backend_set_devices(const SimDevice* const* devices) {
  g_sim_backend.devices = devices;
}

const CanBackend* sim_backend() {
  static const CanBackend backend{"emulated bus", sim_open, sim_send, sim_try_receive,
                                  nullptr,        sim_list, sim_wait, nullptr, nullptr};
  return &backend;
}
