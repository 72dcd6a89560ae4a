// Placeholders for run modes that are not part of this build yet.
#include "log/log.h"
#include "ops/operations.h"

uint8_t bootloader_force = 0;

namespace {
int32_t not_available() {
  console_print("This run mode is not available in this build\n");
  log_close();
  return -1;
}
}  // namespace

int32_t flash_application(const char*) { return not_available(); }
int32_t backup_parameters(const char*) { return not_available(); }
int32_t restore_parameters(const char*) { return not_available(); }
int32_t flash_sensor(const char*) { return not_available(); }
