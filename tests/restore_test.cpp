#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "ops/operations.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"
#include "support/unit_faults.h"

namespace {
constexpr uint32_t kCommand = 0xA04401;
constexpr uint32_t kAnswer = 0xA44401;
constexpr uint32_t kData = 0xA84401;
constexpr size_t kArea = 0xD000;

uint32_t argument_of(const Bytes8& data) {
  return static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
      static_cast<uint32_t>(data[6]) << 16 | static_cast<uint32_t>(data[7]) << 24;
}

bool guarded(uint32_t address) {
  return (address >= 0x1000 && address < 0x2000) || (address >= 0xB000 && address < 0xC000);
}

using Fault = UnitFault;

class RestoreTest : public UnitFaultTest {};

size_t count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}
}  // namespace

TEST_F(RestoreTest, WholeFileIntoTheUnit) {
  const auto file = random_bytes(kArea, 1);
  write_bytes("backup.bin", file);
  EXPECT_EQ(restore_parameters(job("backup.bin")), 0);
  EXPECT_EQ(unit_parameter_memory(), file);
  EXPECT_EQ(console(), std::string(kSeparator) +
                           "Starting application data restore from data file: 'backup.bin'\n"
                           "Binary file init ok\nUsing emulated CAN bus\nBlock count 208\n" +
                           parameter_progress_lines(0, 208) + "Restore completed\n\n");

  // Commands: test mode, then per page an erase before each sector's first page, start, finish.
  const auto commands = tool_frames(kCommand);
  ASSERT_EQ(commands.size(), 1u + 13u + 2u * 208u);
  EXPECT_EQ(hex8(commands[0].data), "80 00 00 00 00 00 00 00");
  const auto data = tool_frames(kData);
  ASSERT_EQ(data.size(), 37u * 208u);
  size_t next = 1;
  uint32_t carried = 0;  // image bytes in the data frames, fillers not counted
  for (uint32_t page = 0; page < 208; ++page) {
    const uint32_t address = page * 256;
    if (address % 0x1000 == 0) {
      EXPECT_EQ(commands[next++].data, bytes({0xA3, 0, 0, 0, 0, int(page)})) << page;
    }
    EXPECT_EQ(commands[next++].data, bytes({0xA1, 0, 0, 0, 0, int(page)})) << page;
    uint32_t sum = 0;
    for (uint32_t frame = 0; frame < 37; ++frame) {
      const Bytes8& d = data[37 * page + frame].data;
      ASSERT_EQ(d[0], frame);
      for (uint32_t k = 1; k <= 7; ++k) {
        const uint32_t offset = frame * 7 + k - 1;
        ASSERT_EQ(d[k], offset < 256 ? file[address + offset] : 0) << page << " " << frame;
        if (offset < 256) sum += d[k];
        if (offset < 256) ++carried;
      }
    }
    const Bytes8& finish = commands[next++].data;
    EXPECT_EQ(finish[0], 0xA2);
    EXPECT_EQ(argument_of(finish), sum) << page;
  }
  EXPECT_EQ(carried, 0xD000u);  // no byte beyond the image, none for the fillers

  // Every answer carries its page's range code: 0xA6 for 0x1000-0x1FFF and 0xB000-0xBFFF.
  uint32_t page_address = 0;
  int answers = 0;
  int guarded_answers = 0;
  uint8_t last_command = 0;
  for (const SeenFrame& frame : bus_frames()) {
    if (frame.from_tool && frame.id == kCommand) {
      last_command = frame.data[0];
      if (last_command != 0xA2) page_address = argument_of(frame.data);
    } else if (!frame.from_tool && frame.id == kAnswer && last_command != 0x80) {
      ++answers;
      EXPECT_EQ(frame.data, bytes({guarded(page_address) ? 0xA6 : 0xA0})) << page_address;
      if (frame.data[0] == 0xA6) ++guarded_answers;
    }
  }
  EXPECT_EQ(answers, 13 + 2 * 208);
  EXPECT_EQ(guarded_answers, 2 * (1 + 2 * 16));
  EXPECT_EQ(sim_unit_parameter_stats().sectors_erased, 13u);
  EXPECT_EQ(sim_unit_parameter_stats().pages_restored, 208u);
  EXPECT_EQ(sim_unit_parameter_stats().requests_refused, 0u);

  const std::string log = log_text();
  EXPECT_EQ(log.rfind("COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n00A04401 80 00 00 00 00 00 00 00\n"
                      "00A44401 A0 00 00 00 00 00 00 00\nCOMMAND_ID_ERASE_SECTOR\n"
                      "COMMAND_ID_START_PAGE_RESTORE\nWrite CAN frame   00A84401 00 ", 0), 0u)
      << log.substr(0, 300);
  EXPECT_EQ(count(log, "COMMAND_ID_ERASE_SECTOR\n"), 13u);
  EXPECT_EQ(count(log, "COMMAND_ID_START_PAGE_RESTORE\n"), 208u);
  EXPECT_EQ(count(log, "COMMAND_ID_FINISH_PAGE_RESTORE\n"), 208u);
  EXPECT_EQ(count(log, "Write CAN frame   00A84401 "), 208u * 37u);
}

