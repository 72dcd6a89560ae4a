#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "can/channel.h"
#include "can/interfaces.h"
#include "log/log.h"
#include "protocol/download.h"
#include "protocol/parameters.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"

namespace {
constexpr uint32_t kCommand = 0xA04401;
constexpr uint32_t kAnswer = 0xA44401;
constexpr uint32_t kData = 0xA84401;

class ParametersTest : public BusTest {
 protected:
  void attach(const SimDevice* device) { ASSERT_EQ(sim_bus_attach(device), 0); }
  // Opens the channel the way enter_production_test_mode does, for commands tested on their own.
  void open_channel(const SimDevice* device) {
    attach(device);
    ASSERT_EQ(can_open(target_of("sim")), 0);
    console_.clear();
  }
  // Frames that completed so far, without running the bus on.
  size_t frames_so_far() { return bus_frames().size(); }
};

int32_t open_code = 0;
int32_t coded_open(const CanTarget*, CanOpenFailure*) { return open_code; }
int32_t never_send(const CanFrame&, CanNews*) { return -3; }
int32_t never_receive(CanRead*, CanNews*) { return -1; }
const CanBackend kCodedAdapter{"coded", coded_open, never_send, never_receive, nullptr, nullptr,
                                nullptr, nullptr};

std::vector<Bytes8> page_frames(const std::vector<uint8_t>& page) {
  return page_frames(page, kUnitPageShape);
}
uint32_t tail(const Bytes8& data) { return tail_of(data); }

struct OpenRow {
  int32_t open_result;
  int32_t result;
};
using NoChannelTest = RowTest<ParametersTest, OpenRow>;

struct PageCommandRow {
  const char* name;
  int32_t (*call)();
  const char* sent;
  Bytes8 answer;
  uint32_t answer_id;
  int32_t result;
};
using PageCommandTest = RowTest<ParametersTest, PageCommandRow>;
int32_t backup() { return start_page_backup(0xB000); }
int32_t restore() { return start_page_restore(0x1000, 0xA6); }
int32_t finish() { return finish_page_restore(65280, 0xA0); }
int32_t erase() { return erase_sector(0xC000, 0xA0); }
int32_t erase_guarded() { return erase_sector(0xB000, 0xA6); }
const char* const kBackupSent = "A0 00 00 00 00 B0 00 00";
const char* const kRestoreSent = "A1 00 00 00 00 10 00 00";
const char* const kFinishSent = "A2 00 00 00 00 FF 00 00";
const char* const kEraseSent = "A3 00 00 00 00 C0 00 00";
const PageCommandRow kPageCommandRows[] = {
    {"COMMAND_ID_START_PAGE_BACKUP", backup, kBackupSent, bytes({0xA0}), kAnswer, 0},
    {"COMMAND_ID_START_PAGE_BACKUP", backup, kBackupSent, bytes({0xA0, 1, 2, 3}), kAnswer, 0},
    {"COMMAND_ID_START_PAGE_BACKUP", backup, kBackupSent, bytes({0xA0}), kData, 0},
    {"COMMAND_ID_START_PAGE_BACKUP", backup, kBackupSent, bytes({0xA0, 0, 0, 0, 0, 0, 0, 1}),
     kAnswer, -5},
    {"COMMAND_ID_START_PAGE_BACKUP", backup, kBackupSent, bytes({0xA6}), kAnswer, -5},
    {"COMMAND_ID_START_PAGE_RESTORE", restore, kRestoreSent, bytes({0xA6, 7}), kAnswer, 0},
    {"COMMAND_ID_START_PAGE_RESTORE", restore, kRestoreSent, bytes({0xA0}), kAnswer, -5},
    {"COMMAND_ID_START_PAGE_RESTORE", restore, kRestoreSent, bytes({0xA6, 0, 0, 0, 1}), kData,
     -5},
    {"COMMAND_ID_FINISH_PAGE_RESTORE", finish, kFinishSent, bytes({0xA0}), kAnswer, 0},
    {"COMMAND_ID_FINISH_PAGE_RESTORE", finish, kFinishSent, bytes({0xA0, 0, 0, 0, 2}), kAnswer,
     -5},
    {"COMMAND_ID_ERASE_SECTOR", erase, kEraseSent, bytes({0xA0}), kAnswer, 0},
    {"COMMAND_ID_ERASE_SECTOR", erase, kEraseSent, bytes({0xA6}), kAnswer, -5},
    {"COMMAND_ID_ERASE_SECTOR", erase_guarded, "A3 00 00 00 00 B0 00 00", bytes({0xA6}), kData,
     0},
};

struct SilentRow {
  const char* name;
  int32_t (*call)();
};
using SilentPageCommandTest = RowTest<ParametersTest, SilentRow>;
const SilentRow kSilentRows[] = {
    {"COMMAND_ID_START_PAGE_BACKUP", [] { return start_page_backup(0); }},
    {"COMMAND_ID_START_PAGE_RESTORE", [] { return start_page_restore(0, 0xA0); }},
    {"COMMAND_ID_FINISH_PAGE_RESTORE", [] { return finish_page_restore(0, 0xA0); }},
    {"COMMAND_ID_ERASE_SECTOR", [] { return erase_sector(0, 0xA0); }},
};

struct StrayRow {
  int strays;  // frames on the answer identifier ahead of the awaited data frame
  int32_t result;
};
using WaitForFrameTest = RowTest<ParametersTest, StrayRow>;
}  // namespace

