// The four jobs of the tool. Each owns the run once called: it prints its own messages, closes the
// log on every way out, and returns 0 on success or a negative code that becomes the exit status.
// `progress` is how the pages' progress is shown (--progress; ops/progress.h).
#pragma once

#include <cstdint>

#include "ops/run_settings.h"

// -f: flash the unit's application from an Intel HEX file.
int32_t flash_application(const char* path, ProgressMode progress = PROGRESS_AUTO);
// -r: back up the unit's 0xD000-byte parameter area into a file.
int32_t backup_parameters(const char* path, ProgressMode progress = PROGRESS_AUTO);
// -w: restore the parameter area from a backup file. With `verify` (--verify) the whole area is
// then read back page by page, as the backup reads it, and compared with the file: "Restore
// verified: 53248 bytes match\n", or -9 after "Restore verification failed: <n> bytes differ,
// first at 0x<offset>: file 0x<byte>, unit 0x<byte>\n". A page that cannot be read back ends the
// run with the backup's codes.
int32_t restore_parameters(const char* path, bool verify = false,
                           ProgressMode progress = PROGRESS_AUTO);
// -g / -b: flash W2 sensor node `node` from an Intel HEX file; `force` awaits the node's power-on
// announcement instead of waking it.
int32_t flash_sensor(const char* path, uint8_t node, bool force,
                     ProgressMode progress = PROGRESS_AUTO);

