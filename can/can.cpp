// The CAN channel: the interface choice, the accepted identifiers, the back-end opened, the
// receive (waiting, or polling) that drops what must not be delivered, and the listing.
#include "can/can.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "can/backends.h"
#include "log/frame_trace.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
// Two identifiers pass adapter filters with few others; beyond them a filter may be wide.
constexpr int kNarrowIdCount = 2;
// The longest single wait of a receive: a Ctrl-C (seen on Windows only between waits) or a lost
// adapter ends the receive within this.
constexpr uint64_t kWaitSliceUs = 50000;

const CanBackend* g_active = nullptr;
// The back-end opened last; kept when the channel is closed, for the run report.
const CanBackend* g_opened = nullptr;
// Set when the back-end said it cannot wait: every later receive polls.
bool g_polling = false;
const CanBackend* g_forced = nullptr;
const CanBackendRow* g_selected = nullptr;  // nullptr: the default candidates
CanTarget g_target{CAN_DEFAULT_CHANNEL, "", false};
char g_spelling[CAN_INTERFACE_NAME_MAX + 16] = "";
uint32_t g_accepted[CAN_MAX_ACCEPTED_IDS];
int g_accepted_count = 0;
// The reason the last back-end gave for not opening a named channel.
std::string g_open_failure;

// The run's frame counts, and what was opened (for the run report).
CanCounters g_counters{};
char g_opened_spelling[CAN_INTERFACE_NAME_MAX + 16] = "";
int32_t g_opened_channel = CAN_DEFAULT_CHANNEL;
std::string g_library;
// Why the channel stopped (CAN_STOPPED_*), 0 while it runs.
int32_t g_stopped = 0;
// The bus state the back-end reported last, and the one the console was told last.
CanBusState g_bus_state = CAN_BUS_UNKNOWN;
CanBusState g_bus_state_printed = CAN_BUS_UNKNOWN;

// Listing state: the interface lines are printed as they come, the findings after all of them.
int g_listed = 0;
std::vector<std::string> g_findings;

const char* kind_name(CanFrameKind kind) {
  switch (kind) {
    case CAN_KIND_STANDARD:
      return "11-bit frame";
    case CAN_KIND_REMOTE:
      return "remote frame";
    case CAN_KIND_ERROR:
      return "error frame";
    case CAN_KIND_STATUS:
      return "status message";
    case CAN_KIND_DATA:
      break;
  }
  return "frame";
}

// What a try that delivered nothing ended on.
constexpr int32_t kAdapterEmpty = -1;
constexpr int32_t kTryUsedUp = -2;

// Reads until a frame is delivered (0), the adapter is empty (kAdapterEmpty), or the try is used
// up (kTryUsedUp). Frames that are not extended data frames never count as answers; a frame of an
// identifier not accepted ends the try while the filters are narrow, and is skipped within it when
// they are wide.
int32_t try_once(uint8_t data[8], uint32_t* id) {
  const bool wide = g_accepted_count > kNarrowIdCount;
  for (int read = 0; read < CAN_DROPS_PER_TRY; ++read) {
    CanRead frame{};
    if (g_active->try_receive(&frame) != 0) return kAdapterEmpty;
    if (frame.kind != CAN_KIND_STATUS && frame.kind != CAN_KIND_ERROR) {
      ++g_counters.received;
      frame_trace_frame(false, frame.id, frame.kind != CAN_KIND_STANDARD,
                        frame.kind == CAN_KIND_REMOTE, frame.data);
    }
    if (frame.kind != CAN_KIND_DATA) {
      if (log_passes(LOG_CAN_FRAMES)) {
        log_writef(LOG_CAN_FRAMES, "Skipped %s: ", kind_name(frame.kind));
        log_frame(frame.id, frame.data);
      }
      continue;
    }
    if (!can_id_accepted(frame.id)) {
      if (wide) continue;
      return kTryUsedUp;
    }
    *id = frame.id;
    std::memcpy(data, frame.data, 8);
    ++g_counters.delivered;
    return 0;
  }
  return kTryUsedUp;
}

// The polling receive: a sleep of step_ms after every failed try; the elapsed count is the sum of
// the requested sleeps.
int32_t receive_polling(uint8_t data[8], uint32_t* id, int32_t step_ms, int64_t limit) {
  int64_t elapsed = 0;
  do {
    if (can_stopped() != 0) break;
    if (try_once(data, id) == 0) return 0;
    sleep_ms(static_cast<uint32_t>(step_ms));
    elapsed += step_ms;
  } while (elapsed <= limit);
  return -1;
}

