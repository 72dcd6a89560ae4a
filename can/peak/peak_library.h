// PCAN-Basic as loaded by the PEAK back-end, shared by its channel code (peak.cpp) and its
// listing (peak_list.cpp): the entry points and the library's state.
// Call order: peak_load_library, then the entry points of peak_api().
#pragma once

#include <cstdint>
#include <string>

#include "can/peak/pcan_basic.h"
#include "can/vendor_library.h"

constexpr int32_t PEAK_LAST_USB_CHANNEL = 16;
// The hardware type, port and interrupt mean nothing to a USB adapter; the library expects them.
constexpr TPCANType PEAK_HARDWARE_TYPE = 5;

// The handle of PCAN-USB channel `number` (1 to 16), as the vendor's header numbers them.
inline TPCANHandle peak_usb_handle(int32_t number) {
  return static_cast<TPCANHandle>(number <= 8 ? PCAN_USBBUS1 + (number - 1)
                                              : PCAN_USBBUS9 + (number - 9));
}

// The ten entry points the back-end needs; a library that lacks one is not used.
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

// Loads the library and resolves the entry points once per run, logging the outcome, and learns
// whether it is PEAK's own for Linux (it exports the driver's libpcanfd, pcanfd_open; said in the
// log), whose bus states and channel sharing differ from what PCAN-Basic's header says.
// 0 when usable, -1 when not (logged: "PEAK: ERROR: ..." and "PEAK: Cannot initialize DLL").
int32_t peak_load_library();
// The entry points after a successful peak_load_library.
const PcanApi& peak_api();
// The listing's record of the library, with `version` when it is usable.
CanListRecord peak_library_record(const char* version);
// The library's text for `status` ("status 0x<hex>" when it has none).
void peak_error_text(TPCANStatus status, char text[256]);
// The device id of pcan:`number`, whose condition is `condition`: PCAN_DEVICE_ID, or, from a library
// that gives it for an initialised channel only, with the free channel initialised for the moment
// of the question (said in the log).
TPCANStatus peak_device_id(int32_t number, uint32_t condition, uint32_t* id);
// The pcan:N of the attached PCAN-USB channel whose device id is `id`; 0 when there is none, with
// the device ids that are attached in `attached` ("1, 2").
int32_t peak_find_device(uint64_t id, std::string* attached);
