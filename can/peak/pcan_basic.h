// PEAK-System's PCAN-Basic ABI as the library publishes it: the types, records, constants and
// entry-point signatures that this tool uses. The widths are fixed on every platform (the
// library's BYTE, WORD and DWORD are 8, 16 and 32 bits, DWORD on Linux too; they are spelled as
// fixed-width types here so as not to clash with <windows.h>). On Windows every entry point is
// __stdcall.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define PCAN_API __stdcall
#else
#define PCAN_API
#endif

using TPCANHandle = uint16_t;
using TPCANStatus = uint32_t;
using TPCANParameter = uint8_t;
using TPCANType = uint8_t;
using TPCANMode = uint8_t;
using TPCANMessageType = uint8_t;
using TPCANBaudrate = uint16_t;
using TPCANDevice = uint8_t;

struct TPCANMsg {
  uint32_t ID;
  TPCANMessageType MSGTYPE;
  uint8_t LEN;
  uint8_t DATA[8];
};
static_assert(sizeof(TPCANMsg) == 16, "TPCANMsg is 16 bytes");

struct TPCANTimestamp {
  uint32_t millis;
  uint16_t millis_overflow;
  uint16_t micros;
};
static_assert(sizeof(TPCANTimestamp) == 8, "TPCANTimestamp is 8 bytes");

// Maximum length of a device name (32 characters and the terminator) and of a version string.
constexpr size_t MAX_LENGTH_HARDWARE_NAME = 33;
constexpr size_t MAX_LENGTH_VERSION_STRING = 256;

// One attached channel, as CAN_GetValue(PCAN_NONEBUS, PCAN_ATTACHED_CHANNELS) fills an array of
// them.
struct TPCANChannelInformation {
  TPCANHandle channel_handle;
  TPCANDevice device_type;
  uint8_t controller_number;
  uint32_t device_features;
  char device_name[MAX_LENGTH_HARDWARE_NAME];
  uint32_t device_id;
  uint32_t channel_condition;
};
static_assert(sizeof(TPCANChannelInformation) == 52, "TPCANChannelInformation is 52 bytes");

