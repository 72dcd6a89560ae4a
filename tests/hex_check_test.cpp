// --check, and what a run leaves of the log and the console: a check and --help open nothing, the
// earlier log is kept as .1, a console that went away is given up while the job goes on.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "log/sha256.h"
#include "platform/platform.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace {
namespace fs = std::filesystem;

std::string segment(uint16_t value) {
  return hex_line(4, 0, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}
const std::string kEnd = ":00000001FF\n";
using CheckTest = ProgramRunTest;

struct CheckRow {
  const char* what;
  std::vector<std::string> args;  // after --check
  std::string content;            // of in.hex (not written when empty)
  int32_t status;
  std::string console_end;        // the end of the console
};
using CheckRowTest = RowTest<CheckTest, CheckRow>;
const CheckRow kCheckRows[] = {
    {"application", {"in.hex"}, segment(0x7002) + hex_line(0, 0x100, {1, 2, 3}) + kEnd, 0,
     "Addresses: 0x70020100 to 0x70020102\nData bytes: 3\nPages: 2 of 256 bytes, the first at "
     "0x70020000\nCheck sum: 6\nChecksum 6  (259)\n"},
    {"sensor image with -g", {"in.hex", "-g", "5"},
     hex_line(2, 0, {0x20, 0}) + hex_line(0, 0, {1, 2, 3}) + kEnd, 0,
     "Addresses: 0x00020000 to 0x00020002\nData bytes: 3\nPages: 1 of 900 bytes, the first at "
     "0x00020000\nCheck sum: 6\nChecksum 3  (131074)\n"},
    {"an application image as a sensor's", {"in.hex", "-g", "5"},
     segment(0x7002) + hex_line(0, 0, {1}) + kEnd, -7,
     "HEX data outside the image at 0x70020000\nIHex parse error\n"},
    {"a sensor image as an application", {"in.hex"}, segment(2) + hex_line(0, 0, {1}) + kEnd, -7,
     "HEX file holds data at 0x00020000 to 0x00020000, outside the unit's application flash "
     "(0x70020000 to 0x703FFFFF)\nIHex parse error\n"},
    {"missing", {"none.hex"}, "", -3,
     "Cannot open HEX file 'none.hex': No such file or directory\nIHex init error 'none.hex'\n"},
    {"checksum error", {"in.hex"}, segment(0x7002) + ":0100000001FF\n" + kEnd, -7,
     "HEX file line 2: check sum error\nIHex parse error\n"},
};
}  // namespace

