// The four jobs of the tool. Each owns the run once called: it prints its own messages, closes the
// log on every way out, and returns 0 on success or a negative code that becomes the exit status.
#pragma once

#include <cstdint>

#include "ops/run_settings.h"

// -f: flash the unit's application from an Intel HEX file.
int32_t flash_application(const char* path);
// -r: back up the unit's 0xD000-byte parameter area into a file.
int32_t backup_parameters(const char* path);
// -w: restore the parameter area from a backup file.
int32_t restore_parameters(const char* path);
// -g / -b: flash W2 sensor node `node` from an Intel HEX file; `force` awaits the node's power-on
// announcement instead of waking it.
int32_t flash_sensor(const char* path, uint8_t node, bool force);

