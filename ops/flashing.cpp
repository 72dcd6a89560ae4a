// Flashing: the whole HEX file is loaded into the image the operation owns before the device is
// touched, then the device is started and erased, the image is reported, and the pages go out:
// DL_DOWNLOAD, the page's data frames, DL_FLASH_COMMAND; at last DL_END_OF_DOWNLOAD.
#include "ops/flashing.h"

#include <string>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "ops/console_lines.h"
#include "ops/operations.h"
#include "ops/outcome.h"
#include "ops/progress.h"
#include "ops/run_record.h"
#include "platform/platform.h"
#include "protocol/download.h"
#include "protocol/node_commands.h"
#include "protocol/identifiers.h"
#include "protocol/page_format.h"

struct FlashTarget {
  // The commands take the node id and the -b mode; the unit's ignore both.
  struct Commands {
    // What the channel must deliver; their count, or -1 when the node id is not set (said).
    int (*listen_ids)(uint8_t node, uint32_t* ids);
    int32_t (*start)(uint8_t node, bool force);
    int32_t (*erase)(uint8_t node);
    int32_t (*download)(uint8_t node, uint32_t address);
    int32_t (*send_page)(uint8_t node, const uint8_t* page, uint32_t* sum);
    // *status: the answer's bytes 4-7 (not 0 only when -b took a page the device refused)
    int32_t (*flash)(uint8_t node, uint32_t sum, bool force, uint32_t* status);
    int32_t (*end)(uint8_t node);
  };
  IhexAddressing addressing;
  int32_t IhexLoad::*extent;  // what the pages run up to: the image's end or its highest index
  uint32_t first_index;       // image index of the first page
  uint32_t address_base;      // a page's address is this plus its first index
  const PageFormat* page;
  bool data_sum_line;         // "Check sum: %d\n" (the file's data bytes) before the image report
  // The progress line counts the page's first index against the extent, or else pages.
  bool progress_by_index;
  const char* device;         // what the interruption line calls the device
  const char* reboot;         // the last console line of a completed flash
  Commands commands;
};

const FlashTarget FLASH_APPLICATION{
    IHEX_APPLICATION, &IhexLoad::end, 0, 0x70020000, &UNIT_PAGE, true, false, "the unit",
    "Reboot Ralvex device to start up with new software\n",
    {[](uint8_t, uint32_t* ids) {
       for (int i = 0; i < UNIT_LISTEN_ID_COUNT; ++i) ids[i] = UNIT_LISTEN_IDS[i];
       return UNIT_LISTEN_ID_COUNT;
     },
     [](uint8_t, bool) { return dl_start_loading(); }, [](uint8_t) { return dl_erase_app(); },
     [](uint8_t, uint32_t address) { return dl_download(address); },
     [](uint8_t, const uint8_t* page, uint32_t* sum) { return dl_send_page(page, sum); },
     [](uint8_t, uint32_t sum, bool, uint32_t* status) {
       *status = 0;
       return dl_flash_command(sum);
     },
     [](uint8_t) { return dl_end_of_download(); }}};

const FlashTarget FLASH_SENSOR{
    IHEX_SENSOR, &IhexLoad::highest, 0x20000, 0, &NODE_PAGE, false, true, "the sensor node",
    "Reboot W2 to start up with new software\n",
    {node_dl_listen_ids, node_dl_start_loading, node_dl_erase_app,
     [](uint8_t node, uint32_t address) {
       return node_dl_download(node, static_cast<int32_t>(address));
     },
     node_dl_send_page, node_dl_flash_command, node_dl_end_of_download}};

int32_t flash_page_count(const FlashTarget& target, int32_t extent) {
  const int64_t beyond_first = static_cast<int64_t>(extent) - target.first_index;
  return beyond_first < 0 ? 0 : static_cast<int32_t>(beyond_first / target.page->size + 1);
}

