// The HEX file loader under both address layouts: one row per file, with the result, what was
// loaded, the console text and every non-zero byte of the image.
#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "support/hex_files.h"
#include "support/test_support.h"

namespace {
// The image the loads fill.
uint8_t FlashImage[FLASH_IMAGE_SIZE];

struct LoadCase {
  const char* name;
  std::string file;
  int32_t result;
  IhexLoad load;  // checked when the result is 0
  std::string console;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> bytes;
};

void PrintTo(const LoadCase& c, std::ostream* out) { *out << c.name; }

size_t nonzero_bytes() {
  size_t count = 0;
  for (uint8_t b : FlashImage) count += b != 0;
  return count;
}

std::string segment(uint16_t value) {
  return hex_line(4, 0, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}

const std::string kEof = ":00000001FF\n";
const std::string kData4 = ":0400000001020304F2\n";  // 01 02 03 04 at record address 0
const std::vector<uint8_t> kBytes4 = {1, 2, 3, 4};

std::string row_name(const ::testing::TestParamInfo<LoadCase>& row_info) {
  std::string name = row_info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class IhexLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ihex_reset();
    std::memset(FlashImage, 0, FLASH_IMAGE_SIZE);
  }
  void TearDown() override { ihex_reset(); }

  void load_and_check(IhexAddressing addressing, const LoadCase& c) {
    ConsoleCapture console;
    ASSERT_EQ(log_open(), 0);
    log_set_level(3);
    console.clear();
    write_file("input.hex", c.file);
    ASSERT_EQ(ihex_open("input.hex"), 0);
    IhexLoad load{-1, -1, 0};
    EXPECT_EQ(ihex_load_image(addressing, FlashImage, &load), c.result);
    if (c.result == 0) {
      EXPECT_EQ(load.end, c.load.end);
      EXPECT_EQ(load.highest, c.load.highest);
      EXPECT_EQ(load.data_sum, c.load.data_sum);
    }
    EXPECT_EQ(console.text(), c.console);
    // Closing the log is the operation's business, refused file or not.
    log_write("after the load\n", LOG_ALWAYS);
    log_close();
    EXPECT_NE(read_file("ZR4_BL_Log.txt").find("after the load"), std::string::npos);

    size_t listed = 0;
    for (const auto& [index, bytes] : c.bytes) {
      EXPECT_EQ(std::vector<uint8_t>(FlashImage + index, FlashImage + index + bytes.size()), bytes)
          << "at 0x" << std::hex << index;
      listed += bytes.size();
    }
    EXPECT_EQ(nonzero_bytes(), listed);
  }
  ScratchDir dir_;
};

class SensorLoadTest : public IhexLoaderTest, public ::testing::WithParamInterface<LoadCase> {};
class ApplicationLoadTest : public IhexLoaderTest,
                            public ::testing::WithParamInterface<LoadCase> {};
}  // namespace

