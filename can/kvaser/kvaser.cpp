// Kvaser CANlib back-end.
#include "can/kvaser/kvaser.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "can/kvaser/kvaser_library.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
#if defined(_WIN32)
const char* const kLibraryNames[] = {"canlib32", nullptr};
#else
const char* const kLibraryNames[] = {"libcanlib.so.1", "libcanlib.so", nullptr};
#endif
constexpr int kMaxChannels = 300;
constexpr unsigned int kExtendedIdBits = 0x1FFFFFFF;
constexpr unsigned int kErrorTextSize = 50;

// canReadWait, looked up at the first wait; a message it read waits for the next try.
enum class WaitState { NOT_LOOKED_UP, READY, NONE };
struct Waited {
  bool held;
  long id;
  uint8_t bytes[8];
  unsigned int dlc;
  unsigned int flags;
};

struct KvaserState {
  CanlibApi api{};
  VendorLibrary library;
  CanHandle handle = -1;
  canStatus last_read_status = canOK;
  // Set while a channel asked for by name is being set up: its failures are named on the console.
  bool named = false;
  WaitState wait_state = WaitState::NOT_LOOKED_UP;
  canReadWait_t read_wait = nullptr;
  Waited waited{};
  char lost[160] = "";  // how the adapter was lost, for the channel (CanNews::lost)
  CanOpenFailure* failure = nullptr;  // the record of the open under way
};
KvaserState g_kvaser;

const VendorEntryPoint kEntryPoints[] = {
    {"canInitializeLibrary", &g_kvaser.api.initialize_library},
    {"canClose", &g_kvaser.api.close},
    {"canOpenChannel", &g_kvaser.api.open_channel},
    {"canGetErrorText", &g_kvaser.api.get_error_text},
    {"canSetBusParams", &g_kvaser.api.set_bus_params},
    {"canGetNumberOfChannels", &g_kvaser.api.get_number_of_channels},
    {"canGetChannelData", &g_kvaser.api.get_channel_data},
    {"canSetAcceptanceFilter", &g_kvaser.api.set_acceptance_filter},
    {"canBusOn", &g_kvaser.api.bus_on},
    {"canRead", &g_kvaser.api.read},
    {"canWrite", &g_kvaser.api.write},
};
const VendorLibraryKind kLibrary{
    kLibraryNames,
    kEntryPoints,
    sizeof kEntryPoints / sizeof kEntryPoints[0],
    {"Kvaser: ERROR: can not load canlib32.dll\n",
     "Kvaser: ERROR: canlib32.dll can not resolve functions. Please check Kvaser driver version.\n",
     "Kvaser: Cannot initialize DLL\n", "Kvaser: canlib32.dll Load OK\n"}};

// Reports a failed call in the log and, for a named channel, to the opening.
void report_failure(const char* label, canStatus status) {
  kvaser_report_status(label, status);
  if (!g_kvaser.named) return;
  char text[kErrorTextSize];
  kvaser_error_text(status, text);
  can_open_failure_call(g_kvaser.failure, label, status, text);
}

// "No card" and "hardware error" mean the adapter is gone, whichever call says so: true after
// telling `news` how.
bool check_lost(const char* call, canStatus status, CanNews* news) {
  if (status != canERR_NOCARD && status != canERR_HARDWARE) return false;
  char text[kErrorTextSize];
  kvaser_error_text(status, text);
  std::snprintf(g_kvaser.lost, sizeof g_kvaser.lost,
                "Kvaser channel (%s: %s): the adapter was unplugged or its driver stopped", call,
                text);
  news->lost = g_kvaser.lost;
  return true;
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
  const CanlibApi& api = g_kvaser.api;
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
  return can_hold(spelling, g_kvaser.failure);
}

// Opens channel `index` (no other handle may share it) and takes it on bus; the state then holds
// its handle. 0, or -1.
int32_t open_channel(int index) {
  if (hold_channel(index) != 0) return -1;
  const CanHandle handle = g_kvaser.api.open_channel(index, canOPEN_EXCLUSIVE);
  if (handle < 0) {
    report_failure("canOpenChannel", handle);
    return -1;
  }
  if (set_up_channel(handle) != 0) return -1;
  g_kvaser.handle = handle;
  return 0;
}

// 0 when channel `index` is real hardware that opens and goes on bus.
int32_t try_channel(int index) {
  uint32_t card_type = 0;
  if (g_kvaser.api.get_channel_data(index, canCHANNELDATA_CARD_TYPE, &card_type,
                                    sizeof card_type) < 0 ||
      card_type <= static_cast<uint32_t>(canHWTYPE_VIRTUAL)) {
    return -1;
  }
  return open_channel(index);
}

