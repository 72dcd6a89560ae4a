#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ihex/reader.h"
#include "log/log.h"
#include "support/hex_files.h"
#include "support/test_support.h"

namespace {
const char kBanner[] = "\n   ---------   ZR4_BL_Log   --------\n\n";

// The trace line the reader logs for a record.
std::string parsed_line(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                        uint8_t checksum) {
  char text[32];
  std::snprintf(text, sizeof text, ": %02X %04X %02X ", static_cast<unsigned>(data.size()), address,
                type);
  std::string line = text;
  for (uint8_t b : data) {
    std::snprintf(text, sizeof text, "%02X ", b);
    line += text;
  }
  std::snprintf(text, sizeof text, "%02X\n", checksum);
  return line + text;
}

std::vector<uint8_t> counting_bytes(size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

uint8_t checksum_of(const std::string& line) {
  return static_cast<uint8_t>(std::stoul(line.substr(line.size() - 2), nullptr, 16));
}

struct ReadOutcome {
  std::vector<int32_t> results;
  std::string console;
  std::string log;  // what follows the banner and the level line
};

// Writes `content` as a HEX file, reads it `calls` times at logging level `level`.
ReadOutcome read_records(const std::string& content, int32_t level, size_t calls) {
  ReadOutcome outcome;
  ConsoleCapture console;
  EXPECT_EQ(log_open(), 0);
  log_set_level(level);
  console.clear();
  write_file("input.hex", content);
  EXPECT_EQ(ihex_open("input.hex"), 0);
  for (size_t i = 0; i < calls; ++i) outcome.results.push_back(ihex_read_record());
  log_close();
  outcome.console = console.text();
  const std::string header = std::string(kBanner) + "Logger level " + std::to_string(level) + "\n";
  const std::string log = read_file("ZR4_BL_Log.txt");
  EXPECT_EQ(log.substr(0, header.size()), header);
  outcome.log = log.substr(header.size());
  return outcome;
}

class IhexReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ihex_reset(); }
  void TearDown() override { ihex_reset(); }
  ScratchDir dir_;
};

struct LineCase {
  const char* name;
  std::string file;
  std::vector<int32_t> results;
  std::string console;
  std::string log;  // at level 3: raw lines, parsed records, errors
  // Fields of the last record read with a result of 0 or 1 (when `check_record`).
  bool check_record;
  uint8_t length;
  uint16_t address;
  uint8_t type;
  std::vector<uint8_t> data;  // compared with the first data.size() bytes of the record
  uint8_t checksum;
};
}  // namespace