TEST_F(ParametersTest, ProductionTestModeOpensTheChannelAndAcceptsA0) {
  script_add({kCommand, 0x80, 0, kAnswer, bytes({0xA0, 1, 2, 3, 4, 5, 6, 7})});
  attach(script_device());
  EXPECT_EQ(opened_enter_production_test_mode(), 0);
  EXPECT_EQ(console(), "Using emulated CAN bus\n");
  const auto sent = tool_frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, kCommand);
  EXPECT_EQ(hex8(sent[0].data), "80 00 00 00 00 00 00 00");
  EXPECT_EQ(clock_.elapsed_steps(5), 1u);  // the answer is there at the first 5 ms poll
  EXPECT_EQ(log_text(), "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n"
                        "00A04401 80 00 00 00 00 00 00 00\n00A44401 A0 01 02 03 04 05 06 07\n");
}

TEST_F(ParametersTest, ProductionTestModeRefusesAnyOtherAnswerAtOnce) {
  script_add({kCommand, 0x80, 0, kAnswer, bytes({0xA6, 1, 2, 3, 4, 5, 6, 7})});
  script_add({kCommand, 0x80, 20000, kAnswer, bytes({0xA0})});  // too late: the first decides
  attach(script_device());
  EXPECT_EQ(opened_enter_production_test_mode(), -5);
  EXPECT_EQ(tool_frames().size(), 1u);
  EXPECT_EQ(console(), "Using emulated CAN bus\nERROR --- Invalid answer\n"
                       "00A44401  A6  01  02  03\n");
  EXPECT_EQ(log_text(), "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n"
                        "00A04401 80 00 00 00 00 00 00 00\n00A44401 A6 01 02 03 04 05 06 07\n"
                        "Invalid answer\n");
}

TEST_F(ParametersTest, ProductionTestModeWaits201WindowsWithoutSendingAgain) {
  attach(script_device());
  EXPECT_EQ(opened_enter_production_test_mode(), -3);
  EXPECT_EQ(tool_frames().size(), 1u);
  EXPECT_EQ(clock_.elapsed_steps(5), 201u * 12u);
  EXPECT_EQ(clock_.elapsed_ms(), 201u * 60u);  // about 12 s
  EXPECT_EQ(console(), "Using emulated CAN bus\nNo answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n");
  EXPECT_EQ(log_text(), "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n"
                        "00A04401 80 00 00 00 00 00 00 00\n"
                        "No answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n");
}

