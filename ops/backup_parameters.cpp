// Parameter backup: reads the unit's 208 parameter pages into ParameterImage, checking every page's
// frame sequence and checksum, and writes the backup file only when all of them passed. The file
// is written under a temporary name beside the target (created before anything is sent), flushed
// to disk and renamed over the target, so a backup that fails, or is killed, leaves an earlier
// backup of that name as it was.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "log/log.h"
#include "ops/operations.h"
#include "ops/parameter_image.h"
#include "ops/run_record.h"
#include "ops/transfer.h"
#include "platform/platform.h"
#include "protocol/identifiers.h"
#include "protocol/page_format.h"
#include "protocol/parameters.h"

uint8_t ParameterImage[PARAMETER_AREA_SIZE];

namespace {
namespace fs = std::filesystem;

// The temporary file while the backup runs, and the file it replaces at the end.
FILE* g_temp = nullptr;
std::string g_temp_path;
fs::path g_target;

// Decides where the backup goes and creates the temporary file there. 0, or -1 when the target
// cannot take a backup: an empty name, something that is not a regular file (a directory, a
// device), an existing file that may not be written, or a directory where no file can be created.
int32_t open_temp_file(const char* path) {
  g_temp = nullptr;
  g_temp_path.clear();
  if (path[0] == '\0') return -1;
  std::error_code error;
  g_target = path;
  // A link stays a link: the backup replaces the file it points to.
  if (fs::is_symlink(fs::symlink_status(g_target, error))) {
    g_target = fs::weakly_canonical(g_target, error);
    if (error) return -1;
  }
  const fs::file_status status = fs::status(g_target, error);
  const bool exists = fs::exists(status);
  if (exists) {
    if (!fs::is_regular_file(status)) return -1;
    // Appending nothing changes nothing, but fails where overwriting the file would fail.
    FILE* probe = std::fopen(g_target.string().c_str(), "ab");
    if (!probe) return -1;
    std::fclose(probe);
  }
  // A name that no one else uses: the clock and this call's stack address, retried on a clash.
  uint64_t tag = now_us() ^ reinterpret_cast<uintptr_t>(&error);
  for (int attempt = 0; !g_temp; ++attempt, tag = tag * 6364136223846793005u + 1) {
    if (attempt == 100) return -1;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(tag >> 32));
    const std::string name = g_target.string() + suffix;
    g_temp = file_create_new(name.c_str());
    if (g_temp) {
      g_temp_path = name;
    } else if (errno != EEXIST) {
      return -1;
    }
  }
  // The new backup keeps the access rights of the one it replaces.
  if (exists) fs::permissions(g_temp_path, status.permissions(), error);
  return 0;
}

// Closes and removes the temporary file, if this run created one.
void discard_temp_file() {
  if (g_temp) std::fclose(g_temp);
  g_temp = nullptr;
  if (!g_temp_path.empty()) std::remove(g_temp_path.c_str());
  g_temp_path.clear();
}

int32_t fail(int32_t result) {
  discard_temp_file();
  return operation_failed(result);
}

// Writes ParameterImage to the temporary file, forces it to the disk and puts it in the target's
// place. 0, or -1 with the temporary file removed and the target untouched.
int32_t replace_target() {
  const size_t written = std::fwrite(ParameterImage, 1, PARAMETER_AREA_SIZE, g_temp);
  bool ok = written == static_cast<size_t>(PARAMETER_AREA_SIZE);
  ok = ok && std::fflush(g_temp) == 0 && file_sync(g_temp) == 0;
  // Closing can report a write error that the flush did not.
  ok = std::fclose(g_temp) == 0 && ok;
  g_temp = nullptr;
  if (!ok) {
    discard_temp_file();
    return -1;
  }
  std::error_code error;
  fs::rename(g_temp_path, g_target, error);
  if (error) {
    discard_temp_file();
    return -1;
  }
  g_temp_path.clear();
  // Without it a power loss could still undo the rename.
  directory_sync(g_target.parent_path().string().c_str());
  return 0;
}

}  // namespace

