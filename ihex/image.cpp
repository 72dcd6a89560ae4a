// Sensor image loader and the image buffer.
#include "ihex/image.h"

#include <cstring>

#include "ihex/reader.h"
#include "log/log.h"

uint8_t FlashImage[FLASH_IMAGE_SIZE];

namespace {
int32_t parse_error() {
  console_print("IHex parse error\n");
  log_close();
  return -7;
}
}  // namespace

int32_t ihex_load_image() {
  // 64-bit so that the largest bases plus the largest record address cannot wrap around.
  uint64_t linear_base = 0;
  uint64_t segment_base = 0;
  int32_t highest = 0;
  for (;;) {
    if (ihex_read_record() < 0) return parse_error();
    const IhexRecord& record = ihex_record();
    switch (record.type) {
      case 0: {
        if (record.length == 0) break;
        const uint64_t start = linear_base + segment_base + record.address;
        const uint64_t last = start + record.length - 1;
        if (last >= FLASH_IMAGE_SIZE) {
          const uint64_t outside = start >= FLASH_IMAGE_SIZE ? start : FLASH_IMAGE_SIZE;
          console_print("HEX data outside the image at 0x%llX\n",
                        static_cast<unsigned long long>(outside));
          return parse_error();
        }
        std::memcpy(FlashImage + start, record.data, record.length);
        if (static_cast<int32_t>(last) > highest) highest = static_cast<int32_t>(last);
        break;
      }
      case 1:
        console_print("End of file record, hiaddr 0x%x\n", static_cast<unsigned>(highest));
        return highest;
      case 2:
      case 4: {
        // Both carry a 16-bit value; any other length leaves the base undefined.
        if (record.length != 2) {
          console_print("Address record of type %u has %u data bytes instead of 2\n",
                        static_cast<unsigned>(record.type), static_cast<unsigned>(record.length));
          return parse_error();
        }
        const uint64_t value = (static_cast<uint64_t>(record.data[0]) << 8) | record.data[1];
        if (record.type == 2) {
          segment_base = value << 4;
        } else {
          linear_base = value << 16;
        }
        break;
      }
      default:
        break;  // start addresses (3, 5) and unknown types carry nothing for the image
    }
  }
}