TEST_F(ParametersTest, ProductionTestModeDropsFramesOnOtherIdentifiers) {
  sim_bus_open_tool_filter(true);
  // Frames on the data identifier and on a neighbour come first; each costs one window.
  script_add({kCommand, 0x80, 0, kData, bytes({0xA0})});
  script_add({kCommand, 0x80, 0, 0xA44402, bytes({0xA0})});
  script_add({kCommand, 0x80, 100000, kAnswer, bytes({0xA0, 9})});
  attach(script_device());
  EXPECT_EQ(opened_enter_production_test_mode(), 0);
  EXPECT_GE(clock_.elapsed_ms(), 100u);
  EXPECT_LE(clock_.elapsed_ms(), 110u);
  EXPECT_EQ(tool_frames().size(), 1u);
  // Dropped frames leave no trace.
  EXPECT_EQ(log_text(), "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n"
                        "00A04401 80 00 00 00 00 00 00 00\n00A44401 A0 09 00 00 00 00 00 00\n");
}

// A back-end's failure code is passed on; a positive one must not pass for an open channel.
TEST_P(NoChannelTest, ProductionTestModeSendsNothing) {
  const OpenRow& row = GetParam();
  open_code = row.open_result;
  can_use_backend(&kCodedAdapter);
  EXPECT_EQ(opened_enter_production_test_mode(), row.result) << row.open_result;
  EXPECT_TRUE(tool_frames().empty());
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
}
INSTANTIATE_TEST_SUITE_P(Rows, NoChannelTest,
                         ::testing::Values(OpenRow{-7, -7}, OpenRow{-1, -1}, OpenRow{2, -1}));

TEST_F(ParametersTest, ProductionTestModeSendFailureIsLoggedOnly) {
  attach(script_device());
  sim_bus_refuse_tool_sends(1);
  EXPECT_EQ(opened_enter_production_test_mode(), -3);
  EXPECT_EQ(console(), "Using emulated CAN bus\n");
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
  EXPECT_EQ(log_text(), "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE send failure\n");
}

TEST_P(PageCommandTest, JudgesItsOneAnswer) {
  const PageCommandRow& row = GetParam();
  sim_bus_open_tool_filter(true);
  script_add({kCommand, -1, 0, row.answer_id, row.answer});
  open_channel(script_device());
  const std::string what = std::string(row.name) + " answered " + hex8(row.answer);
  EXPECT_EQ(row.call(), row.result) << what;
  const auto sent = tool_frames();
  ASSERT_EQ(sent.size(), 1u) << what;
  EXPECT_EQ(sent[0].id, kCommand);
  EXPECT_EQ(hex8(sent[0].data), row.sent) << what;
  EXPECT_EQ(clock_.elapsed_steps(5), 1u) << what;  // one poll of 5 ms, no second window
  const std::string rejected = std::string(row.name) == "COMMAND_ID_START_PAGE_BACKUP"
                                   ? "Invalid Write to flash answer\n"
                                   : "Invalid Write restored data to flash answer\n";
  char dump[64];
  std::snprintf(dump, sizeof dump, "%08X  %s\n", row.answer_id, hex8(row.answer).c_str());
  EXPECT_EQ(console(), row.result == 0 ? "" : "ERROR --- Invalid answer data\n" + std::string(dump))
      << what;
  // The page commands trace neither their frame nor the answer.
  EXPECT_EQ(log_text(), std::string(row.name) + "\n" + (row.result == 0 ? "" : rejected)) << what;
}
INSTANTIATE_TEST_SUITE_P(Rows, PageCommandTest, ::testing::ValuesIn(kPageCommandRows));

TEST_P(SilentPageCommandTest, GivesUpAfterOneWindow) {
  const SilentRow& row = GetParam();
  // An answer 61 ms late is outside the window.
  script_add({kCommand, -1, 61000, kAnswer, bytes({0xA0})});
  open_channel(script_device());
  EXPECT_EQ(row.call(), -1) << row.name;
  EXPECT_EQ(clock_.elapsed_steps(5), 12u) << row.name;
  EXPECT_EQ(clock_.elapsed_ms(), 60u) << row.name;
  EXPECT_EQ(tool_frames(kCommand).size(), 1u) << row.name;  // not sent again
  const std::string no_answer = std::string("No answer ") + row.name + "\n";
  EXPECT_EQ(console(), no_answer);
  EXPECT_EQ(log_text(), std::string(row.name) + "\n" + no_answer);
}
INSTANTIATE_TEST_SUITE_P(Rows, SilentPageCommandTest, ::testing::ValuesIn(kSilentRows));

