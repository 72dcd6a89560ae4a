// The CAN channel: back-end choice at open, the accepted identifiers, and the polling receive.
#include "can/can.h"

#include <cstring>

#include "can/kvaser/kvaser.h"
#include "can/peak/peak.h"
#include "can/sim/sim_backend.h"
#include "log/log.h"
#include "platform/platform.h"
#if defined(__linux__)
#include "can/socketcan/socketcan.h"
#endif

namespace {
enum class Interface { ADAPTERS, SIM, SOCKETCAN };

constexpr uint32_t kDefaultIds[] = {CAN_ID_UNIT_ANSWER, CAN_ID_UNIT_DATA};
constexpr int kDefaultIdCount = static_cast<int>(sizeof kDefaultIds / sizeof kDefaultIds[0]);

const CanBackend* g_active = nullptr;
const CanBackend* g_forced = nullptr;
Interface g_interface = Interface::ADAPTERS;
uint32_t g_accepted[CAN_MAX_ACCEPTED_IDS] = {CAN_ID_UNIT_ANSWER, CAN_ID_UNIT_DATA};
int g_accepted_count = kDefaultIdCount;

// One back-end that can_open may try, with the console line printed when it opens.
struct Candidate {
  const CanBackend* backend;
  const char* opened_text;  // may hold one %s: the interface name
};

int32_t open_first(const Candidate* candidates, int count, const char* interface_name) {
  int32_t result = -1;
  for (int i = 0; i < count; ++i) {
    result = candidates[i].backend->open();
    if (result == 0) {
      g_active = candidates[i].backend;
      console_print(candidates[i].opened_text, interface_name);
      return 0;
    }
  }
  console_print("CAN init error\n");
  return result;
}
}  // namespace

int32_t can_open() {
  g_active = nullptr;
  if (g_forced) {
    const int32_t result = g_forced->open();
    if (result == 0) g_active = g_forced;
    return result;
  }
  if (g_interface == Interface::SIM) {
    const Candidate sim[] = {{sim_backend(), "Using emulated CAN bus\n"}};
    return open_first(sim, 1, "");
  }
#if defined(__linux__)
  if (g_interface == Interface::SOCKETCAN) {
    const Candidate socketcan[] = {{socketcan_backend(), "Using SocketCAN interface '%s'\n"}};
    return open_first(socketcan, 1, socketcan_interface());
  }
#endif
  // PEAK's own failure codes only decide that Kvaser is tried; Kvaser's result is returned.
  const Candidate adapters[] = {{peak_backend(), "Using PEAK PCAN-USB interface\n"},
                                {kvaser_backend(), "Using Kvaser USBcan interface\n"}};
  return open_first(adapters, 2, "");
}

int32_t can_send_frame(uint32_t id, const uint8_t data[8]) {
  if (!g_active) return -3;
  return g_active->send(id, data) == 0 ? 0 : -3;
}

int32_t can_receive_frame(uint8_t data[8], uint32_t* id, int32_t step_ms, int32_t extra_ms) {
  *id = 0;
  std::memset(data, 0, 8);
  const int64_t limit = static_cast<int64_t>(step_ms) + extra_ms;
  // A step below 1 ms would never use up the limit.
  if (limit < 0 || step_ms < 1 || !g_active) return -1;
  // The elapsed count is the sum of requested sleeps, not a clock reading.
  int64_t elapsed = 0;
  do {
    if (g_active->try_receive(data, id) == 0) return 0;
    sleep_ms(static_cast<uint32_t>(step_ms));
    elapsed += step_ms;
  } while (elapsed <= limit);
  if (g_active->receive_timed_out) g_active->receive_timed_out();
  *id = 0;
  std::memset(data, 0, 8);
  return -1;
}

int32_t can_select_interface(const char* name) {
  if (std::strcmp(name, "sim") == 0) {
    g_interface = Interface::SIM;
    return 0;
  }
#if defined(__linux__)
  // The name is kept even when the interface is missing now, so that can_open says what failed.
  g_interface = Interface::SOCKETCAN;
  return socketcan_select(name);
#else
  return -1;
#endif
}

int32_t can_accept_id(uint32_t id) {
  if (can_id_accepted(id)) return 0;
  if (g_accepted_count == CAN_MAX_ACCEPTED_IDS) return -1;
  g_accepted[g_accepted_count++] = id;
  return 0;
}

int can_accepted_ids(const uint32_t** ids) {
  *ids = g_accepted;
  return g_accepted_count;
}

bool can_id_accepted(uint32_t id) {
  for (int i = 0; i < g_accepted_count; ++i) {
    if (g_accepted[i] == id) return true;
  }
  return false;
}

bool can_ids_added() { return g_accepted_count > kDefaultIdCount; }

void can_use_backend(const CanBackend* backend) { g_forced = backend; }

void can_reset() {
  g_active = nullptr;
  g_forced = nullptr;
  g_interface = Interface::ADAPTERS;
  std::memcpy(g_accepted, kDefaultIds, sizeof kDefaultIds);
  g_accepted_count = kDefaultIdCount;
}
