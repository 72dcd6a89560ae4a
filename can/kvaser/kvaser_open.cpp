// Opening a Kvaser channel: the one named by number or by the device's serial number, or the
// first real one, each at 250 kbit/s with its acceptance filters and on bus.
#include <cstdio>
#include <string>

#include "can/kvaser/kvaser.h"
#include "can/kvaser/kvaser_library.h"
#include "log/log.h"

namespace {
constexpr int kMaxChannels = 300;
constexpr unsigned int kExtendedIdBits = 0x1FFFFFFF;
constexpr unsigned int kErrorTextSize = 50;

// While an open is under way: whether the channel was named (its failures are then named on the
// console), the open's failure record, and the handle that went on bus.
struct KvaserOpenState {
  bool named = false;
  CanOpenFailure* failure = nullptr;
  CanHandle handle = -1;
};
KvaserOpenState g_kvaser_open;

// Reports a failed call in the log and, for a named channel, to the opening.
void report_failure(const char* label, canStatus status) {
  kvaser_report_status(label, status);
  if (!g_kvaser_open.named) return;
  char text[kErrorTextSize];
  kvaser_error_text(status, text);
  can_open_failure_call(g_kvaser_open.failure, label, status, text);
}

// A code and mask that pass every accepted identifier: the first identifier exactly, widened (never
// narrowed) until each further one passes too. The unit's two give 0xA04401 and 0x1FF3FFFF, which
// admit 0xA04401, 0xA44401, 0xA84401 and 0xAC4401; the channel narrows that down.
void extended_filter(unsigned int* code, unsigned int* mask) {
  const uint32_t* ids = nullptr;
  const int count = can_accepted_ids(&ids);
  *code = count > 0 ? ids[0] : 0;
  *mask = count > 0 ? kExtendedIdBits : 0;
  for (int i = 1; i < count; ++i) {
    *mask &= ~(*code ^ ids[i]) & kExtendedIdBits;
    *code &= *mask;
  }
}

// Some CANlib versions for Linux have no acceptance filter (canERR_NOT_IMPLEMENTED): that is
// reported and the set-up goes on, since the channel still delivers only accepted frames.
bool filter_failed(const char* label, canStatus status) {
  if (status >= 0) return false;
  if (status == canERR_NOT_IMPLEMENTED) {
    kvaser_report_status(label, status);
    return false;
  }
  report_failure(label, status);
  return true;
}

// Steps after canOpenChannel; on failure the handle is closed. 0 when the channel is on bus.
int32_t set_up_channel(CanHandle handle) {
  const CanlibApi& api = kvaser_api();
  kvaser_report_status("canSetBusParams",
                       api.set_bus_params(handle, canBITRATE_250K, 0, 0, 0, 0, 0));
  unsigned int code = 0;
  unsigned int mask = 0;
  extended_filter(&code, &mask);
  if (filter_failed("canSetAcceptanceFilter for standard messages",
                    api.set_acceptance_filter(handle, 1, 0x7FF, 0)) ||
      filter_failed("canSetAcceptanceFilter for extended messages",
                    api.set_acceptance_filter(handle, code, mask, 1))) {
    api.close(handle);
    return -1;
  }
  const canStatus status = api.bus_on(handle);
  if (status < 0) {
    report_failure("canBusOn", status);
    api.close(handle);
    return -1;
  }
  return 0;
}

// What a run holds of channel `index`: the device's channel, wherever CANlib numbers it.
int32_t hold_channel(int index) {
  char spelling[48];
  kvaser_identity(index, spelling, sizeof spelling);
  if (spelling[0] == '\0') std::snprintf(spelling, sizeof spelling, "kvaser:%d", index);
  return can_hold(spelling, g_kvaser_open.failure);
}

// Whether channel `index` is virtual, by its card type as the walk reads it.
bool is_virtual(int index) {
  uint32_t card_type = 0;
  return kvaser_api().get_channel_data(index, canCHANNELDATA_CARD_TYPE, &card_type,
                                       sizeof card_type) >= 0 &&
         card_type == static_cast<uint32_t>(canHWTYPE_VIRTUAL);
}

// canOpenChannel refused with canERR_NOCHANNELS: another program has the channel open (the
// library refuses an exclusive open then, whoever holds it). Reported and, for a named channel,
// recorded as the console says it.
void report_in_use(canStatus status) {
  kvaser_report_status("canOpenChannel", status);
  if (!g_kvaser_open.named) return;
  char text[kErrorTextSize];
  kvaser_error_text(status, text);
  char reason[320];
  std::snprintf(reason, sizeof reason,
                "%s: the channel is in use by another program: close the program that holds it "
                "(Kvaser CanKing, another tool), or name another channel with -i",
                text);
  can_open_failure_call(g_kvaser_open.failure, "canOpenChannel", status, reason);
}

// Opens channel `index` (no other handle may share it) and takes it on bus; the state then holds
// its handle. A virtual channel is accepted only when `accept_virtual` (named by number): the
// library refuses one without canOPEN_ACCEPT_VIRTUAL, and its refusal is what asks, so that a real
// channel's open stays one call. 0, or -1.
int32_t open_channel(int index, bool accept_virtual) {
  if (hold_channel(index) != 0) return -1;
  CanHandle handle = kvaser_api().open_channel(index, canOPEN_EXCLUSIVE);
  if (handle == canERR_NOTFOUND && accept_virtual && is_virtual(index)) {
    handle = kvaser_api().open_channel(index, canOPEN_EXCLUSIVE | canOPEN_ACCEPT_VIRTUAL);
  }
  if (handle == canERR_NOCHANNELS) {
    report_in_use(handle);
    return -1;
  }
  if (handle < 0) {
    report_failure("canOpenChannel", handle);
    return -1;
  }
  if (set_up_channel(handle) != 0) return -1;
  g_kvaser_open.handle = handle;
  return 0;
}

// 0 when channel `index` is real hardware that opens and goes on bus.
int32_t try_channel(int index) {
  uint32_t card_type = 0;
  if (kvaser_api().get_channel_data(index, canCHANNELDATA_CARD_TYPE, &card_type,
                                    sizeof card_type) < 0 ||
      card_type <= static_cast<uint32_t>(canHWTYPE_VIRTUAL)) {
    return -1;
  }
  return open_channel(index, false);
}

// Channel `index`'s device: its serial number (false for none, as a virtual channel has) and the
// channel's number on it (0 when the library does not say).
bool device_of(int index, uint64_t* serial, uint32_t* on_card) {
  *serial = 0;
  *on_card = 0;
  const CanlibApi& api = kvaser_api();
  if (api.get_channel_data(index, canCHANNELDATA_CARD_SERIAL_NO, serial, sizeof *serial) < 0 ||
      *serial == 0) {
    return false;
  }
  if (api.get_channel_data(index, canCHANNELDATA_CHAN_NO_ON_CARD, on_card, sizeof *on_card) < 0) {
    *on_card = 0;
  }
  return true;
}

// The index of the channel `target` names by identity: the device with that serial number, its
// channel device_channel. -1 after saying which devices there are.
int find_device(const CanTarget& target, int count) {
  std::string serials;
  std::string channels;
  for (int index = 0; index < count; ++index) {
    uint64_t serial = 0;
    uint32_t on_card = 0;
    if (!device_of(index, &serial, &on_card)) continue;
    if (serial != target.identity) {
      const std::string text = std::to_string(serial);
      if (serials.find(text) == std::string::npos) serials += (serials.empty() ? "" : ", ") + text;
      continue;
    }
    if (on_card == static_cast<uint32_t>(target.device_channel)) return index;
    channels += (channels.empty() ? "" : ", ") + std::to_string(on_card);
  }
  char line[200];
  if (channels.empty()) {
    std::snprintf(line, sizeof line, "No Kvaser channel with serial number %llu (attached: %s)",
                  static_cast<unsigned long long>(target.identity),
                  serials.empty() ? "none" : serials.c_str());
  } else {
    std::snprintf(line, sizeof line,
                  "No channel %d on the Kvaser device with serial number %llu (its channels: %s)",
                  target.device_channel, static_cast<unsigned long long>(target.identity),
                  channels.c_str());
  }
  log_writef(LOG_ALWAYS, "Kvaser: %s\n", line);
  can_open_failure_line(g_kvaser_open.failure, line);
  return -1;
}

int32_t open_named(const CanTarget& target) {
  g_kvaser_open.named = true;
  int count = 0;
  const canStatus status = kvaser_api().get_number_of_channels(&count);
  int32_t result = -1;
  const int index =
      status < 0 || !target.by_identity ? target.channel : find_device(target, count);
  if (status < 0) {
    log_write("Kvaser: CAN Init Error\n", LOG_ALWAYS);
    report_failure("canGetNumberOfChannels", status);
    result = status;
  } else if (index < 0) {
    // find_device said why.
  } else if (index >= count) {
    char text[64];
    std::snprintf(text, sizeof text, "CANlib has %d channels (0 to %d)", count, count - 1);
    can_open_failure_call(g_kvaser_open.failure, "canOpenChannel", 0, text);
  } else if (open_channel(index, !target.by_identity) == 0) {
    log_write("Kvaser: CAN Init OK\n", LOG_ALWAYS);
    result = 0;
  }
  if (result == -1) log_write("Kvaser: Cannot init download\n", LOG_ALWAYS);
  g_kvaser_open.named = false;
  return result;
}

// The default choice: the first real channel that opens and goes on bus.
int32_t open_first() {
  int count = 0;
  const canStatus status = kvaser_api().get_number_of_channels(&count);
  if (status < 0) {
    log_write("Kvaser: CAN Init Error\n", LOG_ALWAYS);
    return status;
  }
  if (count >= 1 && count <= kMaxChannels) {
    for (int index = 0; index < count; ++index) {
      if (try_channel(index) == 0) {
        log_write("Kvaser: CAN Init OK\n", LOG_ALWAYS);
        return 0;
      }
    }
  }
  log_write("Kvaser: Cannot init download\n", LOG_ALWAYS);
  can_open_failure_call(g_kvaser_open.failure, "canOpenChannel", 0,
                        "no real channel could be opened");
  return -1;
}
}  // namespace

void kvaser_identity(int index, char* spelling, size_t size) {
  spelling[0] = '\0';
  uint64_t serial = 0;
  uint32_t on_card = 0;
  if (!device_of(index, &serial, &on_card)) return;
  if (on_card == 0) {
    std::snprintf(spelling, size, "kvaser@%llu", static_cast<unsigned long long>(serial));
  } else {
    std::snprintf(spelling, size, "kvaser@%llu:%u", static_cast<unsigned long long>(serial),
                  on_card);
  }
}

int32_t kvaser_open_channel(const CanTarget& target, CanOpenFailure* failure, CanHandle* handle) {
  g_kvaser_open = KvaserOpenState{};
  g_kvaser_open.failure = failure;
  const bool named = target.channel != CAN_DEFAULT_CHANNEL || target.by_identity;
  const int32_t result = named ? open_named(target) : open_first();
  if (result == 0) *handle = g_kvaser_open.handle;
  g_kvaser_open = KvaserOpenState{};
  return result;
}
