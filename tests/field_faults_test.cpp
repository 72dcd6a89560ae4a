// Faults of the field on the channel and the operations: a full transmit queue retried for about
// 100 ms, an adapter lost during a transfer, the bus state named when a wait ends empty, and a
// signal during a transfer (the adapter closed, the state of the unit said, 130 or 143).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "can/channel.h"
#include "can/interfaces.h"
#include "can/sim/sim_backend.h"
#include "log/log.h"
#include "ihex/image.h"
#include "ihex/reader.h"
#include "ops/operations.h"
#include "ops/outcome.h"
#include "platform/platform.h"
#include "protocol/identifiers.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"
#include "support/test_support.h"
#include "support/unit_faults.h"

namespace {
// A back-end double whose sends return the scripted results in turn (0 once the script is empty).
std::vector<int32_t> g_send_results;
int g_sends = 0;
int g_reads = 0;
int g_closes = 0;
CanBusState g_state_at_timeout = CAN_BUS_UNKNOWN;

const char* g_lost = "";  // what a send that returns CAN_ADAPTER_LOST tells

int32_t double_open(const CanTarget*, CanOpenFailure*) { return 0; }
int32_t double_send(const CanFrame&, CanNews* news) {
  ++g_sends;
  if (g_send_results.empty()) return 0;
  const int32_t result = g_send_results.front();
  g_send_results.erase(g_send_results.begin());
  if (result == CAN_ADAPTER_LOST) news->lost = g_lost;
  return result;
}
int32_t double_read(CanRead*, CanNews*) {
  ++g_reads;
  return -1;
}
int32_t double_timed_out(CanNews* news) {
  can_news_bus_state(news, g_state_at_timeout);
  return 0;
}
void double_close() { ++g_closes; }
const CanBackend kDouble{"double", double_open, double_send,  double_read,
                         double_timed_out, nullptr, nullptr, double_close};

class FaultChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    platform_set_interrupt(0);
    g_send_results.clear();
    g_sends = g_reads = g_closes = 0;
    g_state_at_timeout = CAN_BUS_UNKNOWN;
    can_use_backend(&kDouble);
    ASSERT_EQ(can_open(target_of("sim")), 0);
    ASSERT_EQ(log_open(), 0);
    log_set_level(LOG_ALWAYS);
    clock_.reset_counts();
    console_.clear();
  }
  void TearDown() override {
    log_close();
    can_reset();
    platform_set_interrupt(0);
  }
  std::string log() {
    log_close();
    return read_file("ZR4_BL_Log.txt");
  }
  ScratchDir dir_;
  VirtualClock clock_;
  ConsoleCapture console_;
  const uint8_t data_[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

TEST_F(FaultChannelTest, FullQueueIsTriedEveryMillisecondUntilItTakesTheFrame) {
  g_send_results.assign(30, CAN_SEND_QUEUE_FULL);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data_)), 0);
  EXPECT_EQ(g_sends, 31);
  EXPECT_EQ(clock_.sleeps(), 30u);
  EXPECT_EQ(clock_.slept_ms(), 30u);
  EXPECT_EQ(console_.text(), "");
}

TEST_F(FaultChannelTest, QueueFullForAHundredMillisecondsFailsTheSendWithALogLine) {
  g_send_results.assign(1000, CAN_SEND_QUEUE_FULL);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data_)), -3);
  EXPECT_EQ(clock_.slept_ms(), CAN_FULL_QUEUE_RETRY_MS);
  EXPECT_EQ(g_sends, 101);
  EXPECT_NE(log().find("double: transmit queue still full after 100 ms\n"), std::string::npos);
  EXPECT_EQ(console_.text(), "double: transmit queue still full after 100 ms\n");
}

TEST_F(FaultChannelTest, RefusedSendIsNotRetried) {
  g_send_results.assign(3, -3);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data_)), -3);
  EXPECT_EQ(g_sends, 1);
  EXPECT_EQ(clock_.sleeps(), 0u);
}

