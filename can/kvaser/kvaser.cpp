// Kvaser CANlib back-end.
#include "can/kvaser/kvaser.h"

#include <cstring>

#include "can/kvaser/canlib.h"
#include "can/vendor_library.h"
#include "log/log.h"

namespace {
#if defined(_WIN32)
const char* const kLibraryNames[] = {"canlib32", nullptr};
#else
const char* const kLibraryNames[] = {"libcanlib.so.1", "libcanlib.so", nullptr};
#endif
constexpr int kMaxChannels = 300;
// Admits 0xA04401, 0xA44401, 0xA84401 and 0xAC4401; the receive check narrows that down.
constexpr unsigned int kUnitCode = CAN_ID_UNIT_COMMAND;
constexpr unsigned int kUnitMask = 0x1FF3FFFF;
constexpr unsigned int kExtendedIdBits = 0x1FFFFFFF;
constexpr unsigned int kErrorTextSize = 50;

struct CanlibApi {
  canInitializeLibrary_t initialize_library;
  canClose_t close;
  canOpenChannel_t open_channel;
  canGetErrorText_t get_error_text;
  canSetBusParams_t set_bus_params;
  canGetNumberOfChannels_t get_number_of_channels;
  canGetChannelData_t get_channel_data;
  canSetAcceptanceFilter_t set_acceptance_filter;
  canBusOn_t bus_on;
  canRead_t read;
  canWrite_t write;
};

enum class LibraryState { NOT_LOADED, UNUSABLE, READY };

CanlibApi g_api;
LibraryState g_state = LibraryState::NOT_LOADED;
const char* const* g_library_names = kLibraryNames;
CanHandle g_handle = -1;
canStatus g_last_read_status = canOK;

const VendorEntryPoint kEntryPoints[] = {
    {"canInitializeLibrary", &g_api.initialize_library},
    {"canClose", &g_api.close},
    {"canOpenChannel", &g_api.open_channel},
    {"canGetErrorText", &g_api.get_error_text},
    {"canSetBusParams", &g_api.set_bus_params},
    {"canGetNumberOfChannels", &g_api.get_number_of_channels},
    {"canGetChannelData", &g_api.get_channel_data},
    {"canSetAcceptanceFilter", &g_api.set_acceptance_filter},
    {"canBusOn", &g_api.bus_on},
    {"canRead", &g_api.read},
    {"canWrite", &g_api.write},
};

int32_t load_library() {
  if (g_state == LibraryState::READY) return 0;
  if (g_state == LibraryState::NOT_LOADED) {
    void* library = vendor_library_open(g_library_names);
    if (!library) {
      log_write("Kvaser: ERROR: can not load canlib32.dll\n", LOG_ALWAYS);
      log_write("Kvaser: Cannot initialize DLL\n", LOG_ALWAYS);
      return -1;
    }
    if (vendor_library_resolve(library, kEntryPoints,
                               sizeof kEntryPoints / sizeof kEntryPoints[0]) != 0) {
      g_state = LibraryState::UNUSABLE;
      log_write(
          "Kvaser: ERROR: canlib32.dll can not resolve functions. Please check Kvaser driver "
          "version.\n",
          LOG_ALWAYS);
      log_write("Kvaser: Cannot initialize DLL\n", LOG_ALWAYS);
      return -1;
    }
    g_state = LibraryState::READY;
    log_write("Kvaser: canlib32.dll Load OK\n", LOG_ALWAYS);
    return 0;
  }
  log_write("Kvaser: Cannot initialize DLL\n", LOG_ALWAYS);
  return -1;
}

// The unit's code and mask, widened (never narrowed) until every added identifier passes too.
void extended_filter(unsigned int* code, unsigned int* mask) {
  *code = kUnitCode;
  *mask = kUnitMask;
  const uint32_t* ids = nullptr;
  const int count = can_accepted_ids(&ids);
  for (int i = 0; i < count; ++i) {
    *mask &= ~(*code ^ ids[i]) & kExtendedIdBits;
    *code &= *mask;
  }
}

// Some CANlib versions for Linux have no acceptance filter (canERR_NOT_IMPLEMENTED): that is
// reported and the set-up goes on, since the receive check still delivers only accepted frames.
bool filter_failed(const char* label, canStatus status) {
  if (status >= 0) return false;
  kvaser_report_status(label, status);
  return status != canERR_NOT_IMPLEMENTED;
}

// Steps after canOpenChannel; on failure the handle is closed. 0 when the channel is on bus.
int32_t set_up_channel(CanHandle handle) {
  kvaser_report_status("canSetBusParams",
                       g_api.set_bus_params(handle, canBITRATE_250K, 0, 0, 0, 0, 0));
  unsigned int code = 0;
  unsigned int mask = 0;
  extended_filter(&code, &mask);
  if (filter_failed("canSetAcceptanceFilter for standard messages",
                    g_api.set_acceptance_filter(handle, 1, 0x7FF, 0)) ||
      filter_failed("canSetAcceptanceFilter for extended messages",
                    g_api.set_acceptance_filter(handle, code, mask, 1))) {
    g_api.close(handle);
    return -1;
  }
  const canStatus status = g_api.bus_on(handle);
  if (status < 0) {
    kvaser_report_status("canBusOn", status);
    g_api.close(handle);
    return -1;
  }
  return 0;
}

// 0 when channel `index` is real hardware that opens and goes on bus; g_handle then holds it.
int32_t try_channel(int index) {
  uint32_t card_type = 0;
  if (g_api.get_channel_data(index, canCHANNELDATA_CARD_TYPE, &card_type, sizeof card_type) < 0 ||
      card_type <= static_cast<uint32_t>(canHWTYPE_VIRTUAL)) {
    return -1;
  }
  const CanHandle handle = g_api.open_channel(index, 0);
  if (handle < 0) {
    kvaser_report_status("canOpenChannel", handle);
    return -1;
  }
  if (set_up_channel(handle) != 0) return -1;
  g_handle = handle;
  return 0;
}
}  // namespace

