// The `-i` table and grammar, opening onto the channel, and the walk of `-l`.
#include "can/interfaces.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "can/backend.h"
#include "can/channel.h"
#include "can/kvaser/kvaser.h"
#include "can/listing.h"
#include "can/peak/peak.h"
#include "can/sim/sim_backend.h"
#include "log/frame_trace.h"
#include "log/log.h"
#include "platform/platform.h"
#if defined(__linux__)
#include "can/socketcan/socketcan.h"
#endif

namespace {
struct InterfaceRow {
  CanTargetKind kind;
  bool tried_by_default;  // opened, in table order, when no interface was selected
  const char* opened;     // console text when it opened, without the line end
  bool opened_names_it;   // when selected, " '<interface>'" follows that text
  const CanBackend* (*backend)();
};

const InterfaceRow kRows[] = {
    {CAN_TARGET_PEAK, true, "Using PEAK PCAN-USB interface", true, peak_backend},
    {CAN_TARGET_KVASER, true, "Using Kvaser USBcan interface", true, kvaser_backend},
    {CAN_TARGET_SIM, false, "Using emulated CAN bus", false, sim_backend},
#if defined(__linux__)
    {CAN_TARGET_SOCKETCAN, false, "Using SocketCAN interface", true, socketcan_backend},
#endif
};

struct InterfacesState {
  const CanBackend* forced = nullptr;
  char spelling[CAN_SPELLING_MAX] = "";  // the interface being opened, as the console names it
  // The first reason a back-end gave for not opening a named channel, as the console says it.
  std::string open_failure;
  std::vector<PlatformLock> held;  // the interfaces this run holds
  // What was opened last; kept when the channel is closed, for the run report.
  const CanBackend* opened = nullptr;
  char opened_spelling[CAN_SPELLING_MAX] = "";
  int32_t opened_channel = CAN_DEFAULT_CHANNEL;
  void (*open_listener)() = nullptr;
};
InterfacesState g_interfaces;

// Hands the opened back-end to the channel and remembers it; the trace gets the interface in a
// spelling without ':' (pcan:2 -> pcan2), as can-utils and python-can read interface names.
void attach(const CanBackend* backend, const char* spelling, int32_t channel) {
  can_channel_attach(backend);
  g_interfaces.opened = backend;
  g_interfaces.opened_channel = channel;
  std::snprintf(g_interfaces.opened_spelling, sizeof g_interfaces.opened_spelling, "%s", spelling);
  char name[CAN_SPELLING_MAX] = "";
  size_t n = 0;
  for (const char* c = spelling; *c && n + 1 < sizeof name; ++c) {
    if (*c != ':') name[n++] = *c;
  }
  name[n] = '\0';
  frame_trace_set_interface(name);
  if (g_interfaces.open_listener) g_interfaces.open_listener();
}

// The console line that names why a named interface did not open: the back-end's own line, or
// "Cannot open <interface>: [<call>: ]<text>"; "" when it recorded no cause.
std::string failure_line(const CanOpenFailure& failure) {
  if (failure.line[0] != '\0') return failure.line;
  if (!can_open_failure_recorded(failure)) return "";
  std::string line = std::string("Cannot open ") + g_interfaces.spelling + ": ";
  if (failure.call[0] != '\0') line += std::string(failure.call) + ": ";
  return line + failure.text;
}

int32_t open_row(const InterfaceRow& row, const CanTarget& target, bool named) {
  g_interfaces.open_failure.clear();
  const CanBackend* backend = row.backend();
  const size_t held = g_interfaces.held.size();
  CanOpenFailure failure{};
  const int32_t result = backend->open(&target, &failure);
  if (result != 0) {
    // What a failed open held is not this run's to keep.
    while (g_interfaces.held.size() > held) {
      lock_release(g_interfaces.held.back());
      g_interfaces.held.pop_back();
    }
    g_interfaces.open_failure = failure_line(failure);
    return result;
  }
  const char* family = can_target_family(row.kind);
  attach(backend, named ? g_interfaces.spelling : (family ? family : target.name), target.channel);
  console_print("%s", row.opened);
  if (named && row.opened_names_it) console_print(" '%s'", g_interfaces.spelling);
  console_print("\n");
  return 0;
}
}  // namespace

