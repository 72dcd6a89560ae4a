// Transfer state and the console pieces shared by the operations.
#include "ops/transfer.h"

#include <cstring>

#include "ihex/reader.h"
#include "log/log.h"
#include "ops/parameter_image.h"
#include "protocol/download.h"
#include "protocol/parameters.h"

int32_t block_count = 0;
int32_t block_counter = 0;
uint32_t page_address = 0;
int32_t byte_index = 0;
int32_t page_index = 0;
uint8_t frame_sequence = 0;
uint32_t page_checksum = 0;
int32_t progress = 0;
int32_t last_progress = -1;
uint8_t current_frame[8] = {};

namespace {
constexpr int32_t kUnitPageSize = 256;
constexpr int kUnitFrameBytes = 7;
}  // namespace

void transfer_reset() {
  block_count = 0;
  block_counter = 0;
  page_address = 0;
  byte_index = 0;
  page_index = 0;
  frame_sequence = 0;
  page_checksum = 0;
  progress = 0;
  last_progress = -1;
  std::memset(current_frame, 0, sizeof current_frame);
}

void transfer_start_page(uint8_t first_sequence) {
  page_checksum = 0;
  page_index = 0;
  frame_sequence = first_sequence;
}

int32_t operation_failed(int32_t result) {
  log_close();
  return result;
}

int32_t open_hex_file(const char* path) {
  print_separator();
  console_print("Starting application software flashing from HEX file: '%s'\n", path);
  if (ihex_open(path) == 0) {
    console_print("IHex init error '%s'\n", path);
    return -3;
  }
  console_print("IHex init ok\n");
  return 0;
}

int32_t start_parameter_pages() {
  const int32_t result = enter_production_test_mode();
  if (result < 0) {
    console_print("Production test mode initialization error %d\n", result);
    return result;
  }
  transfer_reset();
  block_count = PARAMETER_PAGE_COUNT;
  console_print("Block count %d\n", block_count);
  return 0;
}

void print_separator() {
  console_print("-------------------------------------------------------------\n");
}

void print_progress(int32_t done, int32_t total) {
  const float share = static_cast<float>(done) * 1000.0f / static_cast<float>(total) + 0.5f;
  progress = static_cast<int32_t>(share);
  if (progress > 1000) progress = 1000;
  if (progress != last_progress) {
    console_print("%.01f%%\n", progress / 10.0);
    last_progress = progress;
  }
}

uint32_t image_sum(const uint8_t* image, int32_t end) {
  uint32_t sum = 0;
  for (int32_t i = 0; i < end; ++i) sum += image[i];
  return sum;
}

void print_image_dump(const uint8_t* image, int32_t blocks) {
  const int32_t last_block = (blocks - 1) * 256;
  for (int32_t first : {0, last_block}) {
    for (int32_t row = first; row < first + 256; row += 16) {
      console_print("%04X: ", static_cast<unsigned>(row));
      for (int32_t i = 0; i < 16; ++i) console_print("%02X ", image[row + i]);
      console_print("\n");
    }
    print_separator();
  }
}

int32_t send_unit_page(const uint8_t* image) {
  while (page_index < kUnitPageSize) {
    current_frame[0] = frame_sequence;
    for (int k = 1; k <= kUnitFrameBytes; ++k) {
      if (page_index < kUnitPageSize) {
        current_frame[k] = image[byte_index++];
        page_checksum += current_frame[k];
      } else {
        current_frame[k] = 0;
      }
      ++page_index;
    }
    const int32_t sent = dl_send_data(current_frame);
    if (sent < 0) return sent;
    ++frame_sequence;
  }
  return 0;
}