// Channel `index`'s device: its serial number (false for none, as a virtual channel has) and the
// channel's number on it (0 when the library does not say).
bool device_of(int index, uint64_t* serial, uint32_t* on_card) {
  *serial = 0;
  *on_card = 0;
  const CanlibApi& api = g_kvaser.api;
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
  can_open_failure_line(g_kvaser.failure, line);
  return -1;
}

int32_t open_named(const CanTarget& target) {
  g_kvaser.named = true;
  int count = 0;
  const canStatus status = g_kvaser.api.get_number_of_channels(&count);
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
    can_open_failure_call(g_kvaser.failure, "canOpenChannel", 0, text);
  } else if (open_channel(index) == 0) {
    log_write("Kvaser: CAN Init OK\n", LOG_ALWAYS);
    result = 0;
  }
  if (result == -1) log_write("Kvaser: Cannot init download\n", LOG_ALWAYS);
  g_kvaser.named = false;
  return result;
}

// A frame as canRead or canReadWait gave it.
void fill_read(long id, const uint8_t bytes[8], unsigned int dlc, unsigned int flags,
               CanRead* frame, CanNews* news) {
  frame->id = static_cast<uint32_t>(id);
  frame->length = static_cast<uint8_t>(dlc < 8 ? dlc : 8);
  frame->extended = (flags & canMSG_EXT) != 0;
  // canRead writes the data bytes straight into the buffer, which is handed on whole.
  std::memcpy(frame->data, bytes, 8);
  if (flags & canMSGERR_HW_OVERRUN) can_news_frames_lost(news, CAN_LOSS_BUFFER);
  if (flags & canMSGERR_SW_OVERRUN) can_news_frames_lost(news, CAN_LOSS_QUEUE);
  if (flags & canMSG_ERROR_FRAME) {
    frame->kind = CAN_KIND_ERROR;
  } else if (flags & canMSG_RTR) {
    frame->kind = CAN_KIND_REMOTE;
  } else if (flags & canMSG_STD) {
    frame->kind = CAN_KIND_STANDARD;
  } else {
    frame->kind = CAN_KIND_DATA;
  }
}
}  // namespace

int32_t kvaser_load_library() { return vendor_library_load(kLibrary, &g_kvaser.library); }

const CanlibApi& kvaser_api() { return g_kvaser.api; }

bool kvaser_optional(const VendorEntryPoint& entry) {
  return vendor_library_optional(g_kvaser.library, entry);
}

CanListRecord kvaser_library_record(const char* version) {
  return vendor_library_record(kLibrary, g_kvaser.library, CanVendor::KVASER, version);
}

const char* kvaser_library_path() { return g_kvaser.library.path; }

void kvaser_error_text(canStatus status, char text[50]) {
  std::memset(text, 0, kErrorTextSize);
  if (g_kvaser.api.get_error_text) g_kvaser.api.get_error_text(status, text, kErrorTextSize);
  text[kErrorTextSize - 1] = '\0';
}

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

void kvaser_report_status(const char* label, int32_t status) {
  if (status == 0) return;
  char text[kErrorTextSize];
  kvaser_error_text(status, text);
  log_writef(LOG_ALWAYS, "Kvaser: %s: failed, status=%d (%s)\n", label, status, text);
}

// The default choice: the first real channel that opens and goes on bus.
int32_t open_first(CanOpenFailure* failure) {
  int count = 0;
  const canStatus status = g_kvaser.api.get_number_of_channels(&count);
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
  can_open_failure_call(failure, "canOpenChannel", 0, "no real channel could be opened");
  return -1;
}

int32_t kvaser_open(const CanTarget* target, CanOpenFailure* failure) {
  if (kvaser_load_library() != 0) {
    can_open_failure_call(failure, "loading CANlib", 0, g_kvaser.library.failure);
    return -1;
  }
  g_kvaser.api.initialize_library();
  g_kvaser.waited = Waited{};
  g_kvaser.failure = failure;
  const bool named = target->channel != CAN_DEFAULT_CHANNEL || target->by_identity;
  const int32_t result = named ? open_named(*target) : open_first(failure);
  g_kvaser.failure = nullptr;
  return result;
}

int32_t kvaser_send_frame(const CanFrame& frame, CanNews* news) {
  uint8_t bytes[8];
  std::memcpy(bytes, frame.data, sizeof bytes);
  const canStatus status =
      g_kvaser.api.write(g_kvaser.handle, static_cast<long>(frame.id), bytes, 8, canMSG_EXT);
  if (status == canOK) return 0;
  // The transmit buffer drains by itself: the channel tries again without a line per try.
  if (status == canERR_TXBUFOFL) return CAN_SEND_QUEUE_FULL;
  kvaser_report_status("canWrite", status);
  return check_lost("canWrite", status, news) ? CAN_ADAPTER_LOST : -3;
}