void kvaser_report_status(const char* label, int32_t status) {
  if (status == 0) return;
  char text[kErrorTextSize];
  std::memset(text, 0, sizeof text);
  g_api.get_error_text(status, text, kErrorTextSize);
  text[kErrorTextSize - 1] = '\0';
  log_writef(LOG_ALWAYS, "Kvaser: %s: failed, status=%d (%s)\n", label, status, text);
}

int32_t kvaser_open() {
  if (load_library() != 0) return -1;
  g_api.initialize_library();
  int count = 0;
  const canStatus status = g_api.get_number_of_channels(&count);
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
  return -1;
}

int32_t kvaser_send_frame(uint32_t id, const uint8_t data[8]) {
  uint8_t bytes[8];
  std::memcpy(bytes, data, sizeof bytes);
  const canStatus status = g_api.write(g_handle, static_cast<long>(id), bytes, 8, canMSG_EXT);
  if (status == canOK) return 0;
  kvaser_report_status("canWrite", status);
  return -3;
}

int32_t kvaser_try_receive(uint8_t data[8], uint32_t* id) {
  long read_id = 0;
  uint8_t bytes[8] = {};
  unsigned int dlc = 0;
  unsigned int flags = 0;
  unsigned long time = 0;
  // For the unit a frame of another identifier costs the try; with a sensor node's identifiers
  // added, the wide code and mask may pass other nodes' traffic, which is dropped within the try.
  const int reads = can_ids_added() ? CAN_DROPS_PER_TRY : 1;
  uint32_t frame_id = 0;
  for (int read = 0;; ++read) {
    if (read == reads) return -1;
    g_last_read_status = g_api.read(g_handle, &read_id, bytes, &dlc, &flags, &time);
    if (g_last_read_status != canOK) return -1;
    frame_id = static_cast<uint32_t>(read_id);
    if (can_id_accepted(frame_id)) break;
  }
  *id = frame_id;
  std::memcpy(data, bytes, sizeof bytes);
  return 0;
}

void kvaser_receive_timed_out() { kvaser_report_status("canRead", g_last_read_status); }

const CanBackend* kvaser_backend() {
  static const CanBackend backend{"Kvaser", kvaser_open, kvaser_send_frame, kvaser_try_receive,
                                  kvaser_receive_timed_out};
  return &backend;
}

void kvaser_test_reset(const char* const* library_names) {
  g_api = CanlibApi{};
  g_state = LibraryState::NOT_LOADED;
  g_library_names = library_names ? library_names : kLibraryNames;
  g_handle = -1;
  g_last_read_status = canOK;
}
