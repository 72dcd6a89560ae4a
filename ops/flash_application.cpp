// Application flashing: the whole HEX file is read into the image before the unit is touched, then
// the unit is started and erased, and the image goes out in 256-byte pages from 0x70020000.
#include "ihex/image.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/run_record.h"
#include "ops/transfer.h"
#include "platform/platform.h"
#include "protocol/download.h"

namespace {
constexpr uint32_t kFlashBase = 0x70020000;
constexpr int32_t kPageSize = 256;
}  // namespace

int32_t flash_application(const char* path) {
  run_record_phase(RUN_PHASE_OPEN);
  if (open_hex_file(path) < 0) return operation_failed(-3);
  IhexLoad image{};
  if (ihex_load_image(IHEX_APPLICATION, &image) < 0) {
    console_print("IHex parse error\n");
    return operation_failed(-7);
  }
  run_record_image(image.end, image.data_sum, image_sum(FlashImage, image.end),
                   image.end / kPageSize + 1);

  run_record_phase(RUN_PHASE_START);
  operation_state("the unit is unchanged");
  if (operation_interrupted() != 0) return operation_failed(-3);
  // From the command on, the unit may have left its application.
  operation_state("the unit may wait in its bootloader, its application unchanged: flash it again, "
                  "or switch it off and on");
  if (dl_start_loading() < 0) return operation_failed(-4);
  console_print("Erase flash\n");
  run_record_phase(RUN_PHASE_ERASE);
  operation_state("the unit's application is erased or incomplete: flash it again");
  if (dl_erase_app() < 0) {
    if (operation_interrupted() == 0) console_print("Erase flash error\n");
    return operation_failed(-5);
  }

  console_print("Check sum: %d\n", static_cast<int32_t>(image.data_sum));
  const int32_t block_count = print_image_report(FlashImage, image.end);

  run_record_phase(RUN_PHASE_TRANSFER);
  int32_t last_progress = -1;
  for (int32_t block = 0; block < block_count; ++block) {
    if (operation_interrupted() != 0) return operation_failed(-3);
    int32_t result = dl_download(kFlashBase + static_cast<uint32_t>(kPageSize * block));
    if (result < 0) return step_failed("Download starting", result);
    print_progress(&last_progress, block, block_count);
    uint32_t page_sum = 0;
    result = dl_send_page(&FlashImage[kPageSize * block], &page_sum);
    if (result < 0) return step_failed("Send data", result);
    result = dl_flash_command(page_sum);
    if (result < 0) return step_failed("Writing flash", result);
  }

  run_record_phase(RUN_PHASE_END);
  sleep_ms(500);
  if (operation_interrupted() != 0) return operation_failed(-3);
  dl_end_of_download();
  console_print("End of download\n");
  log_close();
  console_print("Flashing completed\n\n");
  console_print("Reboot Ralvex device to start up with new software\n");
  return 0;
}
