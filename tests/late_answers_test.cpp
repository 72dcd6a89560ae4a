// Late and repeated answers on the emulated bus: a unit or node that answers a resent command
// late, a page backup that reaches the unit twice, and an end of download that could not be sent.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ihex/reader.h"
#include "ops/operations.h"
#include "protocol/download.h"
#include "sim/nodes.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"
#include "support/unit_faults.h"

namespace {
constexpr uint32_t kUnitCommand = 0xA04401;
constexpr uint32_t kUnitAnswer = 0xA44401;
constexpr size_t kArea = 0xD000;
const char kLateStart[] = "Late answer to DL_START_LOADING, ignored\n";

size_t count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

size_t commands_with_code(uint32_t id, uint8_t code) {
  size_t n = 0;
  for (const SeenFrame& frame : tool_frames(id)) n += frame.data[0] == code ? 1u : 0u;
  return n;
}

// The unit through the tool's flash, backup and restore, with its own faults.
class LateUnitTest : public UnitFaultTest {
 protected:
  void SetUp() override {
    UnitFaultTest::SetUp();
    ihex_reset();
  }
};

struct LateFlashRow {
  const char* name;
  uint64_t late_us;   // the unit's first answer to DL_START_LOADING
  uint64_t erase_us;
  size_t late_lines;  // "Late answer to DL_START_LOADING, ignored" in the log
};
using LateFlashTest = RowTest<LateUnitTest, LateFlashRow>;

// The late answer meets the erase (0.5 s) or, after a short erase, a page's DL_FLASH_COMMAND: it
// is left out, and every page reaches the unit's flash.
TEST_P(LateFlashTest, CompletesWithEveryPage) {
  const LateFlashRow& row = GetParam();
  set_answer_late(row.late_us);
  sim_unit_config.erase_us = row.erase_us;
  const auto image = random_bytes(3000, 7);  // 12 pages
  const std::string path = objcopy_hex(image, 0x70020000, "app.hex");
  EXPECT_EQ(flash_application(job(path)), 0) << row.name << "\n" << console();
  EXPECT_EQ(std::memcmp(sim_unit_flash(), image.data(), image.size()), 0) << row.name;
  EXPECT_EQ(sim_unit_stats().pages_written, 12u) << row.name;
  EXPECT_EQ(sim_unit_stats().pages_refused, 0u) << row.name;
  const std::string log = log_text();
  EXPECT_EQ(count(log, kLateStart), row.late_lines) << row.name << "\n" << log;
  EXPECT_EQ(commands_with_code(kUnitCommand, 0x0A), 1 + row.late_lines) << row.name;
  expect_console_end("Flashing completed\n\nReboot Ralvex device to start up with new software\n",
                     row.name);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, LateFlashTest,
    ::testing::Values(LateFlashRow{"on_time", 0, 500000, 0},
                      LateFlashRow{"late_70_ms_during_the_erase", 70000, 500000, 1},
                      LateFlashRow{"late_120_ms_during_the_erase", 120000, 500000, 1},
                      LateFlashRow{"late_120_ms_during_the_pages", 120000, 2000, 1}),
    RowName());

struct StrayRow {
  const char* name;
  bool stray;         // a third answer 0B comes during the erase
  int32_t erase_result;
};
using StrayAnswerTest = RowTest<BusTest, StrayRow>;

// Two sends, so one late answer is due and left out; a frame alike beyond that is no late answer
// and meets the erase's rule: the first frame is the answer.
TEST_P(StrayAnswerTest, OnlyAsManyAsWereSent) {
  const StrayRow& row = GetParam();
  ASSERT_EQ(sim_bus_attach(script_device()), 0);
  script_add({kUnitCommand, 0x0A, 70000, kUnitAnswer, bytes({0x0B})});
  script_add({kUnitCommand, 0x0C, 500000, kUnitAnswer, bytes({0x0D})});
  if (row.stray) script_add({kUnitCommand, 0x0C, 200000, kUnitAnswer, bytes({0x0B, 1})});
  ASSERT_EQ(opened_dl_start_loading(), 0) << row.name;
  EXPECT_EQ(dl_erase_app(), row.erase_result) << row.name;
  EXPECT_EQ(count(log_text(), kLateStart), 1u) << row.name;
  EXPECT_EQ(console().find("ERROR --- Invalid answer\n00A44401  0B  01  00  00\n") !=
                std::string::npos,
            row.stray)
      << row.name << "\n" << console();
}
INSTANTIATE_TEST_SUITE_P(Rows, StrayAnswerTest,
                         ::testing::Values(StrayRow{"late_answer_alone", false, 0},
                                           StrayRow{"and_a_stray_frame_alike", true, -5}),
                         RowName());

// A frame 0B that repeats no resent command (DL_START_LOADING was answered at once) keeps the
// erase's rule: taken as its answer and refused.
TEST_F(LateUnitTest, ARepeatOfNoResentCommandIsTheAnswer) {
  set_fault({UnitFault::INJECT, 0x0A, -1, -1, bytes({0x0B}), 100000});
  const std::string path = objcopy_hex(random_bytes(300, 3), 0x70020000, "app.hex");
  EXPECT_EQ(flash_application(job(path)), -5);
  expect_console_end("ERROR --- Invalid answer\n00A44401  0B  00  00  00\nErase flash error\n",
                     "stray 0B");
  EXPECT_EQ(count(log_text(), "Late answer"), 0u);
}

using LateTestModeTest = RowTest<LateUnitTest, uint64_t>;

// COMMAND_ID_ENTER_PRODUCTION_TEST_MODE is sent once and awaited for 201 windows: a late answer is
// its answer, and the backup takes every page.
TEST_P(LateTestModeTest, BackupCompletes) {
  set_answer_late(GetParam());
  const auto memory = random_bytes(kArea, 5);
  std::memcpy(sim_unit_parameters(), memory.data(), kArea);
  EXPECT_EQ(backup_parameters(job("backup.bin")), 0) << console();
  EXPECT_EQ(read_bytes("backup.bin"), memory);
  EXPECT_EQ(commands_with_code(kUnitCommand, 0x80), 1u);
}
INSTANTIATE_TEST_SUITE_P(Rows, LateTestModeTest, ::testing::Values(70000u, 120000u, 3000000u));

struct RepeatRow {
  const char* name;
  int64_t page;      // address of the page whose backup command reaches the unit twice
  bool all_alike;    // every page holds the same bytes: which one came twice cannot be told
  const char* line;  // before the advice
};
const RepeatRow kRepeatRows[] = {
    {"page_0", 0x0000, false, "The unit sent page 0x0000 twice (a repeated command on the bus): "},
    {"page_3", 0x0300, false, "The unit sent page 0x0300 twice (a repeated command on the bus): "},
    {"page_120", 0x7800, false,
     "The unit sent page 0x7800 twice (a repeated command on the bus): "},
    {"page_207", 0xCF00, false,
     "The unit sent page 0xCF00 twice (a repeated command on the bus): "},
    {"page_3_of_alike_pages", 0x0300, true,
     "The unit sent more pages than were asked for (a repeated command on the bus): "},
};
using RepeatedBackupTest = RowTest<LateUnitTest, RepeatRow>;

std::vector<uint8_t> unit_memory_for(const RepeatRow& row) {
  return row.all_alike ? std::vector<uint8_t>(kArea, 0xFF) : random_bytes(kArea, 11);
}

// The repeat moves every later page on by one; the frames that come after the last page give it
// away, and the page is named by its bytes. The earlier backup stays as it was.
TEST_P(RepeatedBackupTest, FailsNamingThePageAndKeepsTheEarlierFile) {
  const RepeatRow& row = GetParam();
  const auto earlier = random_bytes(kArea, 2);
  write_bytes("backup.bin", earlier);
  const auto memory = unit_memory_for(row);
  std::memcpy(sim_unit_parameters(), memory.data(), kArea);
  set_repeated_page(row.page);
  EXPECT_EQ(backup_parameters(job("backup.bin")), -10) << row.name;
  expect_console_end(std::string(row.line) + "nothing written, run the backup again\n", row.name);
  EXPECT_EQ(read_bytes("backup.bin"), earlier) << row.name;
  EXPECT_EQ(directory_names(), (std::vector<std::string>{"ZR4_BL_Log.txt", "backup.bin"}));
  EXPECT_NE(log_text().find("39 frames came after the last page\n"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Rows, RepeatedBackupTest, ::testing::ValuesIn(kRepeatRows), RowName());

using RepeatedReadBackTest = RowTest<LateUnitTest, RepeatRow>;

// The read-back of --verify is read like a backup: a repeat is named, never compared as a
// difference; the restore itself is written.
TEST_P(RepeatedReadBackTest, FailsNamingThePage) {
  const RepeatRow& row = GetParam();
  const auto file = unit_memory_for(row);
  write_bytes("restore.bin", file);
  set_repeated_page(row.page);
  EXPECT_EQ(restore_parameters(verified(job("restore.bin"))), -10) << row.name;
  expect_console_end(
      std::string(row.line) + "the restore is not verified, run it again with --verify\n",
      row.name);
  EXPECT_EQ(unit_parameter_memory(), file) << row.name;
  EXPECT_EQ(console().find("Restore verification failed"), std::string::npos) << row.name;
}
INSTANTIATE_TEST_SUITE_P(Rows, RepeatedReadBackTest, ::testing::ValuesIn(kRepeatRows), RowName());

// The backup waits the quiet window once, after the last page.
TEST_F(LateUnitTest, QuietWindowAfterTheLastPageOnly) {
  EXPECT_EQ(backup_parameters(job("backup.bin")), 0);
  const uint64_t bus_ms = 208u * 40u * SIM_FRAME_US / 1000u;
  EXPECT_GE(clock_.elapsed_ms(), bus_ms + 20);
  EXPECT_LE(clock_.elapsed_ms(), bus_ms + 20 + 208);
  const auto frames = bus_frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_GE(clock_.now_us() - frames.back().done_us, 20000u);
}

// Sensor nodes whose first answers to the wake frame and to DL_START_LOADING come late.
class LateNodeTest : public BusTest {
 protected:
  LateNodeTest() : BusTest(4) {}
  void SetUp() override {
    BusTest::SetUp();
    ihex_reset();
    sim_nodes_config = SimNodesConfig{};
    sim_nodes_config.running_before = true;
  }
  void TearDown() override {
    sim_nodes_config = SimNodesConfig{};
    BusTest::TearDown();
  }
};

struct LateNodeRow {
  const char* name;
  uint64_t late_us;
  uint64_t erase_us;
  size_t late_lines;  // the wake's and the start's late answers
};
using LateNodeFlashTest = RowTest<LateNodeTest, LateNodeRow>;

TEST_P(LateNodeFlashTest, CompletesWithEveryPage) {
  const LateNodeRow& row = GetParam();
  sim_nodes_config.answer_late_us = row.late_us;
  sim_nodes_config.erase_us = row.erase_us;
  ASSERT_EQ(sim_bus_attach(sim_nodes_device()), 0);
  const auto image = random_bytes(2000, 9);  // 3 pages
  const std::string path = objcopy_hex(image, 0x20000, "sensor.hex");
  EXPECT_EQ(flash_sensor(sensor_job(path, 5, false)), 0) << row.name << "\n" << console();
  EXPECT_EQ(std::memcmp(sim_node_flash(5) + 0x20000, image.data(), image.size()), 0) << row.name;
  EXPECT_EQ(sim_node_stats(5).pages_written, 3u) << row.name;
  EXPECT_EQ(sim_node_stats(5).erases, 1u) << row.name;
  EXPECT_EQ(count(log_text(), kLateStart), row.late_lines) << row.name;
}
INSTANTIATE_TEST_SUITE_P(Rows, LateNodeFlashTest,
                         ::testing::Values(LateNodeRow{"on_time", 0, 500000, 0},
                                           LateNodeRow{"late_70_ms", 70000, 500000, 2},
                                           LateNodeRow{"late_120_ms", 120000, 500000, 2},
                                           // The start's late answer meets a page's answer wait.
                                           LateNodeRow{"late_120_ms_short_erase", 120000, 2000,
                                                       2}),
                         RowName());

struct EndRow {
  const char* name;
  bool sensor;
  const char* line;
};
using EndNotSentTest = RowTest<LateNodeTest, EndRow>;

// The adapter refuses DL_END_OF_DOWNLOAD after every page was written: no success.
TEST_P(EndNotSentTest, IsNoSuccess) {
  const EndRow& row = GetParam();
  std::string path;
  if (row.sensor) {
    ASSERT_EQ(sim_bus_attach(sim_nodes_device()), 0);
    path = objcopy_hex(random_bytes(1000, 4), 0x20000, "sensor.hex");  // 2 pages
    sim_bus_refuse_tool_sends(1 + 1 + 1 + 2 * 152 + 1);
  } else {
    ASSERT_EQ(sim_bus_attach(sim_unit_device()), 0);
    path = objcopy_hex(random_bytes(300, 4), 0x70020000, "app.hex");  // 2 pages
    sim_bus_refuse_tool_sends(1 + 1 + 2 * 39 + 1);
  }
  const int32_t result = row.sensor ? flash_sensor(sensor_job(path, 5, false))
                                    : flash_application(job(path));
  EXPECT_EQ(result, -3) << row.name;
  expect_console_end(row.line, row.name);
  EXPECT_EQ(console().find("Flashing completed"), std::string::npos) << row.name;
  EXPECT_EQ(row.sensor ? sim_node_stats(5).pages_written : sim_unit_stats().pages_written, 2u);
  EXPECT_NE(log_text().find("DL_END_OF_DOWNLOAD send failure\n"), std::string::npos) << row.name;
}
INSTANTIATE_TEST_SUITE_P(
    Rows, EndNotSentTest,
    ::testing::Values(EndRow{"unit", false,
                             "End of download not sent: the unit got every page but not "
                             "DL_END_OF_DOWNLOAD and may stay in its bootloader: flash it again\n"},
                      EndRow{"sensor_node", true,
                             "End of download not sent: the sensor node got every page but not "
                             "DL_END_OF_DOWNLOAD and may stay in its bootloader: flash it "
                             "again\n"}),
    RowName());
}  // namespace
