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
// The filter's mode for 29-bit identifiers, tried in order until the library takes one. PEAK's
// Windows DLL has always been passed 0x23 (the number of the 29-bit acceptance filter parameter),
// and PCAN_MODE_EXTENDED when it refuses that. PCAN-Basic for Linux (pcanbasic_filter, 4.3 and
// 2022) makes a range extended for PCAN_MODE_EXTENDED alone and any other value a range of 11-bit
// identifiers, returning OK: with 0x23 its driver would drop every frame of the unit.
#if defined(_WIN32)
constexpr TPCANMode kFilterModes[] = {0x23, PCAN_MODE_EXTENDED};
#else
constexpr TPCANMode kFilterModes[] = {PCAN_MODE_EXTENDED};
#endif

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
  // PEAK's own library for Linux (known at the first load): its bus states and shared channels.
  bool linux_library = false;
  bool flavour_known = false;
  // The channels this process initialised (pcan:N at N): the library calls them occupied.
  bool initialised[PEAK_LAST_USB_CHANNEL + 1] = {};
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

// Names the failed call with the library's own text, for a channel chosen with -i; the default
// open asks the library nothing more than it always has.
void failed(CanOpenFailure* failure, const char* call, TPCANStatus status) {
  if (!g_peak.named) return;
  char text[256];
  peak_error_text(status, text);
  can_open_failure_call(failure, call, static_cast<int32_t>(status), text);
}

bool gone(TPCANStatus status) {
  return status == PCAN_ERROR_ILLHW || status == PCAN_ERROR_NODRIVER;
}

// "Illegal hardware" and "no driver" mean the adapter is gone, whichever call says so. PCAN-Basic
// for Linux 4.3 turns the driver's ENODEV into PCAN_ERROR_UNKNOWN instead (2022: ILLHW); an
// unknown error is taken as the adapter gone when CAN_GetStatus, which asks the driver nothing but
// the channel's state, fails too. True after telling `news` how.
bool check_lost(const char* call, TPCANStatus status, CanNews* news) {
  if (!gone(status)) {
    if (status != PCAN_ERROR_UNKNOWN) return false;
    const bool asked = std::strcmp(call, "CAN_GetStatus") == 0;
    const TPCANStatus state = asked ? status : g_peak.api.get_status(g_peak.channel);
    if (state != PCAN_ERROR_UNKNOWN && !gone(state)) return false;
  }
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
  TPCANMode mode = kFilterModes[0];
  TPCANStatus status = PCAN_ERROR_OK;
  for (TPCANMode tried : kFilterModes) {
    mode = tried;
    status = g_peak.api.filter_messages(g_peak.channel, low, high, mode);
    if (status == PCAN_ERROR_OK) break;
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

// PEAK's Linux library lets a second program initialise a channel at the same bit rate: both then
// read from one receive queue, and the initialisation deletes the other's filters. Its condition
// tells such a channel as occupied (from the driver's sysfs), so it is never initialised here:
// true after logging why (and recording it for a channel named with -i). A channel this process
// initialised itself is occupied in the library's eyes too, and is no reason.
bool occupied_elsewhere(int32_t number, CanOpenFailure* failure) {
  if (!g_peak.linux_library || g_peak.initialised[number]) return false;
  uint32_t condition = PCAN_CHANNEL_UNAVAILABLE;
  if (g_peak.api.get_value(g_peak.channel, PCAN_CHANNEL_CONDITION, &condition,
                           sizeof condition) != PCAN_ERROR_OK ||
      condition != PCAN_CHANNEL_OCCUPIED) {
    return false;
  }
  log_writef(LOG_ALWAYS,
             "PEAK: pcan:%d is occupied by another program (PCAN_CHANNEL_CONDITION); not "
             "initialised, so as not to share it\n",
             static_cast<int>(number));
  if (g_peak.named) {
    can_open_failure_call(failure, "", 0,
                          "occupied by another program (PCAN-View, another tool): PCAN-Basic for "
                          "Linux would share the channel with it; close that program");
  }
  return true;
}

// "Illegal hardware" or "no driver" from CAN_Initialize: PCAN-Basic for Linux finds no device for
// the channel in the driver's sysfs (4.3 says "no driver", 2022 "illegal hardware").
void absent(CanOpenFailure* failure, TPCANStatus status) {
  if (!g_peak.named) return;
  char library_text[256];
  peak_error_text(status, library_text);
  char text[320];
  std::snprintf(text, sizeof text,
                "no PCAN-USB adapter found as pcan:%d: is it plugged in, and PEAK's driver loaded? "
                "(CAN_Initialize: %.200s)",
                static_cast<int>(g_peak.channel_number), library_text);
  can_open_failure_call(failure, "", static_cast<int32_t>(status), text);
}

CanFrameKind kind_of(TPCANMessageType type) {
  if (type & PCAN_MESSAGE_STATUS) return CAN_KIND_STATUS;
  if (type & PCAN_MESSAGE_ERRFRAME) return CAN_KIND_ERROR;
  if (type & PCAN_MESSAGE_RTR) return CAN_KIND_REMOTE;
  if (!(type & PCAN_MESSAGE_EXTENDED)) return CAN_KIND_STANDARD;
  return CAN_KIND_DATA;
}
}  // namespace

int32_t peak_load_library() {
  const int32_t loaded = vendor_library_load(kLibrary, &g_peak.library);
  if (loaded != 0 || g_peak.flavour_known) return loaded;
  g_peak.flavour_known = true;
#if !defined(_WIN32)
  // PEAK builds libpcanbasic from the source of its driver's libpcanfd, whose functions it
  // exports; pcanfd_open is never called here.
  int (*pcanfd_open)(const char*, unsigned long, ...) = nullptr;
  g_peak.linux_library =
      vendor_library_optional(g_peak.library, VendorEntryPoint{"pcanfd_open", &pcanfd_open});
  if (g_peak.linux_library) {
    log_write("PEAK: PCAN-Basic for Linux (with the driver's libpcanfd): error-passive is told as "
              "PCAN_ERROR_BUSHEAVY, a channel in use by another program is shared\n",
              LOG_ALWAYS);
  }
#endif
  return loaded;
}

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
    return CAN_OPEN_UNAVAILABLE;
  }
  int32_t number = target->channel == CAN_DEFAULT_CHANNEL ? 1 : target->channel;
  if (target->by_identity) {
    std::string attached;
    number = peak_find_device(target->identity, &attached);
    if (number == 0) {
      char line[160];
      std::snprintf(line, sizeof line, "No PCAN channel with device id %llu (attached: %s)",
                    static_cast<unsigned long long>(target->identity),
                    attached.empty() ? "none" : attached.c_str());
      log_writef(LOG_ALWAYS, "PEAK: %s\n", line);
      can_open_failure_line(failure, line);
      return CAN_OPEN_REFUSED;
    }
  }
  if (number < 1 || number > PEAK_LAST_USB_CHANNEL) {
    can_open_failure_call(failure, "CAN_Initialize", 0, "no such PCAN-USB channel");
    return CAN_OPEN_REFUSED;
  }
  char spelling[16];
  std::snprintf(spelling, sizeof spelling, "pcan:%d", number);
  // Another run's channel is never initialised again.
  if (can_hold(spelling, failure) != 0) return CAN_OPEN_REFUSED;
  g_peak.channel = peak_usb_handle(number);
  g_peak.channel_number = number;
  g_peak.named = target->named;
  g_peak.event_state = EventState::NOT_ASKED;
  g_peak.event = 0;
  if (occupied_elsewhere(number, failure)) return CAN_OPEN_REFUSED;
  const TPCANStatus initialized =
      g_peak.api.initialize(g_peak.channel, PCAN_BAUD_250K, PEAK_HARDWARE_TYPE, 0, 0);
  if (initialized != PCAN_ERROR_OK) {
    log_write("PEAK: CAN Init Error\n", LOG_ALWAYS);
    if (gone(initialized)) {
      absent(failure, initialized);
    } else {
      failed(failure, "CAN_Initialize", initialized);
    }
    return CAN_OPEN_REFUSED;
  }
  g_peak.initialised[number] = true;
  log_write("PEAK: CAN Init OK\n", LOG_ALWAYS);
  const TPCANStatus filtered = set_filter();
  if (filtered != PCAN_ERROR_OK) {
    log_write("PEAK: CAN Filter Error\n", LOG_ALWAYS);
    failed(failure, "CAN_FilterMessages", filtered);
    return CAN_OPEN_REFUSED;
  }
  log_write("PEAK: CAN Filter OK\n", LOG_ALWAYS);
  return 0;
}

