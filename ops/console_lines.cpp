// The console lines shared by the operations.
#include "ops/console_lines.h"

#include <cstdio>

#include "log/log.h"

void print_separator() {
  console_print("-------------------------------------------------------------\n");
}

void print_progress(int32_t* last_printed, int32_t done, int32_t total) {
  const float share = static_cast<float>(done) * 1000.0f / static_cast<float>(total) + 0.5f;
  int32_t progress = static_cast<int32_t>(share);
  if (progress > 1000) progress = 1000;
  if (progress != *last_printed) {
    console_print("%.01f%%\n", progress / 10.0);
    *last_printed = progress;
  }
}

uint32_t image_sum(const uint8_t* image, int32_t end) {
  uint32_t sum = 0;
  for (int32_t i = 0; i < end; ++i) sum += image[i];
  return sum;
}

void print_image_report(const uint8_t* image, int32_t extent, uint32_t sum) {
  console_print("Checksum %d  (%d)\n", static_cast<int32_t>(sum), extent);
  const int32_t blocks = extent / 256 + 1;
  console_print("Block count %d\n", blocks);
  for (int32_t first : {0, (blocks - 1) * 256}) {
    for (int32_t row = first; row < first + 256; row += 16) {
      console_print("%04X: ", static_cast<unsigned>(row));
      for (int32_t i = 0; i < 16; ++i) console_print("%02X ", image[row + i]);
      console_print("\n");
    }
    print_separator();
  }
}

void print_forced_page(uint32_t address, uint32_t status) {
  char line[200];
  std::snprintf(line, sizeof line,
                "Page 0x%X was answered with status %02X %02X %02X %02X: the node may not have "
                "written it; taken as written because of -b\n",
                address, status & 0xFF, (status >> 8) & 0xFF, (status >> 16) & 0xFF, status >> 24);
  console_problem("%s", line);
  log_write(line, LOG_ALWAYS);
}

void print_forced_pages_warning(size_t pages) {
  if (pages == 0) return;
  char line[200];
  std::snprintf(line, sizeof line,
                "Warning: %zu %s answered with a non-zero status: check the sensor, or flash it "
                "again without -b\n",
                pages, pages == 1 ? "page was" : "pages were");
  console_problem("%s", line);
  log_write(line, LOG_ALWAYS);
}
