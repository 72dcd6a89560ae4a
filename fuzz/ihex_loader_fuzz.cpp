// Feeds arbitrary files to the sensor image loader.
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_file.h"
#include "ihex/image.h"
#include "ihex/reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_start(data, size, size > 0 ? data[0] & 7 : 1);
  if (ihex_open(fuzz_input_path()) != 1) std::abort();
  const int32_t result = ihex_load_image();
  if (result != -7 && (result < 0 || static_cast<uint32_t>(result) >= FLASH_IMAGE_SIZE)) {
    std::abort();
  }
  if (result >= 0) log_close();  // a failed load has closed it
  ihex_reset();
  return 0;
}
