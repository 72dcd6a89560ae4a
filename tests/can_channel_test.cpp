// The channel: the polling rule (counted on the virtual clock), forwarding to the chosen back-end,
// the accepted identifiers, and the choice of interface.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <ostream>
#include <string>

#include "can/can.h"
#include "can_test_support.h"
#include "platform/platform.h"

namespace {
// A back-end double: each try takes the next scripted outcome (no frame when the script is empty)
// and counts itself; a failed try scribbles on the outputs, which the channel must clear.
struct Outcome {
  bool frame;
  CanFrame value;
};
std::deque<Outcome> g_script;
int g_tries = 0;
int g_timeouts = 0;
int32_t g_open_result = 0;
int32_t g_send_result = 0;
CanFrame g_sent{};

int32_t double_open() { return g_open_result; }
int32_t double_send(uint32_t id, const uint8_t data[8]) {
  g_sent.id = id;
  std::memcpy(g_sent.data, data, 8);
  return g_send_result;
}
int32_t double_try(uint8_t data[8], uint32_t* id) {
  ++g_tries;
  if (g_script.empty() || !g_script.front().frame) {
    if (!g_script.empty()) g_script.pop_front();
    std::memset(data, 0xEE, 8);
    *id = 0xDEAD;
    return -1;
  }
  *id = g_script.front().value.id;
  std::memcpy(data, g_script.front().value.data, 8);
  g_script.pop_front();
  return 0;
}
void double_timed_out() { ++g_timeouts; }
const CanBackend kDouble{"double", double_open, double_send, double_try, double_timed_out};

class CanChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    g_script.clear();
    g_tries = g_timeouts = 0;
    g_open_result = g_send_result = 0;
    can_use_backend(&kDouble);
  }
  void TearDown() override { can_reset(); }
  VirtualClock clock_;
};

struct PollingRow {
  int32_t step_ms;
  int32_t extra_ms;
  int tries;  // = sleeps when nothing comes
};
void PrintTo(const PollingRow& row, std::ostream* os) { *os << row.step_ms << "/" << row.extra_ms; }

class CanPollingTest : public CanChannelTest, public ::testing::WithParamInterface<PollingRow> {};

