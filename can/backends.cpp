// The back-end registry and the `-i` grammar.
#include "can/backends.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "can/kvaser/kvaser.h"
#include "can/peak/peak.h"
#include "can/sim/sim_backend.h"
#if defined(__linux__)
#include "can/socketcan/socketcan.h"
#endif

namespace {
// CANlib numbers its channels from 0; the default walk looks at no more than 300 of them.
constexpr int32_t kLastKvaserChannel = 299;

const CanBackendRow kRows[] = {
    {"pcan", "pcan_usbbus", 1, 16, true, "Using PEAK PCAN-USB interface", true, peak_backend},
    {"kvaser", nullptr, 0, kLastKvaserChannel, true, "Using Kvaser USBcan interface", true,
     kvaser_backend},
    {"sim", nullptr, 0, -1, false, "Using emulated CAN bus", false, sim_backend},
#if defined(__linux__)
    {nullptr, nullptr, 0, -1, false, "Using SocketCAN interface", true, socketcan_backend},
#endif
    {nullptr, nullptr, 0, -1, false, nullptr, false, nullptr},
};

// Case-insensitive: the length of `prefix` when `text` starts with it, else 0.
size_t starts_with(const char* text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return 0;
  }
  return i;
}

// A channel number: decimal digits only, within the row's range.
int32_t parse_channel(const char* text, const CanBackendRow& row, int32_t* channel, char* why,
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
}  // namespace

const CanBackendRow* can_backend_rows() { return kRows; }

int32_t can_parse_interface(const char* name, const CanBackendRow** row, CanTarget* target,
                            char* why, size_t why_size) {
  std::memset(target, 0, sizeof *target);
  target->channel = CAN_DEFAULT_CHANNEL;
  if (std::strlen(name) > CAN_INTERFACE_NAME_MAX) {
    std::snprintf(why, why_size, "an interface name has at most %zu characters",
                  CAN_INTERFACE_NAME_MAX);
    return -2;
  }
  std::memcpy(target->name, name, std::strlen(name));
  for (const CanBackendRow* r = kRows; r->backend; ++r) {
    if (!r->prefix) {
      // Any other name is an operating-system interface; an empty one names nothing.
      if (name[0] == '\0') {
        std::snprintf(why, why_size, "the interface name is empty");
        return -2;
      }
      *row = r;
      return 0;
    }
    if (const size_t n = r->alias ? starts_with(name, r->alias) : 0) {
      *row = r;
      return parse_channel(name + n, *r, &target->channel, why, why_size);
    }
    const size_t n = starts_with(name, r->prefix);
    if (n == 0 || (name[n] != '\0' && name[n] != ':')) continue;
    *row = r;
    if (name[n] == '\0') return 0;
    if (r->last_channel < r->first_channel) {
      std::snprintf(why, why_size, "%s has no channel number", r->prefix);
      return -2;
    }
    return parse_channel(name + n + 1, *r, &target->channel, why, why_size);
  }
  std::snprintf(why, why_size, "this system has no interface of that kind (pcan, kvaser or sim)");
  return -1;
}