TEST_F(ParametersTest, PageCommandSendFailuresAreLoggedOnly) {
  open_channel(script_device());
  sim_bus_refuse_tool_sends(1);
  EXPECT_EQ(start_page_backup(0), -3);
  EXPECT_EQ(start_page_restore(0, 0xA0), -3);
  EXPECT_EQ(finish_page_restore(0, 0xA0), -3);
  EXPECT_EQ(erase_sector(0, 0xA0), -3);
  EXPECT_EQ(console(), "");
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
  EXPECT_EQ(log_text(), "COMMAND_ID_START_PAGE_BACKUP send failure\n"
                        "COMMAND_ID_START_PAGE_RESTORE send failure\n"
                        "COMMAND_ID_FINISH_PAGE_RESTORE send failure\n"
                        "COMMAND_ID_ERASE_SECTOR send failure\n");
}

TEST_P(WaitForFrameTest, SpendsOneTryOnEveryOtherFrame) {
  const StrayRow& row = GetParam();
  open_channel(script_device());
  const uint64_t now = clock_.now_us();
  for (int i = 0; i < row.strays; ++i) sim_bus_inject(now, kAnswer, bytes({0xA0, i}).data());
  const Bytes8 awaited = bytes({5, 1, 2, 3, 4, 5, 6, 7});
  sim_bus_inject(now, kData, awaited.data());
  clock_.advance_us(static_cast<uint64_t>(row.strays + 1) * SIM_FRAME_US);  // all of them are in the queue now
  clock_.reset_counts();
  Bytes8 data{};
  EXPECT_EQ(wait_for_frame(kData, data.data()), row.result) << row.strays;
  EXPECT_EQ(clock_.elapsed_steps(5), 0u) << row.strays;  // every try found a frame
  if (row.result == 0) {
    EXPECT_EQ(data, awaited);
  }
  EXPECT_EQ(console(), row.result == 0 ? "" : "No answer\n");
  EXPECT_EQ(log_text(), row.result == 0 ? "" : "No answer\n");
}
INSTANTIATE_TEST_SUITE_P(Rows, WaitForFrameTest,
                         ::testing::Values(StrayRow{0, 0}, StrayRow{60, 0}, StrayRow{61, -3}));

TEST_F(ParametersTest, WaitForFrameGivesUpAfter61Tries) {
  open_channel(script_device());
  Bytes8 data = bytes({1, 2, 3});
  EXPECT_EQ(wait_for_frame(kAnswer, data.data()), -3);
  EXPECT_EQ(clock_.elapsed_steps(1), 61u * 52u);
  EXPECT_EQ(clock_.elapsed_ms(), 61u * 52u);  // about 3 s of 1 ms steps
  EXPECT_TRUE(tool_frames().empty());
  EXPECT_EQ(console(), "No answer\n");
  EXPECT_EQ(log_text(), "No answer\n");
}

TEST_F(ParametersTest, WaitForFrameTakesAFrameAsSoonAsItIsThere) {
  open_channel(script_device());
  sim_bus_inject(clock_.now_us() + 20000, kAnswer, bytes({0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}).data());
  Bytes8 data{};
  EXPECT_EQ(wait_for_frame(kAnswer, data.data()), 0);
  EXPECT_EQ(tail(data), 0x12345678u);
  // Ready after 20 ms, on the bus 0.524 ms later: picked up as it arrives (polling took it at the
  // next 1 ms step, 21 ms).
  EXPECT_EQ(clock_.elapsed_us(), 20000u + SIM_FRAME_US);
}

// The emulated unit's parameter service, driven through the tool's commands.
class EmulatedParametersTest : public ParametersTest {
 protected:
  void SetUp() override {
    ParametersTest::SetUp();
    open_channel(sim_unit_device());
  }
  std::vector<uint8_t> memory(uint32_t address, uint32_t size) {
    return std::vector<uint8_t>(sim_unit_parameters() + address,
                                sim_unit_parameters() + address + size);
  }
  // The answer the unit sent last.
  Bytes8 last_answer() {
    const auto frames = bus_frames();
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
      if (!it->from_tool && it->id == kAnswer) return it->data;
    }
    return Bytes8{};
  }
  void send(const std::vector<Bytes8>& frames) {
    for (const Bytes8& frame : frames) ASSERT_EQ(dl_send_data(frame.data()), 0);
  }
};