TEST_F(RestoreTest, BackupChangeRestoreBackupAgain) {
  std::memcpy(sim_unit_parameters(), random_bytes(kArea, 2).data(), kArea);
  ASSERT_EQ(backup_parameters(job("first.bin")), 0);
  const auto first = read_bytes("first.bin");
  std::memcpy(sim_unit_parameters(), random_bytes(kArea, 3).data(), kArea);
  ASSERT_NE(unit_parameter_memory(), first);
  ASSERT_EQ(restore_parameters(job("first.bin")), 0);
  EXPECT_EQ(unit_parameter_memory(), first);
  ASSERT_EQ(backup_parameters(job("second.bin")), 0);
  EXPECT_EQ(read_bytes("second.bin"), first);
  EXPECT_EQ(count(console(), "Using emulated CAN bus\n"), 3u);
  EXPECT_EQ(sim_unit_parameter_stats().test_mode_requests, 3u);
  EXPECT_EQ(sim_unit_parameter_stats().pages_backed_up, 2u * 208u);
}

TEST_F(RestoreTest, PageOfFF) {
  auto file = random_bytes(kArea, 4);
  std::fill(file.begin() + 0x500, file.begin() + 0x600, 0xFF);
  write_bytes("ff.bin", file);
  EXPECT_EQ(restore_parameters(job("ff.bin")), 0);
  EXPECT_EQ(unit_parameter_memory(), file);
  const auto data = tool_frames(kData);
  EXPECT_EQ(hex8(data[37 * 5 + 36].data), "24 FF FF FF FF 00 00 00");
  const auto commands = tool_frames(kCommand);
  // Test mode, one erase, 5 pages of two commands, the erase-free start of page 5, its finish.
  EXPECT_EQ(hex8(commands[1 + 1 + 2 * 5 + 1].data), "A2 00 00 00 00 FF 00 00");
}

namespace {
struct RefusedFileRow {
  const char* name;
  int32_t result;
  std::string console_end;
};
using RefusedFileTest = RowTest<RestoreTest, RefusedFileRow>;
const RefusedFileRow kRefusedFileRows[] = {
    {"missing.bin", -3, "'missing.bin'\nBinary file init error 'missing.bin'\n"},
    {"short.bin", -4, "Binary file init ok\nBinary file reading error 'short.bin'\n"},
    {"empty.bin", -4, "Binary file init ok\nBinary file reading error 'empty.bin'\n"},
    // A longer file is refused as a shorter one is, each naming its size.
    {"long.bin", -4,
     "Binary file 'long.bin' holds 53249 bytes: a parameter backup holds exactly 53248 (0xD000)\n"
     "Binary file init ok\nBinary file reading error 'long.bin'\n"},
    {"huge.bin", -4,
     "Binary file 'huge.bin' holds 9600000 bytes: a parameter backup holds exactly 53248 (0xD000)\n"
     "Binary file init ok\nBinary file reading error 'huge.bin'\n"},
    {"short.bin", -4,
     "Binary file 'short.bin' holds 53247 bytes: a parameter backup holds exactly 53248 (0xD000)\n"
     "Binary file init ok\nBinary file reading error 'short.bin'\n"},
    // Not regular files: refused before they are opened (a pipe would block the open).
    {"folder", -4, "'folder'\nBinary file reading error 'folder'\n"},
    {"pipe", -4, "'pipe'\nBinary file reading error 'pipe'\n"},
};

struct FailureRow {
  const char* what;
  Fault fault;
  uint32_t refuse_from;
  int32_t result;
  uint32_t pages_restored;
  std::string console_end;
};
using FailureTest = RowTest<RestoreTest, FailureRow>;
const Bytes8 kA0ToA6 = bytes({0x06});
const FailureRow kFailureRows[] = {
    {"silent unit", {Fault::DROP, 0x80, 0}, 0, -3, 0,
     "Using emulated CAN bus\nNo answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n"
     "Production test mode initialization error -3\n"},
    {"test mode refused", {Fault::XOR, 0x80, 0, -1, bytes({0x01})}, 0, -5, 0,
     "ERROR --- Invalid answer\n00A44401  A1  00  00  00\n"
     "Production test mode initialization error -5\n"},
    {"test mode not sent", {}, 1, -3, 0,
     "Using emulated CAN bus\nProduction test mode initialization error -3\n"},
    {"erase not sent", {}, 2, -3, 0, "Block count 208\nRestore starting failed: -3\n"},
    {"erase of 0x1000 answered A0", {Fault::XOR, 0xA3, 0x1000, -1, kA0ToA6}, 0, -5, 16,
     "7.2%\nERROR --- Invalid answer data\n00A44401  A0 00 00 00 00 00 00 00\n"
     "Restore starting failed: -5\n"},
    {"erase of 0x2000 answered A6", {Fault::XOR, 0xA3, 0x2000, -1, kA0ToA6}, 0, -5, 32,
     "14.9%\nERROR --- Invalid answer data\n00A44401  A6 00 00 00 00 00 00 00\n"
     "Restore starting failed: -5\n"},
    {"erase not answered", {Fault::DROP, 0xA3, 0xC000}, 0, -1, 192,
     "91.8%\nNo answer COMMAND_ID_ERASE_SECTOR\nRestore starting failed: -1\n"},
    {"start of 0xB200 answered A0", {Fault::XOR, 0xA1, 0xB200, -1, kA0ToA6}, 0, -5, 178,
     "85.1%\nERROR --- Invalid answer data\n00A44401  A0 00 00 00 00 00 00 00\n"
     "Restore starting failed: -5\n"},
    {"start of 0xC000 answered A6", {Fault::XOR, 0xA1, 0xC000, -1, kA0ToA6}, 0, -5, 192,
     "91.8%\nERROR --- Invalid answer data\n00A44401  A6 00 00 00 00 00 00 00\n"
     "Restore starting failed: -5\n"},
    {"start not answered", {Fault::DROP, 0xA1, 0x0300}, 0, -1, 3,
     "1.0%\nNo answer COMMAND_ID_START_PAGE_RESTORE\nRestore starting failed: -1\n"},
    {"start not sent", {}, 3, -3, 0, "Block count 208\nRestore starting failed: -3\n"},
    {"data not sent", {}, 4, -3, 0, "Block count 208\n0.0%\nSend data failed: -3\n"},
    {"last data frame not sent", {}, 40, -3, 0, "Block count 208\n0.0%\nSend data failed: -3\n"},
    {"finish not sent", {}, 41, -3, 0, "Block count 208\n0.0%\nWriting flash failed: -3\n"},
    {"finish refused", {Fault::XOR, 0xA2, 0x4400, -1, bytes({0, 0, 0, 0, 2})}, 0, -5, 69,
     "32.7%\nERROR --- Invalid answer data\n00A44401  A0 00 00 00 02 00 00 00\n"
     "Writing flash failed: -5\n"},
    {"finish of 0x1F00 answered A0", {Fault::XOR, 0xA2, 0x1F00, -1, kA0ToA6}, 0, -5, 32,
     "14.9%\nERROR --- Invalid answer data\n00A44401  A0 00 00 00 00 00 00 00\n"
     "Writing flash failed: -5\n"},
    {"finish not answered", {Fault::DROP, 0xA2, 0xCF00}, 0, -1, 208,
     "99.5%\nNo answer COMMAND_ID_FINISH_PAGE_RESTORE\nWriting flash failed: -1\n"},
  };
}  // namespace

