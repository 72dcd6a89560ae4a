// Page framing shared by the tool and the emulated devices.
#include "protocol/page_format.h"

#include <cstring>

namespace {
// The page bytes that frame `index` carries: their count, and their first offset in *first.
uint32_t frame_span(const PageFormat& format, int index, uint32_t* first) {
  const uint32_t per_frame = static_cast<uint32_t>(8 - format.first_byte);
  *first = static_cast<uint32_t>(index) * per_frame;
  if (*first >= format.size) return 0;
  return format.size - *first < per_frame ? format.size - *first : per_frame;
}

uint32_t sum_of(const uint8_t* bytes, uint32_t count) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum += bytes[i];
  return sum;
}
}  // namespace

uint32_t page_build_frame(const PageFormat& format, int index, const uint8_t* page,
                          uint8_t frame[8]) {
  std::memset(frame, 0, 8);
  frame[0] = static_cast<uint8_t>(format.first_sequence + index);
  uint32_t first = 0;
  const uint32_t count = frame_span(format, index, &first);
  if (count > 0) std::memcpy(&frame[format.first_byte], &page[first], count);
  return sum_of(&frame[format.first_byte], count);
}

uint32_t page_take_frame(const PageFormat& format, int index, const uint8_t frame[8],
                         uint8_t* page) {
  uint32_t first = 0;
  const uint32_t count = frame_span(format, index, &first);
  if (count > 0) std::memcpy(&page[first], &frame[format.first_byte], count);
  return sum_of(&frame[format.first_byte], count);
}
