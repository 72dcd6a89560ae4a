// PEAK PCAN-Basic back-end.
#include "can/peak/peak.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "can/peak/peak_library.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
#if defined(_WIN32)
const char* const kLibraryNames[] = {"PCANBasic", nullptr};
#else
const char* const kLibraryNames[] = {"libpcanbasic.so", "libpcanbasic.so.4", "libpcanbasic.so.0",
                                     nullptr};
#endif
// The hardware type, port and interrupt mean nothing to a USB adapter; the library expects them.
constexpr TPCANType kHardwareType = 5;
// The mode byte this tool has always passed (the number of the 29-bit acceptance filter parameter);
// libraries that insist on a TPCANMode get PCAN_MODE_EXTENDED instead.
constexpr TPCANMode kFilterModeFirst = 0x23;
constexpr int32_t kLastUsbChannel = 16;

// The receive event, asked for at the first wait after an open.
enum class EventState { NOT_ASKED, READY, NONE };

struct PeakState {
  PcanApi api{};
  VendorLibrary library;
  TPCANHandle channel = 0;
  int32_t channel_number = 0;  // as pcan:N numbers it
  // Set while a channel chosen with -i is being set up: its failures are named on the console.
  bool named = false;
  EventState event_state = EventState::NOT_ASKED;
  PlatformSignal event = 0;
  char lost[384] = "";  // how the adapter was lost, for the channel (CanNews::lost)
#if defined(_WIN32)
  PlatformSignal event_object = 0;  // made once, handed to every channel opened
#endif
};
PeakState g_peak;

// All ten must resolve, in this order, although only some are called.
const VendorEntryPoint kEntryPoints[] = {
    {"CAN_Initialize", &g_peak.api.initialize},
    {"CAN_Uninitialize", &g_peak.api.uninitialize},
    {"CAN_Reset", &g_peak.api.reset},
    {"CAN_GetStatus", &g_peak.api.get_status},
    {"CAN_Read", &g_peak.api.read},
    {"CAN_Write", &g_peak.api.write},
    {"CAN_FilterMessages", &g_peak.api.filter_messages},
    {"CAN_GetValue", &g_peak.api.get_value},
    {"CAN_SetValue", &g_peak.api.set_value},
    {"CAN_GetErrorText", &g_peak.api.get_error_text},
};
const VendorLibraryKind kLibrary{
    kLibraryNames,
    kEntryPoints,
    sizeof kEntryPoints / sizeof kEntryPoints[0],
    {"PEAK: ERROR: can not load pcanbasic.dll\n",
     "PEAK: ERROR: PCANBasic.dll can not resolve functions. Please check PEAK driver version.\n",
     "PEAK: Cannot initialize DLL\n", "PEAK: PCANBasic.dll Load OK\n"}};

// The handle of PCAN-USB channel `number` (1 to 16), as the vendor's header numbers them.
TPCANHandle usb_handle(int32_t number) {
  return static_cast<TPCANHandle>(number <= 8 ? PCAN_USBBUS1 + (number - 1)
                                              : PCAN_USBBUS9 + (number - 9));
}

// Names the failed call with the library's own text, for a channel chosen with -i; the default
// open asks the library nothing more than it always has.
void failed(CanOpenFailure* failure, const char* call, TPCANStatus status) {
  if (!g_peak.named) return;
  char text[256];
  peak_error_text(status, text);
  can_open_failure_call(failure, call, static_cast<int32_t>(status), text);
}

// "Illegal hardware" and "no driver" mean the adapter is gone, whichever call says so: true after
// telling `news` how.
bool check_lost(const char* call, TPCANStatus status, CanNews* news) {
  if (status != PCAN_ERROR_ILLHW && status != PCAN_ERROR_NODRIVER) return false;
  char text[256];
  peak_error_text(status, text);
  std::snprintf(g_peak.lost, sizeof g_peak.lost,
                "pcan:%d (%s: %s): the adapter was unplugged or its driver stopped",
                g_peak.channel_number, call, text);
  news->lost = g_peak.lost;
  return true;
}

// An overrun in a status: of the controller's buffer, or of the library's receive queue.
void check_overrun(TPCANStatus status, CanNews* news) {
  if (status & PCAN_ERROR_OVERRUN) can_news_frames_lost(news, CAN_LOSS_BUFFER);
  if (status & PCAN_ERROR_QOVERRUN) can_news_frames_lost(news, CAN_LOSS_QUEUE);
}

// The unit's range first (the first two accepted identifiers); each later identifier outside it
// widens the filter by a range of its own, in the mode that the library took.
TPCANStatus set_filter() {
  const uint32_t* ids = nullptr;
  const int count = can_accepted_ids(&ids);
  if (count == 0) return PCAN_ERROR_OK;
  const uint32_t low = count > 1 && ids[1] < ids[0] ? ids[1] : ids[0];
  const uint32_t high = count > 1 && ids[1] > ids[0] ? ids[1] : ids[0];
  TPCANMode mode = kFilterModeFirst;
  TPCANStatus status = g_peak.api.filter_messages(g_peak.channel, low, high, mode);
  if (status != PCAN_ERROR_OK) {
    mode = PCAN_MODE_EXTENDED;
    status = g_peak.api.filter_messages(g_peak.channel, low, high, mode);
  }
  for (int i = 2; i < count && status == PCAN_ERROR_OK; ++i) {
    if (ids[i] >= low && ids[i] <= high) continue;
    status = g_peak.api.filter_messages(g_peak.channel, ids[i], ids[i], mode);
  }
  return status;
}