int32_t kvaser_try_receive(CanRead* frame, CanNews* news) {
  Waited read{};
  unsigned long time = 0;
  if (g_kvaser.waited.held) {
    read = g_kvaser.waited;
    g_kvaser.waited.held = false;
    g_kvaser.last_read_status = canOK;
  } else {
    g_kvaser.last_read_status =
        g_kvaser.api.read(g_kvaser.handle, &read.id, read.bytes, &read.dlc, &read.flags, &time);
  }
  if (g_kvaser.last_read_status != canOK) {
    return check_lost("canRead", g_kvaser.last_read_status, news) ? CAN_ADAPTER_LOST : -1;
  }
  fill_read(read.id, read.bytes, read.dlc, read.flags, frame, news);
  return 0;
}

int32_t kvaser_wait(uint64_t until_us, CanNews* news) {
  if (g_kvaser.wait_state == WaitState::NOT_LOOKED_UP) {
    g_kvaser.wait_state = kvaser_optional(VendorEntryPoint{"canReadWait", &g_kvaser.read_wait})
                              ? WaitState::READY
                              : WaitState::NONE;
    if (g_kvaser.wait_state == WaitState::NONE) {
      log_write("Kvaser: the library has no canReadWait, polling\n", LOG_CAN_FRAMES);
    }
  }
  if (g_kvaser.wait_state != WaitState::READY) return -1;
  if (g_kvaser.waited.held) return 1;
  // canReadWait counts whole milliseconds: the part below one is slept out.
  const uint64_t now = now_us();
  const uint64_t whole_ms = until_us > now ? (until_us - now) / 1000u : 0;
  if (whole_ms == 0) {
    sleep_until_us(until_us);
    return 0;
  }
  Waited waited{};
  unsigned long time = 0;
  const canStatus status =
      g_kvaser.read_wait(g_kvaser.handle, &waited.id, waited.bytes, &waited.dlc, &waited.flags,
                         &time, static_cast<unsigned long>(whole_ms));
  if (status == canOK) {
    waited.held = true;
    g_kvaser.waited = waited;
    return 1;
  }
  if (status == canERR_NOMSG) return 0;
  kvaser_report_status("canReadWait", status);
  return check_lost("canReadWait", status, news) ? CAN_ADAPTER_LOST : -1;
}

// A frame of another identifier also ends a try with a read that brought something: then nothing
// is reported.
int32_t kvaser_receive_timed_out(CanNews* news) {
  kvaser_report_status("canRead", g_kvaser.last_read_status);
  canReadStatus_t read_status = nullptr;
  if (!kvaser_optional(VendorEntryPoint{"canReadStatus", &read_status})) return 0;
  unsigned long flags = 0;
  const canStatus status = read_status(g_kvaser.handle, &flags);
  if (check_lost("canReadStatus", status, news)) return CAN_ADAPTER_LOST;
  if (status != canOK) return 0;
  if (flags & canSTAT_BUS_OFF) {
    can_news_bus_state(news, CAN_BUS_OFF);
  } else if (flags & canSTAT_ERROR_PASSIVE) {
    can_news_bus_state(news, CAN_BUS_PASSIVE);
  } else if (flags & canSTAT_ERROR_WARNING) {
    can_news_bus_state(news, CAN_BUS_WARNING);
  } else if (flags & canSTAT_ERROR_ACTIVE) {
    can_news_bus_state(news, CAN_BUS_ACTIVE);
  }
  return 0;
}

void kvaser_close() {
  if (g_kvaser.handle < 0) return;
  canBusOff_t bus_off = nullptr;
  if (kvaser_optional(VendorEntryPoint{"canBusOff", &bus_off})) bus_off(g_kvaser.handle);
  g_kvaser.api.close(g_kvaser.handle);
  g_kvaser.handle = -1;
}

const CanBackend* kvaser_backend() {
  static const CanBackend backend{"Kvaser USBcan",    kvaser_open,   kvaser_send_frame,
                                  kvaser_try_receive, kvaser_receive_timed_out,
                                  kvaser_list,        kvaser_wait,   kvaser_close,
                                  kvaser_library_path};
  return &backend;
}

void kvaser_test_reset(const char* const* library_names) {
  g_kvaser = KvaserState{};
  g_kvaser.library.names = library_names;
}
