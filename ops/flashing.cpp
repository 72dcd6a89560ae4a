// Flashing: the whole HEX file is loaded into the image the operation owns before the device is
// touched, then the device is started and erased, the image is reported, and the pages go out:
// DL_DOWNLOAD, the page's data frames, DL_FLASH_COMMAND; at last DL_END_OF_DOWNLOAD.
#include "ops/flashing.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "log/sha256.h"
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
  // Where the file's data must lie (its own addresses, both inclusive), and what that range is.
  uint64_t lowest_address;
  uint64_t highest_address;
  const char* range_name;
  // The first segment an application's file must give, so that its first image byte is written
  // where the file puts it (-1: none is needed).
  int32_t base_segment;
  const char* image_name;  // what the check calls the image
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
     [](uint8_t) { return dl_end_of_download(); }},
    0x70020000, 0x703FFFFF, "the unit's application flash", 0x7002, "Ralvex application"};

const FlashTarget FLASH_SENSOR{
    IHEX_SENSOR, &IhexLoad::highest, 0x20000, 0, &NODE_PAGE, false, true, "the sensor node",
    "Reboot W2 to start up with new software\n",
    {node_dl_listen_ids, node_dl_start_loading, node_dl_erase_app,
     [](uint8_t node, uint32_t address) {
       return node_dl_download(node, static_cast<int32_t>(address));
     },
     node_dl_send_page, node_dl_flash_command, node_dl_end_of_download},
    // Pages are sent from index 0x20000 on: a byte below it would never reach the node.
    0x20000, FLASH_IMAGE_SIZE - 1, "the part of a W2 sensor image that is sent", -1,
    "W2 sensor"};

int32_t flash_page_count(const FlashTarget& target, int32_t extent) {
  const int64_t beyond_first = static_cast<int64_t>(extent) - target.first_index;
  return beyond_first < 0 ? 0 : static_cast<int32_t>(beyond_first / target.page->size + 1);
}

