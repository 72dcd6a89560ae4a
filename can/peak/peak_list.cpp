// The `-l` records of the PEAK back-end: the library that loaded (or every name tried), its API
// version and each attached channel with its device type, device id and condition. Only
// CAN_GetValue is called, and no channel is initialised, except by a library that gives device ids
// of initialised channels alone (PCAN-Basic for Linux 4.3): a free channel is then initialised for
// the moment of the question (said in the log). A library too old for the attached-channels query
// is asked channel by channel (PCAN_CHANNEL_CONDITION for pcan:1 to pcan:16) instead, and a value
// it cannot give is named as such.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "can/peak/peak.h"
#include "can/peak/peak_library.h"
#include "log/log.h"

namespace {
// More than any machine has; a larger count from the library is taken as a fault.
constexpr uint32_t kMaxAttached = 64;

const char* device_type_name(TPCANDevice type) {
  switch (type) {
    case PCAN_USB:
      return "PCAN-USB";
    case PCAN_PCI:
      return "PCAN-PCI";
    case PCAN_LAN:
      return "PCAN-LAN";
    case PCAN_ISA:
      return "PCAN-ISA";
    case PCAN_DNG:
      return "PCAN-Dongle";
    case PCAN_PCC:
      return "PCAN-PC Card";
    case PCAN_VIRTUAL:
      return "PCAN virtual";
    default:
      return "PCAN device";
  }
}

const char* condition_name(uint32_t condition) {
  switch (condition) {
    case PCAN_CHANNEL_AVAILABLE:
      return "available";
    case PCAN_CHANNEL_OCCUPIED:
      return "occupied";
    case PCAN_CHANNEL_PCANVIEW:
      return "available (PCAN-View is connected)";
    default:
      return "unavailable";
  }
}

// The pcan:N number of a PCAN-USB handle, 0 for any other handle.
int32_t usb_number(TPCANHandle handle) {
  if (handle >= PCAN_USBBUS1 && handle < PCAN_USBBUS1 + 8) return handle - PCAN_USBBUS1 + 1;
  if (handle >= PCAN_USBBUS9 && handle < PCAN_USBBUS9 + 8) return handle - PCAN_USBBUS9 + 9;
  return 0;
}

CanListRecord note(const char* text) { return can_list_note(CanVendor::PEAK, text); }

void list_channel(CanListing* listing, int32_t number, const char* type, const char* device_id,
                  uint32_t condition) {
  char spelling[24];
  char description[160];
  std::snprintf(spelling, sizeof spelling, "pcan:%d", number);
  std::snprintf(description, sizeof description, "%s, device id %s, %s", type, device_id,
                condition_name(condition));
  CanListRecord record = can_list_interface(CanVendor::PEAK, spelling, description);
  record.holder = can_holder(spelling);
  // Held by another run of this tool: that says more than the library's "occupied".
  record.occupied = condition == PCAN_CHANNEL_OCCUPIED && record.holder == 0;
  if (std::strncmp(device_id, "0x", 2) == 0) record.identity = std::string("pcan@") + device_id;
  listing->push_back(record);
}

// "API version 4.8.0.5", or why the library does not say.
void api_version(const PcanApi& api, char* text, size_t size) {
  char version[MAX_LENGTH_VERSION_STRING] = "";
  const TPCANStatus status =
      api.get_value(PCAN_NONEBUS, PCAN_API_VERSION, version, sizeof version);
  version[sizeof version - 1] = '\0';
  if (status == PCAN_ERROR_OK) {
    std::snprintf(text, size, "API version %s", version);
  } else {
    char error[256];
    peak_error_text(status, error);
    std::snprintf(text, size, "API version not given (%s)", error);
  }
}

// 0 when the library listed its attached channels, -1 when it cannot (said in a note).
int32_t list_attached(const PcanApi& api, CanListing* listing) {
  uint32_t count = 0;
  TPCANStatus status =
      api.get_value(PCAN_NONEBUS, PCAN_ATTACHED_CHANNELS_COUNT, &count, sizeof count);
  std::vector<TPCANChannelInformation> channels;
  if (status == PCAN_ERROR_OK && count > kMaxAttached) status = PCAN_ERROR_ILLPARAMVAL;
  if (status == PCAN_ERROR_OK && count > 0) {
    channels.resize(count);
    status = api.get_value(PCAN_NONEBUS, PCAN_ATTACHED_CHANNELS, channels.data(),
                           static_cast<uint32_t>(count * sizeof(TPCANChannelInformation)));
  }
  if (status != PCAN_ERROR_OK) {
    char error[256];
    char text[400];
    peak_error_text(status, error);
    std::snprintf(text, sizeof text,
                  "PCAN-Basic cannot list the attached channels (%s); asking pcan:1 to pcan:%d",
                  error, PEAK_LAST_USB_CHANNEL);
    listing->push_back(note(text));
    return -1;
  }
  for (const TPCANChannelInformation& channel : channels) {
    char device_id[16];
    std::snprintf(device_id, sizeof device_id, "0x%X", static_cast<unsigned>(channel.device_id));
    const int32_t number = usb_number(channel.channel_handle);
    if (number == 0) {
      // This tool opens PCAN-USB channels only; others are named so that nobody looks for them.
      char text[160];
      std::snprintf(text, sizeof text, "%s channel 0x%X (device id %s, %s): not a PCAN-USB channel",
                    device_type_name(channel.device_type), channel.channel_handle, device_id,
                    condition_name(channel.channel_condition));
      listing->push_back(note(text));
      continue;
    }
    list_channel(listing, number, device_type_name(channel.device_type), device_id,
                 channel.channel_condition);
  }
  if (channels.empty()) listing->push_back(note("PCAN-Basic: no PCAN channel attached"));
  return 0;
}

// Asks each PCAN-USB channel for its condition; lists those that are present.
void list_by_condition(const PcanApi& api, CanListing* listing) {
  int32_t present = 0;
  TPCANStatus last_failure = PCAN_ERROR_OK;
  for (int32_t number = 1; number <= PEAK_LAST_USB_CHANNEL; ++number) {
    const TPCANHandle handle = peak_usb_handle(number);
    uint32_t condition = PCAN_CHANNEL_UNAVAILABLE;
    const TPCANStatus status =
        api.get_value(handle, PCAN_CHANNEL_CONDITION, &condition, sizeof condition);
    if (status != PCAN_ERROR_OK) {
      last_failure = status;
      continue;
    }
    if (condition == PCAN_CHANNEL_UNAVAILABLE) continue;
    ++present;
    uint32_t id = 0;
    char device_id[16] = "not given";
    if (peak_device_id(number, condition, &id) == PCAN_ERROR_OK) {
      std::snprintf(device_id, sizeof device_id, "0x%X", static_cast<unsigned>(id));
    }
    list_channel(listing, number, "PCAN-USB", device_id, condition);
  }
  if (present == 0 && last_failure != PCAN_ERROR_OK) {
    char error[256];
    char text[400];
    peak_error_text(last_failure, error);
    std::snprintf(text, sizeof text, "PCAN-Basic cannot tell the channels' condition (%s)", error);
    listing->push_back(note(text));
  } else if (present == 0) {
    listing->push_back(note("PCAN-Basic: no PCAN-USB channel attached"));
  }
}
}  // namespace