// The waiting receive: a window of `tries` steps on the clock from now. It reads, then waits for a
// frame; an arrival wakes it at once, wherever in the window it comes, so a wait spans steps (cut
// into slices of kWaitSliceUs, so that a stop is seen soon). A try that ended on a dropped frame
// sleeps out the rest of its step, as a polling try would.
int32_t receive_waiting(uint8_t data[8], uint32_t* id, int32_t step_ms, int64_t tries) {
  const uint64_t step_us = static_cast<uint64_t>(step_ms) * 1000u;
  const uint64_t start = now_us();
  const uint64_t end = start + static_cast<uint64_t>(tries) * step_us;
  for (;;) {
    if (can_stopped() != 0) return -1;
    const int32_t tried = try_once(data, id);
    if (tried == 0) return 0;
    const uint64_t now = now_us();
    if (now >= end) return -1;
    const uint64_t step_end = start + ((now - start) / step_us + 1) * step_us;
    if (tried != kTryUsedUp && !g_polling) {
      const uint64_t until = end - now > kWaitSliceUs ? now + kWaitSliceUs : end;
      const int32_t woke = g_active->wait(until);
      if (woke > 0) continue;
      if (woke == 0) {
        sleep_until_us(until);  // a wait in whole milliseconds may end a little early
        if (until >= end) return -1;
        continue;
      }
      g_polling = true;
    }
    // The window's last read was at the start of its last step.
    sleep_until_us(step_end < end ? step_end : end);
    if (step_end >= end) return -1;
  }
}

// Remembers what was opened, and gives the trace the interface in a spelling without ':'
// (pcan:2 -> pcan2), as can-utils and python-can read interface names.
void note_opened(const char* spelling, int32_t channel) {
  g_opened = g_active;
  g_opened_channel = channel;
  std::snprintf(g_opened_spelling, sizeof g_opened_spelling, "%s", spelling);
  char name[sizeof g_opened_spelling] = "";
  size_t n = 0;
  for (const char* c = spelling; *c && n + 1 < sizeof name; ++c) {
    if (*c != ':') name[n++] = *c;
  }
  name[n] = '\0';
  frame_trace_set_interface(name);
}

const char* bus_state_text(CanBusState state) {
  switch (state) {
    case CAN_BUS_WARNING:
      return "error warning (frames meet errors on the bus; check the wiring and the termination)";
    case CAN_BUS_PASSIVE:
      return "error-passive (frames are not acknowledged: is the unit or node powered and on this "
             "bus, at 250 kbit/s?)";
    case CAN_BUS_OFF:
      return "bus-off (the adapter stopped sending: check the wiring, the termination and every "
             "node's bit rate, then start again)";
    case CAN_BUS_ACTIVE:
    case CAN_BUS_UNKNOWN:
      break;
  }
  return "";
}

// After a receive that brought nothing: names a troubled bus state, once per change.
void explain_silence() {
  if (g_bus_state == g_bus_state_printed) return;
  g_bus_state_printed = g_bus_state;
  if (g_bus_state == CAN_BUS_ACTIVE || g_bus_state == CAN_BUS_UNKNOWN) return;
  console_print("CAN bus state: %s\n", bus_state_text(g_bus_state));
  log_writef(LOG_ALWAYS, "CAN bus state: %s\n", bus_state_text(g_bus_state));
}

int32_t open_row(const CanBackendRow& row, const CanTarget& target, bool named) {
  g_open_failure.clear();
  g_library.clear();
  const int32_t result = row.backend()->open(&target);
  if (result != 0) return result;
  g_active = row.backend();
  note_opened(named ? g_spelling : (row.prefix ? row.prefix : target.name), target.channel);
  console_print("%s", row.opened);
  if (named && row.opened_names_it) console_print(" '%s'", g_spelling);
  console_print("\n");
  return 0;
}
}  // namespace

int32_t can_open() {
  g_active = nullptr;
  g_opened = nullptr;
  g_polling = false;
  if (g_forced) {
    const int32_t result = g_forced->open(&g_target);
    if (result == 0) {
      g_active = g_forced;
      note_opened(g_spelling[0] ? g_spelling : "can", g_target.channel);
    }
    return result;
  }
  if (g_selected) {
    // A named interface is opened alone: a second adapter would be a surprise on the bus.
    const int32_t result = open_row(*g_selected, g_target, true);
    if (result == 0) return 0;
    if (!g_open_failure.empty()) console_print("Cannot open %s: %s\n", g_spelling,
                                               g_open_failure.c_str());
    console_print("CAN init error\n");
    return result < 0 ? result : -1;
  }
  // The defaults' own failure codes only decide that the next is tried; the last one's is returned.
  int32_t result = -1;
  const CanTarget first{CAN_DEFAULT_CHANNEL, "", false};
  for (const CanBackendRow* row = can_backend_rows(); row->backend; ++row) {
    if (!row->tried_by_default) continue;
    result = open_row(*row, first, false);
    if (result == 0) return 0;
  }
  console_print("CAN init error\n");
  return result;
}

int32_t can_send_frame(uint32_t id, const uint8_t data[8]) {
  if (can_stopped() != 0 || !g_active) return -3;
  // A full queue drains in a few frame times; the same rule for every adapter.
  uint32_t waited_ms = 0;
  for (;;) {
    const int32_t sent = g_active->send(id, data);
    if (sent == 0) {
      ++g_counters.sent;
      frame_trace_frame(true, id, true, false, data);
      return 0;
    }
    if (sent != CAN_SEND_QUEUE_FULL) break;
    if (waited_ms >= CAN_FULL_QUEUE_RETRY_MS || can_stopped() != 0) {
      log_writef(LOG_ALWAYS, "%s: transmit queue still full after %u ms\n", g_active->name,
                 waited_ms);
      // The step that failed names itself next (or not at all); this says why.
      if (can_stopped() == 0) {
        console_print("%s: transmit queue still full after %u ms\n", g_active->name, waited_ms);
      }
      break;
    }
    ++g_counters.send_retries;
    sleep_ms(1);
    ++waited_ms;
  }
  ++g_counters.send_refused;
  return -3;
}

