// Application flashing: the whole HEX file is read into the image before the unit is touched, then
// the unit is started and erased, and the image goes out in 256-byte pages from 0x70020000.
#include <cstring>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/transfer.h"
#include "platform/platform.h"
#include "protocol/download.h"

namespace {
constexpr uint32_t kFlashBase = 0x70020000;
constexpr int32_t kPageSize = 256;
// Any byte at this index or above would call for a page beyond the image (block count rule).
constexpr int32_t kImageLimit = static_cast<int32_t>(FLASH_IMAGE_SIZE) - 1;
constexpr int32_t kLastSegment = 0x8000;

// Filled by read_hex_file.
int32_t g_image_end = 0;
uint32_t g_data_sum = 0;  // printed as a signed 32-bit number

// Reads every record into FlashImage. 0 when the image is complete, -7 when the file is refused
// (its own message has been printed; the caller prints "IHex parse error\n").
int32_t read_hex_file() {
  int32_t base_segment = -1;
  int32_t segment = 0;
  int64_t index_start = 0;  // image index of offset 0 of the current segment
  g_image_end = 0;
  g_data_sum = 0;
  for (;;) {
    if (ihex_read_record() < 0) return -7;
    const IhexRecord& record = ihex_record();
    switch (record.type) {
      case 0: {
        if (base_segment < 0) {
          console_print("Missing segment address before data\n");
          return -7;
        }
        if (record.length == 0) break;  // places no byte and moves no image end
        const int64_t first = index_start + record.address;
        const int64_t end = first + record.length;
        if (first < 0 || end > kImageLimit) {
          // Name the first byte that cannot be held, by its address in the file.
          const int64_t offset = first < 0 || first >= kImageLimit ? 0 : kImageLimit - first;
          console_print("HEX data outside the image at 0x%X\n",
                        static_cast<uint32_t>((static_cast<int64_t>(segment) << 16) +
                                              record.address + offset));
          return -7;
        }
        for (int i = 0; i < record.length; ++i) g_data_sum += record.data[i];
        std::memcpy(&FlashImage[first], record.data, record.length);
        if (end > g_image_end) g_image_end = static_cast<int32_t>(end);
        break;
      }
      case 1:
        console_print("End of file record\n");
        return 0;
      case 4: {
        if (record.length != 2) {
          console_print("Address record of type %u has %u data bytes instead of 2\n", 4u,
                        static_cast<unsigned>(record.length));
          return -7;
        }
        segment = record.data[0] * 256 + record.data[1];
        if (base_segment < 0) {
          base_segment = segment;
          index_start = 0;
          console_print("IHEX segment: %04X, BinDataIndexStart = 0\n", segment);
        } else if (segment >= kLastSegment) {
          console_print("Segment > 0x8000  --> END reading\n");
          return 0;
        } else {
          index_start = static_cast<int64_t>(segment - base_segment) * 65536;
          console_print("IHEX segment: %04X, BinDataIndexStart: %04X\n", segment,
                        static_cast<uint32_t>(index_start));
        }
        break;
      }
      case 5:
        console_print("Type 5\n");
        break;
      default:
        break;  // other record types carry nothing for the image
    }
  }
}
}  // namespace

int32_t flash_application(const char* path) {
  if (open_hex_file(path) < 0) return operation_failed(-3);
  if (read_hex_file() < 0) {
    console_print("IHex parse error\n");
    return operation_failed(-7);
  }

  if (dl_start_loading() < 0) return operation_failed(-4);
  console_print("Erase flash\n");
  if (dl_erase_app() < 0) {
    console_print("Erase flash error\n");
    return operation_failed(-5);
  }

  console_print("Check sum: %d\n", static_cast<int32_t>(g_data_sum));
  const int32_t block_count = print_image_report(FlashImage, g_image_end);

  int32_t last_progress = -1;
  for (int32_t block = 0; block < block_count; ++block) {
    int32_t result = dl_download(kFlashBase + static_cast<uint32_t>(kPageSize * block));
    if (result < 0) return step_failed("Download starting", result);
    print_progress(&last_progress, block, block_count);
    uint32_t page_sum = 0;
    result = dl_send_page(&FlashImage[kPageSize * block], &page_sum);
    if (result < 0) return step_failed("Send data", result);
    result = dl_flash_command(page_sum);
    if (result < 0) return step_failed("Writing flash", result);
  }

  sleep_ms(500);
  dl_end_of_download();
  console_print("End of download\n");
  log_close();
  console_print("Flashing completed\n\n");
  console_print("Reboot Ralvex device to start up with new software\n");
  return 0;
}