// The handle for values of the library itself rather than of a channel.
constexpr TPCANHandle PCAN_NONEBUS = 0x00;
// PCAN-USB channels 1 to 8 are 0x51 to 0x58, channels 9 to 16 are 0x509 to 0x510.
constexpr TPCANHandle PCAN_USBBUS1 = 0x51;
constexpr TPCANHandle PCAN_USBBUS9 = 0x509;
constexpr TPCANBaudrate PCAN_BAUD_250K = 0x011C;
constexpr TPCANStatus PCAN_ERROR_OK = 0x00000;
constexpr TPCANStatus PCAN_ERROR_XMTFULL = 0x00001;
constexpr TPCANStatus PCAN_ERROR_OVERRUN = 0x00002;  // the controller was read too late
constexpr TPCANStatus PCAN_ERROR_BUSLIGHT = 0x00004;
constexpr TPCANStatus PCAN_ERROR_BUSHEAVY = 0x00008;
constexpr TPCANStatus PCAN_ERROR_BUSOFF = 0x00010;
constexpr TPCANStatus PCAN_ERROR_QRCVEMPTY = 0x00020;
constexpr TPCANStatus PCAN_ERROR_QOVERRUN = 0x00040;  // the receive queue was read too late
constexpr TPCANStatus PCAN_ERROR_QXMTFULL = 0x00080;
constexpr TPCANStatus PCAN_ERROR_NODRIVER = 0x00200;
constexpr TPCANStatus PCAN_ERROR_HWINUSE = 0x00400;
constexpr TPCANStatus PCAN_ERROR_ILLHW = 0x01400;
constexpr TPCANStatus PCAN_ERROR_UNKNOWN = 0x10000;
constexpr TPCANStatus PCAN_ERROR_ILLPARAMTYPE = 0x04000;
constexpr TPCANStatus PCAN_ERROR_ILLPARAMVAL = 0x08000;
constexpr TPCANStatus PCAN_ERROR_BUSPASSIVE = 0x40000;
// A channel that this process has not initialised (PCAN-Basic for Linux 4.3 answers it for every
// value of an uninitialised channel, the device id included).
constexpr TPCANStatus PCAN_ERROR_INITIALIZE = 0x4000000;
// Parameters of CAN_GetValue.
constexpr TPCANParameter PCAN_DEVICE_ID = 0x01;
// The receive event: on Linux CAN_GetValue gives a file descriptor (int) that is readable while
// messages wait; on Windows CAN_SetValue takes an event HANDLE that the library sets.
constexpr TPCANParameter PCAN_RECEIVE_EVENT = 0x03;
constexpr TPCANParameter PCAN_API_VERSION = 0x05;
constexpr TPCANParameter PCAN_CHANNEL_CONDITION = 0x0D;
constexpr TPCANParameter PCAN_ATTACHED_CHANNELS_COUNT = 0x2A;
constexpr TPCANParameter PCAN_ATTACHED_CHANNELS = 0x2B;
// Values of PCAN_CHANNEL_CONDITION (PCANVIEW: both bits, in use by PCAN-View but free to connect).
constexpr uint32_t PCAN_CHANNEL_UNAVAILABLE = 0x00;
constexpr uint32_t PCAN_CHANNEL_AVAILABLE = 0x01;
constexpr uint32_t PCAN_CHANNEL_OCCUPIED = 0x02;
constexpr uint32_t PCAN_CHANNEL_PCANVIEW = 0x03;
// Device types (TPCANDevice).
constexpr TPCANDevice PCAN_NONE = 0x00;
constexpr TPCANDevice PCAN_PEAKCAN = 0x01;
constexpr TPCANDevice PCAN_ISA = 0x02;
constexpr TPCANDevice PCAN_DNG = 0x03;
constexpr TPCANDevice PCAN_PCI = 0x04;
constexpr TPCANDevice PCAN_USB = 0x05;
constexpr TPCANDevice PCAN_PCC = 0x06;
constexpr TPCANDevice PCAN_VIRTUAL = 0x07;
constexpr TPCANDevice PCAN_LAN = 0x08;
constexpr TPCANMessageType PCAN_MESSAGE_STANDARD = 0x00;
constexpr TPCANMessageType PCAN_MESSAGE_RTR = 0x01;
constexpr TPCANMessageType PCAN_MESSAGE_EXTENDED = 0x02;
constexpr TPCANMessageType PCAN_MESSAGE_ERRFRAME = 0x40;
constexpr TPCANMessageType PCAN_MESSAGE_STATUS = 0x80;
constexpr uint16_t PCAN_LANGUAGE_ENGLISH = 0x09;
constexpr TPCANMode PCAN_MODE_STANDARD = 0x00;
constexpr TPCANMode PCAN_MODE_EXTENDED = 0x02;

using CAN_Initialize_t = TPCANStatus(PCAN_API*)(TPCANHandle channel, TPCANBaudrate btr0btr1,
                                                TPCANType hw_type, uint32_t io_port,
                                                uint16_t interrupt);
using CAN_Uninitialize_t = TPCANStatus(PCAN_API*)(TPCANHandle channel);
using CAN_Reset_t = TPCANStatus(PCAN_API*)(TPCANHandle channel);
using CAN_GetStatus_t = TPCANStatus(PCAN_API*)(TPCANHandle channel);
using CAN_Read_t = TPCANStatus(PCAN_API*)(TPCANHandle channel, TPCANMsg* message,
                                          TPCANTimestamp* timestamp);
using CAN_Write_t = TPCANStatus(PCAN_API*)(TPCANHandle channel, TPCANMsg* message);
using CAN_FilterMessages_t = TPCANStatus(PCAN_API*)(TPCANHandle channel, uint32_t from_id,
                                                    uint32_t to_id, TPCANMode mode);
using CAN_GetValue_t = TPCANStatus(PCAN_API*)(TPCANHandle channel, TPCANParameter parameter,
                                              void* buffer, uint32_t buffer_length);
using CAN_SetValue_t = TPCANStatus(PCAN_API*)(TPCANHandle channel, TPCANParameter parameter,
                                              void* buffer, uint32_t buffer_length);
using CAN_GetErrorText_t = TPCANStatus(PCAN_API*)(TPCANStatus error, uint16_t language,
                                                  char* buffer);
