// The console pieces and openings shared by the operations.
#include "ops/transfer.h"

#include "can/channel.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "ops/parameter_image.h"
#include "platform/platform.h"
#include "protocol/parameters.h"

namespace {
const char* g_state = "nothing was sent";
}  // namespace

int32_t operation_failed(int32_t result) {
  const int signal = platform_interrupt();
  if (signal != 0) {
    can_close();
    console_print("Interrupted by %s: %s\n", platform_signal_name(signal), g_state);
    log_writef(LOG_ALWAYS, "Interrupted by %s: %s\n", platform_signal_name(signal), g_state);
    result = 128 + signal;
  }
  log_close();
  return result;
}

void operation_state(const char* state) { g_state = state; }

int operation_interrupted() { return platform_interrupt(); }

int32_t step_failed(const char* step, int32_t result) {
  if (operation_interrupted() == 0) console_print("%s failed: %d\n", step, result);
  return operation_failed(result);
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
    if (operation_interrupted() != 0) return result;
    console_print("Production test mode initialization error %d\n", result);
    return result;
  }
  console_print("Block count %d\n", PARAMETER_PAGE_COUNT);
  return 0;
}

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

int32_t print_image_report(const uint8_t* image, int32_t image_end) {
  console_print("Checksum %d  (%d)\n", static_cast<int32_t>(image_sum(image, image_end)), image_end);
  const int32_t blocks = image_end / 256 + 1;
  console_print("Block count %d\n", blocks);
  print_image_dump(image, blocks);
  return blocks;
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