TEST_F(EmulatedParametersTest, NothingIsServedOutsideProductionTestMode) {
  EXPECT_EQ(start_page_backup(0), -1);
  EXPECT_EQ(erase_sector(0, 0xA0), -1);
  EXPECT_EQ(sim_unit_parameter_stats().ignored_commands, 2u);
  EXPECT_EQ(sim_unit_parameters()[5], sim_unit_parameter_default(5));  // not erased
  EXPECT_EQ(opened_enter_production_test_mode(), 0);
  EXPECT_EQ(sim_unit_parameter_stats().test_mode_requests, 1u);
  EXPECT_EQ(erase_sector(0, 0xA0), 0);
  EXPECT_EQ(sim_unit_parameters()[5], 0xFF);
}

TEST_F(EmulatedParametersTest, PageBackupSendsThePageAndItsChecksumBackToBack) {
  ASSERT_EQ(opened_enter_production_test_mode(), 0);
  const size_t before = frames_so_far();
  ASSERT_EQ(start_page_backup(0x1200), 0);
  const std::vector<uint8_t> page = memory(0x1200, 256);
  EXPECT_EQ(page[0], 0x12);  // the default content: each row starts with the page number
  EXPECT_EQ(page[1], 0x01);
  const auto expected = page_frames(page);
  for (size_t sequence = 0; sequence < 37; ++sequence) {
    Bytes8 frame{};
    ASSERT_EQ(wait_for_frame(kData, frame.data()), 0);
    EXPECT_EQ(frame, expected[sequence]) << sequence;
  }
  Bytes8 checksum{};
  ASSERT_EQ(wait_for_frame(kAnswer, checksum.data()), 0);
  EXPECT_EQ(tail(checksum), sum_of(page));
  // Command, answer, 37 data frames and the checksum frame, with no gap on the bus.
  const auto frames = bus_frames();
  ASSERT_EQ(frames.size() - before, 40u);
  for (size_t i = before + 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].done_us - frames[i - 1].done_us, SIM_FRAME_US) << i;
    EXPECT_FALSE(frames[i].from_tool);
  }
  EXPECT_EQ(sim_unit_parameter_stats().pages_backed_up, 1u);
}

TEST_F(EmulatedParametersTest, AnswerCodesFollowTheAddressRange) {
  ASSERT_EQ(opened_enter_production_test_mode(), 0);
  struct Row {
    uint32_t sector;
    uint8_t code;
  };
  const Row rows[] = {{0x0000, 0xA0}, {0x1000, 0xA6}, {0x2000, 0xA0}, {0xA000, 0xA0},
                      {0xB000, 0xA6}, {0xC000, 0xA0}};
  for (const Row& row : rows) {
    const uint8_t other = row.code == 0xA0 ? 0xA6 : 0xA0;
    EXPECT_EQ(erase_sector(row.sector, row.code), 0) << row.sector;
    EXPECT_EQ(erase_sector(row.sector, other), -5) << row.sector;
    EXPECT_EQ(start_page_restore(row.sector + 0xF00, row.code), 0) << row.sector;
    send(page_frames(std::vector<uint8_t>(256, 0x11)));
    EXPECT_EQ(finish_page_restore(256 * 0x11, row.code), 0) << row.sector;
    EXPECT_EQ(memory(row.sector + 0xF00, 256), std::vector<uint8_t>(256, 0x11));
  }
  EXPECT_EQ(start_page_backup(0xB000), 0);  // a backup is always answered 0xA0
}

