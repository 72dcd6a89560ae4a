// Flashing, for the unit's application (-f) and a sensor node (-g, -b) alike: one page loop driven
// by a FlashTarget (where the pages start, how they are cut into frames, the commands that carry
// them, what the console says). Example: FLASH_SENSOR's pages are 900 bytes from index 0x20000, so
// an image whose highest index is 0x20384 goes out in 2 pages.
#pragma once

#include <cstdint>

struct FlashTarget;
extern const FlashTarget FLASH_APPLICATION;
extern const FlashTarget FLASH_SENSOR;

// The pages a target sends for an image: those whose first index is not beyond the image's
// extent (an application's end, a sensor's highest index), from the target's first page on.
int32_t flash_page_count(const FlashTarget& target, int32_t extent);
