#include <gtest/gtest.h>

#include "can/channel.h"
#include "can/interfaces.h"
#include "log/log.h"
#include "protocol/download.h"
#include "protocol/parameters.h"
#include "sim/unit.h"
#include "ops/operations.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"

namespace {
constexpr uint32_t kCommand = 0xA04401;
constexpr uint32_t kAnswer = 0xA44401;
constexpr uint32_t kData = 0xA84401;

class DownloadTest : public BusTest {
 protected:
  void attach_script() { ASSERT_EQ(sim_bus_attach(script_device()), 0); }
  // Opens the channel the way dl_start_loading does, for commands tested on their own.
  void open_channel() {
    attach_script();
    ASSERT_EQ(can_open(target_of("sim")), 0);
    console_.clear();
  }
};

bool drop_everything(const SimDevice*, uint64_t*, uint32_t*, uint8_t*) { return false; }

int32_t failing_open(const CanTarget*, CanOpenFailure*) { return -7; }
int32_t never_send(const CanFrame&, CanNews*) { return -3; }
int32_t never_receive(CanRead*, CanNews*) { return -1; }
const CanBackend kDeadAdapter{"dead", failing_open, never_send, never_receive, nullptr, nullptr,
                              nullptr, nullptr};
}  // namespace

TEST_F(DownloadTest, CommandsWithoutAnswerSendTheirFrames) {
  open_channel();
  EXPECT_EQ(dl_download(0x70020000), 0);
  EXPECT_EQ(dl_end_of_download(), 0);
  const Bytes8 data = bytes({0x24, 1, 2, 3, 4, 0, 0, 0});
  EXPECT_EQ(dl_send_data(data.data()), 0);
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);  // nothing waits

  const auto sent = tool_frames();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].id, kCommand);
  EXPECT_EQ(hex8(sent[0].data), "10 00 00 00 00 00 02 70");
  EXPECT_EQ(sent[1].id, kCommand);
  EXPECT_EQ(hex8(sent[1].data), "0E 00 00 00 00 00 00 00");
  EXPECT_EQ(sent[2].id, kData);
  EXPECT_EQ(sent[2].data, data);
  EXPECT_EQ(log_text(), "DL_DOWNLOAD\nDL_END_OF_DOWNLOAD\n"
                        "Write CAN frame   00A84401 24 01 02 03 04 00 00 00\n");
  EXPECT_EQ(console(), "");  // open_channel cleared the adapter line
}

namespace {
struct FlashAnswerRow {
  Bytes8 answer;
  uint32_t answer_id;
  int32_t result;
  const char* console;
};
using FlashAnswerTest = RowTest<DownloadTest, FlashAnswerRow>;
const FlashAnswerRow kFlashAnswerRows[] = {
    {bytes({0x12, 0, 0, 0, 0, 0, 0, 0}), kAnswer, 0, ""},
    {bytes({0x12, 1, 2, 3, 0, 0, 0, 0}), kAnswer, 0, ""},
    // Whatever identifier the channel delivers the answer on.
    {bytes({0x12, 0, 0, 0, 0, 0, 0, 0}), kData, 0, ""},
    {bytes({0x12, 0, 0, 0, 1, 0, 0, 0}), kAnswer, -5,
     "ERROR --- Invalid answer data\n00A44401  12 00 00 00 01 00 00 00\n"},
    {bytes({0x13, 0, 0, 0, 0, 0, 0, 0}), kAnswer, -5,
     "ERROR --- Invalid answer data\n00A44401  13 00 00 00 00 00 00 00\n"},
    {bytes({0x12, 0, 0, 0, 0, 0, 0, 0x80}), kData, -5,
     "ERROR --- Invalid answer data\n00A84401  12 00 00 00 00 00 00 80\n"},
};

struct EraseRow {
  uint32_t id;
  Bytes8 answer;
  uint64_t delay_us;
  int32_t result;
  const char* console;
};
using EraseTest = RowTest<DownloadTest, EraseRow>;
const EraseRow kEraseRows[] = {
    {kAnswer, bytes({0x0D}), 30000000, 0, ""},
    {kData, bytes({0x0D, 0xFF}), 500000, 0, ""},  // any identifier the channel delivers
    {kAnswer, bytes({0x0B, 1, 2, 3, 4}), 500000, -5,
     "ERROR --- Invalid answer\n00A44401  0B  01  02  03\n"},
};
}  // namespace

TEST_P(FlashAnswerTest, FlashCommandJudgesItsOneAnswer) {
  const FlashAnswerRow& row = GetParam();
  script_add({kCommand, 0x11, 0, row.answer_id, row.answer});
  open_channel();
  EXPECT_EQ(dl_flash_command(65280), row.result) << hex8(row.answer);
  EXPECT_EQ(console(), row.console);
  const auto sent = tool_frames(kCommand);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(hex8(sent[0].data), "11 00 00 00 00 FF 00 00");
  EXPECT_EQ(log_text(), row.result == 0 ? "DL_FLASH_COMMAND\n"
                                        : "DL_FLASH_COMMAND\nInvalid Write to flash answer\n");
}
INSTANTIATE_TEST_SUITE_P(Rows, FlashAnswerTest, ::testing::ValuesIn(kFlashAnswerRows));

