#include "sim/page.h"

#include <cstring>

void sim_page_open(SimPage* page, const PageFormat* format, uint32_t address) {
  std::memset(page, 0, sizeof *page);
  page->format = format;
  page->open = true;
  page->address = address;
  page->next_sequence = format->first_sequence;
}

void sim_page_take(SimPage* page, const uint8_t data[8]) {
  if (!page->open) return;
  const PageFormat& format = *page->format;
  bool fillers_zero = true;
  for (int k = 1; k < format.first_byte; ++k) fillers_zero = fillers_zero && data[k] == 0;
  if (data[0] != page->next_sequence ||
      page->next_sequence - format.first_sequence >= format.frames || !fillers_zero) {
    page->broken = true;
    return;
  }
  ++page->next_sequence;
  for (int k = format.first_byte; k < 8; ++k) {
    if (page->filled < format.size) {
      page->bytes[page->filled++] = data[k];
    } else if (data[k] != 0) {
      page->broken = true;  // the last frame's fillers are 0
    }
  }
}

bool sim_page_complete(const SimPage* page) {
  return page->open && !page->broken &&
         page->next_sequence - page->format->first_sequence == page->format->frames;
}

uint32_t sim_page_sum(const SimPage* page) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < page->format->size; ++i) sum += page->bytes[i];
  return sum;
}