TEST_F(IhexReaderTest, SingleLines) {
  const std::string data4 = ":0400000001020304F2";
  const std::vector<uint8_t> bytes44 = counting_bytes(44, 0x10);
  const std::string line44 = hex_record(0, 0x1234, bytes44);
  const std::vector<uint8_t> bytes255 = counting_bytes(255, 0x80);
  const std::string line255 = hex_record(0, 0xFF00, bytes255);  // exactly 521 characters
  const std::string eof = ":00000001FF";
  const std::string eof_log = eof + "\n: 00 0000 01 FF\n";
  const std::string huge = line255 + line255 + line255 + line255;  // 2084 characters
  const std::string type6 = hex_record(6, 0x1234, {0xAB});
  const std::string type_ff = hex_record(0xFF, 0xFFFF, {});

  const LineCase cases[] = {
      {"end of file record", eof + "\n", {1}, "", eof_log, true, 0, 0, 1, {}, 0xFF},
      {"data record", data4 + "\n", {0}, "", data4 + "\n: 04 0000 00 01 02 03 04 F2\n",
       true, 4, 0, 0, {1, 2, 3, 4}, 0xF2},
      {"lower-case checksum", ":0400000001020304f2\n", {-1}, "Illegal HexCH\n",
       ":0400000001020304f2\n", false, 0, 0, 0, {}, 0},
      {"lower-case address digits: one message", ":04abcd0001020304F2\n", {-1},
       "Illegal HexCH\n", ":04abcd0001020304F2\n", false, 0, 0, 0, {}, 0},
      {"illegal length digit", ":G400000001020304F2\n", {-1}, "Illegal HexCH\n",
       ":G400000001020304F2\n", false, 0, 0, 0, {}, 0},
      {"illegal type digit", ":04000000-1020304F2\n", {-1}, "Illegal HexCH\n",
       ":04000000-1020304F2\n", false, 0, 0, 0, {}, 0},
      {"blank inside the data", ":04000000 1020304F2\n", {-1}, "Illegal HexCH\n",
       ":04000000 1020304F2\n", false, 0, 0, 0, {}, 0},
      {"checksum error", ":0400000001020304F3\n", {-1}, "",
       ":0400000001020304F3\n" "Check sum error\n", false, 0, 0, 0, {}, 0},
      {"empty line", "\n", {-1}, "", "\nMissing colon\n", false, 0, 0, 0, {}, 0},
      {"line of blanks", "    \n", {-1}, "", "    \nMissing colon\n", false, 0, 0, 0, {}, 0},
      {"record without colon", "00000001FF\n", {-1}, "", "00000001FF\nMissing colon\n",
       false, 0, 0, 0, {}, 0},
      {"colon after a blank", " :00000001FF\n", {-1}, "", " :00000001FF\nMissing colon\n",
       false, 0, 0, 0, {}, 0},
      {"line shorter than its length", ":0800000001020304\n", {-1}, "Illegal HexCH\n",
       ":0800000001020304\n", false, 0, 0, 0, {}, 0},
      {"colon alone", ":\n", {-1}, "Illegal HexCH\n", ":\n", false, 0, 0, 0, {}, 0},
      {"checksum missing at the end of the file", ":00000001", {-1}, "Illegal HexCH\n",
       ":00000001", false, 0, 0, 0, {}, 0},
      {"44 data bytes are read whole", line44 + "\n" + eof + "\n", {0, 1}, "",
       line44 + "\n" + parsed_line(0, 0x1234, bytes44, checksum_of(line44)) + eof_log,
       true, 0, 0, 1, {}, 0xFF},
      {"255 data bytes with CR LF", line255 + "\r\n", {0}, "",
       line255 + "\r\n" + parsed_line(0, 0xFF00, bytes255, checksum_of(line255)),
       true, 255, 0xFF00, 0, bytes255, checksum_of(line255)},
      {"one character over the limit, then a good line", line255 + " \n" + eof + "\n",
       {-1, 1}, "",
       line255 + " \nLine too long for a HEX record: 522 characters, at most 521\n" + eof_log,
       true, 0, 0, 1, {}, 0xFF},
      {"line far over the limit is not split", huge + "\r\n" + eof + "\n", {-1, 1}, "",
       huge.substr(0, 599) + "\nLine too long for a HEX record: 2084 characters, at most 521\n" +
           eof_log,
       true, 0, 0, 1, {}, 0xFF},
      {"over-long last line without line end", eof + "\n" + huge, {1, -1, -2},
       "IHEX read EOF\n",
       eof_log + huge.substr(0, 599) +
           "\nLine too long for a HEX record: 2084 characters, at most 521\n",
       true, 0, 0, 1, {}, 0xFF},
      {"CR LF", data4 + "\r\n", {0}, "", data4 + "\r\n: 04 0000 00 01 02 03 04 F2\n",
       true, 4, 0, 0, {1, 2, 3, 4}, 0xF2},
      {"characters after the checksum", eof + " ; end\n", {1}, "",
       eof + " ; end\n: 00 0000 01 FF\n", true, 0, 0, 1, {}, 0xFF},
      {"type 2", ":020000021000EC\n", {0}, "", ":020000021000EC\n: 02 0000 02 10 00 EC\n",
       true, 2, 0, 2, {0x10, 0x00}, 0xEC},
      {"type 3", ":0400000300003800C1\n", {0}, "",
       ":0400000300003800C1\n: 04 0000 03 00 00 38 00 C1\n", true, 4, 0, 3, {0, 0, 0x38, 0},
       0xC1},
      {"type 4", ":020000040001F9\n", {0}, "", ":020000040001F9\n: 02 0000 04 00 01 F9\n",
       true, 2, 0, 4, {0, 1}, 0xF9},
      {"type 5", ":04000005000000CD2A\n", {0}, "",
       ":04000005000000CD2A\n: 04 0000 05 00 00 00 CD 2A\n", true, 4, 0, 5, {0, 0, 0, 0xCD},
       0x2A},
      {"type 6", type6 + "\n", {0}, "", type6 + "\n: 01 1234 06 AB 08\n", true, 1, 0x1234, 6,
       {0xAB}, 0x08},
      {"type FF", type_ff + "\n", {0}, "", type_ff + "\n: 00 FFFF FF 03\n", true, 0, 0xFFFF,
       0xFF, {}, 0x03},
      {"data past the length keeps older bytes", data4 + "\n:01000000AA55\n", {0, 0}, "",
       data4 + "\n: 04 0000 00 01 02 03 04 F2\n:01000000AA55\n: 01 0000 00 AA 55\n",
       true, 1, 0, 0, {0xAA, 2, 3, 4}, 0x55},
      {"end met after a final line end", data4 + "\n", {0, -1, -2}, "IHEX read EOF\n",
       data4 + "\n: 04 0000 00 01 02 03 04 F2\nMissing colon\n", true, 4, 0, 0, {1, 2, 3, 4},
       0xF2},
      {"end met on a last line without line end", data4, {0, -2, -2},
       "IHEX read EOF\nIHEX read EOF\n", data4 + ": 04 0000 00 01 02 03 04 F2\n",
       true, 4, 0, 0, {1, 2, 3, 4}, 0xF2},
      {"empty file", "", {-1, -2}, "IHEX read EOF\n", "Missing colon\n", false, 0, 0, 0, {}, 0},
      {"NUL inside a line ends its text", std::string(":0400\0" "00001020304F2\n", 20) + eof + "\n",
       {-1, 1}, "Illegal HexCH\n", ":0400" + eof_log, true, 0, 0, 1, {}, 0xFF},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    ihex_reset();
    const ReadOutcome outcome = read_records(c.file, 3, c.results.size());
    EXPECT_EQ(outcome.results, c.results);
    EXPECT_EQ(outcome.console, c.console);
    EXPECT_EQ(outcome.log, c.log);
    if (!c.check_record) continue;
    const IhexRecord& record = ihex_record();
    EXPECT_EQ(record.length, c.length);
    EXPECT_EQ(record.address, c.address);
    EXPECT_EQ(record.type, c.type);
    EXPECT_EQ(std::vector<uint8_t>(record.data, record.data + c.data.size()), c.data);
    EXPECT_EQ(record.checksum, c.checksum);
  }
}