int32_t peak_wait(uint64_t until_us, CanNews* news) {
  if (g_peak.event_state == EventState::NOT_ASKED) set_up_event();
  if (g_peak.event_state != EventState::READY) return CAN_NO_FRAME;
  const int32_t woke = wait_signal(g_peak.event, until_us);
  if (woke >= 0) return woke;
  // On Linux the event is the driver's descriptor, which polls POLLERR once the adapter is gone.
  if (check_lost("CAN_GetStatus", g_peak.api.get_status(g_peak.channel), news)) {
    return CAN_ADAPTER_LOST;
  }
  g_peak.event_state = EventState::NONE;
  log_write("PEAK: the receive event failed, polling\n", LOG_CAN_FRAMES);
  return CAN_NO_FRAME;
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
  if (check_lost("CAN_Write", status, news)) return CAN_ADAPTER_LOST;
  // A bus-off controller refuses at once (PCAN-Basic for Linux: the driver's ENETDOWN).
  if (status & PCAN_ERROR_BUSOFF) can_news_bus_state(news, CAN_BUS_OFF);
  return CAN_SEND_REFUSED;
}

int32_t peak_receive_timed_out(CanNews* news) {
  const TPCANStatus status = g_peak.api.get_status(g_peak.channel);
  if (check_lost("CAN_GetStatus", status, news)) return CAN_ADAPTER_LOST;
  check_overrun(status, news);
  if (status & PCAN_ERROR_BUSOFF) {
    can_news_bus_state(news, CAN_BUS_OFF);
  } else if ((status & PCAN_ERROR_BUSPASSIVE) ||
             (g_peak.linux_library && (status & PCAN_ERROR_BUSHEAVY))) {
    // pcanbasic_bus_state_to_condition (4.3 and 2022, classic CAN): warning is BUSLIGHT, passive
    // BUSHEAVY.
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
    return CAN_NO_FRAME;
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