void peak_list(CanListing* listing) {
  if (peak_load_library() != 0) {
    listing->push_back(peak_library_record(""));
    return;
  }
  const PcanApi& api = peak_api();
  char version[MAX_LENGTH_VERSION_STRING + 64];
  api_version(api, version, sizeof version);
  listing->push_back(peak_library_record(version));
  if (list_attached(api, listing) != 0) list_by_condition(api, listing);
}

TPCANStatus peak_device_id(int32_t number, uint32_t condition, uint32_t* id) {
  const PcanApi& api = peak_api();
  const TPCANHandle handle = peak_usb_handle(number);
  TPCANStatus status = api.get_value(handle, PCAN_DEVICE_ID, id, sizeof *id);
  // PCAN-Basic for Linux 4.3 gives a device id for a channel this process initialised only; a
  // free channel is initialised for the moment of the question (one held by another program never:
  // initialising it would delete that program's filters).
  if (status != PCAN_ERROR_INITIALIZE || condition != PCAN_CHANNEL_AVAILABLE) return status;
  log_writef(LOG_ALWAYS,
             "PEAK: PCAN-Basic gives the device id of an initialised channel only: initialising "
             "pcan:%d for a moment to read it\n",
             static_cast<int>(number));
  status = api.initialize(handle, PCAN_BAUD_250K, PEAK_HARDWARE_TYPE, 0, 0);
  if (status != PCAN_ERROR_OK) return status;
  status = api.get_value(handle, PCAN_DEVICE_ID, id, sizeof *id);
  api.uninitialize(handle);
  return status;
}

// The pcan:N of the attached PCAN-USB channel whose device id is `id`; 0 when there is none, with
// the device ids that are attached in `attached` ("1, 2").
int32_t peak_find_device(uint64_t id, std::string* attached) {
  const PcanApi& api = peak_api();
  for (int32_t number = 1; number <= PEAK_LAST_USB_CHANNEL; ++number) {
    const TPCANHandle handle = peak_usb_handle(number);
    uint32_t condition = PCAN_CHANNEL_UNAVAILABLE;
    uint32_t device_id = 0;
    if (api.get_value(handle, PCAN_CHANNEL_CONDITION, &condition, sizeof condition) !=
            PCAN_ERROR_OK ||
        condition == PCAN_CHANNEL_UNAVAILABLE ||
        peak_device_id(number, condition, &device_id) != PCAN_ERROR_OK) {
      continue;
    }
    if (device_id == id) return number;
    *attached += (attached->empty() ? "" : ", ") + std::to_string(device_id);
  }
  return 0;
}