namespace {
std::vector<uint8_t> restored_page() {
  std::vector<uint8_t> bytes(256);
  for (size_t i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

struct RestoreRow {
  const char* what;
  bool erase;
  uint32_t address;
  void (*change)(std::vector<Bytes8>* frames);  // how the frames differ from the page's
  uint32_t checksum_offset;
  int32_t start_result;
  int32_t finish_result;
  uint32_t status;  // bytes 4-7 of the last answer
};
using PageRestoreTest = RowTest<EmulatedParametersTest, RestoreRow>;
const RestoreRow kRestoreRows[] = {
    {"good page", true, 0x2300, nullptr, 0, 0, 0, 0},
    {"not erased", false, 0x2300, nullptr, 0, 0, -5, SIM_UNIT_NOT_ERASED},
    {"wrong checksum", true, 0x2300, nullptr, 1, 0, -5, SIM_UNIT_BAD_CHECKSUM},
    {"changed byte", true, 0x2300, [](std::vector<Bytes8>* f) { (*f)[10][3] ^= 0x40; }, 0, 0, -5,
     SIM_UNIT_BAD_CHECKSUM},
    // The last frame's bytes 5-7 are fillers, always 0.
    {"filler not 0", true, 0x2300, [](std::vector<Bytes8>* f) { f->back()[7] = 0x01; }, 0, 0, -5,
     SIM_UNIT_BAD_SEQUENCE},
    {"frame skipped", true, 0x2300, [](std::vector<Bytes8>* f) { f->erase(f->begin() + 5); }, 0,
     0, -5, SIM_UNIT_BAD_SEQUENCE},
    {"38 frames", true, 0x2300, [](std::vector<Bytes8>* f) { f->push_back(f->back()); }, 0, 0, -5,
     SIM_UNIT_BAD_SEQUENCE},
    {"36 frames", true, 0x2300, [](std::vector<Bytes8>* f) { f->pop_back(); }, 0, 0, -5,
     SIM_UNIT_BAD_SEQUENCE},
    {"unaligned page", true, 0x2310, nullptr, 0, -5, -5, SIM_UNIT_BAD_ADDRESS},
    {"beyond the area", true, 0xD000, nullptr, 0, -5, -5, SIM_UNIT_BAD_ADDRESS},
};
}  // namespace

TEST_P(PageRestoreTest, IsWrittenOnlyWhenItsChecksPass) {
  const RestoreRow& row = GetParam();
  const std::vector<uint8_t> page = restored_page();
  std::vector<Bytes8> frames = page_frames(page);
  if (row.change) row.change(&frames);
  ASSERT_EQ(opened_enter_production_test_mode(), 0);
  if (row.erase) {
    ASSERT_EQ(erase_sector(0x2000, 0xA0), 0);
  }
  const std::vector<uint8_t> before = memory(0x2300, 256);
  EXPECT_EQ(start_page_restore(row.address, 0xA0), row.start_result) << row.what;
  send(frames);
  EXPECT_EQ(finish_page_restore(sum_of(page) + row.checksum_offset, 0xA0), row.finish_result)
      << row.what;
  EXPECT_EQ(tail(last_answer()), row.status) << row.what;
  EXPECT_EQ(memory(0x2300, 256), row.finish_result == 0 ? page : before) << row.what;
  EXPECT_EQ(sim_unit_parameter_stats().pages_restored, row.finish_result == 0 ? 1u : 0u);
}
INSTANTIATE_TEST_SUITE_P(Rows, PageRestoreTest, ::testing::ValuesIn(kRestoreRows));

TEST_F(EmulatedParametersTest, BadAddressesAreRefused) {
  ASSERT_EQ(opened_enter_production_test_mode(), 0);
  const std::vector<uint8_t> before = memory(0, 0xD000);
  EXPECT_EQ(erase_sector(0x1100, 0xA6), -5);  // not a sector's first page
  EXPECT_EQ(tail(last_answer()), static_cast<uint32_t>(SIM_UNIT_BAD_ADDRESS));
  EXPECT_EQ(erase_sector(0xD000, 0xA0), -5);
  EXPECT_EQ(start_page_backup(0xCF80), -5);
  EXPECT_EQ(tail(last_answer()), static_cast<uint32_t>(SIM_UNIT_BAD_ADDRESS));
  EXPECT_EQ(memory(0, 0xD000), before);
  EXPECT_EQ(sim_unit_parameter_stats().pages_backed_up, 0u);
  // A refused backup sends no page.
  Bytes8 frame{};
  EXPECT_EQ(wait_for_frame(kData, frame.data()), -3);
}