// Linux: the library's descriptor; Windows: an event object of ours, handed to the library.
void set_up_event() {
  TPCANStatus status = PCAN_ERROR_ILLPARAMVAL;
  bool ready = false;
#if defined(_WIN32)
  const char* call = "CAN_SetValue";
  if (!g_peak.event_object) g_peak.event_object = event_create();
  if (g_peak.event_object) {
    void* handle = reinterpret_cast<void*>(g_peak.event_object);
    status = g_peak.api.set_value(g_peak.channel, PCAN_RECEIVE_EVENT, &handle, sizeof handle);
    ready = status == PCAN_ERROR_OK;
    g_peak.event = g_peak.event_object;
  }
#else
  const char* call = "CAN_GetValue";
  int descriptor = -1;
  status = g_peak.api.get_value(g_peak.channel, PCAN_RECEIVE_EVENT, &descriptor,
                                sizeof descriptor);
  ready = status == PCAN_ERROR_OK && descriptor >= 0;
  g_peak.event = descriptor;
#endif
  g_peak.event_state = ready ? EventState::READY : EventState::NONE;
  if (ready) return;
  log_writef(LOG_CAN_FRAMES,
             "PEAK: no receive event (%s PCAN_RECEIVE_EVENT: status 0x%X), polling\n", call,
             static_cast<unsigned>(status));
}

// The pcan:N of the attached PCAN-USB channel whose device id is `id`; 0 when there is none, with
// the device ids that are attached in `attached` ("1, 2").
int32_t find_device(uint64_t id, std::string* attached) {
  const PcanApi& api = g_peak.api;
  for (int32_t number = 1; number <= kLastUsbChannel; ++number) {
    const TPCANHandle handle = usb_handle(number);
    uint32_t condition = PCAN_CHANNEL_UNAVAILABLE;
    uint32_t device_id = 0;
    if (api.get_value(handle, PCAN_CHANNEL_CONDITION, &condition, sizeof condition) !=
            PCAN_ERROR_OK ||
        condition == PCAN_CHANNEL_UNAVAILABLE ||
        api.get_value(handle, PCAN_DEVICE_ID, &device_id, sizeof device_id) != PCAN_ERROR_OK) {
      continue;
    }
    if (device_id == id) return number;
    *attached += (attached->empty() ? "" : ", ") + std::to_string(device_id);
  }
  return 0;
}

CanFrameKind kind_of(TPCANMessageType type) {
  if (type & PCAN_MESSAGE_STATUS) return CAN_KIND_STATUS;
  if (type & PCAN_MESSAGE_ERRFRAME) return CAN_KIND_ERROR;
  if (type & PCAN_MESSAGE_RTR) return CAN_KIND_REMOTE;
  if (!(type & PCAN_MESSAGE_EXTENDED)) return CAN_KIND_STANDARD;
  return CAN_KIND_DATA;
}
}  // namespace

int32_t peak_load_library() { return vendor_library_load(kLibrary, &g_peak.library); }

const PcanApi& peak_api() { return g_peak.api; }

CanListRecord peak_library_record(const char* version) {
  return vendor_library_record(kLibrary, g_peak.library, CanVendor::PEAK, version);
}

const char* peak_library_path() { return g_peak.library.path; }

void peak_error_text(TPCANStatus status, char text[256]) {
  std::memset(text, 0, 256);
  if (g_peak.api.get_error_text) g_peak.api.get_error_text(status, PCAN_LANGUAGE_ENGLISH, text);
  text[255] = '\0';
  if (text[0] == '\0') std::snprintf(text, 256, "status 0x%X", static_cast<unsigned>(status));
}