TEST_F(FaultChannelTest, LostAdapterStopsSendsAndWaitsAtOnceWithOneConsoleLine) {
  g_lost = "can0 went down (send: Network is down); bring it up: sudo ip link set can0 up";
  g_send_results.assign(2, CAN_ADAPTER_LOST);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data_)), -3);
  EXPECT_EQ(can_stopped(), CAN_STOPPED_LOST);
  g_lost = "a second cause is not printed";
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data_)), -3);
  EXPECT_EQ(g_sends, 1);
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 1000), -1);
  EXPECT_EQ(g_reads, 0);
  EXPECT_EQ(clock_.sleeps(), 0u);
  const std::string line =
      "CAN adapter lost: can0 went down (send: Network is down); bring it up: sudo ip link set "
      "can0 up\n";
  EXPECT_EQ(console_.text(), line);
  EXPECT_NE(log().find(line), std::string::npos);
}

TEST_F(FaultChannelTest, SignalStopsSendsAndEndsAWaitBeforeItsNextTry) {
  platform_set_interrupt(PLATFORM_SIGTERM);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data_)), -3);
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 1000), -1);
  EXPECT_EQ(g_sends + g_reads, 0);
  EXPECT_EQ(can_stopped(), CAN_STOPPED_INTERRUPT);
  can_close();
  EXPECT_EQ(g_closes, 1);
  EXPECT_EQ(console_.text(), "");
  // The run report still names what was opened.
  ASSERT_NE(can_opened_name().backend, nullptr);
  EXPECT_STREQ(can_opened_name().backend, "double");
}

struct StateRow {
  CanBusState state;
  const char* line;  // "" for none
};

TEST_F(FaultChannelTest, EmptyWaitNamesATroubledBusStateOncePerChange) {
  const StateRow rows[] = {
      {CAN_BUS_ACTIVE, ""},
      {CAN_BUS_UNKNOWN, ""},
      {CAN_BUS_WARNING,
       "CAN bus state: error warning (frames meet errors on the bus; check the wiring and the "
       "termination)\n"},
      {CAN_BUS_PASSIVE,
       "CAN bus state: error-passive (frames are not acknowledged: is the unit or node powered "
       "and on this bus, at 250 kbit/s?)\n"},
      {CAN_BUS_OFF,
       "CAN bus state: bus-off (the adapter stopped sending: check the wiring, the termination "
       "and every node's bit rate, then start again)\n"},
  };
  for (const StateRow& row : rows) {
    g_state_at_timeout = row.state;
    for (int wait = 0; wait < 3; ++wait) {
      console_.clear();
      CanFrame frame{};
      EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
      EXPECT_EQ(console_.text(), wait == 0 ? row.line : "") << row.line << " wait " << wait;
    }
  }
}

// After the unit's `n`th frame the operator presses Ctrl-C (or the service manager stops the run).
class InterruptTest : public UnitFaultTest {
 protected:
  void SetUp() override {
    UnitFaultTest::SetUp();
    ihex_reset();
  }
};
}  // namespace

TEST_F(InterruptTest, FlashStopsAfterThePageInHandAndSaysTheApplicationNeedsFlashing) {
  const std::string path = objcopy_hex(random_bytes(256 * 20, 3), 0x70020000, "app.hex");
  // Answers: DL_START_LOADING, DL_ERASE_APP, then one per page: Ctrl-C during page 4.
  signal_after(2 + 4, PLATFORM_SIGINT);
  EXPECT_EQ(operation_end(flash_application(job(path))), 130);
  const std::string end =
      "Interrupted by SIGINT: the unit's application is erased or incomplete: flash it again\n";
  expect_console_end(end, "flash");
  EXPECT_EQ(console().find("failed"), std::string::npos) << console();
  // Page 4's DL_FLASH_COMMAND was the last frame: nothing after the signal.
  const auto frames = tool_frames();
  EXPECT_EQ(frames.back().data[0], 0x11);
  EXPECT_EQ(tool_frames(UNIT_DATA_ID).size(), 37u * 4);
  EXPECT_NE(log_text().find(end), std::string::npos);
}

// The state named is the worst the unit can be in: a command that the signal cut short may have
// reached it.
struct OpeningRow {
  int after_frames;
  const char* end;
};
using OpeningInterruptTest = RowTest<InterruptTest, OpeningRow>;

TEST_P(OpeningInterruptTest, NamesWhatTheUnitMayBeLeftIn) {
  const std::string path = objcopy_hex(random_bytes(256, 4), 0x70020000, "app.hex");
  signal_after(GetParam().after_frames, PLATFORM_SIGTERM);
  EXPECT_EQ(operation_end(flash_application(job(path))), 143);
  expect_console_end(GetParam().end, "opening");
  EXPECT_EQ(console().find("error"), std::string::npos) << console();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OpeningInterruptTest,
    ::testing::Values(
        // The signal comes with DL_START_LOADING's answer, then with DL_ERASE_APP's.
        OpeningRow{1, "Interrupted by SIGTERM: the unit may wait in its bootloader, its "
                      "application unchanged: flash it again, or switch it off and on\n"},
        OpeningRow{2, "Erase flash\nInterrupted by SIGTERM: the unit's application is erased or "
                      "incomplete: flash it again\n"}));

