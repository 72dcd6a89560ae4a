// Sensor flashing: the whole HEX file is loaded into FlashImage before the node is touched, then
// the node is started and erased, the image is reported, and the image goes out from index 0x20000
// in 900-byte pages of 150 frames (sequence 1 to 150, byte 1 zero, six image bytes each).
#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/transfer.h"
#include "platform/platform.h"
#include "protocol/node_commands.h"

uint8_t bootloader_force = 0;

namespace {
constexpr int32_t kFirstPageIndex = 0x20000;
constexpr int32_t kPageLength = 900;
constexpr int kBytesPerFrame = 6;
constexpr int kFirstDataByte = 2;
constexpr uint8_t kFirstSequence = 1;
constexpr int32_t kBlockSize = 256;

// A page that starts near the end of the image runs past it: those bytes are sent as zeros, the
// same fillers as the zeros that follow the image end inside it.
uint8_t image_byte(int32_t index) {
  return static_cast<uint32_t>(index) < FLASH_IMAGE_SIZE ? FlashImage[index] : 0;
}

// Sends the page that starts at byte_index as 150 data frames, adding its bytes to page_checksum.
// 0, or the failing node_dl_send_data result.
int32_t send_sensor_page() {
  while (page_index < kPageLength) {
    current_frame[0] = frame_sequence;
    for (int k = kFirstDataByte; k < kFirstDataByte + kBytesPerFrame; ++k) {
      current_frame[k] = image_byte(byte_index);
      page_checksum += current_frame[k];
      ++byte_index;
      ++page_index;
    }
    const int32_t sent = node_dl_send_data(current_frame);
    if (sent < 0) return sent;
    ++frame_sequence;
  }
  return 0;
}
}  // namespace

int32_t flash_sensor(const char* path) {
  if (open_hex_file(path) < 0) return operation_failed(-3);
  // A bad file must end the run before the node's application is erased.
  IhexLoad image{};
  if (ihex_load_image(IHEX_SENSOR, &image) < 0) {
    console_print("IHex parse error\n");
    return operation_failed(-7);
  }
  const int32_t image_end = image.highest;

  if (node_dl_start_loading(bootloader_force) < 0) return operation_failed(-4);
  console_print("Erase flash\n");
  if (node_dl_erase_app() < 0) {
    console_print("Erase flash error\n");
    return operation_failed(-5);
  }

  transfer_reset();
  // The byte at the image end itself is not part of this sum.
  console_print("Checksum %d  (%d)\n", static_cast<int32_t>(image_sum(FlashImage, image_end)),
                image_end);
  block_count = image_end / kBlockSize + 1;
  console_print("Block count %d\n", block_count);
  print_image_dump(FlashImage, block_count);

  byte_index = kFirstPageIndex;
  for (block_counter = 0;;) {
    transfer_start_page(kFirstSequence);
    if (byte_index > image_end) break;
    page_address = static_cast<uint32_t>(byte_index);
    int32_t result = node_dl_download(byte_index);
    if (result < 0) {
      console_print("Download starting failed: %d\n", result);
      return operation_failed(result);
    }
    print_progress(byte_index, image_end);
    result = send_sensor_page();
    if (result < 0) {
      console_print("Send data failed: %d\n", result);
      return operation_failed(result);
    }
    result = node_dl_flash_command(page_checksum);
    if (result < 0) {
      console_print("Writing flash failed: %d\n", result);
      return operation_failed(result);
    }
    if (++block_counter >= block_count) break;
  }

  sleep_ms(500);
  node_dl_end_of_download();
  console_print("End of download\n");
  log_close();
  console_print("Flashing completed\n\n");
  console_print("Reboot W2 to start up with new software\n");
  return 0;
}
