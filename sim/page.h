// A page as an emulated bootloader collects it from numbered data frames, cut as the tool cuts
// them (PageFormat, protocol/page_format.h), and strict about every byte the format leaves 0.
// Call order: sim_page_open after the command that announces the page, sim_page_take for each data
// frame, sim_page_complete and sim_page_sum when the command that closes it arrives.
#pragma once

#include <cstdint>

#include "protocol/page_format.h"

struct SimPage {
  const PageFormat* format;
  bool open;
  bool broken;              // a frame out of order, one too many, or a filler byte not 0 (before
                            // the first page byte, or after the last in the last frame)
  uint32_t address;
  uint8_t next_sequence;
  uint32_t filled;
  uint8_t bytes[PAGE_SIZE_MAX];
};

void sim_page_open(SimPage* page, const PageFormat* format, uint32_t address);
// Takes one data frame of an open page; a frame of a page that is not open is ignored.
void sim_page_take(SimPage* page, const uint8_t data[8]);
// True when every frame came, in order.
bool sim_page_complete(const SimPage* page);
// The 32-bit sum of the page's bytes.
uint32_t sim_page_sum(const SimPage* page);
