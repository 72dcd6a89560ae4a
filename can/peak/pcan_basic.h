// PEAK-System's PCAN-Basic ABI as the library publishes it: the types, records, constants and
// entry-point signatures that this tool uses. The widths are fixed on every platform (the
// library's BYTE, WORD and DWORD are 8, 16 and 32 bits, DWORD on Linux too; they are spelled as
// fixed-width types here so as not to clash with <windows.h>). On Windows every entry point is
// __stdcall.
#pragma once

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

// PCAN-USB channels 1 to 8 are 0x51 to 0x58, channels 9 to 16 are 0x509 to 0x510.
constexpr TPCANHandle PCAN_USBBUS1 = 0x51;
constexpr TPCANHandle PCAN_USBBUS9 = 0x509;
constexpr TPCANBaudrate PCAN_BAUD_250K = 0x011C;
constexpr TPCANStatus PCAN_ERROR_OK = 0x00000;
constexpr TPCANStatus PCAN_ERROR_QRCVEMPTY = 0x00020;
constexpr TPCANMessageType PCAN_MESSAGE_STANDARD = 0x00;
constexpr TPCANMessageType PCAN_MESSAGE_RTR = 0x01;
constexpr TPCANMessageType PCAN_MESSAGE_EXTENDED = 0x02;
constexpr TPCANMessageType PCAN_MESSAGE_ERRFRAME = 0x40;
constexpr TPCANMessageType PCAN_MESSAGE_STATUS = 0x80;
constexpr uint16_t PCAN_LANGUAGE_ENGLISH = 0x09;
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
