#include "protocol/page_format.h"

#include <cstring>

namespace {
uint32_t first_offset(const PageFormat& format, int index) {
  return static_cast<uint32_t>(index) * static_cast<uint32_t>(8 - format.first_byte);
}
}  // namespace

uint32_t page_build_frame(const PageFormat& format, int index, const uint8_t* page,
                          uint8_t frame[8]) {
  std::memset(frame, 0, 8);
  frame[0] = static_cast<uint8_t>(format.first_sequence + index);
  uint32_t sum = 0;
  uint32_t offset = first_offset(format, index);
  for (int k = format.first_byte; k < 8 && offset < format.size; ++k, ++offset) {
    frame[k] = page[offset];
    sum += frame[k];
  }
  return sum;
}

uint32_t page_take_frame(const PageFormat& format, int index, const uint8_t frame[8],
                         uint8_t* page) {
  uint32_t sum = 0;
  uint32_t offset = first_offset(format, index);
  for (int k = format.first_byte; k < 8 && offset < format.size; ++k, ++offset) {
    page[offset] = frame[k];
    sum += frame[k];
  }
  return sum;
}