int32_t can_open(const CanTarget& target) {
  can_channel_attach(nullptr);
  g_interfaces.opened = nullptr;
  std::snprintf(g_interfaces.spelling, sizeof g_interfaces.spelling, "%s", target.spelling);
  if (g_interfaces.forced) {
    CanOpenFailure failure{};
    const int32_t result = g_interfaces.forced->open(&target, &failure);
    if (result == 0) {
      attach(g_interfaces.forced, target.spelling[0] ? target.spelling : "can", target.channel);
    }
    return result;
  }
  if (target.kind != CAN_TARGET_DEFAULT) {
    // A named interface is opened alone: a second adapter would be a surprise on the bus.
    for (const InterfaceRow& row : kRows) {
      if (row.kind != target.kind) continue;
      const int32_t result = open_row(row, target, true);
      if (result == 0) return 0;
      if (!g_interfaces.open_failure.empty()) {
        console_problem("%s\n", g_interfaces.open_failure.c_str());
      }
      console_problem("CAN init error\n");
      return result < 0 ? result : -1;
    }
  }
  // The defaults' own failure codes only decide that the next is tried; the last one's is returned.
  int32_t result = -1;
  const CanTarget first{};
  for (const InterfaceRow& row : kRows) {
    if (!row.tried_by_default) continue;
    result = open_row(row, first, false);
    if (result == 0) return 0;
  }
  console_problem("CAN init error\n");
  return result;
}

namespace {
// The lock's name: the spelling with what a file name should not hold replaced ("pcan:1" ->
// "pcan-1", "kvaser@10001:0" -> "kvaser-10001-0").
std::string lock_name(const char* spelling) {
  std::string name;
  for (const char* c = spelling; *c; ++c) {
    const bool plain = std::isalnum(static_cast<unsigned char>(*c)) || *c == '_' || *c == '.';
    name += plain ? *c : (*c == ':' || *c == '@' || *c == '-' ? '-' : '_');
  }
  return name;
}
}  // namespace

int32_t can_hold(const char* spelling, CanOpenFailure* failure) {
  PlatformLock lock = PLATFORM_NO_LOCK;
  int64_t holder = 0;
  const int32_t taken = lock_take(lock_name(spelling).c_str(), &lock, &holder);
  if (taken == 0) {
    g_interfaces.held.push_back(lock);
    return 0;
  }
  if (taken == -1) {
    // The run goes on: a lock folder that cannot be used must not stop a technician's job.
    log_writef(LOG_ALWAYS, "%s is not held against other runs: %s\n", spelling, lock_error());
    return 0;
  }
  if (taken < 0) {
    // What stands under the lock's name was put there by someone else: a run that took no lock
    // could share the interface, one that used it would write where it leads.
    log_writef(LOG_ALWAYS, "%s cannot be held against other runs: %s\n", spelling, lock_error());
    can_open_failure_call(failure, "", 0, lock_error());
    return 1;
  }
  char text[200];
  std::snprintf(text, sizeof text,
                "in use by process %lld (another run of this tool): wait until it ends, or name "
                "another interface with -i",
                static_cast<long long>(holder));
  log_writef(LOG_ALWAYS, "%s is %s\n", spelling, text);
  can_open_failure_call(failure, "", 0, text);
  return 1;
}

int64_t can_holder(const char* spelling) { return lock_holder(lock_name(spelling).c_str()); }

int32_t can_list() {
  CanListing listing;
  for (const InterfaceRow& row : kRows) {
    const CanBackend* backend = row.backend();
    if (backend->list) backend->list(&listing);
  }
  can_listing_print(listing);
  return 0;
}

CanOpened can_opened_name() {
  const CanBackend* opened = g_interfaces.opened;
  if (!opened) return CanOpened{nullptr, "", CAN_DEFAULT_CHANNEL, "", ""};
  return CanOpened{opened->name, g_interfaces.opened_spelling, g_interfaces.opened_channel,
                   opened->library ? opened->library() : "",
                   opened->library_version ? opened->library_version() : ""};
}

void can_listen_open(void (*listener)()) { g_interfaces.open_listener = listener; }

void can_use_backend(const CanBackend* backend) { g_interfaces.forced = backend; }

void can_reset() {
  can_channel_reset();
  for (PlatformLock lock : g_interfaces.held) lock_release(lock);
  g_interfaces = InterfacesState{};
}
