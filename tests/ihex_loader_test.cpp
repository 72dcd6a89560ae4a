#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "support/test_support.h"

namespace {
struct LoadCase {
  const char* name;
  std::string file;
  int32_t result;
  std::string console;
  // Expected image content: every non-zero byte of the image is listed here.
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> bytes;
};

size_t nonzero_bytes() {
  size_t count = 0;
  for (uint8_t b : FlashImage) count += b != 0;
  return count;
}
}  // namespace

class IhexLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ihex_reset();
    std::memset(FlashImage, 0, FLASH_IMAGE_SIZE);
  }
  void TearDown() override { ihex_reset(); }
  ScratchDir dir_;
};

TEST_F(IhexLoaderTest, Files) {
  const std::string eof = ":00000001FF\n";
  const std::string data4 = ":0400000001020304F2\n";
  const std::string parse_error = "IHex parse error\n";
  const LoadCase cases[] = {
      {"segment record", ":020000021000EC\n" + data4 + eof, 0x10003,
       "End of file record, hiaddr 0x10003\n", {{0x10000, {1, 2, 3, 4}}}},
      {"no address record", data4 + eof, 3, "End of file record, hiaddr 0x3\n",
       {{0, {1, 2, 3, 4}}}},
      {"end of file record only", eof, 0, "End of file record, hiaddr 0x0\n", {}},
      {"one byte at index 0", ":0100000011EE\n" + eof, 0, "End of file record, hiaddr 0x0\n",
       {{0, {0x11}}}},
      {"linear record adds to the segment base",
       ":020000021000EC\n:020000040001F9\n" + data4 + eof, 0x20003,
       "End of file record, hiaddr 0x20003\n", {{0x20000, {1, 2, 3, 4}}}},
      {"linear record alone", ":020000040001F9\n" + data4 + eof, 0x10003,
       "End of file record, hiaddr 0x10003\n", {{0x10000, {1, 2, 3, 4}}}},
      {"segment reset before a linear record",
       ":02000002F0000C\n:020010000908DD\n:020000020000FC\n:020000040010EA\n"
       ":020010000908DD\n" + eof,
       0x100011, "End of file record, hiaddr 0x100011\n",
       {{0xF0010, {9, 8}}, {0x100010, {9, 8}}}},
      {"later segment record replaces the earlier",
       ":020000021000EC\n:020000020000FC\n" + data4 + eof, 3, "End of file record, hiaddr 0x3\n",
       {{0, {1, 2, 3, 4}}}},
      {"later record overwrites", data4 + ":04000000AABBCCDDEE\n" + eof, 3,
       "End of file record, hiaddr 0x3\n", {{0, {0xAA, 0xBB, 0xCC, 0xDD}}}},
      {"lower record after a higher one", ":020100000506F2\n" + data4 + eof, 0x101,
       "End of file record, hiaddr 0x101\n", {{0, {1, 2, 3, 4}}, {0x100, {5, 6}}}},
      {"empty data record writes nothing", data4 + ":00FFFF0002\n" + eof, 3,
       "End of file record, hiaddr 0x3\n", {{0, {1, 2, 3, 4}}}},
      {"start address and unknown types are ignored",
       ":0400000300003800C1\n:04000005000000CD2A\n:01123406AB08\n" + data4 + eof, 3,
       "End of file record, hiaddr 0x3\n", {{0, {1, 2, 3, 4}}}},
      {"nothing after the end of file record is read", data4 + eof + ":0400000001020304F3\n", 3,
       "End of file record, hiaddr 0x3\n", {{0, {1, 2, 3, 4}}}},
      {"last byte of the image", ":02000004003DBD\n:04FFFC0001020304F7\n" + eof, 0x3DFFFF,
       "End of file record, hiaddr 0x3dffff\n", {{0x3DFFFC, {1, 2, 3, 4}}}},
      {"checksum error after good records", data4 + ":0400000001020304F3\n" + eof, -7, parse_error,
       {{0, {1, 2, 3, 4}}}},
      {"illegal character", data4 + ":0400000001020304f2\n" + eof, -7,
       "Illegal HexCH\n" + parse_error, {{0, {1, 2, 3, 4}}}},
      {"no end of file record, last line ended", data4, -7, parse_error, {{0, {1, 2, 3, 4}}}},
      {"no end of file record, last line open", ":0400000001020304F2", -7,
       "IHEX read EOF\n" + parse_error, {{0, {1, 2, 3, 4}}}},
      {"empty file", "", -7, parse_error, {}},
      {"record crossing the end of the image", ":02000004003DBD\n:04FFFE0001020304F5\n" + eof, -7,
       "HEX data outside the image at 0x3E0000\n" + parse_error, {}},
      {"record past the end of the image", ":020000040040BA\n" + data4 + eof, -7,
       "HEX data outside the image at 0x400000\n" + parse_error, {}},
      {"largest bases and address",
       ":02000004FFFFFC\n:02000002FFFFFE\n:01FFFF0007FA\n" + eof, -7,
       "HEX data outside the image at 0x1000FFFEF\n" + parse_error, {}},
      {"segment record of one byte", data4 + ":0100000210ED\n" + eof, -7,
       "Address record of type 2 has 1 data bytes instead of 2\n" + parse_error,
       {{0, {1, 2, 3, 4}}}},
      {"segment record without data", ":00000002FE\n" + eof, -7,
       "Address record of type 2 has 0 data bytes instead of 2\n" + parse_error, {}},
      {"linear record of four bytes", ":0400000400010000F7\n" + eof, -7,
       "Address record of type 4 has 4 data bytes instead of 2\n" + parse_error, {}},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ihex_reset();
    std::memset(FlashImage, 0, FLASH_IMAGE_SIZE);
    ConsoleCapture console;
    ASSERT_EQ(log_open(), 0);
    log_set_level(3);
    console.clear();
    write_file("input.hex", c.file);
    ASSERT_EQ(ihex_open("input.hex"), 1);
    EXPECT_EQ(ihex_load_image(), c.result);
    EXPECT_EQ(console.text(), c.console);
    // A failed load has closed the log already: this line must not reach the file.
    log_write("after the load\n", LOG_ALWAYS);
    log_close();
    const std::string log = read_file("ZR4_BL_Log.txt");
    EXPECT_EQ(log.find("after the load") != std::string::npos, c.result >= 0);

    size_t listed = 0;
    for (const auto& [index, bytes] : c.bytes) {
      EXPECT_EQ(std::vector<uint8_t>(FlashImage + index, FlashImage + index + bytes.size()), bytes)
          << "at 0x" << std::hex << index;
      listed += bytes.size();
    }
    EXPECT_EQ(nonzero_bytes(), listed);
  }
}

// The loader never clears the image: bytes of an earlier load stay where the new file writes none.
TEST_F(IhexLoaderTest, ImageIsNotCleared) {
  ConsoleCapture console;
  FlashImage[0x200] = 0x77;
  write_file("input.hex", ":0400000001020304F2\n:00000001FF\n");
  ASSERT_EQ(ihex_open("input.hex"), 1);
  EXPECT_EQ(ihex_load_image(), 3);
  EXPECT_EQ(FlashImage[0x200], 0x77);
  EXPECT_EQ(FlashImage[3], 4);
}
