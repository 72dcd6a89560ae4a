// How a page travels as numbered data frames, for the tool's senders and readers and for the
// emulated devices that collect or send pages: byte 0 of each frame is its sequence number, bytes
// 1 up to first_byte are 0, the rest carry the page's bytes in order; the last frame's unused
// bytes are 0.
// Example: frame 36 of a unit page is 24 FC FD FE FF 00 00 00 (the page's last four bytes).
#pragma once

#include <cstdint>

struct PageFormat {
  uint32_t size;           // bytes per page
  uint8_t frames;          // data frames per page
  uint8_t first_sequence;  // sequence number of the first frame
  int first_byte;          // frame byte that carries the first page byte
};

// The unit's download and parameter pages: 256 bytes in 37 frames of seven, sequence 0 to 36.
constexpr PageFormat UNIT_PAGE{256, 37, 0, 1};
// The sensor node's pages: 900 bytes in 150 frames of six, sequence 1 to 150, byte 1 zero.
constexpr PageFormat NODE_PAGE{900, 150, 1, 2};
constexpr uint32_t PAGE_SIZE_MAX = 900;

// Builds frame `index` (0 for the first) of the page `page` (format.size bytes) into `frame` and
// returns the sum of the page bytes it carries.
uint32_t page_build_frame(const PageFormat& format, int index, const uint8_t* page,
                          uint8_t frame[8]);
// Stores the page bytes that frame `index` carries into `page` and returns their sum; the
// sequence number and the fillers are not looked at.
uint32_t page_take_frame(const PageFormat& format, int index, const uint8_t frame[8],
                         uint8_t* page);
