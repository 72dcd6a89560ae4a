// Flashing, for the unit's application (-f) and a sensor node (-g, -b) alike: one page loop driven
// by a FlashTarget that says where the pages start, how they are cut into frames, which commands
// carry them and what the console says about the device. flash_application and flash_sensor
// (ops/operations.h) are this loop with their target.
// Example: FLASH_SENSOR's pages start at image index 0x20000, 900 bytes each, so an image whose
// highest index is 0x20384 goes out in 2 pages; FLASH_APPLICATION's start at index 0 (flash address
// 0x70020000), 256 bytes each.
#pragma once

#include <cstdint>

struct FlashTarget;
extern const FlashTarget FLASH_APPLICATION;
extern const FlashTarget FLASH_SENSOR;

// The pages a target sends for an image: those whose first index is not beyond the image's
// extent (an application's end, a sensor's highest index), from the target's first page on.
int32_t flash_page_count(const FlashTarget& target, int32_t extent);
