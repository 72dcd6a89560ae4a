// Intel HEX line reader: owns the one open HEX file and the current record. Each call reads one
// line, decodes it into the current record, checks its form and checksum and traces it in the log
// (raw line under LOG_HEX_RAW, decoded record under LOG_HEX_PARSED).
// Call order: ihex_open once, then ihex_read_record until the end of file record (result 1) or the
// first negative result. The file stays open until the process ends.
// Example: ":0400000001020304F2" gives length 4, address 0, type 0, data 01 02 03 04, result 0.
#pragma once

#include <cstdint>

// Longest line taken as a record: 255 data bytes, 11 + 2 * 255 characters before the line end.
constexpr int32_t IHEX_MAX_RECORD_BYTES = 255;
constexpr int32_t IHEX_MAX_LINE_CHARS = 11 + 2 * IHEX_MAX_RECORD_BYTES;

// The current record, overwritten by every read. Data bytes past `length` keep older contents.
struct IhexRecord {
  uint8_t length;
  uint16_t address;
  uint8_t type;
  uint8_t data[IHEX_MAX_RECORD_BYTES];
  uint8_t checksum;
  uint32_t data_sum;  // sum of data[0 .. length - 1], formed by the checksum test anyway
};

// ihex_open's failure: the file cannot be opened, or is no regular file (a directory, a device).
constexpr int32_t IHEX_CANNOT_OPEN = -1;
// Opens `path` for reading as the reader's file; 0 when open, IHEX_CANNOT_OPEN (logged under
// LOG_ALWAYS as "Cannot open IHex file <path>") when it cannot be opened or is no regular file.
int32_t ihex_open(const char* path);
// Why the last ihex_open failed, in the system's words ("No such file or directory", "Is a
// directory"); "" after one that succeeded.
const char* ihex_open_error();

// Reads and decodes the next line. 1: a valid end of file record (type 1); 0: a valid record of
// another type; -1: the line is no valid record (missing colon, illegal hex character, checksum
// error, line longer than IHEX_MAX_LINE_CHARS); -2: an earlier read met the end of the file.
int32_t ihex_read_record();

// The record decoded by the last read; to be used only after a result of 0 or 1.
const IhexRecord& ihex_record();

// The line of the file the last read took (1 for the first; 0 before a read).
int32_t ihex_line();
// Why the last read gave -1 or -2, with its line, as the operator reads it: "HEX file line 3:
// check sum error", "HEX file is empty", "HEX file ends after line 12 without an end of file
// record". "" while no read failed.
const char* ihex_failure();

// Closes the file and forgets all reader state (tests and fuzzing; the tool never calls it).
void ihex_reset();