TEST_F(IhexReaderTest, LevelChoosesTraceLines) {
  const std::string file = ":0400000001020304F3\n:0400000001020304F2\n";
  struct Row {
    int32_t level;
    std::string log;
  };
  const Row rows[] = {
      {0, ""},
      {1, ":0400000001020304F3\nCheck sum error\n:0400000001020304F2\n"},
      {2, "Check sum error\n: 04 0000 00 01 02 03 04 F2\n"},
      {4, "Check sum error\n"},
      {7, ":0400000001020304F3\nCheck sum error\n:0400000001020304F2\n"
          ": 04 0000 00 01 02 03 04 F2\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("level " + std::to_string(row.level));
    ihex_reset();
    const ReadOutcome outcome = read_records(file, row.level, 2);
    EXPECT_EQ(outcome.results, (std::vector<int32_t>{-1, 0}));
    EXPECT_EQ(outcome.log, row.log);
  }
}

// The system's reason is kept for the console.
TEST_F(IhexReaderTest, OpenRefusesMissingFilesAndDirectories) {
  std::filesystem::create_directory("folder.hex");
  const std::pair<const char*, const char*> rows[] = {{"missing.hex", "No such file or directory"},
                                                      {"folder.hex", "Is a directory"},
                                                      {"/dev/null", "not a regular file"},
                                                      {"", "No such file or directory"}};
  for (const auto& [path, why] : rows) {
    SCOPED_TRACE(path);
    ConsoleCapture console;
    ASSERT_EQ(log_open(), 0);
    log_set_level(1);
    EXPECT_EQ(ihex_open(path), IHEX_CANNOT_OPEN);
    EXPECT_STREQ(ihex_open_error(), why);
    // Nothing is open: a read finds no record.
    EXPECT_EQ(ihex_read_record(), -2);
    log_close();
    EXPECT_EQ(read_file("ZR4_BL_Log.txt"), std::string(kBanner) + "Logger level 1\n" +
                                               "Cannot open IHex file " + path + "\n");
  }
  write_file("good.hex", ":00000001FF\n");
  EXPECT_EQ(ihex_open("good.hex"), 0);
  EXPECT_STREQ(ihex_open_error(), "");
}

TEST_F(IhexReaderTest, OpenAgainStartsTheNewFile) {
  ConsoleCapture console;
  write_file("a.hex", ":0400000001020304F2");
  write_file("b.hex", ":00000001FF\n");
  ASSERT_EQ(ihex_open("a.hex"), 0);
  EXPECT_EQ(ihex_read_record(), 0);
  EXPECT_EQ(ihex_read_record(), -2);
  ASSERT_EQ(ihex_open("b.hex"), 0);
  EXPECT_EQ(ihex_read_record(), 1);
  EXPECT_EQ(console.text(), "IHEX read EOF\n");
}

// Lines longer than the reader's read-ahead block still split exactly at their line ends.
TEST_F(IhexReaderTest, ManyRecordsAcrossReadBlocks) {
  std::string file;
  std::vector<std::vector<uint8_t>> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::vector<uint8_t> data =
        counting_bytes(static_cast<size_t>(i % 256), static_cast<uint8_t>(i));
    if (i % 7 == 0) {
      file += std::string(600 + static_cast<size_t>(i % 50), 'x') + "\n";
      expected.push_back({0xEE});  // marks the refused line
    }
    file += hex_record(0, static_cast<uint16_t>(i), data) + (i % 2 ? "\r\n" : "\n");
    expected.push_back(data);
  }
  file += ":00000001FF";
  ConsoleCapture console;
  write_file("many.hex", file);
  ASSERT_EQ(ihex_open("many.hex"), 0);
  for (size_t i = 0; i < expected.size(); ++i) {
    const int32_t result = ihex_read_record();
    if (expected[i] == std::vector<uint8_t>{0xEE}) {
      ASSERT_EQ(result, -1) << "line " << i;
      continue;
    }
    ASSERT_EQ(result, 0) << "line " << i;
    const IhexRecord& record = ihex_record();
    ASSERT_EQ(std::vector<uint8_t>(record.data, record.data + record.length), expected[i])
        << "line " << i;
  }
  EXPECT_EQ(ihex_read_record(), 1);
  EXPECT_EQ(ihex_read_record(), -2);
}