int32_t can_receive_frame(uint8_t data[8], uint32_t* id, int32_t step_ms, int32_t extra_ms) {
  *id = 0;
  std::memset(data, 0, 8);
  const int64_t limit = static_cast<int64_t>(step_ms) + extra_ms;
  // A step below 1 ms would never use up the limit.
  if (limit < 0 || step_ms < 1 || !g_active) return -1;
  const int32_t received = g_active->wait && !g_polling
                               ? receive_waiting(data, id, step_ms, limit / step_ms + 1)
                               : receive_polling(data, id, step_ms, limit);
  if (received == 0) return 0;
  if (g_active->receive_timed_out && can_stopped() == 0) g_active->receive_timed_out();
  explain_silence();
  *id = 0;
  std::memset(data, 0, 8);
  return -1;
}

int32_t can_select_interface(const char* name) {
  const CanBackendRow* row = nullptr;
  CanTarget target{};
  char why[128] = "";
  const int32_t parsed = can_parse_interface(name, &row, &target, why, sizeof why);
  if (parsed == -2) {
    console_print("Malformed CAN interface '%s': %s\n", name, why);
    return -2;
  }
  if (parsed != 0) {
    // Scripts written for Linux may name an interface where none is known by name.
    console_print("CAN interface '%s' is not used on this system: %s\n", name, why);
    return 0;
  }
  g_selected = row;
  g_target = target;
  g_target.named = true;
  if (row->prefix && row->last_channel >= row->first_channel &&
      target.channel != CAN_DEFAULT_CHANNEL) {
    std::snprintf(g_spelling, sizeof g_spelling, "%s:%d", row->prefix, target.channel);
  } else {
    std::snprintf(g_spelling, sizeof g_spelling, "%s", row->prefix ? row->prefix : name);
  }
  return 0;
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

void can_open_failed(const char* call, const char* error_text) {
  if (!g_open_failure.empty()) return;  // the first failure is the cause
  g_open_failure = std::string(call) + ": " + error_text;
}

int32_t can_list() {
  g_listed = 0;
  g_findings.clear();
  console_print("CAN interfaces:\n");
  for (const CanBackendRow* row = can_backend_rows(); row->backend; ++row) {
    if (row->backend()->list) row->backend()->list();
  }
  if (g_listed == 0) console_print("  (none)\n");
  if (g_findings.empty()) {
    console_print("No problems found.\n");
  } else {
    console_print("Problems found:\n");
    for (const std::string& finding : g_findings) console_print("%s", finding.c_str());
  }
  g_findings.clear();
  return 0;
}

void can_list_interface(const char* spelling, const char* description) {
  ++g_listed;
  console_print("  %-12s %s\n", spelling, description);
}

void can_list_note(const char* text) { console_print("  %s\n", text); }

void can_list_finding(const char* problem, const char* fix) {
  g_findings.push_back(std::string("  ") + problem + "\n      fix: " + fix + "\n");
}

const CanCounters& can_counters() { return g_counters; }

CanOpened can_opened_name() {
  if (!g_opened) return CanOpened{nullptr, "", CAN_DEFAULT_CHANNEL, ""};
  return CanOpened{g_opened->name, g_opened_spelling, g_opened_channel, g_library.c_str()};
}

void can_note_library(const char* file) { g_library = file ? file : ""; }

int32_t can_stopped() {
  if (g_stopped == 0 && platform_interrupt() != 0) g_stopped = CAN_STOPPED_INTERRUPT;
  return g_stopped;
}

void can_lost(const char* what) {
  if (g_stopped != 0) return;
  g_stopped = CAN_STOPPED_LOST;
  console_print("CAN adapter lost: %s\n", what);
  log_writef(LOG_ALWAYS, "CAN adapter lost: %s\n", what);
}

void can_bus_state(CanBusState state) { g_bus_state = state; }

void can_close() {
  if (g_active && g_active->close) g_active->close();
  g_active = nullptr;
}

void can_use_backend(const CanBackend* backend) { g_forced = backend; }

void can_reset() {
  g_active = nullptr;
  g_opened = nullptr;
  g_polling = false;
  g_forced = nullptr;
  g_selected = nullptr;
  g_target = CanTarget{CAN_DEFAULT_CHANNEL, "", false};
  g_spelling[0] = '\0';
  g_accepted_count = 0;
  g_open_failure.clear();
  g_counters = CanCounters{};
  g_opened_spelling[0] = '\0';
  g_opened_channel = CAN_DEFAULT_CHANNEL;
  g_library.clear();
  g_stopped = 0;
  g_bus_state = CAN_BUS_UNKNOWN;
  g_bus_state_printed = CAN_BUS_UNKNOWN;
}