TEST_P(SensorLoadTest, File) { load_and_check(IHEX_SENSOR, GetParam()); }
TEST_P(ApplicationLoadTest, File) { load_and_check(IHEX_APPLICATION, GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Files, SensorLoadTest,
    ::testing::Values(
        LoadCase{"segment record", ":020000021000EC\n" + kData4 + kEof, 0, {0x10004, 0x10003, 10},
                 "End of file record, hiaddr 0x10003\n", {{0x10000, kBytes4}}},
        LoadCase{"no address record", kData4 + kEof, 0, {4, 3, 10},
                 "End of file record, hiaddr 0x3\n", {{0, kBytes4}}},
        LoadCase{"end of file record only", kEof, 0, {0, 0, 0}, "End of file record, hiaddr 0x0\n",
                 {}},
        LoadCase{"one byte at index 0", ":0100000011EE\n" + kEof, 0, {1, 0, 0x11},
                 "End of file record, hiaddr 0x0\n", {{0, {0x11}}}},
        LoadCase{"linear record adds to the segment base",
                 ":020000021000EC\n:020000040001F9\n" + kData4 + kEof, 0, {0x20004, 0x20003, 10},
                 "End of file record, hiaddr 0x20003\n", {{0x20000, kBytes4}}},
        LoadCase{"linear record alone", ":020000040001F9\n" + kData4 + kEof, 0,
                 {0x10004, 0x10003, 10}, "End of file record, hiaddr 0x10003\n",
                 {{0x10000, kBytes4}}},
        LoadCase{"segment reset before a linear record",
                 ":02000002F0000C\n:020010000908DD\n:020000020000FC\n:020000040010EA\n"
                 ":020010000908DD\n" + kEof,
                 0, {0x100012, 0x100011, 34}, "End of file record, hiaddr 0x100011\n",
                 {{0xF0010, {9, 8}}, {0x100010, {9, 8}}}},
        LoadCase{"later segment record replaces the earlier",
                 ":020000021000EC\n:020000020000FC\n" + kData4 + kEof, 0, {4, 3, 10},
                 "End of file record, hiaddr 0x3\n", {{0, kBytes4}}},
        LoadCase{"later record overwrites, both count in the data sum",
                 kData4 + ":04000000AABBCCDDEE\n" + kEof, 0, {4, 3, 10 + 0x30E},
                 "End of file record, hiaddr 0x3\n", {{0, {0xAA, 0xBB, 0xCC, 0xDD}}}},
        LoadCase{"lower record after a higher one", ":020100000506F2\n" + kData4 + kEof, 0,
                 {0x102, 0x101, 21}, "End of file record, hiaddr 0x101\n",
                 {{0, kBytes4}, {0x100, {5, 6}}}},
        LoadCase{"empty data record writes nothing", kData4 + ":00FFFF0002\n" + kEof, 0,
                 {4, 3, 10}, "End of file record, hiaddr 0x3\n", {{0, kBytes4}}},
        LoadCase{"start addresses and unknown types are ignored",
                 ":0400000300003800C1\n:04000005000000CD2A\n:01123406AB08\n" + kData4 + kEof, 0,
                 {4, 3, 10}, "End of file record, hiaddr 0x3\n", {{0, kBytes4}}},
        LoadCase{"nothing after the end of file record is read",
                 kData4 + kEof + ":0400000001020304F3\n", 0, {4, 3, 10},
                 "End of file record, hiaddr 0x3\n", {{0, kBytes4}}},
        LoadCase{"last byte of the image", ":02000004003DBD\n:04FFFC0001020304F7\n" + kEof, 0,
                 {0x3E0000, 0x3DFFFF, 10}, "End of file record, hiaddr 0x3dffff\n",
                 {{0x3DFFFC, kBytes4}}},
        LoadCase{"checksum error after good records", kData4 + ":0400000001020304F3\n" + kEof,
                 -7, {}, "", {{0, kBytes4}}},
        LoadCase{"illegal character", kData4 + ":0400000001020304f2\n" + kEof, -7, {},
                 "Illegal HexCH\n", {{0, kBytes4}}},
        LoadCase{"no end of file record, last line ended", kData4, -7, {}, "", {{0, kBytes4}}},
        LoadCase{"no end of file record, last line open", ":0400000001020304F2", -7, {},
                 "IHEX read EOF\n", {{0, kBytes4}}},
        LoadCase{"empty file", "", -7, {}, "", {}},
        LoadCase{"record crossing the end of the image",
                 ":02000004003DBD\n:04FFFE0001020304F5\n" + kEof, -7, {},
                 "HEX data outside the image at 0x3E0000\n", {}},
        LoadCase{"record past the end of the image", ":020000040040BA\n" + kData4 + kEof, -7, {},
                 "HEX data outside the image at 0x400000\n", {}},
        LoadCase{"largest bases and address",
                 ":02000004FFFFFC\n:02000002FFFFFE\n:01FFFF0007FA\n" + kEof, -7, {},
                 "HEX data outside the image at 0x1000FFFEF\n", {}},
        LoadCase{"segment record of one byte", kData4 + ":0100000210ED\n" + kEof, -7, {},
                 "Address record of type 2 has 1 data bytes instead of 2\n", {{0, kBytes4}}},
        LoadCase{"segment record without data", ":00000002FE\n" + kEof, -7, {},
                 "Address record of type 2 has 0 data bytes instead of 2\n", {}},
        LoadCase{"linear record of four bytes", ":0400000400010000F7\n" + kEof, -7, {},
                 "Address record of type 4 has 4 data bytes instead of 2\n", {}}),
    row_name);

INSTANTIATE_TEST_SUITE_P(
    Files, ApplicationLoadTest,
    ::testing::Values(
        LoadCase{"one segment", segment(0x7002) + kData4 + kEof, 0, {4, 3, 10},
                 "IHEX segment: 7002, BinDataIndexStart = 0\nEnd of file record\n",
                 {{0, kBytes4}}},
        LoadCase{"later segment relative to the first",
                 segment(0x7002) + kData4 + segment(0x7003) + hex_line(0, 0x10, {0xAA, 0xBB}) +
                     kEof,
                 0, {0x10012, 0x10011, 10 + 0x165},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "IHEX segment: 7003, BinDataIndexStart: 10000\nEnd of file record\n",
                 {{0, kBytes4}, {0x10010, {0xAA, 0xBB}}}},
        LoadCase{"first segment of 0x8000 or more is the base",
                 segment(0x8001) + kData4 + kEof, 0, {4, 3, 10},
                 "IHEX segment: 8001, BinDataIndexStart = 0\nEnd of file record\n",
                 {{0, kBytes4}}},
        LoadCase{"later segment of 0x8000 ends reading",
                 segment(0x7002) + hex_line(0, 0, {7}) + segment(0x8000) + hex_line(0, 0, {9}) +
                     ":0400000001020304F3\n",
                 0, {1, 0, 7},
                 "IHEX segment: 7002, BinDataIndexStart = 0\nSegment > 0x8000  --> END reading\n",
                 {{0, {7}}}},
        LoadCase{"later segment of 0x7FFF goes on",
                 segment(0x7FF0) + segment(0x7FFF) + hex_line(0, 0, {9}) + kEof, 0,
                 {0xF0001, 0xF0000, 9},
                 "IHEX segment: 7FF0, BinDataIndexStart = 0\n"
                 "IHEX segment: 7FFF, BinDataIndexStart: F0000\nEnd of file record\n",
                 {{0xF0000, {9}}}},
        LoadCase{"overlapping records count twice in the data sum",
                 segment(0x7002) + hex_line(0, 0, {0x10, 0x20, 0x30, 0x40}) +
                     hex_line(0, 2, {1, 2}) + kEof,
                 0, {4, 3, 163},
                 "IHEX segment: 7002, BinDataIndexStart = 0\nEnd of file record\n",
                 {{0, {0x10, 0x20, 1, 2}}}},
        LoadCase{"records without data place nothing, even outside the image",
                 segment(0x7002) + kData4 + hex_line(0, 0x1000, {}) + segment(0x7040) +
                     hex_line(0, 0xFF00, {}) + kEof,
                 0, {4, 3, 10},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "IHEX segment: 7040, BinDataIndexStart: 3E0000\nEnd of file record\n",
                 {{0, kBytes4}}},
        LoadCase{"start addresses and unknown types",
                 segment(0x7002) + ":0400000300003800C1\n:04000005000000CD2A\n:01123406AB08\n" +
                     kData4 + kEof,
                 0, {4, 3, 10},
                 "IHEX segment: 7002, BinDataIndexStart = 0\nType 5\nEnd of file record\n",
                 {{0, kBytes4}}},
        LoadCase{"last index that fits",
                 segment(0x7002) + segment(0x703F) + hex_line(0, 0xFFFC, {1, 2, 3}) + kEof, 0,
                 {0x3DFFFF, 0x3DFFFE, 6},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "IHEX segment: 703F, BinDataIndexStart: 3D0000\nEnd of file record\n",
                 {{0x3DFFFC, {1, 2, 3}}}},
        LoadCase{"end of file record only", kEof, 0, {0, 0, 0}, "End of file record\n", {}},
        LoadCase{"data before any segment", kData4 + kEof, -7, {},
                 "Missing segment address before data\n", {}},
        LoadCase{"segment below the first",
                 segment(0x7002) + segment(0x7001) + hex_line(0, 0xFFF0, {1}) + kEof, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "IHEX segment: 7001, BinDataIndexStart: FFFF0000\n"
                 "HEX data outside the image at 0x7001FFF0\n",
                 {}},
        LoadCase{"record reaching the image's last index",
                 segment(0x7002) + segment(0x703F) + hex_line(0, 0xFFFC, kBytes4) + kEof, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "IHEX segment: 703F, BinDataIndexStart: 3D0000\n"
                 "HEX data outside the image at 0x703FFFFF\n",
                 {}},
        LoadCase{"record past the image",
                 segment(0x7002) + segment(0x7040) + hex_line(0, 0, {0xAA}) + kEof, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "IHEX segment: 7040, BinDataIndexStart: 3E0000\n"
                 "HEX data outside the image at 0x70400000\n",
                 {}},
        LoadCase{"segment record of one byte", segment(0x7002) + hex_line(4, 0, {0x70}) + kEof,
                 -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "Address record of type 4 has 1 data bytes instead of 2\n",
                 {}},
        LoadCase{"extended segment address record after a segment",
                 segment(0x7002) + kData4 + ":020000021000EC\n" + kData4 + kEof, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "Extended segment address record in an application file\n",
                 {{0, kBytes4}}},
        LoadCase{"extended segment address record before the first segment",
                 ":020000020000FC\n" + segment(0x7002) + kData4 + kEof, -7, {},
                 "Extended segment address record in an application file\n", {}},
        LoadCase{"extended segment address record alone", ":020000021000EC\n" + kEof, -7, {},
                 "Extended segment address record in an application file\n", {}},
        LoadCase{"extended segment address record of one byte",
                 segment(0x7002) + ":0100000210ED\n" + kEof, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n"
                 "Extended segment address record in an application file\n",
                 {}},
        LoadCase{"checksum error", segment(0x7002) + ":0400000001020304F3\n" + kEof, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n", {}},
        LoadCase{"no end of file record", segment(0x7002) + kData4, -7, {},
                 "IHEX segment: 7002, BinDataIndexStart = 0\n", {{0, kBytes4}}},
        LoadCase{"nothing after the end of file record is read",
                 segment(0x7002) + kEof + ":0400000001020304F3\n", 0, {0, 0, 0},
                 "IHEX segment: 7002, BinDataIndexStart = 0\nEnd of file record\n", {}}),
    row_name);

// The loader never clears the image: bytes of an earlier load stay where the new file writes none.
TEST_F(IhexLoaderTest, ImageIsNotCleared) {
  ConsoleCapture console;
  FlashImage[0x200] = 0x77;
  write_file("input.hex", kData4 + kEof);
  ASSERT_EQ(ihex_open("input.hex"), 0);
  IhexLoad load{};
  EXPECT_EQ(ihex_load_image(IHEX_SENSOR, FlashImage, &load), 0);
  EXPECT_EQ(load.highest, 3);
  EXPECT_EQ(FlashImage[0x200], 0x77);
  EXPECT_EQ(FlashImage[3], 4);
}

namespace {
// What a load tells the image check besides the image: one row per file.
struct FactsCase {
  const char* name;
  std::string file;
  uint32_t bytes;
  uint64_t lowest;
  uint64_t highest;
  IhexClash clash{};
  int32_t end_segment_line = 0;
  int32_t dropped_line = 0;
  bool tail_failed = false;
  IhexAddressing addressing = IHEX_APPLICATION;
};
const FactsCase kFactsCases[] = {
    {"one record", segment(0x7002) + kData4 + kEof, 4, 0x70020000, 0x70020003},
    {"equal overlap counts once", segment(0x7002) + kData4 + hex_line(0, 2, {3, 4}) + kEof, 4,
     0x70020000, 0x70020003},
    {"clash names both lines",
     segment(0x7002) + kData4 + hex_line(0, 0x10, {1}) + hex_line(0, 2, {3, 9}) + kEof, 5,
     0x70020000, 0x70020010, {2, 4, 0x70020003}},
    {"clash within a run of records",
     segment(0x7002) + hex_line(0, 0, {1, 2}) + hex_line(0, 2, {3, 4}) + hex_line(0, 4, {5, 6}) +
         hex_line(0, 5, {0}) + kEof,
     6, 0x70020000, 0x70020005, {4, 5, 0x70020005}},
    {"later segment", segment(0x7002) + kData4 + segment(0x7003) + hex_line(0, 0x10, {0xAA}) + kEof,
     5, 0x70020000, 0x70030010},
    {"data after the last segment",
     segment(0x7002) + kData4 + segment(0x8000) + hex_line(0, 0, {}) + hex_line(0, 0, {9}) + kEof,
     4, 0x70020000, 0x70020003, {}, 3, 5},
    {"nothing after the last segment", segment(0x7002) + kData4 + segment(0x8000) + kEof, 4,
     0x70020000, 0x70020003, {}, 3},
    {"bad line after the last segment",
     segment(0x7002) + kData4 + segment(0x8000) + ":0400000001020304F3\n", 4, 0x70020000,
     0x70020003, {}, 3, 0, true},
    {"no data", segment(0x7002) + kEof, 0, 0, 0},
    {"sensor below and above 0x20000",
     ":020000021000EC\n" + kData4 + ":020000022000DC\n" + hex_line(0, 0x10, {7}) + kEof, 5,
     0x10000, 0x20010, {}, 0, 0, false, IHEX_SENSOR},
};
}  // namespace

TEST_F(IhexLoaderTest, FactsForTheImageCheck) {
  for (const FactsCase& c : kFactsCases) {
    SCOPED_TRACE(c.name);
    ConsoleCapture console;
    ihex_reset();
    std::memset(FlashImage, 0, FLASH_IMAGE_SIZE);
    write_file("input.hex", c.file);
    ASSERT_EQ(ihex_open("input.hex"), 0);
    IhexLoad load{0, 0, 0};
    ASSERT_EQ(ihex_load_image(c.addressing, FlashImage, &load), 0);
    EXPECT_EQ(load.bytes, c.bytes);
    EXPECT_EQ(load.lowest_address, c.lowest);
    EXPECT_EQ(load.highest_address, c.highest);
    EXPECT_EQ(load.clash.earlier_line, c.clash.earlier_line);
    EXPECT_EQ(load.clash.later_line, c.clash.later_line);
    EXPECT_EQ(load.clash.address, c.clash.address);
    EXPECT_EQ(load.end_segment_line, c.end_segment_line);
    EXPECT_EQ(load.dropped_line, c.dropped_line);
    EXPECT_EQ(load.tail_failed, c.tail_failed);
    if (c.addressing == IHEX_APPLICATION) {
      EXPECT_EQ(load.base_segment, 0x7002);
      EXPECT_EQ(load.base_segment_line, 1);
    }
  }
}
