// Feeds arbitrary files to the HEX line reader and checks what every call leaves behind.
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_file.h"
#include "ihex/reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the logging level, so filtered and traced runs are both covered.
  const int32_t level = size > 0 ? data[0] & 7 : 3;
  fuzz_start(data, size, level);
  if (ihex_open(fuzz_input_path()) != 0) std::abort();
  // Each call consumes at least one character or meets the end, so this ends after at most
  // size + 2 calls.
  size_t calls = 0;
  for (;;) {
    const int32_t result = ihex_read_record();
    if (result < -2 || result > 1 || ++calls > size + 2) std::abort();
    if (result == -2) break;
    if (result >= 0) {
      const IhexRecord& record = ihex_record();
      if ((result == 1) != (record.type == 1)) std::abort();
      unsigned sum = record.length + (record.address >> 8) + (record.address & 0xFF) +
                     record.type + record.checksum;
      for (int i = 0; i < record.length; ++i) sum += record.data[i];
      if ((sum & 0xFF) != 0) std::abort();
    }
  }
  if (ihex_read_record() != -2) std::abort();
  log_close();
  ihex_reset();
  return 0;
}
