// PEAK PCAN-Basic back-end.
#include "can/peak/peak.h"

#include <cstring>

#include "can/peak/pcan_basic.h"
#include "can/vendor_library.h"
#include "log/log.h"

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

struct PcanApi {
  CAN_Initialize_t initialize;
  CAN_Uninitialize_t uninitialize;
  CAN_Reset_t reset;
  CAN_GetStatus_t get_status;
  CAN_Read_t read;
  CAN_Write_t write;
  CAN_FilterMessages_t filter_messages;
  CAN_GetValue_t get_value;
  CAN_SetValue_t set_value;
  CAN_GetErrorText_t get_error_text;
};

enum class LibraryState { NOT_LOADED, UNUSABLE, READY };

PcanApi g_api;
LibraryState g_state = LibraryState::NOT_LOADED;
const char* const* g_library_names = kLibraryNames;
TPCANHandle g_channel = 0;
TPCANMsg g_send_message;
TPCANMsg g_receive_message;
TPCANTimestamp g_timestamp;

// All ten must resolve, in this order, although only four are called.
const VendorEntryPoint kEntryPoints[] = {
    {"CAN_Initialize", &g_api.initialize},
    {"CAN_Uninitialize", &g_api.uninitialize},
    {"CAN_Reset", &g_api.reset},
    {"CAN_GetStatus", &g_api.get_status},
    {"CAN_Read", &g_api.read},
    {"CAN_Write", &g_api.write},
    {"CAN_FilterMessages", &g_api.filter_messages},
    {"CAN_GetValue", &g_api.get_value},
    {"CAN_SetValue", &g_api.set_value},
    {"CAN_GetErrorText", &g_api.get_error_text},
};

int32_t load_library() {
  if (g_state == LibraryState::READY) return 0;
  if (g_state == LibraryState::NOT_LOADED) {
    void* library = vendor_library_open(g_library_names);
    if (!library) {
      log_write("PEAK: ERROR: can not load pcanbasic.dll\n", LOG_ALWAYS);
      log_write("PEAK: Cannot initialize DLL\n", LOG_ALWAYS);
      return -1;
    }
    if (vendor_library_resolve(library, kEntryPoints,
                               sizeof kEntryPoints / sizeof kEntryPoints[0]) != 0) {
      g_state = LibraryState::UNUSABLE;
      log_write(
          "PEAK: ERROR: PCANBasic.dll can not resolve functions. Please check PEAK driver "
          "version.\n",
          LOG_ALWAYS);
      log_write("PEAK: Cannot initialize DLL\n", LOG_ALWAYS);
      return -1;
    }
    g_state = LibraryState::READY;
    log_write("PEAK: PCANBasic.dll Load OK\n", LOG_ALWAYS);
    return 0;
  }
  log_write("PEAK: Cannot initialize DLL\n", LOG_ALWAYS);
  return -1;
}

// The unit's range first; each added identifier outside it widens the filter by a range of its
// own, in the mode that the library took.
int32_t set_filter() {
  TPCANMode mode = kFilterModeFirst;
  TPCANStatus status = g_api.filter_messages(g_channel, CAN_ID_UNIT_ANSWER, CAN_ID_UNIT_DATA, mode);
  if (status != PCAN_ERROR_OK) {
    mode = PCAN_MODE_EXTENDED;
    status = g_api.filter_messages(g_channel, CAN_ID_UNIT_ANSWER, CAN_ID_UNIT_DATA, mode);
  }
  const uint32_t* ids = nullptr;
  const int count = can_accepted_ids(&ids);
  for (int i = 0; i < count && status == PCAN_ERROR_OK; ++i) {
    if (ids[i] >= CAN_ID_UNIT_ANSWER && ids[i] <= CAN_ID_UNIT_DATA) continue;
    status = g_api.filter_messages(g_channel, ids[i], ids[i], mode);
  }
  return status == PCAN_ERROR_OK ? 0 : -2;
}
}  // namespace

int32_t peak_open() {
  if (load_library() != 0) return -1;
  g_channel = PCAN_USBBUS1;
  if (g_api.initialize(g_channel, PCAN_BAUD_250K, kHardwareType, 0, 0) != PCAN_ERROR_OK) {
    log_write("PEAK: CAN Init Error\n", LOG_ALWAYS);
    return -2;
  }
  log_write("PEAK: CAN Init OK\n", LOG_ALWAYS);
  if (set_filter() != 0) {
    log_write("PEAK: CAN Filter Error\n", LOG_ALWAYS);
    return -2;
  }
  log_write("PEAK: CAN Filter OK\n", LOG_ALWAYS);
  return 0;
}

int32_t peak_send_frame(uint32_t id, const uint8_t data[8]) {
  std::memset(&g_send_message, 0, sizeof g_send_message);
  g_send_message.ID = id;
  g_send_message.MSGTYPE = PCAN_MESSAGE_EXTENDED;
  g_send_message.LEN = 8;
  std::memcpy(g_send_message.DATA, data, 8);
  return g_api.write(g_channel, &g_send_message) == PCAN_ERROR_OK ? 0 : -3;
}

int32_t peak_try_receive(uint8_t data[8], uint32_t* id) {
  // For the unit every message the filter passes is delivered. Widened for a sensor node, the
  // filter may pass everything between the node's identifiers and the unit's (other sensors
  // announcing themselves, say): only the accepted identifiers are delivered then.
  const bool check_ids = can_ids_added();
  for (int read = 0;; ++read) {
    if (read == CAN_DROPS_PER_TRY) return -1;
    if (g_api.read(g_channel, &g_receive_message, &g_timestamp) != PCAN_ERROR_OK) return -1;
    if (!check_ids || can_id_accepted(g_receive_message.ID)) break;
  }
  *id = g_receive_message.ID;
  std::memcpy(data, g_receive_message.DATA, g_receive_message.LEN < 8 ? g_receive_message.LEN : 8);
  return 0;
}

const CanBackend* peak_backend() {
  static const CanBackend backend{"PEAK", peak_open, peak_send_frame, peak_try_receive, nullptr};
  return &backend;
}

void peak_test_reset(const char* const* library_names) {
  g_api = PcanApi{};
  g_state = LibraryState::NOT_LOADED;
  g_library_names = library_names ? library_names : kLibraryNames;
  g_channel = 0;
}