TEST_P(CheckRowTest, OpensNothingElse) {
  const CheckRow& row = GetParam();
  std::vector<std::string> inputs;
  if (!row.content.empty()) {
    write_file("in.hex", row.content);
    inputs.push_back("in.hex");
  }
  std::vector<std::string> args = {"-i", "sim", "--check"};
  args.insert(args.end(), row.args.begin(), row.args.end());
  EXPECT_EQ(run(args), row.status) << row.what;
  std::string end = row.console_end;
  if (row.status == 0) {
    char digest[65] = "";
    uint64_t size = 0;
    ASSERT_EQ(sha256_file("in.hex", digest, &size), 0);
    end += "SHA-256: " + std::string(digest) + " (" + std::to_string(fs::file_size("in.hex")) +
           " bytes)\nHEX file check passed\n";
  }
  const std::string& out = console_.text();
  ASSERT_GE(out.size(), end.size()) << out;
  EXPECT_EQ(out.substr(out.size() - end.size()), end) << row.what;
  EXPECT_EQ(out.find("Log system init"), std::string::npos);
  EXPECT_EQ(out.find("Using emulated CAN bus"), std::string::npos);
  EXPECT_EQ(sim_unit_stats().erases, 0u);
  EXPECT_EQ(directory_names(), inputs);  // nothing but the input is left in the folder
  if (!row.content.empty()) {
    EXPECT_EQ(read_file("in.hex"), row.content);
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, CheckRowTest, ::testing::ValuesIn(kCheckRows));

TEST_F(CheckTest, RecordFilesAreRefusedWithIt) {
  write_file("in.hex", segment(0x7002) + hex_line(0, 0, {1}) + kEnd);
  for (const char* option : {"--report", "--trace", "--events", "--log"}) {
    SCOPED_TRACE(option);
    console_.clear();
    EXPECT_EQ(run({"--check", "in.hex", option, "out.txt"}), -2);
    EXPECT_TRUE(holds(console_.text(), std::string("Option ") + option +
                                           " does not apply to --check, which writes no file\n"));
    // A refused command line is recorded as any is (the report and the events), but not checked.
    EXPECT_EQ(console_.text().find("Checking HEX file"), std::string::npos);
  }
}

TEST_F(CheckTest, HelpAndVersionLeaveTheLogAlone) {
  write_file("ZR4_BL_Log.txt", "the failed run's log\n");
  for (const char* option : {"--help", "--version"}) {
    EXPECT_EQ(run({option}), 0);
    EXPECT_EQ(console_.text().find("Log system init"), std::string::npos);
  }
  EXPECT_EQ(directory_names(), std::vector<std::string>{"ZR4_BL_Log.txt"});
  EXPECT_EQ(read_file("ZR4_BL_Log.txt"), "the failed run's log\n");
}

TEST_F(CheckTest, EveryOtherRunKeepsTheEarlierLog) {
  EXPECT_EQ(run({"-i", "sim", "-f", "missing.hex"}), -3);
  const std::string failed = read_file("ZR4_BL_Log.txt");
  EXPECT_TRUE(holds(failed, "Cannot open IHex file missing.hex"));
  EXPECT_EQ(run({"-l"}), 0);
  EXPECT_EQ(read_file("ZR4_BL_Log.1.txt"), failed);
  // With --log FILE the earlier one is FILE.1; the default's .1 stays as it was.
  write_file("my.log", "earlier\n");
  EXPECT_EQ(run({"-l", "--log", "my.log"}), 0);
  EXPECT_EQ(read_file("my.log.1"), "earlier\n");
  EXPECT_EQ(read_file("ZR4_BL_Log.1.txt"), failed);
}

TEST_F(CheckTest, HangupGivesTheConsoleUpAndTheFlashGoesOn) {
  write_operation_inputs(3);
  platform_set_hangup(true);
  const int32_t status = run({"-i", "sim", "-f", "app.hex", "--report", "r.json"}, attach_world);
  platform_set_hangup(false);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(console_.text(), "");
  EXPECT_EQ(sim_unit_stats().pages_written, 3u);
  EXPECT_TRUE(holds(read_file("ZR4_BL_Log.txt"), "Console given up: the console went away "
                                                 "(SIGHUP); the run goes on without it\n"));
  const std::string report = read_file("r.json");
  EXPECT_TRUE(holds(report, "\"console\": \"given up: the console went away (SIGHUP)\""));
  EXPECT_TRUE(holds(report, "\"exit_status\": 0"));
}

// The tool's own process, its output into a pipe whose reader leaves after five lines.
TEST(CheckExecutableTest, FlashIntoAPipeThatClosesCompletes) {
  ScratchDir dir;
  objcopy_hex(random_bytes(20 * 256, 3), 0x70020000, "app.hex");
  std::string out;
  // The pipeline's status is head's: the tool's is in its report.
  EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) +
                            " -i sim -f app.hex --report r.json 4 | head -n 5",
                        &out),
            0);
  // The first five lines a run prints.
  EXPECT_EQ(out, "\n\n===  Ralvex Service Tool 0.7.0  ===\n\nThis software uses the following "
                 "3rd party libraries (on Windows):\n");
  const std::string report = read_file("r.json");
  EXPECT_TRUE(holds(report, "\"exit_status\": 0"));
  EXPECT_TRUE(holds(report, "\"pages_done\": 21,"));
  EXPECT_TRUE(holds(report, "\"pages\": 21,"));
  EXPECT_TRUE(holds(report, "broken pipe"));
  EXPECT_TRUE(holds(read_file("ZR4_BL_Log.txt"), "DL_END_OF_DOWNLOAD\n"));
}

