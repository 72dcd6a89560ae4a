// Whole HEX files written by the usual tools, loaded under both address layouts and compared byte
// for byte with the binary objcopy extracts from the same file.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <ostream>
#include <string>
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

const char kSegment[] = ":02000002";
const char kLinear[] = ":02000004";
// Image index 0 of an application is this address: the unit's application starts there.
constexpr uint32_t kApplicationAddress = 0x70020000;

enum Tool { OBJCOPY, SREC_CAT };

struct ToolCase {
  const char* name;
  IhexAddressing addressing;
  uint32_t offset;  // image index of the first byte
  uint32_t size;
  Tool tool;
  int record_size;     // srec_cat's -obs (objcopy always writes 16)
  int address_length;  // srec_cat's -address-length: 4 linear records, 3 segment records
  std::vector<std::string> records;  // records the file must hold, e.g. ":02000004"
};

void PrintTo(const ToolCase& c, std::ostream* out) { *out << c.name; }

std::string hex_number(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// Makes out.hex from in.bin, its first byte at `address`.
std::string tool_command(const ToolCase& c, uint32_t address) {
  if (c.tool == OBJCOPY) {
    return "objcopy -I binary -O ihex --change-addresses " + hex_number(address) +
           " in.bin out.hex";
  }
  return "srec_cat in.bin -binary -offset " + hex_number(address) + " -o out.hex -intel -obs=" +
         std::to_string(c.record_size) + " -address-length=" + std::to_string(c.address_length);
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string row_name(const ::testing::TestParamInfo<ToolCase>& row_info) {
  std::string name = row_info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class IhexToolsTest : public ::testing::TestWithParam<ToolCase> {
 protected:
  void SetUp() override {
    ihex_reset();
    std::memset(FlashImage, 0, FLASH_IMAGE_SIZE);
  }
  void TearDown() override { ihex_reset(); }
  ScratchDir dir_;
};

void require_tool(const char* name, const char* package) {
  ASSERT_EQ(run_command(std::string("command -v ") + name + " >/dev/null", nullptr), 0)
      << name << " is needed for these tests (Debian package " << package << ")";
}
}  // namespace

TEST_P(IhexToolsTest, LoadsLikeObjcopy) {
  const ToolCase& c = GetParam();
  require_tool("objcopy", "binutils");
  if (c.tool == SREC_CAT) require_tool("srec_cat", "srecord");
  const bool application = c.addressing == IHEX_APPLICATION;
  const std::vector<uint8_t> input = random_bytes(c.size, c.size ^ c.offset);
  write_bytes("in.bin", input);
  const std::string command =
      tool_command(c, application ? kApplicationAddress + c.offset : c.offset);
  ASSERT_EQ(run_command(command + " 2>&1", nullptr), 0) << command;
  ASSERT_EQ(run_command("objcopy -I ihex -O binary out.hex ref.bin", nullptr), 0);
  const std::vector<uint8_t> reference = read_bytes("ref.bin");
  ASSERT_EQ(reference, input) << "objcopy reads the file differently";
  const std::string hex = read_file("out.hex");
  EXPECT_EQ(hex.find_first_of("abcdef"), std::string::npos) << "the tool wrote lower-case digits";
  for (const std::string& record : c.records) {
    EXPECT_NE(hex.find(record), std::string::npos) << "no " << record << " record";
  }
  if (c.tool == SREC_CAT) {
    char length[8];
    std::snprintf(length, sizeof length, "\n:%02X", c.record_size);
    EXPECT_NE(hex.find(length), std::string::npos) << "no record of " << c.record_size << " bytes";
  }

  ConsoleCapture console;
  ASSERT_EQ(log_open(), 0);
  log_set_level(1);
  console.clear();
  ASSERT_EQ(ihex_open("out.hex"), 0);
  IhexLoad load{};
  ASSERT_EQ(ihex_load_image(c.addressing, FlashImage, &load), 0) << console.text();
  log_close();
  const uint32_t last = c.offset + c.size - 1;
  EXPECT_EQ(load.end, static_cast<int32_t>(last + 1));
  EXPECT_EQ(load.highest, static_cast<int32_t>(last));
  EXPECT_EQ(load.data_sum, std::accumulate(input.begin(), input.end(), 0u));
  const std::string& out = console.text();
  if (application) {
    // One line per linear address record, the first one the base.
    EXPECT_EQ(out.rfind("IHEX segment: 7002, BinDataIndexStart = 0\n", 0), 0u) << out;
    EXPECT_EQ(count_of(out, "IHEX segment: "), count_of(hex, kLinear));
    EXPECT_TRUE(ends_with(out, "End of file record\n")) << out;
  } else {
    char end_line[64];
    std::snprintf(end_line, sizeof end_line, "End of file record, hiaddr 0x%x\n", last);
    EXPECT_EQ(out, end_line);
  }
  EXPECT_EQ(std::memcmp(FlashImage + c.offset, reference.data(), reference.size()), 0);
  size_t stray = 0;
  for (uint32_t i = 0; i < FLASH_IMAGE_SIZE; ++i) {
    if (i == c.offset) i += c.size;
    if (i < FLASH_IMAGE_SIZE) stray += FlashImage[i] != 0;
  }
  EXPECT_EQ(stray, 0u) << "bytes written outside the data";
  // Every raw line reached the log at level 1.
  EXPECT_NE(read_file("ZR4_BL_Log.txt").find(hex), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Sensor, IhexToolsTest,
    ::testing::Values(
        ToolCase{"objcopy small at 0", IHEX_SENSOR, 0, 0x1234, OBJCOPY, 16, 0, {}},
        ToolCase{"objcopy across 64 KiB boundaries", IHEX_SENSOR, 0x1FFF7, 0x30013, OBJCOPY, 16,
                 0, {kSegment}},
        // objcopy writes segment records below 1 MiB and linear records above.
        ToolCase{"objcopy across 1 MiB", IHEX_SENSOR, 0xF8001, 0x20101, OBJCOPY, 16, 0,
                 {kSegment, kLinear}},
        ToolCase{"objcopy the whole image", IHEX_SENSOR, 0, FLASH_IMAGE_SIZE, OBJCOPY, 16, 0,
                 {kSegment, kLinear}},
        ToolCase{"srec_cat 16-byte records, linear", IHEX_SENSOR, 0x2FFF3, 0x20011, SREC_CAT, 16,
                 4, {kLinear}},
        ToolCase{"srec_cat 32-byte records, linear", IHEX_SENSOR, 0x10, 0x30000, SREC_CAT, 32, 4,
                 {kLinear}},
        ToolCase{"srec_cat 64-byte records, linear", IHEX_SENSOR, 0x3C0001, 0x1FFFF, SREC_CAT, 64,
                 4, {kLinear}},
        ToolCase{"srec_cat 255-byte records, linear", IHEX_SENSOR, 0x123, 0x50000, SREC_CAT, 255,
                 4, {kLinear}},
        ToolCase{"srec_cat 16-byte records, segments", IHEX_SENSOR, 0x8001, 0x30000, SREC_CAT, 16,
                 3, {kSegment}},
        ToolCase{"srec_cat 64-byte records, segments", IHEX_SENSOR, 0xE0000, 0x1FFF0, SREC_CAT,
                 64, 3, {kSegment}},
        ToolCase{"srec_cat 255-byte records, segments", IHEX_SENSOR, 0x7, 0x40000, SREC_CAT, 255,
                 3, {kSegment}}),
    row_name);

// Files placed from 0x70020000 on, as the unit's application is linked: linear records only.
INSTANTIATE_TEST_SUITE_P(
    Application, IhexToolsTest,
    ::testing::Values(
        ToolCase{"objcopy small at the start", IHEX_APPLICATION, 0, 0x1234, OBJCOPY, 16, 0,
                 {kLinear}},
        ToolCase{"objcopy across 64 KiB boundaries", IHEX_APPLICATION, 0xFFF7, 0x30013, OBJCOPY,
                 16, 0, {kLinear}},
        ToolCase{"objcopy the largest application", IHEX_APPLICATION, 0, FLASH_IMAGE_SIZE - 1,
                 OBJCOPY, 16, 0, {kLinear}},
        ToolCase{"srec_cat 16-byte records", IHEX_APPLICATION, 0x10, 0x20011, SREC_CAT, 16, 4,
                 {kLinear}},
        ToolCase{"srec_cat 32-byte records", IHEX_APPLICATION, 0xFFF3, 0x30000, SREC_CAT, 32, 4,
                 {kLinear}},
        ToolCase{"srec_cat 64-byte records", IHEX_APPLICATION, 0x1, 0x3DFFFD, SREC_CAT, 64, 4,
                 {kLinear}},
        ToolCase{"srec_cat 255-byte records", IHEX_APPLICATION, 0x123, 0x50000, SREC_CAT, 255, 4,
                 {kLinear}}),
    row_name);
