#include <cstring>
#include <filesystem>
#include <numeric>

#include <gtest/gtest.h>

#include "can/channel.h"
#include "can/interfaces.h"
#include "ihex/image.h"
#include "ihex/reader.h"
#include "ops/operations.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"

namespace {
constexpr uint32_t kCommand = 0xA04401;
constexpr uint32_t kAnswer = 0xA44401;
constexpr uint32_t kData = 0xA84401;

std::string segment(uint16_t value) {
  return hex_line(4, 0, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}
const std::string kEnd = ":00000001FF\n";

class FlashTest : public BusTest {
 protected:
  FlashTest() : BusTest(4) {}
  void SetUp() override {
    BusTest::SetUp();
    ihex_reset();
    ASSERT_EQ(sim_bus_attach(sim_unit_device()), 0);
  }
  int32_t flash(const std::string& path) { return flash_application(job(path)); }

  // Checks the page traffic: per page DL_DOWNLOAD, 37 data frames, DL_FLASH_COMMAND with the
  // page's checksum, all built from `image`; and that the unit's flash now holds `image`.
  void expect_pages(const std::vector<uint8_t>& image, size_t pages) {
    const auto commands = tool_frames(kCommand);
    const auto data = tool_frames(kData);
    ASSERT_EQ(data.size(), 37u * pages);
    // DL_START_LOADING, DL_ERASE_APP, per page two, DL_END_OF_DOWNLOAD.
    ASSERT_EQ(commands.size(), 2u + 2u * pages + 1u);
    for (size_t page = 0; page < pages; ++page) {
      const uint32_t address = 0x70020000 + 256 * static_cast<uint32_t>(page);
      EXPECT_EQ(commands[2 + 2 * page].data, bytes({0x10, 0, 0, 0, int(address & 0xFF),
                                                    int(address >> 8 & 0xFF),
                                                    int(address >> 16 & 0xFF), int(address >> 24)}));
      const auto page_bytes = page_slice(image, 256u * page, 256);
      expect_page_frames(data, 37u * page, page_bytes, kUnitPageShape, "page " + std::to_string(page));
      const Bytes8& flash = commands[3 + 2 * page].data;
      EXPECT_EQ(flash[0], 0x11);
      EXPECT_EQ(tail_of(flash), sum_of(page_bytes));
    }
    EXPECT_EQ(commands.back().data, bytes({0x0E}));
    EXPECT_EQ(sim_unit_stats().pages_written, static_cast<uint32_t>(pages));
    EXPECT_EQ(sim_unit_stats().pages_refused, 0u);
    EXPECT_EQ(sim_unit_stats().end_of_download, 1u);
    std::vector<uint8_t> expected(image);
    expected.resize(256u * pages, 0);
    EXPECT_EQ(std::memcmp(sim_unit_flash(), expected.data(), expected.size()), 0);
  }
};

bool drop_unit_frames(const SimDevice*, uint64_t*, uint32_t*, uint8_t*) { return false; }
bool refuse_erase(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  if (data[0] == 0x0D) data[0] = 0x0E;
  return true;
}
bool refuse_pages(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  if (data[0] == 0x12) data[5] = 0x01;
  return true;
}
bool silence_pages(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) { return data[0] != 0x12; }
}  // namespace

TEST_F(FlashTest, SmallObjcopyFileEndToEnd) {
  const auto content = random_bytes(700, 1);
  const std::string path = objcopy_hex(content, 0x70020000, "app.hex");
  EXPECT_EQ(flash(path), 0);
  expect_pages(content, 3);
  const uint32_t sum = std::accumulate(content.begin(), content.end(), 0u);
  const std::string& out = console();
  EXPECT_EQ(out.rfind("-------------------------------------------------------------\n"
                      "Starting application software flashing from HEX file: 'app.hex'\n"
                      "IHex init ok\nIHEX segment: 7002, BinDataIndexStart = 0\nType 5\n"
                      "End of file record\nUsing emulated CAN bus\nErase flash\n"
                      "Check sum: " + std::to_string(sum) + "\nChecksum " + std::to_string(sum) +
                      "  (700)\nBlock count 3\n0000: ", 0), 0u) << out;
  EXPECT_NE(out.find("\n0200: "), std::string::npos);  // the last page's dump starts at 0x200
  const std::string tail = "0.0%\n33.3%\n66.7%\nEnd of download\nFlashing completed\n\n"
                           "Reboot Ralvex device to start up with new software\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  // The last data frame of every page: sequence 36, the page's last four bytes, three zeros.
  const auto data = tool_frames(kData);
  EXPECT_EQ(data[36].data, bytes({0x24, content[252], content[253], content[254], content[255]}));
}

TEST_F(FlashTest, PauseBeforeEndOfDownloadAndLogClosed) {
  const std::string path = objcopy_hex(random_bytes(16, 2), 0x70020000, "app.hex");
  ASSERT_EQ(flash(path), 0);
  tool_frames();  // lets the bus carry what is still queued
  const auto frames = bus_frames();
  ASSERT_GE(frames.size(), 2u);
  const SeenFrame& end = frames.back();
  const SeenFrame& last_answer = frames[frames.size() - 2];
  EXPECT_EQ(end.data[0], 0x0E);
  EXPECT_EQ(last_answer.id, kAnswer);
  EXPECT_GE(end.done_us - last_answer.done_us, 500000u);
  EXPECT_LT(end.done_us - last_answer.done_us, 510000u);
  const std::string log = log_text();
  // Nothing after the end of the download: the log was closed before the completion lines.
  EXPECT_EQ(log.substr(log.size() - 19), "DL_END_OF_DOWNLOAD\n");
  EXPECT_NE(log.find("Write CAN frame   00A84401 00 "), std::string::npos);
}

TEST_F(FlashTest, SixtyFourKilobytes) {
  const auto content = random_bytes(65536, 3);
  const std::string path = objcopy_hex(content, 0x70020000, "app.hex");
  EXPECT_EQ(flash(path), 0);
  // An image end that is a multiple of 256 gets one more page, of zeros.
  expect_pages(content, 257);
  EXPECT_NE(console().find("Block count 257\n"), std::string::npos);
  EXPECT_NE(console().find("\n10000: 00 00 "), std::string::npos);
  EXPECT_NE(console().find("99.6%\nEnd of download\n"), std::string::npos);
}

TEST_F(FlashTest, ImageEndOf256SendsASecondPageOfZeros) {
  const auto content = random_bytes(256, 4);
  const std::string path = objcopy_hex(content, 0x70020000, "app.hex");
  EXPECT_EQ(flash(path), 0);
  expect_pages(content, 2);
  const auto commands = tool_frames(kCommand);
  EXPECT_EQ(commands[5].data, bytes({0x11}));  // second page checksum 0
}

TEST_F(FlashTest, SecondSegmentMovesTheIndex) {
  write_file("app.hex", segment(0x7002) + hex_line(0, 0, {1, 2, 3, 4}) + segment(0x7003) +
                            hex_line(0, 0x0010, {0xAA, 0xBB}) + kEnd);
  EXPECT_EQ(flash("app.hex"), 0);
  EXPECT_NE(console().find("IHEX segment: 7002, BinDataIndexStart = 0\n"
                           "IHEX segment: 7003, BinDataIndexStart: 10000\nEnd of file record\n"),
            std::string::npos);
  EXPECT_NE(console().find("Checksum 367  (65554)\nBlock count 257\n"), std::string::npos);
  std::vector<uint8_t> image(0x10012, 0);
  image[0] = 1, image[1] = 2, image[2] = 3, image[3] = 4, image[0x10010] = 0xAA,
  image[0x10011] = 0xBB;
  expect_pages(image, 257);
}

// Records that overlap with equal bytes are taken; with different bytes the file is refused (a
// row of RefusedFileTest).
TEST_F(FlashTest, OverlappingRecordsCountTwiceInTheDataSum) {
  write_file("app.hex", segment(0x7002) + hex_line(0, 0, {0x10, 0x20, 0x30, 0x40}) +
                            hex_line(0, 2, {0x30, 0x40}) + kEnd);
  EXPECT_EQ(flash("app.hex"), 0);
  EXPECT_NE(console().find("Check sum: 272\nChecksum 160  (4)\nBlock count 1\n"),
            std::string::npos);
  expect_pages({0x10, 0x20, 0x30, 0x40}, 1);
}

TEST_F(FlashTest, RecordsWithoutDataPlaceNothing) {
  // Even where a byte could not be held: a record of length 0 has none.
  write_file("app.hex", segment(0x7002) + hex_line(0, 0, {1, 2, 3, 4}) + hex_line(0, 0x1000, {}) +
                            segment(0x7040) + hex_line(0, 0xFF00, {}) + kEnd);
  EXPECT_EQ(flash("app.hex"), 0);
  EXPECT_NE(console().find("Check sum: 10\nChecksum 10  (4)\nBlock count 1\n"), std::string::npos)
      << console();
  expect_pages({1, 2, 3, 4}, 1);
}

TEST_F(FlashTest, SegmentFrom8000OnEndsReadingAndFlashesWhatWasLoaded) {
  write_file("app.hex", segment(0x7002) + hex_line(0, 0, {7}) + segment(0x8000) + kEnd);
  EXPECT_EQ(flash("app.hex"), 0);
  EXPECT_NE(console().find("Segment > 0x8000  --> END reading\nUsing emulated"), std::string::npos);
  expect_pages({7}, 1);
}

namespace {
struct RefusedFileRow {
  std::string name;
  std::string content;  // not written when empty
  int32_t result;
  std::string console_end;
};
using RefusedFileTest = RowTest<FlashTest, RefusedFileRow>;
const std::string kGood = segment(0x7002) + hex_line(0, 0, {1, 2, 3, 4});
const RefusedFileRow kRefusedFileRows[] = {
    {"missing.hex", "", -3, "IHex init error 'missing.hex'\n"},
    {"folder.hex", "", -3, "IHex init error 'folder.hex'\n"},
    // A device never ends: only regular files are read.
    {"/dev/zero", "", -3, "IHex init error '/dev/zero'\n"},
    {"sum.hex", kGood + ":00000001FE\n", -7, "IHex parse error\n"},
    {"noend.hex", kGood, -7, "IHex parse error\n"},
    {"noseg.hex", hex_line(0, 0, {1}) + kEnd, -7,
     "Missing segment address before data\nIHex parse error\n"},
    {"type2.hex", hex_line(2, 0, {0x10, 0}) + hex_line(0, 0, {1}) + kEnd, -7,
     "Extended segment address record in an application file\nIHex parse error\n"},
    // Ignoring the type 2 record would flash the byte after it at 0x70020000.
    {"mixed.hex", kGood + hex_line(2, 0, {0x10, 0}) + hex_line(0, 0, {1}) + kEnd, -7,
     "Extended segment address record in an application file\nIHex parse error\n"},
    {"below.hex", segment(0x7002) + segment(0x7001) + hex_line(0, 0xFFF0, {1}) + kEnd, -7,
     "HEX data outside the image at 0x7001FFF0\nIHex parse error\n"},
    // Index 0x3DFFFE is the last that fits: a byte at 0x3DFFFF would need a page past the image.
    {"above.hex", segment(0x7002) + segment(0x703F) + hex_line(0, 0xFFFC, {1, 2, 3, 4}) + kEnd, -7,
     "HEX data outside the image at 0x703FFFFF\nIHex parse error\n"},
    {"beyond.hex", segment(0x7002) + segment(0x7040) + hex_line(0, 0, {0xAA}) + kEnd, -7,
     "HEX data outside the image at 0x70400000\nIHex parse error\n"},
    {"short4.hex", segment(0x7002) + hex_line(4, 0, {0x70}) + kEnd, -7,
     "Address record of type 4 has 1 data bytes instead of 2\nIHex parse error\n"},
    // The reason and the line the log has are on the console too.
    {"sum3.hex", kGood + ":00000001FE\n", -7, "HEX file line 3: check sum error\nIHex parse error\n"},
    {"noend3.hex", kGood, -7,
     "HEX file ends after line 2 without an end of file record\nIHex parse error\n"},
    {"empty.hex", "", -7, "HEX file is empty\nIHex parse error\n"},
    {"binary.hex", std::string("\x7f" "ELF\x02\x01\0\0\n", 9), -7,
     "HEX file line 1: no Intel HEX record (it does not begin with ':')\nIHex parse error\n"},
    {"absent.hex", "", -3,
     "Cannot open HEX file 'absent.hex': No such file or directory\nIHex init error 'absent.hex'\n"},
    {"nodata.hex", segment(0x7002) + kEnd, -7,
     "HEX file holds no data byte: nothing to flash\nIHex parse error\n"},
    {"clash.hex", kGood + hex_line(0, 3, {4, 5}) + hex_line(0, 1, {2, 7}) + kEnd, -7,
     "HEX file lines 2 and 4 give the byte at 0x70020002 different values\nIHex parse error\n"},
    // Another controller's file, and a sensor node's image.
    {"other.hex", segment(0) + hex_line(0, 0x800, {1, 2}) + hex_line(0, 0x1FFE, {3, 4}) + kEnd,
     -7,
     "HEX file holds data at 0x00000800 to 0x00001FFF, outside the unit's application flash "
     "(0x70020000 to 0x703FFFFF)\nIHex parse error\n"},
    {"node.hex", segment(2) + hex_line(0, 0, {1, 2}) + kEnd, -7,
     "HEX file holds data at 0x00020000 to 0x00020001, outside the unit's application flash "
     "(0x70020000 to 0x703FFFFF)\nIHex parse error\n"},
    {"flash7003.hex", segment(0x7003) + hex_line(0, 0, {1}) + kEnd, -7,
     "HEX file line 1 gives the first segment 7003: the unit writes the first segment at "
     "0x70020000, so the data would not land at the addresses the file gives (an application's "
     "first segment is 7002)\nIHex parse error\n"},
    {"dropped.hex", kGood + segment(0x8001) + hex_line(0, 0, {1}) + kEnd, -7,
     "HEX file line 4 holds data after the segment of 0x8000 or more at line 3, which no "
     "application holds: it would not be flashed\nIHex parse error\n"},
    // Data in the segment of 0x8000 itself is no part of the application either: refused, not cut.
    {"data8000.hex", segment(0x7002) + hex_line(0, 0, {7}) + segment(0x8000) + hex_line(0, 0, {9}) +
     kEnd, -7, "Segment > 0x8000  --> END reading\nHEX file line 4 holds data after the segment "
     "of 0x8000 or more at line 3, which no application holds: it would not be flashed\n"
     "IHex parse error\n"},
};

struct FailureRow {
  const char* what;
  SimTransmitHook hook;
  uint32_t refuse_from;  // the tool's nth send is refused
  int32_t result;
  const char* console_end;
};
using ProtocolFailureTest = RowTest<FlashTest, FailureRow>;
const FailureRow kFailureRows[] = {
    {"silent unit", drop_unit_frames, 0, -4, "No answer DL_START_LOADING\n"},
    {"start send refused", nullptr, 1, -4, "Using emulated CAN bus\n"},
    {"erase refused", refuse_erase, 0, -5,
     "Erase flash\nERROR --- Invalid answer\n00A44401  0E  00  00  00\nErase flash error\n"},
    {"erase send refused", nullptr, 2, -5, "Erase flash\nErase flash error\n"},
    {"download send refused", nullptr, 3, -3,
     "-------------------------------------------------------------\n"
     "Download starting failed: -3\n"},
    {"data send refused", nullptr, 4, -3, "0.0%\nSend data failed: -3\n"},
    {"flash send refused", nullptr, 41, -3, "0.0%\nWriting flash failed: -3\n"},
    {"page refused", refuse_pages, 0, -5,
     "0.0%\nERROR --- Invalid answer data\n00A44401  12 00 00 00 00 01 00 00\n"
     "Writing flash failed: -5\n"},
    {"page not answered", silence_pages, 0, -1,
     "0.0%\nNo answer DL_WRITE_TO_FLASH_COMMAND\nWriting flash failed: -1\n"},
};
}  // namespace

TEST_P(RefusedFileTest, SendsNothing) {
  const RefusedFileRow& row = GetParam();
  std::filesystem::create_directory("folder.hex");
  write_file("empty.hex", "");
  if (!row.content.empty()) write_file(row.name, row.content);
  EXPECT_EQ(flash(row.name), row.result) << row.name;
  EXPECT_TRUE(tool_frames().empty()) << row.name;
  const std::string& out = console();
  ASSERT_GE(out.size(), row.console_end.size()) << row.name;
  EXPECT_EQ(out.substr(out.size() - row.console_end.size()), row.console_end) << row.name;
  EXPECT_EQ(sim_unit_stats().erases, 0u);
  if (!row.content.empty()) {
    EXPECT_EQ(read_file(row.name), row.content) << row.name;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, RefusedFileTest, ::testing::ValuesIn(kRefusedFileRows));

TEST_F(FlashTest, LastIndexThatFitsIsTaken) {
  write_file("edge.hex", segment(0x7002) + segment(0x703F) + hex_line(0, 0xFFFB, {1, 2, 3}) + kEnd);
  EXPECT_EQ(flash("edge.hex"), 0);
  EXPECT_NE(console().find("Block count 15872\n"), std::string::npos);
}

TEST_P(ProtocolFailureTest, EndsTheOperation) {
  const FailureRow& row = GetParam();
  write_file("app.hex", kGood + kEnd);
  sim_bus_set_transmit_hook(row.hook);
  if (row.refuse_from) sim_bus_refuse_tool_sends(row.refuse_from);
  EXPECT_EQ(flash("app.hex"), row.result) << row.what;
  const std::string& out = console();
  const std::string end = row.console_end;
  ASSERT_GE(out.size(), end.size()) << row.what;
  EXPECT_EQ(out.substr(out.size() - end.size()), end) << row.what << "\n" << out;
  // Never an end of download after a failure.
  for (const auto& frame : tool_frames(kCommand)) EXPECT_NE(frame.data[0], 0x0E) << row.what;
  EXPECT_EQ(sim_unit_stats().end_of_download, 0u);
}
INSTANTIATE_TEST_SUITE_P(Rows, ProtocolFailureTest, ::testing::ValuesIn(kFailureRows));

TEST(FlashExecutableTest, DemoFileOnTheEmulatedBus) {
  ScratchDir dir;
  std::string out;
  const int status = run_command(std::string(RALVEX_TOOL_PATH) + " -i sim -f " +
                                     shell_quote(std::string(RALVEX_SOURCE_DIR) +
                                                 "/examples/demo-app.hex") + " 4",
                                 &out);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Using emulated CAN bus\nErase flash\n"), std::string::npos) << out;
  EXPECT_NE(out.find("66.7%\nEnd of download\nFlashing completed\n\n"), std::string::npos);
  const std::string log = read_file("ZR4_BL_Log.txt");
  EXPECT_NE(log.find("DL_START_LOADING\n00A04401 0A 00 00 00 00 00 00 00\n00A44401 0B "),
            std::string::npos);
  EXPECT_NE(log.find("Write CAN frame   00A84401 24 "), std::string::npos);
}

TEST(FlashExecutableTest, BadFileExitsWith249) {
  ScratchDir dir;
  write_file("bad.hex", ":020000047002\n");
  std::string out;
  EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) + " -i sim -f bad.hex", &out), 249);
  EXPECT_NE(out.find("Illegal HexCH\nHEX file line 1: a character that is no hex digit (0-9, "
                     "A-F), or the record is cut short\nIHex parse error\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Using emulated CAN bus"), std::string::npos);
}