// Files made by objcopy and srec_cat: the SHA-256 printed is sha256sum's.
TEST(CheckExecutableTest, ToolMadeFilesAndSha256sum) {
  ScratchDir dir;
  write_bytes("in.bin", random_bytes(70000, 5));
  const char* makers[] = {
      "objcopy -I binary -O ihex --change-addresses 0x70020000 in.bin app.hex",
      "srec_cat in.bin -binary -offset 0x70020000 -o app.hex -intel",
  };
  for (const char* maker : makers) {
    SCOPED_TRACE(maker);
    std::string out;
    ASSERT_EQ(run_command(maker, &out), 0) << out;
    std::string sum;
    ASSERT_EQ(run_command("sha256sum app.hex", &sum), 0);
    EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) + " --check app.hex", &out), 0) << out;
    EXPECT_TRUE(holds(out, "Addresses: 0x70020000 to 0x7003116F\nData bytes: 70000\n"
                           "Pages: 274 of 256 bytes, the first at 0x70020000\n"));
    EXPECT_TRUE(holds(out, "SHA-256: " + sum.substr(0, 64) + " ("));
    EXPECT_FALSE(fs::exists("ZR4_BL_Log.txt"));
  }
}

namespace {
struct CheckLineRow {
  std::vector<std::string> args;
  CommandLineResult result;
  bool sensor;  // when read
};
const CheckLineRow kCheckLineRows[] = {
    {{"--check", "a.hex"}, COMMAND_LINE_RUN, false},
    {{"--check", "a.hex", "-g", "5"}, COMMAND_LINE_RUN, true},
    {{"-g", "5", "--check", "a.hex"}, COMMAND_LINE_RUN, true},
    {{"--check", "a.hex", "-b"}, COMMAND_LINE_RUN, true},
    {{"-f", "a.hex", "--check", "a.hex"}, COMMAND_LINE_REFUSED, false},
    {{"--check", "a.hex", "-r", "b.bin"}, COMMAND_LINE_REFUSED, false},
    {{"--check", "a.hex", "-l"}, COMMAND_LINE_REFUSED, false},
    {{"--check", "a.hex", "--verify"}, COMMAND_LINE_REFUSED, false},
};
}  // namespace

TEST(CheckCommandLineTest, OneJobWithItsNode) {
  for (const CheckLineRow& row : kCheckLineRows) {
    std::string where;
    for (const std::string& arg : row.args) where += arg + " ";
    SCOPED_TRACE(where);
    Args args(row.args);
    CommandLine line;
    EXPECT_EQ(command_line_read(args.argc(), args.argv(), &line), row.result);
    if (row.result != COMMAND_LINE_RUN) continue;
    EXPECT_EQ(line.settings.mode, RUN_MODE_CHECK);
    EXPECT_STREQ(line.settings.file_name, "a.hex");
    EXPECT_EQ(line.settings.check_sensor, row.sensor);
  }
}

// The earlier log is never kept over the run's own file.
TEST_F(CheckTest, EarlierLogIsNeverKeptOverTheRunsFile) {
  write_operation_inputs(1);
  write_file("run.log", "earlier\n");
  write_file("run.log.1", read_file("app.hex"));
  const std::string hex = read_file("app.hex");
  EXPECT_EQ(run({"-i", "sim", "-f", "run.log.1", "--log", "run.log"}, attach_world), -2);
  EXPECT_TRUE(holds(console_.text(), "The earlier log would be kept as 'run.log.1', which is "
                                     "'run.log.1' of this run: give the log a file of its own "
                                     "with --log FILE\n"));
  EXPECT_EQ(read_file("run.log.1"), hex);
  EXPECT_EQ(read_file("run.log"), "earlier\n");
  EXPECT_EQ(sim_unit_stats().erases, 0u);
}