// Reads the 37 data frames and the checksum frame of the page that start_page_backup opened into
// `page`. 0; the wait_for_frame result; -6 a frame out of sequence; -8 checksum mismatch.
static int32_t read_page(uint8_t* page) {
  uint8_t frame[8];
  uint32_t page_sum = 0;
  for (int index = 0; index < UNIT_PAGE.frames; ++index) {
    const int32_t received = wait_for_frame(UNIT_DATA_ID, frame);
    if (received < 0) {
      if (operation_interrupted() == 0) console_print("Read CAN frame failed: %d\n", received);
      return received;
    }
    const uint8_t sequence = static_cast<uint8_t>(UNIT_PAGE.first_sequence + index);
    if (frame[0] != sequence) {
      console_print("Expected sequence index: %u, received sequence index: %u\n",
                    static_cast<unsigned>(sequence), static_cast<unsigned>(frame[0]));
      return -6;
    }
    // The last frame's bytes 5-7 are neither stored nor summed.
    page_sum += page_take_frame(UNIT_PAGE, index, frame, page);
  }
  const int32_t received = wait_for_frame(UNIT_ANSWER_ID, frame);
  if (received < 0) {
    if (operation_interrupted() == 0) console_print("Read CAN frame failed: %d\n", received);
    return received;
  }
  const uint32_t sum = static_cast<uint32_t>(frame[4]) | static_cast<uint32_t>(frame[5]) << 8 |
                       static_cast<uint32_t>(frame[6]) << 16 | static_cast<uint32_t>(frame[7]) << 24;
  if (sum != page_sum) {
    console_print("Checksum mismatch, received: %u, expected: %u\n", sum, page_sum);
    return -8;
  }
  return 0;
}

int32_t read_parameter_page(uint32_t address, uint8_t* page) {
  const int32_t result = start_page_backup(address);
  if (result < 0) {
    if (operation_interrupted() == 0) console_print("Backup starting failed: %d\n", result);
    return result;
  }
  return read_page(page);
}

int32_t backup_parameters(const char* path) {
  print_separator();
  console_print("Starting application data backup to data file: '%s'\n", path);
  run_record_phase(RUN_PHASE_OPEN);
  if (open_temp_file(path) != 0) {
    console_print("Binary file init error '%s'\n", path);
    return fail(-3);
  }
  console_print("Binary file init ok\n");

  run_record_phase(RUN_PHASE_START);
  operation_state("the unit is unchanged; no backup was written, an earlier file of that name is "
                  "kept as it was");
  if (operation_interrupted() != 0) return fail(-3);
  int32_t result = start_parameter_pages();
  if (result < 0) return fail(result);
  run_record_phase(RUN_PHASE_TRANSFER);
  int32_t last_progress = -1;
  for (int32_t block = 0; block < PARAMETER_PAGE_COUNT && result == 0; ++block) {
    if (operation_interrupted() != 0) return fail(-3);
    print_progress(&last_progress, block, PARAMETER_PAGE_COUNT);
    const uint32_t address = static_cast<uint32_t>(block * PARAMETER_PAGE_SIZE);
    result = read_parameter_page(address, &ParameterImage[address]);
  }
  if (result < 0) return fail(result);
  if (operation_interrupted() != 0) return fail(-3);
  run_record_image(PARAMETER_AREA_SIZE, image_sum(ParameterImage, PARAMETER_AREA_SIZE),
                   image_sum(ParameterImage, PARAMETER_AREA_SIZE), PARAMETER_PAGE_COUNT);

  run_record_phase(RUN_PHASE_END);

  if (replace_target() != 0) {
    console_print("Binary file writing error '%s'\n", path);
    return fail(-7);
  }
  log_close();
  console_print("Backup completed\n\n");
  return 0;
}