TEST_P(CanPollingTest, SilentBusCostsTheRuleTriesAndAsManySleeps) {
  const PollingRow row = GetParam();
  ASSERT_EQ(can_open(), 0);
  clock_.reset_counts();
  uint8_t data[8];
  uint32_t id = 1;
  EXPECT_EQ(can_receive_frame(data, &id, row.step_ms, row.extra_ms), -1);
  EXPECT_EQ(g_tries, row.tries);
  EXPECT_EQ(clock_.sleeps(), static_cast<uint64_t>(row.tries));
  EXPECT_EQ(clock_.slept_ms(),
            static_cast<uint64_t>(row.tries) * static_cast<uint64_t>(row.step_ms));
  EXPECT_EQ(g_timeouts, row.tries > 0 ? 1 : 0);
  EXPECT_EQ(id, 0u);
  for (uint8_t byte : data) EXPECT_EQ(byte, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, CanPollingTest,
    ::testing::Values(PollingRow{5, 50, 12}, PollingRow{5, 30, 8}, PollingRow{5, 1000, 202},
                      PollingRow{1, 50, 52}, PollingRow{5, 0, 2}, PollingRow{7, 6, 2},
                      PollingRow{5, -5, 1},    // limit 0: one try, one sleep
                      PollingRow{5, -6, 0},    // negative limit: nothing tried
                      PollingRow{0, 50, 0}));  // a step that would never use up the limit

TEST_F(CanChannelTest, WaitingFrameIsReturnedOnTheFirstTryWithoutSleep) {
  g_script.push_back({true, {CAN_ID_UNIT_ANSWER, {0x0B, 1, 2, 3, 4, 5, 6, 7}}});
  ASSERT_EQ(can_open(), 0);
  uint8_t data[8];
  uint32_t id = 0;
  ASSERT_EQ(can_receive_frame(data, &id, 5, 50), 0);
  EXPECT_EQ(id, CAN_ID_UNIT_ANSWER);
  const uint8_t expected[8] = {0x0B, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(std::memcmp(data, expected, 8), 0);
  EXPECT_EQ(g_tries, 1);
  EXPECT_EQ(clock_.sleeps(), 0u);
  EXPECT_EQ(g_timeouts, 0);
}

TEST_F(CanChannelTest, FrameOnTheLastTryIsDelivered) {
  for (int i = 0; i < 11; ++i) g_script.push_back({false, {}});
  g_script.push_back({true, {CAN_ID_UNIT_DATA, {9}}});
  ASSERT_EQ(can_open(), 0);
  uint8_t data[8];
  uint32_t id = 0;
  ASSERT_EQ(can_receive_frame(data, &id, 5, 50), 0);
  EXPECT_EQ(id, CAN_ID_UNIT_DATA);
  EXPECT_EQ(data[0], 9);
  EXPECT_EQ(g_tries, 12);
  EXPECT_EQ(clock_.slept_ms(), 55u);
}

TEST_F(CanChannelTest, SendIsForwardedAndAnyRefusalIsMinusThree) {
  ASSERT_EQ(can_open(), 0);
  const uint8_t data[8] = {0x0A, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(can_send_frame(CAN_ID_UNIT_COMMAND, data), 0);
  EXPECT_EQ(g_sent.id, CAN_ID_UNIT_COMMAND);
  EXPECT_EQ(std::memcmp(g_sent.data, data, 8), 0);
  g_send_result = -9;
  EXPECT_EQ(can_send_frame(CAN_ID_UNIT_COMMAND, data), -3);
}

TEST_F(CanChannelTest, NothingMovesBeforeASuccessfulOpen) {
  const uint8_t data[8] = {};
  uint8_t received[8];
  uint32_t id = 0;
  EXPECT_EQ(can_send_frame(CAN_ID_UNIT_COMMAND, data), -3);
  EXPECT_EQ(can_receive_frame(received, &id, 5, 50), -1);
  g_open_result = -4;
  ConsoleCapture console;
  EXPECT_EQ(can_open(), -4);
  EXPECT_EQ(console.text(), "");
  EXPECT_EQ(can_send_frame(CAN_ID_UNIT_COMMAND, data), -3);
  EXPECT_EQ(can_receive_frame(received, &id, 5, 50), -1);
  EXPECT_EQ(g_tries, 0);
}

TEST_F(CanChannelTest, AcceptedIdentifiersStartWithTheUnitsAndGrowUpToTheLimit) {
  const uint32_t* ids = nullptr;
  ASSERT_EQ(can_accepted_ids(&ids), 2);
  EXPECT_EQ(ids[0], CAN_ID_UNIT_ANSWER);
  EXPECT_EQ(ids[1], CAN_ID_UNIT_DATA);
  EXPECT_FALSE(can_id_accepted(CAN_ID_UNIT_COMMAND));

  const uint32_t node[] = {0x5041005, 0x6E01005, 0x7041005};
  for (uint32_t id : node) EXPECT_EQ(can_accept_id(id), 0);
  EXPECT_EQ(can_accept_id(0x6E01005), 0);  // already there
  ASSERT_EQ(can_accepted_ids(&ids), 5);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ids[2 + i], node[i]);
  EXPECT_TRUE(can_id_accepted(0x7041005));

  for (uint32_t id = 1; can_accepted_ids(&ids) < CAN_MAX_ACCEPTED_IDS; ++id) {
    ASSERT_EQ(can_accept_id(id), 0);
  }
  EXPECT_EQ(can_accept_id(0x1234567), -1);
  EXPECT_FALSE(can_id_accepted(0x1234567));

  can_reset();
  EXPECT_EQ(can_accepted_ids(&ids), 2);
  EXPECT_FALSE(can_id_accepted(0x7041005));
}

TEST_F(CanChannelTest, SimSelectsTheEmulatedBus) {
  can_use_backend(nullptr);
  EXPECT_EQ(can_select_interface("sim"), 0);
  ConsoleCapture console;
  EXPECT_EQ(can_open(), 0);
  EXPECT_EQ(console.text(), "Using emulated CAN bus\n");
}

TEST_F(CanChannelTest, MissingSocketCanInterfaceIsRefusedAndSaysWhatFailed) {
  can_use_backend(nullptr);
  RecordedLog log;
  EXPECT_EQ(can_select_interface("nocan7"), -1);
  ConsoleCapture console;
  EXPECT_LT(can_open(), 0);
  EXPECT_EQ(console.text(), "CAN init error\n");
  // The open says which call failed and why (at selection time the log's level is still 0).
  const std::string text = log.text();
  EXPECT_EQ(text.rfind("SocketCAN: cannot open 'nocan7': if_nametoindex: ", 0), 0u) << text;
  EXPECT_EQ(text.find("PEAK"), std::string::npos) << text;  // no fallback to the adapters
}
}  // namespace