TEST_F(DownloadTest, FlashCommandWithoutAnswerGivesUpAfterOneWindow) {
  open_channel();
  EXPECT_EQ(dl_flash_command(1), -1);
  EXPECT_EQ(clock_.elapsed_steps(5), 12u);
  EXPECT_EQ(clock_.elapsed_ms(), 60u);
  EXPECT_EQ(tool_frames().size(), 1u);  // no second try
  EXPECT_EQ(console(), "No answer DL_WRITE_TO_FLASH_COMMAND\n");
  EXPECT_EQ(log_text(), "DL_FLASH_COMMAND\nNo answer DL_WRITE_TO_FLASH_COMMAND\n");
}

TEST_F(DownloadTest, StartLoadingOpensTheChannelAndAcceptsEleven) {
  script_add({kCommand, 0x0A, 0, kAnswer, bytes({0x0B, 9, 9, 9, 9, 9, 9, 9})});
  attach_script();
  EXPECT_EQ(opened_dl_start_loading(), 0);
  EXPECT_EQ(console(), "Using emulated CAN bus\n");
  EXPECT_EQ(tool_frames().size(), 1u);
  // The answer is on the bus 1.05 ms after the command was sent: seen at the first 5 ms poll.
  EXPECT_EQ(clock_.elapsed_steps(5), 1u);
  EXPECT_EQ(log_text(), "DL_START_LOADING\n00A04401 0A 00 00 00 00 00 00 00\n"
                        "00A44401 0B 09 09 09 09 09 09 09\n");
}

TEST_F(DownloadTest, StartLoadingResendsUntilTheBudgetIsSpent) {
  attach_script();
  EXPECT_EQ(opened_dl_start_loading(), -3);
  const auto sent = tool_frames(kCommand);
  EXPECT_EQ(sent.size(), 201u);
  for (const auto& frame : sent) EXPECT_EQ(hex8(frame.data), "0A 00 00 00 00 00 00 00");
  EXPECT_EQ(clock_.elapsed_steps(5), 201u * 12u);
  EXPECT_EQ(clock_.elapsed_ms(), 201u * 60u);  // about 12 s
  EXPECT_EQ(console(), "Using emulated CAN bus\nNo answer DL_START_LOADING\n");
  const std::string log = log_text();
  EXPECT_EQ(log.size() - log.find("No answer"), std::string("No answer DL_START_LOADING\n").size());
}

TEST_F(DownloadTest, StartLoadingSkipsFramesOnOtherIdentifiersAndResends) {
  sim_bus_open_tool_filter(true);
  // Each command draws a frame on another identifier; the third one is answered for real first.
  script_add({kCommand, 0x0A, 0, kAnswer, bytes({0x0B}), 2});
  script_add({kCommand, 0x0A, 0, 0xA44402, bytes({0x0B})});
  attach_script();
  EXPECT_EQ(opened_dl_start_loading(), 0);
  EXPECT_EQ(tool_frames(kCommand).size(), 3u);
}

TEST_F(DownloadTest, StartLoadingRefusesAnyOtherAnswerAtOnce) {
  script_add({kCommand, 0x0A, 0, kAnswer, bytes({0x0C, 1, 2, 3, 4, 5, 6, 7})});
  attach_script();
  EXPECT_EQ(opened_dl_start_loading(), -5);
  EXPECT_EQ(tool_frames(kCommand).size(), 1u);
  EXPECT_EQ(console(), "Using emulated CAN bus\nERROR --- Invalid answer\n"
                       "00A44401  0C  01  02  03\n");
  EXPECT_NE(log_text().find("00A44401 0C 01 02 03 04 05 06 07\nInvalid answer\n"),
            std::string::npos);
}

TEST_F(DownloadTest, StartLoadingWithoutAChannelSendsNothing) {
  can_use_backend(&kDeadAdapter);
  EXPECT_EQ(opened_dl_start_loading(), -1);
  EXPECT_TRUE(tool_frames().empty());
}

TEST_F(DownloadTest, EraseWaitsUpToNinetyOneWindows) {
  open_channel();
  EXPECT_EQ(dl_erase_app(), -3);
  EXPECT_EQ(tool_frames().size(), 1u);  // never sent again
  EXPECT_EQ(clock_.elapsed_steps(5), 91u * 202u);
  EXPECT_EQ(clock_.elapsed_ms(), 91u * 1010u);  // about 92 s
  EXPECT_EQ(console(), "");
  EXPECT_EQ(log_text(), "DL_ERASE_APP\nNo answer DL_ERASE_APP\n");
}

