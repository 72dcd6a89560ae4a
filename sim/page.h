// A page as an emulated bootloader collects it from numbered data frames: each frame carries the
// sequence number in byte 0, then (after any bytes that must be 0) its share of the page's bytes.
// Call order: sim_page_open after the command that announces the page, sim_page_take for each data
// frame, sim_page_complete and sim_page_sum when the command that closes it arrives.
#pragma once

#include <cstdint>

// How a service cuts its pages into frames.
struct SimPageFormat {
  uint32_t size;            // bytes per page
  uint8_t frames;           // data frames per page
  uint8_t first_sequence;   // sequence number of the first frame
  int first_byte;           // frame byte that carries the first page byte; bytes 1 up to it are 0
};

constexpr uint32_t SIM_PAGE_MAX = 900;

struct SimPage {
  const SimPageFormat* format;
  bool open;
  bool broken;              // a frame out of order, one too many, or a filler byte not 0 (before
                            // the first page byte, or after the last in the last frame)
  uint32_t address;
  uint8_t next_sequence;
  uint32_t filled;
  uint8_t bytes[SIM_PAGE_MAX];
};

void sim_page_open(SimPage* page, const SimPageFormat* format, uint32_t address);
// Takes one data frame of an open page; a frame of a page that is not open is ignored.
void sim_page_take(SimPage* page, const uint8_t data[8]);
// True when every frame came, in order.
bool sim_page_complete(const SimPage* page);
// The 32-bit sum of the page's bytes.
uint32_t sim_page_sum(const SimPage* page);