int32_t peak_open(const CanTarget* target, CanOpenFailure* failure) {
  if (peak_load_library() != 0) {
    can_open_failure_call(failure, "loading PCAN-Basic", 0, g_peak.library.failure);
    return -1;
  }
  int32_t number = target->channel == CAN_DEFAULT_CHANNEL ? 1 : target->channel;
  if (target->by_identity) {
    std::string attached;
    number = find_device(target->identity, &attached);
    if (number == 0) {
      char line[160];
      std::snprintf(line, sizeof line, "No PCAN channel with device id %llu (attached: %s)",
                    static_cast<unsigned long long>(target->identity),
                    attached.empty() ? "none" : attached.c_str());
      log_writef(LOG_ALWAYS, "PEAK: %s\n", line);
      can_open_failure_line(failure, line);
      return -2;
    }
  }
  if (number < 1 || number > kLastUsbChannel) {
    can_open_failure_call(failure, "CAN_Initialize", 0, "no such PCAN-USB channel");
    return -2;
  }
  char spelling[16];
  std::snprintf(spelling, sizeof spelling, "pcan:%d", number);
  // Another run's channel is never initialised again.
  if (can_hold(spelling, failure) != 0) return -2;
  g_peak.channel = usb_handle(number);
  g_peak.channel_number = number;
  g_peak.named = target->named;
  g_peak.event_state = EventState::NOT_ASKED;
  g_peak.event = 0;
  const TPCANStatus initialized =
      g_peak.api.initialize(g_peak.channel, PCAN_BAUD_250K, kHardwareType, 0, 0);
  if (initialized != PCAN_ERROR_OK) {
    log_write("PEAK: CAN Init Error\n", LOG_ALWAYS);
    failed(failure, "CAN_Initialize", initialized);
    return -2;
  }
  log_write("PEAK: CAN Init OK\n", LOG_ALWAYS);
  const TPCANStatus filtered = set_filter();
  if (filtered != PCAN_ERROR_OK) {
    log_write("PEAK: CAN Filter Error\n", LOG_ALWAYS);
    failed(failure, "CAN_FilterMessages", filtered);
    return -2;
  }
  log_write("PEAK: CAN Filter OK\n", LOG_ALWAYS);
  return 0;
}

int32_t peak_wait(uint64_t until_us, CanNews*) {
  if (g_peak.event_state == EventState::NOT_ASKED) set_up_event();
  if (g_peak.event_state != EventState::READY) return -1;
  return wait_signal(g_peak.event, until_us);
}

int32_t peak_send_frame(const CanFrame& frame, CanNews* news) {
  TPCANMsg message{};
  message.ID = frame.id;
  message.MSGTYPE = PCAN_MESSAGE_EXTENDED;
  message.LEN = 8;
  std::memcpy(message.DATA, frame.data, 8);
  const TPCANStatus status = g_peak.api.write(g_peak.channel, &message);
  if (status == PCAN_ERROR_OK) return 0;
  // The library's queue or the controller's buffer: both drain by themselves.
  if (status & (PCAN_ERROR_QXMTFULL | PCAN_ERROR_XMTFULL)) return CAN_SEND_QUEUE_FULL;
  return check_lost("CAN_Write", status, news) ? CAN_ADAPTER_LOST : -3;
}

int32_t peak_receive_timed_out(CanNews* news) {
  const TPCANStatus status = g_peak.api.get_status(g_peak.channel);
  if (check_lost("CAN_GetStatus", status, news)) return CAN_ADAPTER_LOST;
  check_overrun(status, news);
  if (status & PCAN_ERROR_BUSOFF) {
    can_news_bus_state(news, CAN_BUS_OFF);
  } else if (status & PCAN_ERROR_BUSPASSIVE) {
    can_news_bus_state(news, CAN_BUS_PASSIVE);
  } else if (status & (PCAN_ERROR_BUSHEAVY | PCAN_ERROR_BUSLIGHT)) {
    can_news_bus_state(news, CAN_BUS_WARNING);
  } else if (status == PCAN_ERROR_OK) {
    can_news_bus_state(news, CAN_BUS_ACTIVE);
  }
  return 0;
}

void peak_close() { g_peak.api.uninitialize(g_peak.channel); }

int32_t peak_try_receive(CanRead* frame, CanNews* news) {
  TPCANMsg message{};
  TPCANTimestamp timestamp{};
  const TPCANStatus status = g_peak.api.read(g_peak.channel, &message, &timestamp);
  if (status != PCAN_ERROR_OK) {
    if (check_lost("CAN_Read", status, news)) return CAN_ADAPTER_LOST;
    check_overrun(status, news);
    return -1;
  }
  frame->id = message.ID;
  frame->kind = kind_of(message.MSGTYPE);
  frame->extended = (message.MSGTYPE & PCAN_MESSAGE_EXTENDED) != 0;
  frame->length = message.LEN < 8 ? message.LEN : 8;
  std::memset(frame->data, 0, sizeof frame->data);
  std::memcpy(frame->data, message.DATA, frame->length);
  // A status message carries the status in its first four bytes, most significant first.
  if (frame->kind == CAN_KIND_STATUS) {
    check_overrun(static_cast<TPCANStatus>(message.DATA[0]) << 24 |
                  static_cast<TPCANStatus>(message.DATA[1]) << 16 |
                  static_cast<TPCANStatus>(message.DATA[2]) << 8 | message.DATA[3],
                  news);
  }
  return 0;
}

const CanBackend* peak_backend() {
  static const CanBackend backend{"PEAK PCAN-USB",  peak_open,  peak_send_frame,
                                  peak_try_receive, peak_receive_timed_out,
                                  peak_list,        peak_wait,  peak_close,
                                  peak_library_path};
  return &backend;
}

void peak_test_reset(const char* const* library_names) {
  g_peak = PeakState{};
  g_peak.library.names = library_names;
}