TEST_P(EraseTest, TakesTheFirstFrameWhateverItsIdentifier) {
  const EraseRow& row = GetParam();
  sim_bus_open_tool_filter(true);
  script_add({kCommand, 0x0C, row.delay_us, row.id, row.answer});
  open_channel();
  EXPECT_EQ(dl_erase_app(), row.result);
  EXPECT_EQ(console(), row.console);
  // Answered within its window: the wait ended within one step of the answer.
  EXPECT_LE(clock_.elapsed_ms() * 1000, row.delay_us + 5000 + 2 * SIM_FRAME_US);
  EXPECT_GE(clock_.elapsed_ms() * 1000, row.delay_us);
}
INSTANTIATE_TEST_SUITE_P(Rows, EraseTest, ::testing::ValuesIn(kEraseRows));

TEST_F(DownloadTest, SendFailuresAreLoggedOnly) {
  open_channel();
  sim_bus_refuse_tool_sends(1);
  const Bytes8 data = bytes({1, 2, 3});
  EXPECT_EQ(dl_download(0x70020000), -3);
  EXPECT_EQ(dl_end_of_download(), -3);
  EXPECT_EQ(dl_send_data(data.data()), -3);
  EXPECT_EQ(dl_flash_command(5), -3);
  EXPECT_EQ(dl_erase_app(), -3);
  EXPECT_EQ(console(), "");
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
  EXPECT_EQ(log_text(), "DL_DOWNLOAD send failure\nDL_END_OF_DOWNLOAD send failure\n"
                        "DL_SEND_DATA failure\nDL_FLASH_COMMAND send failure\n"
                        "DL_ERASE_APP send failure\n");
}

TEST_F(DownloadTest, StartLoadingSendFailure) {
  attach_script();
  sim_bus_refuse_tool_sends(1);
  EXPECT_EQ(opened_dl_start_loading(), -3);
  EXPECT_EQ(log_text(), "DL_START_LOADING send failure\n");
}

TEST_F(DownloadTest, SilencedUnitIsNoAnswer) {
  script_add({kCommand, 0x11, 0, kAnswer, bytes({0x12})});
  sim_bus_set_transmit_hook(drop_everything);
  open_channel();
  EXPECT_EQ(dl_flash_command(0), -1);
}

TEST_F(DownloadTest, PageGoesOutAsItsThirtySevenFrames) {
  open_channel();
  std::vector<uint8_t> page(256);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(255 - i);
  uint32_t sum = 0;
  EXPECT_EQ(dl_send_page(page.data(), &sum), 0);
  EXPECT_EQ(sum, sum_of(page));
  const auto data = tool_frames(kData);
  ASSERT_EQ(data.size(), 37u);
  expect_page_frames(data, 0, page, kUnitPageShape, "unit page");
  EXPECT_EQ(hex8(data[36].data), "24 03 02 01 00 00 00 00");
  // A refused frame ends the page.
  sim_bus_refuse_tool_sends(1);
  EXPECT_EQ(dl_send_page(page.data(), &sum), -3);
  EXPECT_EQ(tool_frames(kData).size(), 37u);
  EXPECT_NE(log_text().find("DL_SEND_DATA failure\n"), std::string::npos);
}

// The unit's opening commands name the identifiers the channel must deliver before it opens.
TEST_F(DownloadTest, OpeningCommandsAskForTheUnitsAnswerAndDataIdentifiers) {
  static std::vector<uint32_t> at_open;
  static const CanBackend recording{"recording",
                                    [](const CanTarget*, CanOpenFailure*) {
                                      const uint32_t* ids = nullptr;
                                      const int count = can_accepted_ids(&ids);
                                      at_open.assign(ids, ids + count);
                                      return int32_t{-2};
                                    },
                                    never_send, never_receive, nullptr, nullptr, nullptr, nullptr};
  // The operations open the channel in their start phase, for the unit's identifiers alone.
  const std::string hex = objcopy_hex(random_bytes(256, 1), 0x70020000, "app.hex");
  for (int32_t (*operation)(const RunSettings&) : {flash_application, backup_parameters}) {
    at_open.clear();
    can_use_backend(&recording);
    EXPECT_LT(operation(job(operation == flash_application ? hex : "b.bin")), 0);
    EXPECT_EQ(at_open, (std::vector<uint32_t>{0xA44401, 0xA84401}));
  }
}

// The emulated unit refuses a page that was never announced, and ignores unknown commands.
TEST_F(DownloadTest, EmulatedUnitRefusesAPageWithoutDownload) {
  ASSERT_EQ(sim_bus_attach(sim_unit_device()), 0);
  ASSERT_EQ(opened_dl_start_loading(), 0);
  ASSERT_EQ(dl_erase_app(), 0);
  const Bytes8 unknown = bytes({0x55});
  ASSERT_EQ(can_send_frame(can_frame_of(kCommand, unknown.data())), 0);
  console_.clear();
  EXPECT_EQ(dl_flash_command(0), -5);
  EXPECT_EQ(console(), "ERROR --- Invalid answer data\n00A44401  12 00 00 00 03 00 00 00\n");
  EXPECT_EQ(sim_unit_stats().pages_refused, 1u);
  EXPECT_EQ(sim_unit_stats().pages_written, 0u);
}