namespace {
// Opens the channel, starts the device and has it erase its application. 0, or -3, -4, -5.
int32_t start_and_erase(const FlashTarget& target, const CanTarget& interface, uint8_t node,
                        bool force) {
  const std::string device = target.device;
  operation_state(device + " is unchanged");
  if (operation_interrupted() != 0) return -3;
  uint32_t ids[NODE_LISTEN_ID_COUNT];
  const int count = target.commands.listen_ids(node, ids);
  if (count < 0) return -4;
  // From the opening on, the device may have left its application.
  operation_state(device + " may wait in its bootloader, its application unchanged: flash it "
                           "again, or switch it off and on");
  if (operation_open_channel(interface, ids, count) != 0) return -4;
  if (target.commands.start(node, force) < 0) return -4;
  console_print("Erase flash\n");
  run_record_phase(RUN_PHASE_ERASE);
  operation_step();
  operation_state(device + "'s application is erased or incomplete: flash it again");
  if (target.commands.erase(node) < 0) {
    if (operation_interrupted() == 0) console_problem("Erase flash error\n");
    return -5;
  }
  return 0;
}

// Sends `pages` pages of `image`. 0, or the failed step's result.
int32_t send_pages(const FlashTarget& target, const uint8_t* image, int32_t extent,
                   int32_t pages, uint8_t node, bool force, ProgressMode mode) {
  const FlashTarget::Commands& command = target.commands;
  const uint32_t size = target.page->size;
  Progress progress = progress_start(mode, pages, size);
  for (int32_t n = 0; n < pages; ++n) {
    if (operation_interrupted() != 0) return -3;
    operation_step();
    const uint32_t first = target.first_index + size * static_cast<uint32_t>(n);
    int32_t result = command.download(node, target.address_base + first);
    if (result < 0) return step_failed("Download starting", result);
    const bool by_index = target.progress_by_index;
    progress_page(&progress, n, by_index ? static_cast<int32_t>(first) : n,
                  by_index ? extent : pages);
    // A page that runs past the image is filled with zeros, as the image is past its end.
    uint8_t page[PAGE_SIZE_MAX] = {};
    for (uint32_t i = 0; i < size && first + i < FLASH_IMAGE_SIZE; ++i) page[i] = image[first + i];
    uint32_t page_sum = 0;
    result = command.send_page(node, page, &page_sum);
    if (result < 0) return step_failed("Send data", result);
    uint32_t status = 0;
    result = command.flash(node, page_sum, force, &status);
    if (result < 0) return step_failed("Writing flash", result);
    // Under -b a node's answer is taken whatever its status bytes say (a node started at power-on
    // may answer so), but a page it refused is never passed over in silence.
    if (status != 0) {
      run_record_forced_page(first, status);
      print_forced_page(first, status);
    }
  }
  progress_done(&progress);
  return 0;
}

// Every page is written, but DL_END_OF_DOWNLOAD did not go out (the adapter was lost during the
// pause before it, or the bus refused it): the device never heard that the download ended, so the
// run is no success. -3, as for any command that could not be sent.
int32_t end_not_sent(const FlashTarget& target) {
  if (operation_interrupted() == 0) {
    console_problem("End of download not sent: %s got every page but not DL_END_OF_DOWNLOAD and "
                    "may stay in its bootloader: flash it again\n", target.device);
  }
  return -3;
}

int32_t flash(const FlashTarget& target, const RunSettings& settings) {
  const char* path = settings.file_name;
  const uint8_t node = settings.node_id;
  const bool force = settings.force;
  run_record_phase(RUN_PHASE_OPEN);
  print_separator();
  console_print("Starting application software flashing from HEX file: '%s'\n", path);
  if (ihex_open(path) == 0) {
    console_problem("IHex init error '%s'\n", path);
    return -3;
  }
  console_print("IHex init ok\n");
  // A bad file must end the run before the device's application is erased.
  const ImageBuffer image = image_buffer_new();
  if (!image) {
    console_problem("Not enough memory for the image\n");
    return -7;
  }
  IhexLoad load{};
  if (ihex_load_image(target.addressing, image.get(), &load) < 0) {
    console_problem("IHex parse error\n");
    return -7;
  }
  const int32_t extent = load.*target.extent;
  const int32_t pages = flash_page_count(target, extent);
  // For a sensor the byte at the highest index is not part of this sum.
  const uint32_t sum = image_sum(image.get(), extent);
  run_record_image(extent, load.data_sum, sum, pages);

  run_record_phase(RUN_PHASE_START);
  operation_step();
  int32_t result = start_and_erase(target, settings.target, node, force);
  if (result != 0) return result;
  if (target.data_sum_line) console_print("Check sum: %d\n", static_cast<int32_t>(load.data_sum));
  print_image_report(image.get(), extent, sum);

  run_record_phase(RUN_PHASE_TRANSFER);
  result = send_pages(target, image.get(), extent, pages, node, force, settings.progress);
  if (result != 0) return result;

  run_record_phase(RUN_PHASE_END);
  operation_step();
  sleep_ms(500);
  if (operation_interrupted() != 0) return -3;
  if (target.commands.end(node) < 0) return end_not_sent(target);
  console_print("End of download\n");
  print_forced_pages_warning(run_record().forced_pages.size());
  console_print("Flashing completed\n\n");
  console_print("%s", target.reboot);
  return 0;
}
}  // namespace

int32_t flash_application(const RunSettings& settings) {
  RunSettings unit = settings;
  unit.node_id = 0;
  unit.force = false;
  return flash(FLASH_APPLICATION, unit);
}

int32_t flash_sensor(const RunSettings& settings) { return flash(FLASH_SENSOR, settings); }