namespace {
// A HEX file refused after it was read: the line that says why, then "IHex parse error\n". -7.
int32_t image_refused(const char* format, ...) RALVEX_PRINTF(1, 2);
int32_t image_refused(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  console_problem("%s", text);
  console_problem("IHex parse error\n");
  return OPERATION_IMAGE_REFUSED;
}

// What a loaded image must be to be sent to the target whole and where the file means it: some
// data, no byte given two values, nothing the loader had to leave out, every byte in the target's
// range (and an application's first byte where the unit's flash begins). 0, or -7 after saying
// why.
int32_t check_image(const FlashTarget& target, const IhexLoad& load) {
  if (load.bytes == 0) return image_refused("HEX file holds no data byte: nothing to flash\n");
  const IhexClash& clash = load.clash;
  if (clash.later_line != 0) {
    return image_refused("HEX file lines %d and %d give the byte at 0x%08llX different values\n",
                         static_cast<int>(clash.earlier_line), static_cast<int>(clash.later_line),
                         static_cast<unsigned long long>(clash.address));
  }
  if (load.dropped_line != 0) {
    return image_refused("HEX file line %d holds data after the segment of 0x8000 or more at line "
                         "%d, which no application holds: it would not be flashed\n",
                         static_cast<int>(load.dropped_line),
                         static_cast<int>(load.end_segment_line));
  }
  if (load.tail_failed) return image_refused("%s\n", ihex_failure());
  if (load.lowest_address < target.lowest_address ||
      load.highest_address > target.highest_address) {
    return image_refused("HEX file holds data at 0x%08llX to 0x%08llX, outside %s (0x%08llX to "
                         "0x%08llX)\n",
                         static_cast<unsigned long long>(load.lowest_address),
                         static_cast<unsigned long long>(load.highest_address), target.range_name,
                         static_cast<unsigned long long>(target.lowest_address),
                         static_cast<unsigned long long>(target.highest_address));
  }
  if (target.base_segment >= 0 && load.base_segment != target.base_segment) {
    // The image's first index goes to the flash's first address, whatever segment came first.
    return image_refused("HEX file line %d gives the first segment %04X: the unit writes the first "
                         "segment at 0x%08llX, so the data would not land at the addresses the file "
                         "gives (an application's first segment is %04X)\n",
                         static_cast<int>(load.base_segment_line),
                         static_cast<unsigned>(load.base_segment),
                         static_cast<unsigned long long>(target.lowest_address),
                         static_cast<unsigned>(target.base_segment));
  }
  return 0;
}

// Opens and loads the HEX file at `path` into `image` and checks it for the target, before
// anything is opened towards a device. 0; -3 (not opened) or -7 (refused) after the lines that
// say why.
int32_t load_hex_file(const FlashTarget& target, const char* path, uint8_t* image,
                      IhexLoad* load) {
  if (ihex_open(path) != 0) {
    console_problem("Cannot open HEX file '%s': %s\n", path, ihex_open_error());
    console_problem("IHex init error '%s'\n", path);
    return OPERATION_NOT_OPENED;
  }
  console_print("IHex init ok\n");
  if (!image) {
    console_problem("Not enough memory for the image\n");
    return OPERATION_IMAGE_REFUSED;
  }
  if (ihex_load_image(target.addressing, image, load) < 0) {
    // The reader's failure (its reason and line, else only in the log) is said here; the
    // loader has said its own.
    const char* failure = ihex_failure();
    if (failure[0] != '\0') console_problem("%s\n", failure);
    console_problem("IHex parse error\n");
    return OPERATION_IMAGE_REFUSED;
  }
  return check_image(target, *load);
}

// Opens the channel, starts the device and has it erase its application. 0, or -3, -4, -5.
int32_t start_and_erase(const FlashTarget& target, const CanTarget& interface, uint8_t node,
                        bool force) {
  const std::string device = target.device;
  operation_state(device + " is unchanged");
  if (operation_interrupted() != 0) return OPERATION_STOPPED;
  uint32_t ids[NODE_LISTEN_ID_COUNT];
  const int count = target.commands.listen_ids(node, ids);
  if (count < 0) return OPERATION_NOT_STARTED;
  // From the opening on, the device may have left its application.
  operation_state(device + " may wait in its bootloader, its application unchanged: flash it "
                           "again, or switch it off and on");
  if (operation_open_channel(interface, ids, count) != 0) return OPERATION_NOT_STARTED;
  if (target.commands.start(node, force) < 0) return OPERATION_NOT_STARTED;
  console_print("Erase flash\n");
  run_record_phase(RUN_PHASE_ERASE);
  operation_step();
  operation_state(device + "'s application is erased or incomplete: flash it again");
  if (target.commands.erase(node) < 0) {
    if (operation_interrupted() == 0) console_problem("Erase flash error\n");
    return OPERATION_NOT_ERASED;
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
    if (operation_interrupted() != 0) return OPERATION_STOPPED;
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
  return OPERATION_NOT_ENDED;
}

int32_t flash(const FlashTarget& target, const RunSettings& settings) {
  const char* path = settings.file_name;
  const uint8_t node = settings.node_id;
  const bool force = settings.force;
  run_record_phase(RUN_PHASE_OPEN);
  print_separator();
  console_print("Starting application software flashing from HEX file: '%s'\n", path);
  // A bad file must end the run before the device's application is erased.
  const ImageBuffer image = image_buffer_new();
  IhexLoad load{0, 0, 0};
  const int32_t loaded = load_hex_file(target, path, image.get(), &load);
  if (loaded != 0) return loaded;
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
  if (operation_interrupted() != 0) return OPERATION_STOPPED;
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

int32_t check_hex_file(const RunSettings& settings) {
  const FlashTarget& target = settings.check_sensor ? FLASH_SENSOR : FLASH_APPLICATION;
  const char* path = settings.file_name;
  print_separator();
  console_print("Checking HEX file: '%s' as a %s image (nothing is opened or sent)\n", path,
                target.image_name);
  const ImageBuffer image = image_buffer_new();
  IhexLoad load{0, 0, 0};
  const int32_t loaded = load_hex_file(target, path, image.get(), &load);
  if (loaded != 0) return loaded;
  const int32_t extent = load.*target.extent;
  char digest[65] = "";
  uint64_t size = 0;
  if (sha256_file(path, digest, &size) != 0) {
    console_problem("Cannot read HEX file '%s' for its SHA-256\n", path);
    return OPERATION_NOT_OPENED;
  }
  console_print("Addresses: 0x%08llX to 0x%08llX\n",
                static_cast<unsigned long long>(load.lowest_address),
                static_cast<unsigned long long>(load.highest_address));
  console_print("Data bytes: %u\n", static_cast<unsigned>(load.bytes));
  console_print("Pages: %d of %u bytes, the first at 0x%08X\n",
                static_cast<int>(flash_page_count(target, extent)),
                static_cast<unsigned>(target.page->size),
                static_cast<unsigned>(target.address_base + target.first_index));
  console_print("Check sum: %d\n", static_cast<int32_t>(load.data_sum));
  console_print("Checksum %d  (%d)\n", static_cast<int32_t>(image_sum(image.get(), extent)),
                static_cast<int>(extent));
  console_print("SHA-256: %s (%llu bytes)\n", digest, static_cast<unsigned long long>(size));
  console_print("HEX file check passed\n");
  return 0;
}
