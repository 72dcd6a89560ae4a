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
// CANlib numbers its channels from 0; the default walk looks at no more than 300 of them.
constexpr int32_t kLastKvaserChannel = 299;
constexpr size_t kSpellingSize = CAN_INTERFACE_NAME_MAX + 16;

struct InterfaceRow {
  const char* prefix;     // `-i` spelling before ':' ("pcan"); nullptr: any other name (by name)
  const char* alias;      // a spelling followed directly by the number ("pcan_usbbus"), or nullptr
  int32_t first_channel;  // numbers accepted after ':' or the alias; last < first: none
  int32_t last_channel;
  const char* identity;   // what follows '@' ("device id"), nullptr when it cannot be named so
  bool identity_channel;  // a channel on the device may follow: prefix@IDENTITY:K
  bool tried_by_default;  // opened, in table order, when no interface was selected
  const char* opened;     // console text when it opened, without the line end
  bool opened_names_it;   // when selected, " '<interface>'" follows that text
  const CanBackend* (*backend)();
};

const InterfaceRow kRows[] = {
    {"pcan", "pcan_usbbus", 1, 16, "device id", false, true, "Using PEAK PCAN-USB interface", true,
     peak_backend},
    {"kvaser", nullptr, 0, kLastKvaserChannel, "serial number", true, true,
     "Using Kvaser USBcan interface", true, kvaser_backend},
    {"sim", nullptr, 0, -1, nullptr, false, false, "Using emulated CAN bus", false, sim_backend},
#if defined(__linux__)
    {nullptr, nullptr, 0, -1, nullptr, false, false, "Using SocketCAN interface", true,
     socketcan_backend},
#endif
};

struct InterfacesState {
  const CanBackend* forced = nullptr;
  const InterfaceRow* selected = nullptr;  // nullptr: the default rows
  CanTarget target{CAN_DEFAULT_CHANNEL, "", false};
  char spelling[kSpellingSize] = "";
  // The first reason a back-end gave for not opening a named channel, as the console says it.
  std::string open_failure;
  std::vector<PlatformLock> held;  // the interfaces this run holds
  // What was opened last; kept when the channel is closed, for the run report.
  const CanBackend* opened = nullptr;
  char opened_spelling[kSpellingSize] = "";
  int32_t opened_channel = CAN_DEFAULT_CHANNEL;
  void (*open_listener)() = nullptr;
};
InterfacesState g_interfaces;

// Case-insensitive: the length of `prefix` when `text` starts with it, else 0.
size_t starts_with(const char* text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return 0;
  }
  return i;
}

// A channel number: decimal digits only, within the row's range.
int32_t parse_channel(const char* text, const InterfaceRow& row, int32_t* channel, char* why,
                      size_t why_size) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  const bool digits = std::isdigit(static_cast<unsigned char>(text[0])) && *end == '\0' &&
                      errno != ERANGE;
  if (!digits || value < row.first_channel || value > row.last_channel) {
    std::snprintf(why, why_size, "the channel of %s is a number from %d to %d", row.prefix,
                  row.first_channel, row.last_channel);
    return -2;
  }
  *channel = static_cast<int32_t>(value);
  return 0;
}

// An identity after '@': a number (decimal, or 0x hex for a device id), then ":K" where the row
// takes a channel on the device.
int32_t parse_identity(const char* text, const InterfaceRow& row, CanTarget* target, char* why,
                       size_t why_size) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, row.identity_channel ? 10 : 0);
  bool good = std::isdigit(static_cast<unsigned char>(text[0])) && errno != ERANGE;
  if (good && row.identity_channel && *end == ':') {
    const char* channel = end + 1;
    const long k = std::strtol(channel, &end, 10);
    good = std::isdigit(static_cast<unsigned char>(channel[0])) && k >= 0 && k <= 255;
    target->device_channel = static_cast<int32_t>(k);
  }
  if (!good || *end != '\0') {
    std::snprintf(why, why_size, "%s@ takes the %s%s", row.prefix, row.identity,
                  row.identity_channel ? ", then :K for the device's channel K" : "");
    return -2;
  }
  target->by_identity = true;
  target->identity = value;
  return 0;
}

