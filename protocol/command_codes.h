// Byte 0 of the bootloader protocol's frames: the command codes the tool sends and the answer codes
// it expects, for the unit's download and parameter services and the sensor node's download; and
// the 32-bit values frames carry. Shared by the tool's commands and the emulated devices.
#pragma once

#include <cstdint>

constexpr uint8_t DL_START_LOADING = 10;
constexpr uint8_t DL_START_LOADING_ANSWER = 11;
constexpr uint8_t DL_ERASE_APP = 12;
constexpr uint8_t DL_ERASE_APP_ANSWER = 13;
constexpr uint8_t DL_END_OF_DOWNLOAD = 14;
constexpr uint8_t DL_DOWNLOAD = 16;
constexpr uint8_t DL_FLASH_COMMAND = 17;
constexpr uint8_t DL_FLASH_COMMAND_ANSWER = 18;

constexpr uint8_t COMMAND_ID_ENTER_PRODUCTION_TEST_MODE = 0x80;
constexpr uint8_t COMMAND_ID_START_PAGE_BACKUP = 0xA0;
constexpr uint8_t COMMAND_ID_START_PAGE_RESTORE = 0xA1;
constexpr uint8_t COMMAND_ID_FINISH_PAGE_RESTORE = 0xA2;
constexpr uint8_t COMMAND_ID_ERASE_SECTOR = 0xA3;
// A 32-bit value in a frame (an argument, a status, a checksum), least significant byte first
// from `bytes` on: a unit command's argument at frame byte 4, a sensor node's at byte 2.
inline uint32_t frame_value(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}
inline void frame_put_value(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Answers of the parameter service: the usual one, and the one of the two guarded sectors
// (0x1000-0x1FFF and 0xB000-0xBFFF) on the restore side.
constexpr uint8_t PARAMETER_ANSWER = 0xA0;
constexpr uint8_t PARAMETER_GUARDED_ANSWER = 0xA6;
