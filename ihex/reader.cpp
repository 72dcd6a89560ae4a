// Intel HEX line reader.
#include "ihex/reader.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"

namespace {
// The line buffer keeps up to 599 characters of a line: room for the longest record with its line
// end, and enough of a longer line to show it in the log.
constexpr size_t kLineBufferSize = 600;
constexpr size_t kLineKeep = kLineBufferSize - 1;
constexpr size_t kBlockSize = 1 << 16;

constexpr std::array<int8_t, 256> make_digit_table() {
  std::array<int8_t, 256> table{};
  for (int8_t& value : table) value = -1;
  const char digits[] = "0123456789ABCDEF";
  for (int8_t i = 0; i < 16; ++i) table[static_cast<uint8_t>(digits[i])] = i;
  return table;
}
// Only upper-case digits count; every other character, the line end and NUL included, is -1.
constexpr std::array<int8_t, 256> kDigit = make_digit_table();
const char kHexChars[] = "0123456789ABCDEF";

struct ReaderState {
  FILE* file = nullptr;
  // Set once a line read has met the end of the file (or a read error): later reads give -2.
  bool end_met = false;
  // The file is read in blocks and split into lines here, so a NUL inside a line cannot hide where
  // the line ends and an over-long line is skipped exactly up to its line end.
  char block[kBlockSize] = {};
  size_t block_pos = 0;
  size_t block_end = 0;
  char line[kLineBufferSize] = {};
  IhexRecord record = {};
  int32_t line_number = 0;  // lines read so far
  char failure[160] = "";   // why the last read failed, for the operator
  char open_error[128] = "";
};
ReaderState g_reader;

struct LineRead {
  size_t length;       // every character of the line, line end included
  size_t text_length;  // without the line end ("\n" or "\r\n")
};

// Reads the next line into g_reader.line (at most kLineKeep characters kept, then NUL). The whole
// line is consumed even when it is longer than what is kept.
LineRead read_line() {
  size_t total = 0;
  bool newline = false;
  char before_end = '\0';  // the character in front of the line end
  for (;;) {
    if (g_reader.block_pos == g_reader.block_end) {
      g_reader.block_pos = 0;
      g_reader.block_end = std::fread(g_reader.block, 1, kBlockSize, g_reader.file);
      if (g_reader.block_end == 0) {
        g_reader.end_met = true;
        break;
      }
    }
    const char* start = g_reader.block + g_reader.block_pos;
    const size_t available = g_reader.block_end - g_reader.block_pos;
    const char* end = static_cast<const char*>(std::memchr(start, '\n', available));
    const size_t take = end ? static_cast<size_t>(end - start) + 1 : available;
    if (total < kLineKeep) {
      const size_t room = kLineKeep - total;
      std::memcpy(g_reader.line + total, start, take < room ? take : room);
    }
    if (end) {
      if (end != start) before_end = end[-1];
    } else {
      before_end = start[available - 1];
    }
    total += take;
    g_reader.block_pos += take;
    if (end) {
      newline = true;
      break;
    }
  }
  g_reader.line[total < kLineKeep ? total : kLineKeep] = '\0';
  size_t text_length = total - (newline ? 1 : 0);
  if (text_length > 0 && before_end == '\r') --text_length;
  return LineRead{total, text_length};
}

bool decode_byte(size_t pos, uint8_t* value) {
  // The second character is looked at only when the first is a digit, so the decode stops at the
  // terminating NUL and never reads past the line's text.
  const int8_t high = kDigit[static_cast<uint8_t>(g_reader.line[pos])];
  if (high < 0) return false;
  const int8_t low = kDigit[static_cast<uint8_t>(g_reader.line[pos + 1])];
  if (low < 0) return false;
  *value = static_cast<uint8_t>((high << 4) | low);
  return true;
}

char* put_hex_byte(char* out, uint8_t value) {
  out[0] = kHexChars[value >> 4];
  out[1] = kHexChars[value & 0x0F];
  return out + 2;
}

// ": %02X %04X %02X " + "%02X " per data byte + "%02X\n", formatted by hand: it runs for every
// record of a file of several MB.
void log_parsed_record() {
  char text[16 + 3 * IHEX_MAX_RECORD_BYTES + 4];
  char* out = text;
  *out++ = ':';
  *out++ = ' ';
  out = put_hex_byte(out, g_reader.record.length);
  *out++ = ' ';
  out = put_hex_byte(out, static_cast<uint8_t>(g_reader.record.address >> 8));
  out = put_hex_byte(out, static_cast<uint8_t>(g_reader.record.address));
  *out++ = ' ';
  out = put_hex_byte(out, g_reader.record.type);
  *out++ = ' ';
  for (int i = 0; i < g_reader.record.length; ++i) {
    out = put_hex_byte(out, g_reader.record.data[i]);
    *out++ = ' ';
  }
  out = put_hex_byte(out, g_reader.record.checksum);
  *out++ = '\n';
  *out = '\0';
  log_write(text, LOG_HEX_PARSED);
}

// Decodes g_reader.line into g_reader.record; 0, or -1 after reporting the first fault.
void set_failure(const char* reason) {
  std::snprintf(g_reader.failure, sizeof g_reader.failure, "HEX file line %d: %s",
                static_cast<int>(g_reader.line_number), reason);
}

int32_t decode_line() {
  if (g_reader.line[0] != ':') {
    log_write("Missing colon\n", LOG_ALWAYS);
    set_failure("no Intel HEX record (it does not begin with ':')");
    return -1;
  }
  uint8_t address_high = 0;
  uint8_t address_low = 0;
  bool ok = decode_byte(1, &g_reader.record.length) && decode_byte(3, &address_high) &&
            decode_byte(5, &address_low);
  if (ok) {
    g_reader.record.address = static_cast<uint16_t>((address_high << 8) | address_low);
    ok = decode_byte(7, &g_reader.record.type);
  }
  const size_t length = g_reader.record.length;
  for (size_t i = 0; ok && i < length; ++i) {
    ok = decode_byte(9 + 2 * i, &g_reader.record.data[i]);
  }
  if (ok) ok = decode_byte(9 + 2 * length, &g_reader.record.checksum);
  if (!ok) {
    console_problem("Illegal HexCH\n");
    set_failure("a character that is no hex digit (0-9, A-F), or the record is cut short");
    return -1;
  }
  uint32_t data_sum = 0;
  for (size_t i = 0; i < length; ++i) data_sum += g_reader.record.data[i];
  g_reader.record.data_sum = data_sum;
  const uint32_t sum = static_cast<uint32_t>(g_reader.record.length + address_high + address_low +
                                             g_reader.record.type + g_reader.record.checksum) +
                       data_sum;
  if ((sum & 0xFF) != 0) {
    log_write("Check sum error\n", LOG_ALWAYS);
    set_failure("check sum error");
    return -1;
  }
  if (log_passes(LOG_HEX_PARSED)) log_parsed_record();
  return 0;
}
}  // namespace