TEST_F(InterruptTest, BackupKeepsTheEarlierFileAndLeavesNoTemporaryOne) {
  write_file("backup.bin", "the earlier backup");
  signal_after(38 * 10, PLATFORM_SIGTERM);
  EXPECT_EQ(operation_end(backup_parameters(job("backup.bin"))), 143);
  EXPECT_EQ(read_file("backup.bin"), "the earlier backup");
  EXPECT_EQ(directory_names(), (std::vector<std::string>{"ZR4_BL_Log.txt", "backup.bin"}));
  expect_console_end("Interrupted by SIGTERM: the unit is unchanged; no backup was written, an "
                     "earlier file of that name is kept as it was\n",
                     "backup");
  EXPECT_EQ(console().find("Read CAN frame failed"), std::string::npos) << console();
}

TEST_F(InterruptTest, RestoreSaysTheAreaIsPartlyRestored) {
  write_bytes("restore.bin", random_bytes(0xD000, 5));
  signal_after(30, PLATFORM_SIGINT);
  EXPECT_EQ(operation_end(restore_parameters(job("restore.bin"))), 130);
  expect_console_end(
      "Interrupted by SIGINT: the unit's parameter area is partly restored: restore it again\n",
      "restore");
}

TEST_F(InterruptTest, RestoreInterruptedWhileReadingBackSaysTheAreaIsRestored) {
  write_bytes("restore.bin", random_bytes(0xD000, 7));
  // The unit's answers of the restore: test mode, 13 erases, two per page; then the read-back.
  signal_after(1 + 13 + 2 * 208 + 100, PLATFORM_SIGINT);
  EXPECT_EQ(operation_end(restore_parameters(verified(job("restore.bin")))), 130);
  expect_console_end("Interrupted by SIGINT: the unit's parameters are restored; reading them back "
                     "was not finished\n",
                     "verify");
  EXPECT_EQ(console().find("Restore verif"), std::string::npos) << console();
}

namespace {
// The emulated bus's adapter, gone from the moment g_gone is set: every later call says so.
bool g_gone = false;
const char kGone[] = "test adapter is gone (send: No such device)";
int32_t going_open(const CanTarget* target, CanOpenFailure* failure) {
  return sim_backend()->open(target, failure);
}
int32_t going_send(const CanFrame& frame, CanNews* news) {
  news->lost = kGone;
  return g_gone ? CAN_ADAPTER_LOST : sim_backend()->send(frame, news);
}
int32_t going_read(CanRead* frame, CanNews* news) {
  news->lost = kGone;
  return g_gone ? CAN_ADAPTER_LOST : sim_backend()->try_receive(frame, news);
}
int32_t going_wait(uint64_t until_us, CanNews* news) {
  news->lost = kGone;
  return g_gone ? CAN_ADAPTER_LOST : sim_backend()->wait(until_us, news);
}
const CanBackend kGoing{"going", going_open, going_send, going_read, nullptr,
                        nullptr, going_wait, nullptr};
}  // namespace

TEST_F(InterruptTest, LostAdapterDuringAFlashNamesTheCauseAndNoNoAnswer) {
  const std::string path = objcopy_hex(random_bytes(256 * 8, 6), 0x70020000, "app.hex");
  signal_after(0, 0);
  g_gone = false;
  can_use_backend(&kGoing);
  sim_bus_set_transmit_hook([](const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
    if (data[0] == 0x12) g_gone = true;
    return true;
  });
  const uint64_t before = clock_.slept_ms();
  // The page's answer is lost with the adapter: the step fails at once, after the cause.
  EXPECT_EQ(flash_application(job(path)), -1);
  EXPECT_NE(console().find("CAN adapter lost: test adapter is gone (send: No such device)\n"
                           "Writing flash failed: -1\n"),
            std::string::npos)
      << console();
  EXPECT_EQ(console().find("No answer"), std::string::npos) << console();
  // One window at most after the cause, plus the erase wait that came before.
  EXPECT_LT(clock_.slept_ms() - before, 2000u);
}
