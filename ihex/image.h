// The byte image filled from a HEX file, and the loader that fills it from a whole file.
// FlashImage index = absolute address in the file (extended linear base + extended segment base +
// record address); bytes that no data record writes stay 0. One file is loaded per run.
// Call order: ihex_open, then ihex_load_image once; the caller then sends FlashImage[0..result].
// Example: ":020000021000EC", ":0400000001020304F2", ":00000001FF" puts 01 02 03 04 at 0x10000
// to 0x10003 and returns 0x10003.
#pragma once

#include <cstdint>

constexpr uint32_t FLASH_IMAGE_SIZE = 0x3E0000;

// All zero at program start; never cleared by the loader.
extern uint8_t FlashImage[FLASH_IMAGE_SIZE];

// Reads records from the open HEX file up to the end of file record and copies the data records
// into FlashImage. Returns the highest index written (inclusive; 0 when nothing or only index 0
// was written), or -7 after printing "IHex parse error\n" and calling log_close when a line is bad,
// the file ends early, an address record is malformed or data would fall outside the image.
int32_t ihex_load_image();