int32_t ihex_open(const char* path) {
  ihex_reset();
  FILE* file = std::fopen(path, "r");
  if (!file) {
    std::snprintf(g_reader.open_error, sizeof g_reader.open_error, "%s", std::strerror(errno));
  } else {
    // fopen of a directory succeeds on Linux (only reads fail), and a device or a pipe may never
    // end: only a regular file is a HEX file.
    struct stat info {};
    const bool known = fstat(fileno(file), &info) == 0;
    if (!known || (info.st_mode & S_IFMT) != S_IFREG) {
      const char* why = !known ? std::strerror(errno)
                        : (info.st_mode & S_IFMT) == S_IFDIR ? std::strerror(EISDIR)
                                                             : "not a regular file";
      std::snprintf(g_reader.open_error, sizeof g_reader.open_error, "%s", why);
      std::fclose(file);
      file = nullptr;
    }
  }
  if (!file) {
    log_write("Cannot open IHex file ", LOG_ALWAYS);
    log_write(path, LOG_ALWAYS);
    log_newline(LOG_ALWAYS);
    return IHEX_CANNOT_OPEN;
  }
  g_reader.file = file;
  return 0;
}

int32_t ihex_read_record() {
  if (g_reader.end_met || !g_reader.file) {
    console_problem("IHEX read EOF\n");
    std::snprintf(g_reader.failure, sizeof g_reader.failure,
                  "HEX file ends after line %d without an end of file record",
                  static_cast<int>(g_reader.line_number));
    return -2;
  }
  const LineRead line = read_line();
  if (line.length == 0) {
    // Nothing was left to read: no line, only the end of the file.
    if (g_reader.line_number == 0) {
      std::snprintf(g_reader.failure, sizeof g_reader.failure, "HEX file is empty");
    } else {
      std::snprintf(g_reader.failure, sizeof g_reader.failure,
                    "HEX file ends after line %d without an end of file record",
                    static_cast<int>(g_reader.line_number));
    }
  }
  ++g_reader.line_number;
  log_write(g_reader.line, LOG_HEX_RAW);
  if (line.length > kLineKeep) {
    log_newline(LOG_HEX_RAW);  // the kept part lost its line end
  }
  if (line.text_length > static_cast<size_t>(IHEX_MAX_LINE_CHARS)) {
    log_writef(LOG_ALWAYS, "Line too long for a HEX record: %zu characters, at most %d\n",
               line.text_length, IHEX_MAX_LINE_CHARS);
    char reason[96];
    std::snprintf(reason, sizeof reason, "too long for a HEX record (%zu characters, at most %d)",
                  line.text_length, IHEX_MAX_LINE_CHARS);
    set_failure(reason);
    return -1;
  }
  if (line.length == 0) {
    log_write("Missing colon\n", LOG_ALWAYS);
    return -1;
  }
  if (decode_line() < 0) return -1;
  return g_reader.record.type == 1 ? 1 : 0;
}

const IhexRecord& ihex_record() { return g_reader.record; }

const char* ihex_open_error() { return g_reader.open_error; }

int32_t ihex_line() { return g_reader.line_number; }

const char* ihex_failure() { return g_reader.failure; }

void ihex_reset() {
  if (g_reader.file) std::fclose(g_reader.file);
  g_reader = ReaderState{};
}
