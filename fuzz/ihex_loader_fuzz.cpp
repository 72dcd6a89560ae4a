// Feeds arbitrary files to the HEX file loader under one address layout, IHEX_FUZZ_ADDRESSING
// (set by fuzz/CMakeLists.txt: one target per layout).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_file.h"
#include "ihex/image.h"
#include "ihex/reader.h"

namespace {
constexpr IhexAddressing kAddressing = IHEX_FUZZ_ADDRESSING;
// An application byte at the image's last index would call for a page past the image.
constexpr int32_t kLimit = static_cast<int32_t>(
    kAddressing == IHEX_APPLICATION ? FLASH_IMAGE_SIZE - 1 : FLASH_IMAGE_SIZE);
// One image for every input, never cleared: a stray byte of any input stays to be found.
uint8_t g_image[FLASH_IMAGE_SIZE];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_start(data, size, size > 0 ? data[0] & 7 : 1);
  if (ihex_open(fuzz_input_path()) != 0) std::abort();
  IhexLoad load{-1, -1, 0};
  const int32_t result = ihex_load_image(kAddressing, g_image, &load);
  if (result == 0) {
    if (load.end < 0 || load.end > kLimit) std::abort();
    if (load.highest != (load.end > 0 ? load.end - 1 : 0)) std::abort();
  } else if (result != -7) {
    std::abort();
  }
  // The refusal line and closing the log belong to the operations.
  if (fuzz_console().find("IHex parse error") != std::string::npos) std::abort();
  // No application byte ever lands at the image's last index.
  if (kAddressing == IHEX_APPLICATION && g_image[FLASH_IMAGE_SIZE - 1] != 0) std::abort();
  log_close();
  ihex_reset();
  return 0;
}
