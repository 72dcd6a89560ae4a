// Sensor flashing: the whole HEX file is loaded into FlashImage before the node is touched, then
// the node is started and erased, the image is reported, and the image goes out from index 0x20000
// in 900-byte pages of 150 frames (sequence 1 to 150, byte 1 zero, six image bytes each).
#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/run_record.h"
#include "ops/transfer.h"
#include "platform/platform.h"
#include "protocol/node_commands.h"
#include "protocol/page_format.h"

namespace {
constexpr int32_t kFirstPageIndex = 0x20000;

// A page that starts near the end of the image runs past it: those bytes are sent as zeros, the
// same fillers as the zeros that follow the image end inside it.
void copy_page(int32_t first, uint8_t page[PAGE_SIZE_MAX]) {
  for (uint32_t i = 0; i < NODE_PAGE.size; ++i) {
    const uint32_t index = static_cast<uint32_t>(first) + i;
    page[i] = index < FLASH_IMAGE_SIZE ? FlashImage[index] : 0;
  }
}
}  // namespace

int32_t flash_sensor(const char* path, uint8_t node, bool force) {
  run_record_phase(RUN_PHASE_OPEN);
  if (open_hex_file(path) < 0) return operation_failed(-3);
  // A bad file must end the run before the node's application is erased.
  IhexLoad image{};
  if (ihex_load_image(IHEX_SENSOR, &image) < 0) {
    console_print("IHex parse error\n");
    return operation_failed(-7);
  }
  const int32_t image_end = image.highest;
  int32_t pages_to_send = 0;
  for (int32_t first = kFirstPageIndex; first <= image_end && pages_to_send < image_end / 256 + 1;
       first += static_cast<int32_t>(NODE_PAGE.size)) {
    ++pages_to_send;
  }
  run_record_image(image_end, image.data_sum, image_sum(FlashImage, image_end), pages_to_send);

  run_record_phase(RUN_PHASE_START);

  operation_state("the sensor node is unchanged");
  if (operation_interrupted() != 0) return operation_failed(-3);
  // From the command on, the sensor node may have left its application.
  operation_state("the sensor node may wait in its bootloader, its application unchanged: flash it "
                  "again, or switch it off and on");
  if (node_dl_start_loading(node, force) < 0) return operation_failed(-4);
  console_print("Erase flash\n");
  run_record_phase(RUN_PHASE_ERASE);
  operation_state("the sensor node's application is erased or incomplete: flash it again");
  if (node_dl_erase_app(node) < 0) {
    if (operation_interrupted() == 0) console_print("Erase flash error\n");
    return operation_failed(-5);
  }

  // The byte at the image end itself is not part of this sum.
  const int32_t block_count = print_image_report(FlashImage, image_end);

  run_record_phase(RUN_PHASE_TRANSFER);
  int32_t last_progress = -1;
  int32_t pages = 0;
  for (int32_t first = kFirstPageIndex; first <= image_end && pages < block_count;
       first += static_cast<int32_t>(NODE_PAGE.size), ++pages) {
    if (operation_interrupted() != 0) return operation_failed(-3);
    int32_t result = node_dl_download(node, first);
    if (result < 0) return step_failed("Download starting", result);
    print_progress(&last_progress, first, image_end);
    uint8_t page[PAGE_SIZE_MAX];
    copy_page(first, page);
    uint32_t page_sum = 0;
    result = node_dl_send_page(node, page, &page_sum);
    if (result < 0) return step_failed("Send data", result);
    result = node_dl_flash_command(node, page_sum, force);
    if (result < 0) return step_failed("Writing flash", result);
  }

  run_record_phase(RUN_PHASE_END);
  sleep_ms(500);
  if (operation_interrupted() != 0) return operation_failed(-3);
  node_dl_end_of_download(node);
  console_print("End of download\n");
  log_close();
  console_print("Flashing completed\n\n");
  console_print("Reboot W2 to start up with new software\n");
  return 0;
}
