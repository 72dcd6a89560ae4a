// Parameter backup: reads the unit's 208 parameter pages into the area it owns, checking every
// page's frame sequence and checksum, and writes the backup file only when all of them passed. The
// file is written under a temporary name beside the target (created before anything is sent),
// flushed to disk and renamed over the target, so a backup that fails, or is killed, leaves an
// earlier backup of that name as it was.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"
#include "ops/console_lines.h"
#include "ops/operations.h"
#include "ops/outcome.h"
#include "ops/parameter_pages.h"
#include "ops/progress.h"
#include "ops/run_record.h"
#include "platform/platform.h"

namespace {
namespace fs = std::filesystem;

// The temporary file while the backup runs, and the file it replaces at the end.
struct BackupFile {
  FILE* temp = nullptr;
  std::string temp_path;
  fs::path target;
};

// Decides where the backup goes and creates the temporary file there. 0, or -1 when the target
// cannot take a backup: an empty name, something that is not a regular file (a directory, a
// device), an existing file that may not be written, or a directory where no file can be created.
int32_t open_temp_file(const char* path, BackupFile* file) {
  if (path[0] == '\0') return -1;
  std::error_code error;
  file->target = path;
  // A link stays a link: the backup replaces the file it points to.
  if (fs::is_symlink(fs::symlink_status(file->target, error))) {
    file->target = fs::weakly_canonical(file->target, error);
    if (error) return -1;
  }
  const fs::file_status status = fs::status(file->target, error);
  const bool exists = fs::exists(status);
  if (exists) {
    if (!fs::is_regular_file(status)) return -1;
    // Appending nothing changes nothing, but fails where overwriting the file would fail.
    FILE* probe = std::fopen(file->target.string().c_str(), "ab");
    if (!probe) return -1;
    std::fclose(probe);
  }
  // A name that no one else uses: the clock and this call's stack address, retried on a clash.
  uint64_t tag = now_us() ^ reinterpret_cast<uintptr_t>(&error);
  for (int attempt = 0; !file->temp; ++attempt, tag = tag * 6364136223846793005u + 1) {
    if (attempt == 100) return -1;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(tag >> 32));
    const std::string name = file->target.string() + suffix;
    file->temp = file_create_new(name.c_str());
    if (file->temp) {
      file->temp_path = name;
    } else if (errno != EEXIST) {
      return -1;
    }
  }
  // The new backup keeps the access rights of the one it replaces.
  if (exists) fs::permissions(file->temp_path, status.permissions(), error);
  return 0;
}

// A way out before the target was replaced: the temporary file, if this run created one, is closed
// and removed.
int32_t discard(BackupFile* file, int32_t result) {
  if (file->temp) std::fclose(file->temp);
  if (!file->temp_path.empty()) std::remove(file->temp_path.c_str());
  return result;
}

// Writes `area` to the temporary file, forces it to the disk and puts it in the target's place.
// 0, or -1 with the target untouched (the temporary file is left to fail).
int32_t replace_target(const std::vector<uint8_t>& area, BackupFile* file) {
  bool ok = std::fwrite(area.data(), 1, area.size(), file->temp) == area.size();
  ok = ok && std::fflush(file->temp) == 0 && file_sync(file->temp) == 0;
  // Closing can report a write error that the flush did not.
  ok = std::fclose(file->temp) == 0 && ok;
  file->temp = nullptr;
  std::error_code error;
  if (ok) fs::rename(file->temp_path, file->target, error);
  if (!ok || error) return -1;
  file->temp_path.clear();
  // Without it a power loss could still undo the rename.
  directory_sync(file->target.parent_path().string().c_str());
  return 0;
}
}  // namespace

int32_t backup_parameters(const RunSettings& settings) {
  const char* path = settings.file_name;
  print_separator();
  console_print("Starting application data backup to data file: '%s'\n", path);
  run_record_phase(RUN_PHASE_OPEN);
  BackupFile file;
  if (open_temp_file(path, &file) != 0) {
    console_problem("Binary file init error '%s'\n", path);
    return discard(&file, OPERATION_NOT_OPENED);
  }
  console_print("Binary file init ok\n");

  run_record_phase(RUN_PHASE_START);
  operation_step();
  operation_state("the unit is unchanged; no backup was written, an earlier file of that name is "
                  "kept as it was");
  if (operation_interrupted() != 0) return discard(&file, OPERATION_STOPPED);
  int32_t result = start_parameter_pages(settings.target);
  if (result < 0) return discard(&file, result);
  run_record_phase(RUN_PHASE_TRANSFER);
  std::vector<uint8_t> area(PARAMETER_AREA_SIZE);
  Progress progress = progress_start(settings.progress, PARAMETER_PAGE_COUNT, PARAMETER_PAGE_SIZE);
  result = read_parameter_area(area.data(), &progress);
  if (result == 0) {
    result = end_parameter_area(area.data(), "nothing written, run the backup again");
  }
  if (result < 0) return discard(&file, result);
  if (operation_interrupted() != 0) return discard(&file, OPERATION_STOPPED);
  const uint32_t sum = image_sum(area.data(), PARAMETER_AREA_SIZE);
  run_record_image(PARAMETER_AREA_SIZE, sum, sum, PARAMETER_PAGE_COUNT);

  run_record_phase(RUN_PHASE_END);
  operation_step();
  if (replace_target(area, &file) != 0) {
    console_problem("Binary file writing error '%s'\n", path);
    return discard(&file, OPERATION_NOT_WRITTEN);
  }
  console_print("Backup completed\n\n");
  return 0;
}
