// The four jobs of the tool. Each is handed the run's settings as a value and owns the run once
// called: it prints its own messages, opens the channel onto settings.target in its start phase,
// and returns 0 on success or a negative code that becomes the exit status; the entry point ends
// the run (the log, the records, an interruption). settings.progress is how the pages' progress is
// shown (--progress; ops/progress.h).
#pragma once

#include <cstdint>

#include "ops/run_settings.h"

// -f: flash the unit's application from the Intel HEX file settings.file_name.
int32_t flash_application(const RunSettings& settings);
// -r: back up the unit's 0xD000-byte parameter area into settings.file_name.
int32_t backup_parameters(const RunSettings& settings);
// -w: restore the parameter area from the backup file settings.file_name. With settings.verify
// (--verify) the whole area is then read back page by page, as the backup reads it, and compared
// with the file: "Restore verified: 53248 bytes match\n", or -9 after "Restore verification
// failed: <n> bytes differ, first at 0x<offset>: file 0x<byte>, unit 0x<byte>\n". A page that
// cannot be read back ends the run with the backup's codes.
int32_t restore_parameters(const RunSettings& settings);
// -g / -b: flash W2 sensor node settings.node_id from the Intel HEX file settings.file_name;
// settings.force awaits the node's power-on announcement instead of waking it.
int32_t flash_sensor(const RunSettings& settings);
// --check: loads the HEX file settings.file_name as -f would (as -g would with
// settings.check_sensor), checks it the same way and prints its report (addresses, data bytes,
// pages, the two sums, the file's SHA-256) without opening anything else. 0, or the refusal's
// status (-3 not opened, -7 refused).
int32_t check_hex_file(const RunSettings& settings);