namespace {
// Why a file was refused, as the operator reads it: the reason and the line the log has.
struct FailureCase {
  const char* name;
  std::string file;
  size_t calls;
  int32_t last_result;
  int32_t line;
  const char* failure;
};
const FailureCase kFailureCases[] = {
    {"empty", "", 1, -1, 1, "HEX file is empty"},
    {"no end record, line ended", ":0400000001020304F2\n", 2, -1, 2,
     "HEX file ends after line 1 without an end of file record"},
    {"no end record, line open", ":00000004FC\n:0400000001020304F2", 3, -2, 2,
     "HEX file ends after line 2 without an end of file record"},
    {"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\n", 11), 1, -1, 1,
     "HEX file line 1: no Intel HEX record (it does not begin with ':')"},
    {"checksum on line 3", ":00000004FC\n:0400000001020304F2\n:0400000001020304F3\n", 3, -1, 3,
     "HEX file line 3: check sum error"},
    {"cut short", ":00000004FC\n:08000000010203\n", 2, -1, 2,
     "HEX file line 2: a character that is no hex digit (0-9, A-F), or the record is cut short"},
    {"too long", ":" + std::string(600, '0') + "\n", 1, -1, 1,
     "HEX file line 1: too long for a HEX record (601 characters, at most 521)"},
    {"good lines", ":00000004FC\n:00000001FF\n", 2, 1, 2, ""},
};
}  // namespace

TEST_F(IhexReaderTest, FailureNamesTheReasonAndTheLine) {
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    const ReadOutcome outcome = read_records(c.file, 1, c.calls);
    EXPECT_EQ(outcome.results.back(), c.last_result);
    EXPECT_EQ(ihex_line(), c.line);
    EXPECT_STREQ(ihex_failure(), c.failure);
    ihex_reset();
  }
}