TEST_P(RefusedFileTest, SendsNothing) {
  const RefusedFileRow& row = GetParam();
  std::filesystem::create_directory("folder");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  write_bytes("short.bin", random_bytes(kArea - 1, 5));
  write_bytes("empty.bin", {});
  const auto long_file = random_bytes(kArea + 1, 10);
  write_bytes("long.bin", long_file);
  write_file("huge.bin", std::string(9600000, ':'));
  const auto memory = unit_parameter_memory();
  EXPECT_EQ(restore_parameters(job(row.name)), row.result) << row.name;
  expect_console_end(row.console_end, row.name);
  EXPECT_EQ(console().find("Using emulated CAN bus"), std::string::npos) << row.name;
  EXPECT_TRUE(tool_frames().empty()) << row.name;
  EXPECT_EQ(unit_parameter_memory(), memory) << row.name;
  EXPECT_EQ(log_text(), "") << row.name;
  // The inputs are as they were.
  EXPECT_EQ(read_bytes("long.bin"), long_file);
  EXPECT_EQ(std::filesystem::file_size("huge.bin"), 9600000u);
}
INSTANTIATE_TEST_SUITE_P(Rows, RefusedFileTest, ::testing::ValuesIn(kRefusedFileRows));

TEST_P(FailureTest, EndsTheRestore) {
  const FailureRow& row = GetParam();
  write_bytes("backup.bin", random_bytes(kArea, 6));
  set_fault(row.fault);
  if (row.refuse_from) sim_bus_refuse_tool_sends(row.refuse_from);
  EXPECT_EQ(restore_parameters(job("backup.bin")), row.result) << row.what;
  expect_console_end(row.console_end, row.what);
  // The unit took the pages up to the failure (a lost or spoiled finish answer comes after the
  // page was written), and the tool sent nothing after the failed command.
  EXPECT_EQ(sim_unit_parameter_stats().pages_restored, row.pages_restored) << row.what;
  const auto commands = tool_frames(kCommand);
  if (!commands.empty() && row.refuse_from == 0) {
    EXPECT_EQ(commands.back().data[0], row.fault.command) << row.what;
  }
  EXPECT_EQ(log_text().find("Restore completed"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Rows, FailureTest, ::testing::ValuesIn(kFailureRows));

TEST(RestoreExecutableTest, ShortFileExitsWith252) {
  ScratchDir dir;
  write_bytes("short.bin", random_bytes(kArea - 1, 7));
  std::string out;
  EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) + " -i sim -w short.bin 4", &out), 252);
  EXPECT_NE(out.find("Binary file init ok\nBinary file reading error 'short.bin'\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Using emulated CAN bus"), std::string::npos);
}
