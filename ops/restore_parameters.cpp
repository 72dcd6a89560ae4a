// Parameter restore: reads a backup file into the area it owns (a regular file of exactly 0xD000
// bytes, refused before anything is sent otherwise), then writes it back page by page: the unit
// erases each 4 KiB sector before its first page, and every page is opened, sent in 37 data
// frames and closed with its checksum. Pages in 0x1000-0x1FFF and 0xB000-0xBFFF are answered
// with 0xA6, all others with 0xA0.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "log/log.h"
#include "ops/console_lines.h"
#include "ops/operations.h"
#include "ops/outcome.h"
#include "ops/parameter_pages.h"
#include "ops/progress.h"
#include "ops/run_record.h"
#include "protocol/command_codes.h"
#include "protocol/download.h"
#include "protocol/parameters.h"

namespace {
constexpr uint32_t kSectorSize = 0x1000;

uint8_t answer_code(uint32_t address) {
  const bool guarded = (address >= 0x1000 && address <= 0x1FFF) ||
                       (address >= 0xB000 && address <= 0xBFFF);
  return guarded ? PARAMETER_GUARDED_ANSWER : PARAMETER_ANSWER;
}

// Reads the file, exactly 0xD000 bytes, into `area`. 0; -3 when the file cannot be opened; -4
// when it is no regular file or holds another number of bytes (a longer file is no backup
// either: what would its first 0xD000 bytes be?). Prints the matching lines.
int32_t read_backup_file(const char* path, std::vector<uint8_t>* area) {
  // Opening a named pipe or a device would block or read something else: look first.
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    console_problem("Binary file reading error '%s'\n", path);
    return OPERATION_WRONG_SIZE;
  }
  const uintmax_t size = std::filesystem::file_size(path, error);
  const bool wrong_size = !error && size != area->size();
  if (wrong_size) {
    console_problem("Binary file '%s' holds %llu bytes: a parameter backup holds exactly %zu "
                    "(0x%zX)\n",
                    path, static_cast<unsigned long long>(size), area->size(), area->size());
  }
  FILE* file = std::fopen(path, "rb");
  if (!file) {
    console_problem("Binary file init error '%s'\n", path);
    return OPERATION_NOT_OPENED;
  }
  console_print("Binary file init ok\n");
  const size_t read = std::fread(area->data(), 1, area->size(), file);
  // One byte more read tells a file that grew since it was looked at.
  uint8_t beyond = 0;
  const bool longer = read == area->size() && std::fread(&beyond, 1, 1, file) == 1;
  std::fclose(file);
  if (wrong_size || read < area->size() || longer) {
    console_problem("Binary file reading error '%s'\n", path);
    return OPERATION_WRONG_SIZE;
  }
  return 0;
}

// Reads the whole parameter area back and compares it with `area`. 0 when every byte matches; the
// page reader's result; -9 when bytes differ. Prints the outcome.
int32_t verify_restore(const uint8_t* area) {
  std::vector<uint8_t> read_back(PARAMETER_AREA_SIZE);
  int32_t result = read_parameter_area(read_back.data(), nullptr);
  if (result == 0) {
    result = end_parameter_area(read_back.data(),
                                "the restore is not verified, run it again with --verify");
  }
  if (result < 0) return result;
  const uint8_t* unit = read_back.data();
  int32_t differing = 0;
  int32_t first = -1;
  for (int32_t i = 0; i < PARAMETER_AREA_SIZE; ++i) {
    if (unit[i] == area[i]) continue;
    if (first < 0) first = i;
    ++differing;
  }
  const uint8_t file_byte = first < 0 ? 0 : area[first];
  const uint8_t unit_byte = first < 0 ? 0 : unit[first];
  run_record_verify(differing, first, file_byte, unit_byte);
  if (differing == 0) {
    console_print("Restore verified: %d bytes match\n", PARAMETER_AREA_SIZE);
    return 0;
  }
  console_problem("Restore verification failed: %d bytes differ, first at 0x%04X: file 0x%02X, "
                "unit 0x%02X\n",
                differing, static_cast<unsigned>(first), file_byte, unit_byte);
  return OPERATION_NOT_VERIFIED;
}
}  // namespace

int32_t restore_parameters(const RunSettings& settings) {
  const char* path = settings.file_name;
  print_separator();
  console_print("Starting application data restore from data file: '%s'\n", path);
  run_record_phase(RUN_PHASE_OPEN);
  std::vector<uint8_t> area(PARAMETER_AREA_SIZE);
  int32_t result = read_backup_file(path, &area);
  if (result < 0) return result;
  const uint32_t sum = image_sum(area.data(), PARAMETER_AREA_SIZE);
  run_record_image(PARAMETER_AREA_SIZE, sum, sum, PARAMETER_PAGE_COUNT);

  run_record_phase(RUN_PHASE_START);
  operation_step();
  operation_state("the unit's parameters are unchanged");
  if (operation_interrupted() != 0) return OPERATION_STOPPED;
  result = start_parameter_pages(settings.target);
  if (result < 0) return result;
  run_record_phase(RUN_PHASE_TRANSFER);
  Progress progress = progress_start(settings.progress, PARAMETER_PAGE_COUNT, PARAMETER_PAGE_SIZE);
  for (int32_t block = 0; block < PARAMETER_PAGE_COUNT; ++block) {
    if (operation_interrupted() != 0) return OPERATION_STOPPED;
    operation_step();
    // From the first erase on, the area holds old and new pages.
    if (block == 0) {
      operation_state("the unit's parameter area is partly restored: restore it again");
    }
    const uint32_t page_address = static_cast<uint32_t>(block * PARAMETER_PAGE_SIZE);
    const uint8_t code = answer_code(page_address);
    // The unit erases a 4 KiB sector before its first page is written.
    result = page_address % kSectorSize == 0 ? erase_sector(page_address, code) : 0;
    if (result == 0) result = start_page_restore(page_address, code);
    if (result < 0) return step_failed("Restore starting", result);
    progress_page(&progress, block, block, PARAMETER_PAGE_COUNT);
    uint32_t page_sum = 0;
    result = dl_send_page(&area[page_address], &page_sum);
    if (result < 0) return step_failed("Send data", result);
    result = finish_page_restore(page_sum, code);
    if (result < 0) return step_failed("Writing flash", result);
  }
  progress_done(&progress);

  if (settings.verify) {
    operation_state("the unit's parameters are restored; reading them back was not finished");
    run_record_phase(RUN_PHASE_VERIFY);
    operation_step();
    result = verify_restore(area.data());
    if (result < 0) return result;
  }
  console_print("Restore completed\n\n");
  return 0;
}
