// Byte 0 of the bootloader protocol's frames: the command codes the tool sends and the answer codes
// it expects, for the unit's download and parameter services and the sensor node's download.
// Shared by the tool's commands and the emulated devices.
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
// Answers of the parameter service: the usual one, and the one of the two guarded sectors
// (0x1000-0x1FFF and 0xB000-0xBFFF) on the restore side.
constexpr uint8_t PARAMETER_ANSWER = 0xA0;
constexpr uint8_t PARAMETER_GUARDED_ANSWER = 0xA6;
