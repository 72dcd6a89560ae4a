// Kvaser CANlib back-end: the library, sends, reads, waits and status queries (the opening is
// kvaser_open.cpp).
#include "can/kvaser/kvaser.h"

#include <cstdio>
#include <cstring>

#include "can/kvaser/kvaser_library.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
#if defined(_WIN32)
const char* const kLibraryNames[] = {"canlib32", nullptr};
#else
const char* const kLibraryNames[] = {"libcanlib.so.1", "libcanlib.so", nullptr};
#endif
constexpr unsigned int kErrorTextSize = 50;
// The most that a canReadWait is taken to overshoot its timeout by: a longer overshoot is a
// scheduling delay of the moment, not the library's.
constexpr uint64_t kMaxOvershootUs = 20000;
// The step of the part of a wait that canReadWait is not asked to cover.
constexpr uint64_t kTailStepUs = 1000;

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
  WaitState wait_state = WaitState::NOT_LOOKED_UP;
  canReadWait_t read_wait = nullptr;
  Waited waited{};
  // How much later than its timeout an empty canReadWait returned, at most, in this run: Linux's
  // CANlib waits in whole timer ticks and one more (1-4 ms took 5-12 ms, 50 ms about 55 ms).
  uint64_t overshoot_us = 0;
  char lost[160] = "";  // how the adapter was lost, for the channel (CanNews::lost)
  bool version_asked = false;
  char version[16] = "";  // the product's version, "5.39" ("" when the library does not say)
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

// Asked when the run's records want it, once: not among the opening's calls.
const char* kvaser_library_version() {
  if (!g_kvaser.version_asked && g_kvaser.library.load == VendorLoad::READY) {
    g_kvaser.version_asked = true;
    kvaser_product_version(g_kvaser.version, sizeof g_kvaser.version);
  }
  return g_kvaser.version;
}

void kvaser_error_text(canStatus status, char text[50]) {
  std::memset(text, 0, kErrorTextSize);
  if (g_kvaser.api.get_error_text) g_kvaser.api.get_error_text(status, text, kErrorTextSize);
  text[kErrorTextSize - 1] = '\0';
}

void kvaser_report_status(const char* label, int32_t status) {
  if (status == 0) return;
  char text[kErrorTextSize];
  kvaser_error_text(status, text);
  log_writef(LOG_ALWAYS, "Kvaser: %s: failed, status=%d (%s)\n", label, status, text);
}

int32_t kvaser_open(const CanTarget* target, CanOpenFailure* failure) {
  if (kvaser_load_library() != 0) {
    can_open_failure_call(failure, "loading CANlib", 0, g_kvaser.library.failure);
    return CAN_OPEN_UNAVAILABLE;
  }
  g_kvaser.api.initialize_library();
  g_kvaser.waited = Waited{};
  return kvaser_open_channel(*target, failure, &g_kvaser.handle);
}

namespace {
// The circuit's bus state as canReadStatus gives it, into `news`; CAN_ADAPTER_LOST when the adapter
// is gone, else 0 (also when the library has no canReadStatus or the query failed).
int32_t read_bus_state(CanNews* news) {
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
}  // namespace

int32_t kvaser_send_frame(const CanFrame& frame, CanNews* news) {
  uint8_t bytes[8];
  std::memcpy(bytes, frame.data, sizeof bytes);
  const canStatus status =
      g_kvaser.api.write(g_kvaser.handle, static_cast<long>(frame.id), bytes, 8, canMSG_EXT);
  if (status == canOK) return 0;
  if (status == canERR_TXBUFOFL) {
    // CANlib says the same of a channel that went bus-off, whose buffer never drains: the bus
    // state tells the two apart.
    if (read_bus_state(news) == CAN_ADAPTER_LOST) return CAN_ADAPTER_LOST;
    if (!news->bus_told || news->bus_state != CAN_BUS_OFF) return CAN_SEND_QUEUE_FULL;
  }
  kvaser_report_status("canWrite", status);
  return check_lost("canWrite", status, news) ? CAN_ADAPTER_LOST : CAN_SEND_REFUSED;
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
    return check_lost("canRead", g_kvaser.last_read_status, news) ? CAN_ADAPTER_LOST : CAN_NO_FRAME;
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
  if (g_kvaser.wait_state != WaitState::READY) return CAN_NO_FRAME;
  if (g_kvaser.waited.held) return 1;
  // canReadWait is asked for the wait less its overshoot, so that it returns by `until_us`; the
  // rest is polled in steps of a millisecond, each followed by a read. The window thus ends when
  // its time is up on the clock, whatever the library's waits take.
  const uint64_t now = now_us();
  const uint64_t left_us = until_us > now ? until_us - now : 0;
  const uint64_t asked_ms =
      left_us > g_kvaser.overshoot_us ? (left_us - g_kvaser.overshoot_us) / 1000u : 0;
  if (asked_ms == 0) {
    sleep_until_us(left_us > kTailStepUs ? now + kTailStepUs : until_us);
    return 1;
  }
  Waited waited{};
  unsigned long time = 0;
  const canStatus status =
      g_kvaser.read_wait(g_kvaser.handle, &waited.id, waited.bytes, &waited.dlc, &waited.flags,
                         &time, static_cast<unsigned long>(asked_ms));
  if (status == canOK) {
    waited.held = true;
    g_kvaser.waited = waited;
    return 1;
  }
  if (status == canERR_NOMSG) {
    const uint64_t took_us = now_us() - now;
    // A wait that ended early is slept out by the channel (no wait returns at once in a loop);
    // one that took its time leaves the polled rest.
    if (took_us < asked_ms * 1000u) return 0;
    const uint64_t over_us = took_us - asked_ms * 1000u;
    if (over_us > g_kvaser.overshoot_us) {
      g_kvaser.overshoot_us = over_us < kMaxOvershootUs ? over_us : kMaxOvershootUs;
    }
    return now_us() >= until_us ? 0 : 1;
  }
  kvaser_report_status("canReadWait", status);
  return check_lost("canReadWait", status, news) ? CAN_ADAPTER_LOST : CAN_NO_FRAME;
}

// A frame of another identifier also ends a try with a read that brought something: then nothing
// is reported.
int32_t kvaser_receive_timed_out(CanNews* news) {
  kvaser_report_status("canRead", g_kvaser.last_read_status);
  return read_bus_state(news);
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
                                  kvaser_library_path, kvaser_library_version};
  return &backend;
}

void kvaser_test_reset(const char* const* library_names) {
  g_kvaser = KvaserState{};
  g_kvaser.library.names = library_names;
}
