// Emulated CAN bus.
#include "can/sim/sim_bus.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/platform.h"

namespace {
struct Pending {
  uint64_t ready_us;
  uint64_t order;  // queueing order: among equal ready times and identifiers, first in goes first
  uint32_t id;
  uint8_t data[8];
};

// Each sender's controller transmits its own frames in order (ready time, then queueing order):
// only the head of a sender's queue competes for the bus.
struct SenderQueue {
  const SimDevice* sender;
  std::deque<Pending> frames;
};

struct Received {
  uint64_t done_us;  // readable from then on (the bus may have run ahead of the clock)
  uint32_t id;
  uint8_t data[8];
};

const SimDevice kOtherNode{"other node", nullptr, nullptr};

struct SimBusState {
  std::vector<const SimDevice*> devices;
  std::vector<SenderQueue> queues;
  std::deque<Received> tool_queue;
  bool recording = false;  // the record costs memory with every frame: only tests read it
  std::vector<SimBusFrame> record;
  uint64_t bus_free_us = 0;
  uint64_t order = 0;
  bool (*tool_filter)(uint32_t id) = nullptr;
  bool tool_filter_open = false;
  uint32_t tool_sends = 0;
  uint32_t refuse_from = 0;
  SimTransmitHook transmit_hook = nullptr;
};
SimBusState g_bus;

void queue(const SimDevice* sender, uint64_t ready_us, uint32_t id, const uint8_t data[8]) {
  auto owner = std::find_if(g_bus.queues.begin(), g_bus.queues.end(),
                            [sender](const SenderQueue& q) { return q.sender == sender; });
  if (owner == g_bus.queues.end()) {
    owner = g_bus.queues.insert(g_bus.queues.end(), SenderQueue{sender, {}});
  }
  Pending frame{ready_us, g_bus.order++, id, {}};
  std::memcpy(frame.data, data, 8);
  // A delayed frame lets the sender's later frames with earlier ready times go first.
  auto at = std::upper_bound(owner->frames.begin(), owner->frames.end(), ready_us,
                             [](uint64_t ready, const Pending& f) { return ready < f.ready_us; });
  owner->frames.insert(at, frame);
}

uint64_t start_of(const Pending& frame) {
  return frame.ready_us > g_bus.bus_free_us ? frame.ready_us : g_bus.bus_free_us;
}

// The sender whose head frame gets the bus next: the earliest start; among equal starts the
// lowest identifier wins arbitration. nullptr when nothing is pending.
SenderQueue* next_sender() {
  SenderQueue* best = nullptr;
  for (SenderQueue& q : g_bus.queues) {
    if (q.frames.empty()) continue;
    if (!best) {
      best = &q;
      continue;
    }
    const Pending& a = q.frames.front();
    const Pending& b = best->frames.front();
    const uint64_t sa = start_of(a);
    const uint64_t sb = start_of(b);
    if (sa < sb || (sa == sb && (a.id < b.id || (a.id == b.id && a.order < b.order)))) best = &q;
  }
  return best;
}

void deliver(const SimBusFrame& frame) {
  for (const SimDevice* device : g_bus.devices) {
    if (device != frame.sender && device->on_frame) {
      device->on_frame(frame.done_us, frame.id, frame.data);
    }
  }
  if (frame.sender == nullptr) return;
  if (g_bus.tool_filter_open || !g_bus.tool_filter || g_bus.tool_filter(frame.id)) {
    Received received{frame.done_us, frame.id, {}};
    std::memcpy(received.data, frame.data, 8);
    g_bus.tool_queue.push_back(received);
  }
}
}  // namespace

void sim_bus_reset() { g_bus = SimBusState{}; }

int32_t sim_bus_attach(const SimDevice* device) {
  for (const SimDevice* attached : g_bus.devices) {
    if (attached == device) return -1;
  }
  g_bus.devices.push_back(device);
  if (device->reset) device->reset();
  return 0;
}

size_t sim_bus_device_count() { return g_bus.devices.size(); }

int32_t sim_bus_transmit(const SimDevice* sender, uint64_t ready_us, uint32_t id,
                         const uint8_t data[8]) {
  uint8_t bytes[8];
  std::memcpy(bytes, data, sizeof bytes);
  if (g_bus.transmit_hook && !g_bus.transmit_hook(sender, &ready_us, &id, bytes)) return 1;
  queue(sender, ready_us, id, bytes);
  return 0;
}

void sim_bus_run_until(uint64_t t_us) {
  while (SenderQueue* next = next_sender()) {
    const Pending& pending = next->frames.front();
    const uint64_t done_us = start_of(pending) + SIM_FRAME_US;
    if (done_us > t_us) return;
    SimBusFrame frame{done_us, next->sender, pending.id, {}};
    std::memcpy(frame.data, pending.data, 8);
    next->frames.pop_front();
    g_bus.bus_free_us = done_us;
    if (g_bus.recording) g_bus.record.push_back(frame);
    deliver(frame);  // may queue answers, so `next` is not used after this
  }
}

int32_t sim_bus_tool_send(uint32_t id, const uint8_t data[8]) {
  ++g_bus.tool_sends;
  if (g_bus.refuse_from != 0 && g_bus.tool_sends >= g_bus.refuse_from) return -3;
  const uint64_t now = now_us();
  sim_bus_run_until(now);
  queue(nullptr, now, id, data);
  return 0;
}

int32_t sim_bus_tool_try_receive(uint8_t data[8], uint32_t* id) {
  const uint64_t now = now_us();
  sim_bus_run_until(now);
  if (g_bus.tool_queue.empty() || g_bus.tool_queue.front().done_us > now) return -1;
  *id = g_bus.tool_queue.front().id;
  std::memcpy(data, g_bus.tool_queue.front().data, 8);
  g_bus.tool_queue.pop_front();
  return 0;
}

int32_t sim_bus_next_tool_delivery(uint64_t until_us, uint64_t* at_us) {
  sim_bus_run_until(now_us());
  for (;;) {
    if (!g_bus.tool_queue.empty()) {
      *at_us = g_bus.tool_queue.front().done_us;
      return 0;
    }
    SenderQueue* next = next_sender();
    if (!next) return -1;
    const uint64_t done_us = start_of(next->frames.front()) + SIM_FRAME_US;
    if (done_us > until_us) return -1;
    sim_bus_run_until(done_us);
  }
}

void sim_bus_set_tool_filter(bool (*accept)(uint32_t id)) { g_bus.tool_filter = accept; }

size_t sim_bus_frames(const SimBusFrame** frames) {
  *frames = g_bus.record.data();
  return g_bus.record.size();
}

void sim_bus_record_frames(bool on) {
  g_bus.recording = on;
  if (!on) g_bus.record.clear();
}

void sim_bus_inject(uint64_t ready_us, uint32_t id, const uint8_t data[8]) {
  queue(&kOtherNode, ready_us, id, data);
}

const SimDevice* sim_bus_other_node() { return &kOtherNode; }

void sim_bus_refuse_tool_sends(uint32_t nth) { g_bus.refuse_from = nth; }

void sim_bus_set_transmit_hook(SimTransmitHook hook) { g_bus.transmit_hook = hook; }

void sim_bus_open_tool_filter(bool open) { g_bus.tool_filter_open = open; }
