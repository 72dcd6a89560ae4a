// The four jobs of the tool. Each is handed the run's settings as a value and owns the run once
// called: it prints its own messages, opens the channel onto settings.target in its start phase,
// and returns 0 on success or a negative code that becomes the exit status; the entry point ends
// the run (the log, the records, an interruption). settings.progress is how the pages' progress is
// shown (--progress; ops/progress.h).
#pragma once

#include <cstdint>

#include "ops/run_settings.h"

// What the operations end with besides 0, each code meaning the same in every operation that
// uses it; a command's or a page's own result (protocol/command_layer.h, ops/parameter_pages.h)
// is passed on unchanged.
enum OperationResult : int32_t {
  OPERATION_OK = 0,
  // The HEX, backup or restore file cannot be opened or made; also an operation stopped by an
  // interruption (the process then ends with 128 + the signal's number), and a flash whose
  // DL_END_OF_DOWNLOAD could not be sent.
  OPERATION_NOT_OPENED = -3,
  OPERATION_STOPPED = -3,
  OPERATION_NOT_ENDED = -3,
  // Flashing: the channel, or the device's loader, would not start. Restore: the file is not
  // exactly the parameter area's size.
  OPERATION_NOT_STARTED = -4,
  OPERATION_WRONG_SIZE = -4,
  OPERATION_NOT_ERASED = -5,       // flashing: the device would not erase its application
  OPERATION_OUT_OF_SEQUENCE = -6,  // a page's data frame came out of its place
  // Flashing: the HEX file was refused (the reason said before "IHex parse error"). Backup: the
  // backup file could not be written.
  OPERATION_IMAGE_REFUSED = -7,
  OPERATION_NOT_WRITTEN = -7,
  OPERATION_SUM_DIFFERS = -8,       // a page's checksum differs from its bytes
  OPERATION_NOT_VERIFIED = -9,      // restore --verify: the unit holds other bytes than the file
  OPERATION_PAGE_REPEATED = -10,    // the unit sent more pages than were asked for
};

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
