// Whole HEX files written by the usual tools, loaded and compared byte for byte with the binary
// objcopy extracts from the same file.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ihex/image.h"
#include "ihex/reader.h"
#include "log/log.h"
#include "support/hex_files.h"
#include "support/test_support.h"

namespace {
const char kSegment[] = ":02000002";
const char kLinear[] = ":02000004";

struct ToolCase {
  const char* name;
  uint32_t offset;  // image index of the first byte
  uint32_t size;
  std::string command;  // makes out.hex from in.bin
  std::vector<std::string> records;  // records the file must hold, e.g. ":02000004"
};

std::string hex_number(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

void require_tool(const char* name, const char* package) {
  ASSERT_EQ(run_command(std::string("command -v ") + name + " >/dev/null", nullptr), 0)
      << name << " is needed for these tests (Debian package " << package << ")";
}

void load_and_compare(const ToolCase& c) {
  SCOPED_TRACE(c.name);
  ihex_reset();
  std::memset(FlashImage, 0, FLASH_IMAGE_SIZE);
  const std::vector<uint8_t> input = random_bytes(c.size, c.size ^ c.offset);
  write_bytes("in.bin", input);
  ASSERT_EQ(run_command(c.command + " 2>&1", nullptr), 0) << c.command;
  ASSERT_EQ(run_command("objcopy -I ihex -O binary out.hex ref.bin", nullptr), 0);
  const std::vector<uint8_t> reference = read_bytes("ref.bin");
  ASSERT_EQ(reference, input) << "objcopy reads the file differently";
  const std::string hex = read_file("out.hex");
  EXPECT_EQ(hex.find_first_of("abcdef"), std::string::npos) << "the tool wrote lower-case digits";
  for (const std::string& record : c.records) {
    EXPECT_NE(hex.find(record), std::string::npos) << "no " << record << " record";
  }

  ConsoleCapture console;
  ASSERT_EQ(log_open(), 0);
  log_set_level(1);
  console.clear();
  ASSERT_EQ(ihex_open("out.hex"), 1);
  const int32_t highest = ihex_load_image();
  log_close();
  const uint32_t last = c.offset + c.size - 1;
  ASSERT_EQ(highest, static_cast<int32_t>(last));
  char end_line[64];
  std::snprintf(end_line, sizeof end_line, "End of file record, hiaddr 0x%x\n", last);
  EXPECT_EQ(console.text(), end_line);
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

class IhexToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { ihex_reset(); }
  void TearDown() override { ihex_reset(); }
  ScratchDir dir_;
};
}  // namespace

TEST_F(IhexToolsTest, ObjcopyFiles) {
  require_tool("objcopy", "binutils");
  const std::string objcopy = "objcopy -I binary -O ihex";
  const ToolCase cases[] = {
      {"small at 0", 0, 0x1234, objcopy + " in.bin out.hex", {}},
      {"across 64 KiB boundaries", 0x1FFF7, 0x30013,
       objcopy + " --change-addresses 0x1FFF7 in.bin out.hex", {kSegment}},
      // objcopy writes segment records below 1 MiB and linear records above.
      {"across 1 MiB", 0xF8001, 0x20101, objcopy + " --change-addresses 0xF8001 in.bin out.hex",
       {kSegment, kLinear}},
      {"the whole image", 0, FLASH_IMAGE_SIZE, objcopy + " in.bin out.hex", {kSegment, kLinear}},
  };
  for (const ToolCase& c : cases) load_and_compare(c);
}

TEST_F(IhexToolsTest, SrecCatFiles) {
  require_tool("srec_cat", "srecord");
  require_tool("objcopy", "binutils");
  auto srec_cat = [](uint32_t offset, int block, int address_length) {
    return "srec_cat in.bin -binary -offset " + hex_number(offset) + " -o out.hex -intel -obs=" +
           std::to_string(block) + " -address-length=" + std::to_string(address_length);
  };
  const ToolCase cases[] = {
      {"16-byte records, linear", 0x2FFF3, 0x20011, srec_cat(0x2FFF3, 16, 4), {kLinear, "\n:10"}},
      {"32-byte records, linear", 0x10, 0x30000, srec_cat(0x10, 32, 4), {kLinear, "\n:20"}},
      {"64-byte records, linear", 0x3C0001, 0x1FFFF, srec_cat(0x3C0001, 64, 4), {kLinear, "\n:40"}},
      {"255-byte records, linear", 0x123, 0x50000, srec_cat(0x123, 255, 4), {kLinear, "\n:FF"}},
      {"16-byte records, segments", 0x8001, 0x30000, srec_cat(0x8001, 16, 3), {kSegment, "\n:10"}},
      {"64-byte records, segments", 0xE0000, 0x1FFF0, srec_cat(0xE0000, 64, 3),
       {kSegment, "\n:40"}},
      {"255-byte records, segments", 0x7, 0x40000, srec_cat(0x7, 255, 3), {kSegment, "\n:FF"}},
  };
  for (const ToolCase& c : cases) load_and_compare(c);
}
