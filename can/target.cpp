// The `-i` grammar: a family word, then a channel number, an identity or nothing.
#include "can/target.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// CANlib numbers its channels from 0; the default walk looks at no more than 300 of them.
constexpr int32_t kLastKvaserChannel = 299;

struct GrammarRow {
  CanTargetKind kind;
  const char* prefix;     // `-i` spelling before ':' ("pcan"); nullptr: any other name (by name)
  const char* alias;      // a spelling followed directly by the number ("pcan_usbbus"), or nullptr
  int32_t first_channel;  // numbers accepted after ':' or the alias; last < first: none
  int32_t last_channel;
  const char* identity;   // what follows '@' ("device id"), nullptr when it cannot be named so
  bool identity_channel;  // a channel on the device may follow: prefix@IDENTITY:K
};

const GrammarRow kGrammar[] = {
    {CAN_TARGET_PEAK, "pcan", "pcan_usbbus", 1, 16, "device id", false},
    {CAN_TARGET_KVASER, "kvaser", nullptr, 0, kLastKvaserChannel, "serial number", true},
    {CAN_TARGET_SIM, "sim", nullptr, 0, -1, nullptr, false},
#if defined(__linux__)
    {CAN_TARGET_SOCKETCAN, nullptr, nullptr, 0, -1, nullptr, false},
#endif
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
CanTargetParse parse_channel(const char* text, const GrammarRow& row, int32_t* channel, char* why,
                             size_t why_size) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  const bool digits = std::isdigit(static_cast<unsigned char>(text[0])) && *end == '\0' &&
                      errno != ERANGE;
  if (!digits || value < row.first_channel || value > row.last_channel) {
    std::snprintf(why, why_size, "the channel of %s is a number from %d to %d", row.prefix,
                  row.first_channel, row.last_channel);
    return CAN_TARGET_MALFORMED;
  }
  *channel = static_cast<int32_t>(value);
  return CAN_TARGET_OK;
}

// An identity after '@': a number (decimal, or 0x hex for a device id), then ":K" where the row
// takes a channel on the device.
CanTargetParse parse_identity(const char* text, const GrammarRow& row, CanTarget* target,
                              char* why, size_t why_size) {
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
    return CAN_TARGET_MALFORMED;
  }
  target->by_identity = true;
  target->identity = value;
  return CAN_TARGET_OK;
}

// Finds the row for `name` and fills `target` but for its spelling.
CanTargetParse parse(const char* name, const GrammarRow** row, CanTarget* target, char* why,
                     size_t why_size) {
  if (std::strlen(name) > CAN_INTERFACE_NAME_MAX) {
    std::snprintf(why, why_size, "an interface name has at most %zu characters",
                  CAN_INTERFACE_NAME_MAX);
    return CAN_TARGET_MALFORMED;
  }
  std::memcpy(target->name, name, std::strlen(name));
  for (const GrammarRow& r : kGrammar) {
    if (!r.prefix) {
      // Any other name is an operating-system interface; an empty one names nothing.
      if (name[0] == '\0') {
        std::snprintf(why, why_size, "the interface name is empty");
        return CAN_TARGET_MALFORMED;
      }
      *row = &r;
      return CAN_TARGET_OK;
    }
    if (const size_t n = r.alias ? starts_with(name, r.alias) : 0) {
      *row = &r;
      return parse_channel(name + n, r, &target->channel, why, why_size);
    }
    const size_t n = starts_with(name, r.prefix);
    if (n == 0 || (name[n] != '\0' && name[n] != ':' && name[n] != '@')) continue;
    *row = &r;
    if (name[n] == '\0') return CAN_TARGET_OK;
    if (name[n] == '@') {
      if (r.identity) return parse_identity(name + n + 1, r, target, why, why_size);
      std::snprintf(why, why_size, "%s cannot be named by what it is", r.prefix);
      return CAN_TARGET_MALFORMED;
    }
    if (r.last_channel < r.first_channel) {
      std::snprintf(why, why_size, "%s has no channel number", r.prefix);
      return CAN_TARGET_MALFORMED;
    }
    return parse_channel(name + n + 1, r, &target->channel, why, why_size);
  }
  // Where no interface is known by name, a misspelt adapter must not fall through to the default
  // walk, which would open whichever adapter comes first.
  for (const GrammarRow& r : kGrammar) {
    if ((r.kind == CAN_TARGET_PEAK || r.kind == CAN_TARGET_KVASER) && starts_with(name, r.prefix)) {
      std::snprintf(why, why_size, "%s", r.kind == CAN_TARGET_PEAK
                                             ? "PEAK channels are pcan, pcan:N, PCAN_USBBUSN (N 1 "
                                               "to 16) or pcan@ID"
                                             : "Kvaser channels are kvaser, kvaser:N or "
                                               "kvaser@SERIAL[:K]");
      return CAN_TARGET_MALFORMED;
    }
  }
  std::snprintf(why, why_size, "this system has no interface of that kind (pcan, kvaser or sim)");
  return CAN_TARGET_NOT_HERE;
}
}  // namespace

CanTargetParse can_parse_target(const char* name, CanTarget* target, char* why,
                                size_t why_size) {
  *target = CanTarget{};
  const GrammarRow* row = nullptr;
  const CanTargetParse parsed = parse(name, &row, target, why, why_size);
  if (parsed != CAN_TARGET_OK) {
    *target = CanTarget{};
    return parsed;
  }
  target->kind = row->kind;
  target->named = true;
  char* spelling = target->spelling;
  if (target->by_identity) {
    // As the operator wrote it, the family in lower case.
    std::snprintf(spelling, CAN_SPELLING_MAX, "%s%s", row->prefix, std::strchr(name, '@'));
  } else if (row->prefix && row->last_channel >= row->first_channel &&
             target->channel != CAN_DEFAULT_CHANNEL) {
    std::snprintf(spelling, CAN_SPELLING_MAX, "%s:%d", row->prefix, target->channel);
  } else {
    std::snprintf(spelling, CAN_SPELLING_MAX, "%s", row->prefix ? row->prefix : name);
  }
  return CAN_TARGET_OK;
}

const char* can_target_family(CanTargetKind kind) {
  for (const GrammarRow& row : kGrammar) {
    if (row.kind == kind) return row.prefix;
  }
  return nullptr;
}