// Finds the row for `name` and fills `target`. 0; -1 when no row takes the name; -2 when a row's
// prefix matches but the rest is malformed (`why` then holds the reason, without a line end).
int32_t parse_interface(const char* name, const InterfaceRow** row, CanTarget* target, char* why,
                        size_t why_size) {
  *target = CanTarget{CAN_DEFAULT_CHANNEL, "", false};
  if (std::strlen(name) > CAN_INTERFACE_NAME_MAX) {
    std::snprintf(why, why_size, "an interface name has at most %zu characters",
                  CAN_INTERFACE_NAME_MAX);
    return -2;
  }
  std::memcpy(target->name, name, std::strlen(name));
  for (const InterfaceRow& r : kRows) {
    if (!r.prefix) {
      // Any other name is an operating-system interface; an empty one names nothing.
      if (name[0] == '\0') {
        std::snprintf(why, why_size, "the interface name is empty");
        return -2;
      }
      *row = &r;
      return 0;
    }
    if (const size_t n = r.alias ? starts_with(name, r.alias) : 0) {
      *row = &r;
      return parse_channel(name + n, r, &target->channel, why, why_size);
    }
    const size_t n = starts_with(name, r.prefix);
    if (n == 0 || (name[n] != '\0' && name[n] != ':' && name[n] != '@')) continue;
    *row = &r;
    if (name[n] == '\0') return 0;
    if (name[n] == '@') {
      if (r.identity) return parse_identity(name + n + 1, r, target, why, why_size);
      std::snprintf(why, why_size, "%s cannot be named by what it is", r.prefix);
      return -2;
    }
    if (r.last_channel < r.first_channel) {
      std::snprintf(why, why_size, "%s has no channel number", r.prefix);
      return -2;
    }
    return parse_channel(name + n + 1, r, &target->channel, why, why_size);
  }
  std::snprintf(why, why_size, "this system has no interface of that kind (pcan, kvaser or sim)");
  return -1;
}

// Hands the opened back-end to the channel and remembers it; the trace gets the interface in a
// spelling without ':' (pcan:2 -> pcan2), as can-utils and python-can read interface names.
void attach(const CanBackend* backend, const char* spelling, int32_t channel) {
  can_channel_attach(backend);
  g_interfaces.opened = backend;
  g_interfaces.opened_channel = channel;
  std::snprintf(g_interfaces.opened_spelling, sizeof g_interfaces.opened_spelling, "%s", spelling);
  char name[kSpellingSize] = "";
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
  attach(backend, named ? g_interfaces.spelling : (row.prefix ? row.prefix : target.name),
         target.channel);
  console_print("%s", row.opened);
  if (named && row.opened_names_it) console_print(" '%s'", g_interfaces.spelling);
  console_print("\n");
  return 0;
}
}  // namespace

int32_t can_select_interface(const char* name) {
  const InterfaceRow* row = nullptr;
  CanTarget target{};
  char why[128] = "";
  const int32_t parsed = parse_interface(name, &row, &target, why, sizeof why);
  if (parsed == -2) {
    console_problem("Malformed CAN interface '%s': %s\n", name, why);
    return -2;
  }
  if (parsed != 0) {
    // Scripts written for Linux may name an interface where none is known by name.
    console_problem("CAN interface '%s' is not used on this system: %s\n", name, why);
    return 0;
  }
  g_interfaces.selected = row;
  g_interfaces.target = target;
  g_interfaces.target.named = true;
  char* spelling = g_interfaces.spelling;
  if (target.by_identity) {
    // As the operator wrote it, the family in lower case.
    std::snprintf(spelling, kSpellingSize, "%s%s", row->prefix, std::strchr(name, '@'));
  } else if (row->prefix && row->last_channel >= row->first_channel &&
             target.channel != CAN_DEFAULT_CHANNEL) {
    std::snprintf(spelling, kSpellingSize, "%s:%d", row->prefix, target.channel);
  } else {
    std::snprintf(spelling, kSpellingSize, "%s", row->prefix ? row->prefix : name);
  }
  return 0;
}

int32_t can_open() {
  can_channel_attach(nullptr);
  g_interfaces.opened = nullptr;
  if (g_interfaces.forced) {
    CanOpenFailure failure{};
    const int32_t result = g_interfaces.forced->open(&g_interfaces.target, &failure);
    if (result == 0) {
      attach(g_interfaces.forced, g_interfaces.spelling[0] ? g_interfaces.spelling : "can",
             g_interfaces.target.channel);
    }
    return result;
  }
  if (g_interfaces.selected) {
    // A named interface is opened alone: a second adapter would be a surprise on the bus.
    const int32_t result = open_row(*g_interfaces.selected, g_interfaces.target, true);
    if (result == 0) return 0;
    if (!g_interfaces.open_failure.empty()) {
      console_problem("%s\n", g_interfaces.open_failure.c_str());
    }
    console_problem("CAN init error\n");
    return result < 0 ? result : -1;
  }
  // The defaults' own failure codes only decide that the next is tried; the last one's is returned.
  int32_t result = -1;
  const CanTarget first{CAN_DEFAULT_CHANNEL, "", false};
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
  if (taken < 0) {
    // The run goes on: a lock folder that cannot be used must not stop a technician's job.
    log_writef(LOG_ALWAYS, "%s is not held against other runs: %s\n", spelling, lock_error());
    return 0;
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
  if (!opened) return CanOpened{nullptr, "", CAN_DEFAULT_CHANNEL, ""};
  return CanOpened{opened->name, g_interfaces.opened_spelling, g_interfaces.opened_channel,
                   opened->library ? opened->library() : ""};
}

void can_listen_open(void (*listener)()) { g_interfaces.open_listener = listener; }

void can_use_backend(const CanBackend* backend) { g_interfaces.forced = backend; }

void can_reset() {
  can_channel_reset();
  for (PlatformLock lock : g_interfaces.held) lock_release(lock);
  g_interfaces = InterfacesState{};
}
