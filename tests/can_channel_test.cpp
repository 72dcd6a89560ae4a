// The channel: the polling rule (counted on the virtual clock), forwarding to the chosen back-end,
// the one place where frames are dropped, the accepted identifiers, and the `-i` grammar.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/identifiers.h"
#include "support/can_support.h"
#include "platform/platform.h"

namespace {
// A back-end double: each try takes the next scripted outcome (no frame when the script is empty)
// and counts itself; a failed try scribbles on the outputs, which the channel must clear.
struct Outcome {
  bool frame;
  CanFrame value;
  CanFrameKind kind = CAN_KIND_DATA;
};
std::deque<Outcome> g_script;
int g_reads = 0;
int g_timeouts = 0;
int32_t g_open_result = 0;
int32_t g_send_result = 0;
CanFrame g_sent{};

int32_t double_open(const CanTarget*, CanOpenFailure*) { return g_open_result; }
int32_t double_send(const CanFrame& frame, CanNews*) {
  g_sent = frame;
  return g_send_result;
}
// A read counts as a new try when the previous read left the adapter empty or was delivered.
int32_t double_read(CanRead* frame, CanNews*) {
  ++g_reads;
  if (g_script.empty() || !g_script.front().frame) {
    if (!g_script.empty()) g_script.pop_front();
    std::memset(frame->data, 0xEE, 8);
    frame->id = 0xDEAD;
    return -1;
  }
  frame->id = g_script.front().value.id;
  frame->kind = g_script.front().kind;
  std::memcpy(frame->data, g_script.front().value.data, 8);
  g_script.pop_front();
  return 0;
}
int32_t double_timed_out(CanNews*) {
  ++g_timeouts;
  return 0;
}
const CanBackend kDouble{"double", double_open, double_send, double_read, double_timed_out,
                         nullptr, nullptr, nullptr};

class CanChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    g_script.clear();
    g_reads = g_timeouts = 0;
    g_open_result = g_send_result = 0;
    can_use_backend(&kDouble);
    ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
    ASSERT_EQ(can_accept_id(UNIT_DATA_ID), 0);
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
  ASSERT_EQ(can_open(CanTarget{}), 0);
  clock_.reset_counts();
  CanFrame frame{1, {0xEE}};
  EXPECT_EQ(can_receive_frame(&frame, row.step_ms, row.extra_ms), -1);
  EXPECT_EQ(g_reads, row.tries);
  EXPECT_EQ(clock_.sleeps(), static_cast<uint64_t>(row.tries));
  EXPECT_EQ(clock_.slept_ms(),
            static_cast<uint64_t>(row.tries) * static_cast<uint64_t>(row.step_ms));
  EXPECT_EQ(g_timeouts, row.tries > 0 ? 1 : 0);
  EXPECT_EQ(frame.id, 0u);
  for (uint8_t byte : frame.data) EXPECT_EQ(byte, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, CanPollingTest,
    ::testing::Values(PollingRow{5, 50, 12}, PollingRow{5, 30, 8}, PollingRow{5, 1000, 202},
                      PollingRow{1, 50, 52}, PollingRow{5, 0, 2}, PollingRow{7, 6, 2},
                      PollingRow{5, -5, 1},    // limit 0: one try, one sleep
                      PollingRow{5, -6, 0},    // negative limit: nothing tried
                      PollingRow{0, 50, 0}));  // a step that would never use up the limit

namespace {
// A back-end that can wait: frames arrive at set times on the virtual clock; a wait returns at the
// first arrival, or at its end. Each wait is recorded as [from, until].
struct Arrival {
  uint64_t at_us;
  uint32_t id;
};
std::deque<Arrival> g_arrivals;
std::vector<std::pair<uint64_t, uint64_t>> g_waits;
VirtualClock* g_clock = nullptr;

int32_t arriving_read(CanRead* frame, CanNews*) {
  ++g_reads;
  if (g_arrivals.empty() || g_arrivals.front().at_us > now_us()) return -1;
  frame->id = g_arrivals.front().id;
  frame->kind = CAN_KIND_DATA;
  std::memset(frame->data, 0x5A, 8);
  g_arrivals.pop_front();
  return 0;
}
int32_t arriving_wait(uint64_t until_us, CanNews*) {
  g_waits.emplace_back(now_us(), until_us);
  const bool comes = !g_arrivals.empty() && g_arrivals.front().at_us <= until_us;
  const uint64_t to = comes ? std::max(g_arrivals.front().at_us, now_us()) : until_us;
  g_clock->advance_us(to - now_us());
  return comes ? 1 : 0;
}
const CanBackend kWaiting{"waiting", double_open, double_send, arriving_read, double_timed_out,
                          nullptr, arriving_wait, nullptr};

struct WaitRow {
  const char* what;
  std::vector<Arrival> arrivals;  // times from the receive's start
  int32_t result;
  uint64_t taken_at_us;  // when the receive returned
  std::vector<std::pair<uint64_t, uint64_t>> waits;
  int reads;
};
class CanWaitTest : public CanChannelTest, public ::testing::WithParamInterface<WaitRow> {};
}  // namespace

// Step 5 ms, extra 50 ms: a window of 60 ms. A wait spans steps and ends at the arrival; a
// stranger still costs the rest of its step; no wait is longer than 50 ms.
TEST_P(CanWaitTest, AnArrivalEndsTheWaitWhereverItComes) {
  const WaitRow& row = GetParam();
  SCOPED_TRACE(row.what);
  g_clock = &clock_;
  clock_.reset_counts();
  const uint64_t start = now_us();
  for (const Arrival& arrival : row.arrivals) {
    g_arrivals.push_back({start + arrival.at_us, arrival.id});
  }
  can_use_backend(&kWaiting);
  ASSERT_EQ(can_open(CanTarget{}), 0);
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), row.result);
  EXPECT_EQ(clock_.elapsed_us(), row.taken_at_us);
  for (auto& wait : g_waits) {
    wait.first -= start;
    wait.second -= start;
  }
  EXPECT_EQ(g_waits, row.waits);
  EXPECT_EQ(g_reads, row.reads);
  EXPECT_EQ(frame.id, row.result == 0 ? UNIT_ANSWER_ID : 0u);
  g_arrivals.clear();
  g_waits.clear();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CanWaitTest,
    ::testing::Values(
        WaitRow{"silent", {}, -1, 60000, {{0, 50000}, {50000, 60000}}, 2},
        WaitRow{"answer in the fifth step", {{23500, UNIT_ANSWER_ID}}, 0, 23500, {{0, 50000}}, 2},
        WaitRow{"answer after the first slice", {{57000, UNIT_ANSWER_ID}}, 0, 57000,
                {{0, 50000}, {50000, 60000}}, 3},
        WaitRow{"stranger costs its step",
                {{7000, 0xAC4401}, {8000, UNIT_ANSWER_ID}}, 0, 10000, {{0, 50000}}, 3},
        WaitRow{"stranger in the last step",
                {{56000, 0xAC4401}, {57000, UNIT_ANSWER_ID}}, -1, 60000,
                {{0, 50000}, {50000, 60000}}, 3}));

TEST_F(CanChannelTest, WaitingFrameIsReturnedOnTheFirstTryWithoutSleep) {
  g_script.push_back({true, {UNIT_ANSWER_ID, {0x0B, 1, 2, 3, 4, 5, 6, 7}}});
  ASSERT_EQ(can_open(CanTarget{}), 0);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  const uint8_t expected[8] = {0x0B, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(std::memcmp(frame.data, expected, 8), 0);
  EXPECT_EQ(g_reads, 1);
  EXPECT_EQ(clock_.sleeps(), 0u);
  EXPECT_EQ(g_timeouts, 0);
}

TEST_F(CanChannelTest, FrameOnTheLastTryIsDelivered) {
  for (int i = 0; i < 11; ++i) g_script.push_back({false, {}});
  g_script.push_back({true, {UNIT_DATA_ID, {9}}});
  ASSERT_EQ(can_open(CanTarget{}), 0);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_DATA_ID);
  EXPECT_EQ(frame.data[0], 9);
  EXPECT_EQ(g_reads, 12);
  EXPECT_EQ(clock_.slept_ms(), 55u);
}

TEST_F(CanChannelTest, SendIsForwardedAndAnyRefusalIsMinusThree) {
  ASSERT_EQ(can_open(CanTarget{}), 0);
  const CanFrame frame{UNIT_COMMAND_ID, {0x0A, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}};
  EXPECT_EQ(can_send_frame(frame), 0);
  EXPECT_EQ(g_sent.id, UNIT_COMMAND_ID);
  EXPECT_EQ(std::memcmp(g_sent.data, frame.data, 8), 0);
  g_send_result = -9;
  EXPECT_EQ(can_send_frame(frame), -3);
}

TEST_F(CanChannelTest, NothingMovesBeforeASuccessfulOpen) {
  const CanFrame frame{UNIT_COMMAND_ID, {}};
  CanFrame received{};
  EXPECT_EQ(can_send_frame(frame), -3);
  EXPECT_EQ(can_receive_frame(&received, 5, 50), -1);
  g_open_result = -4;
  ConsoleCapture console;
  EXPECT_EQ(can_open(CanTarget{}), -4);
  EXPECT_EQ(console.text(), "");
  EXPECT_EQ(can_send_frame(frame), -3);
  EXPECT_EQ(can_receive_frame(&received, 5, 50), -1);
  EXPECT_EQ(g_reads, 0);
}

TEST_F(CanChannelTest, AcceptedIdentifiersKeepTheirOrderAndGrowUpToTheLimit) {
  can_reset();
  const uint32_t* ids = nullptr;
  EXPECT_EQ(can_accepted_ids(&ids), 0);
  const uint32_t wanted[] = {UNIT_ANSWER_ID, UNIT_DATA_ID, 0x5041005, 0x6E01005,
                             0x7041005};
  for (uint32_t id : wanted) EXPECT_EQ(can_accept_id(id), 0);
  EXPECT_EQ(can_accept_id(0x6E01005), 0);  // already there
  ASSERT_EQ(can_accepted_ids(&ids), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ids[i], wanted[i]);
  EXPECT_FALSE(can_id_accepted(UNIT_COMMAND_ID));

  for (uint32_t id = 1; can_accepted_ids(&ids) < CAN_MAX_ACCEPTED_IDS; ++id) {
    ASSERT_EQ(can_accept_id(id), 0);
  }
  EXPECT_EQ(can_accept_id(0x1234567), -1);
  EXPECT_FALSE(can_id_accepted(0x1234567));

  can_reset();
  EXPECT_EQ(can_accepted_ids(&ids), 0);
  EXPECT_FALSE(can_id_accepted(0x7041005));
}

// What the adapter hands over in one receive of 5/50 ms, and what the channel makes of it.
struct FilterRow {
  const char* name;
  bool wide;                   // a node's three identifiers accepted besides the unit's two
  std::vector<Outcome> reads;  // the adapter's queue
  int32_t result;
  uint32_t id;                 // delivered
  int reads_made;
  uint64_t sleeps;
  std::string log;             // at LOG_CAN_FRAMES
};
void PrintTo(const FilterRow& row, std::ostream* os) { *os << row.name; }

class CanFilterTest : public CanChannelTest, public ::testing::WithParamInterface<FilterRow> {};

TEST_P(CanFilterTest, OnlyAcceptedExtendedDataFramesAreDelivered) {
  const FilterRow& row = GetParam();
  if (row.wide) {
    for (uint32_t id : {0x5041005u, 0x6E01005u, 0x7041005u}) ASSERT_EQ(can_accept_id(id), 0);
  }
  for (const Outcome& read : row.reads) g_script.push_back(read);
  RecordedLog log;
  log_set_level(LOG_CAN_FRAMES);
  ASSERT_EQ(can_open(CanTarget{}), 0);
  clock_.reset_counts();
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), row.result);
  EXPECT_EQ(frame.id, row.id);
  EXPECT_EQ(g_reads, row.reads_made);
  EXPECT_EQ(clock_.sleeps(), row.sleeps);
  EXPECT_EQ(log.text(), "Logger level 4\n" + row.log);
}

const Outcome kAnswer{true, {UNIT_ANSWER_ID, {0x0B}}};
const Outcome kNodeAnswer{true, {0x7041005, {0x12}}};
const Outcome kStranger{true, {0xAC4401, {1}}};
const Outcome kOtherNode{true, {0x6E01009, {2}}};
const Outcome kEmpty{false, {}};
Outcome of_kind(CanFrameKind kind, uint32_t id) { return Outcome{true, {id, {0xA0, 1}}, kind}; }
const std::string kSkippedTail = " 00A44401 A0 01 00 00 00 00 00 00\n";

INSTANTIATE_TEST_SUITE_P(
    Channel, CanFilterTest,
    ::testing::Values(
        FilterRow{"answer", false, {kAnswer}, 0, UNIT_ANSWER_ID, 1, 0, ""},
        // With the unit's two identifiers a stranger costs its try (and its sleep).
        FilterRow{"stranger_costs_a_try", false, {kStranger, kAnswer}, 0, UNIT_ANSWER_ID, 2,
                  1, ""},
        // With a node's identifiers, other nodes' traffic is skipped within the try.
        FilterRow{"other_node_skipped", true, {kOtherNode, kOtherNode, kNodeAnswer}, 0, 0x7041005,
                  3, 0, ""},
        FilterRow{"only_strangers", true, std::vector<Outcome>(70, kOtherNode), -1, 0, 81, 12, ""},
        // No adapter status message or error frame is ever an answer, whatever its identifier.
        FilterRow{"status_message",
                  false,
                  {of_kind(CAN_KIND_STATUS, UNIT_ANSWER_ID), kAnswer},
                  0,
                  UNIT_ANSWER_ID,
                  2,
                  0,
                  "Skipped status message:" + kSkippedTail},
        FilterRow{"error_remote_standard",
                  false,
                  {of_kind(CAN_KIND_ERROR, UNIT_ANSWER_ID),
                   of_kind(CAN_KIND_REMOTE, UNIT_ANSWER_ID),
                   of_kind(CAN_KIND_STANDARD, UNIT_ANSWER_ID), kEmpty},
                  -1,
                  0,
                  15,
                  12,
                  "Skipped error frame:" + kSkippedTail + "Skipped remote frame:" + kSkippedTail +
                      "Skipped 11-bit frame:" + kSkippedTail}),
    [](const ::testing::TestParamInfo<FilterRow>& row_info) { return row_info.param.name; });

TEST_F(CanChannelTest, SimSelectsTheEmulatedBus) {
  can_use_backend(nullptr);
  const CanTarget selected = target_of("sim");
  ConsoleCapture console;
  EXPECT_EQ(can_open(selected), 0);
  EXPECT_EQ(console.text(), "Using emulated CAN bus\n");
}

#if defined(__linux__)
TEST_F(CanChannelTest, MissingSocketCanInterfaceIsNamedWithTheFailedCallAndNeverFallsBack) {
  can_use_backend(nullptr);
  RecordedLog log;
  const CanTarget selected = target_of("nocan7");
  ConsoleCapture console;
  EXPECT_LT(can_open(selected), 0);
  EXPECT_EQ(console.text(),
            "Cannot open nocan7: if_nametoindex: No such device\nCAN init error\n");
  const std::string text = log.text();
  EXPECT_EQ(text.rfind("SocketCAN: cannot open 'nocan7': if_nametoindex: ", 0), 0u) << text;
  EXPECT_EQ(text.find("PEAK"), std::string::npos) << text;  // no fallback to the adapters
}
#endif

}  // namespace

namespace {
int32_t losing_read(CanRead*, CanNews* news) {
  can_news_frames_lost(news, CAN_LOSS_BUFFER);
  can_news_frames_lost(news, CAN_LOSS_QUEUE);
  return -1;
}
const CanBackend kLosing{"losing", double_open, double_send, losing_read, nullptr,
                         nullptr,  nullptr,     nullptr};

// Lost frames are said once per run and kind, however often the adapter tells of them.
TEST_F(CanChannelTest, LostFramesAreSaidOncePerKind) {
  can_use_backend(&kLosing);
  ASSERT_EQ(can_open(CanTarget{}), 0);
  ConsoleCapture console;
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(console.text(),
            "losing: received frames were lost (receive buffer overrun); the transfer's checks "
            "will fail: close programs that keep the PC busy, connect the adapter without a USB "
            "hub, and run the job again\n"
            "losing: received frames were lost (receive queue overrun); the transfer's checks "
            "will fail: close programs that keep the PC busy and run the job again\n");
}
}  // namespace

namespace {
// The back-end contract's answers, and what the channel makes of them: a double whose every call
// of one kind (a send, a read, a wait or the status query after an empty receive) returns the
// row's result with the row's news; its other calls find nothing.
enum class Call { SEND, READ, WAIT, STATUS };
struct NewsRow {
  const char* name;
  Call call;
  int32_t result;
  CanNews news;
  int32_t outcome;  // of the row's send, else of each of the two receives
  int32_t stopped;
  std::string console;  // after both
};
void PrintTo(const NewsRow& row, std::ostream* os) { *os << row.name; }
const NewsRow* g_row = nullptr;

int32_t told(Call call, CanNews* news, int32_t otherwise) {
  if (g_row->call != call) return otherwise;
  *news = g_row->news;
  return g_row->result;
}
int32_t news_send(const CanFrame&, CanNews* news) { return told(Call::SEND, news, 0); }
int32_t news_read(CanRead* frame, CanNews* news) {
  ++g_reads;
  frame->id = UNIT_ANSWER_ID;
  frame->kind = CAN_KIND_DATA;
  return told(Call::READ, news, -1);
}
int32_t news_wait(uint64_t until_us, CanNews* news) {
  const int32_t woke = told(Call::WAIT, news, 0);
  if (woke == 0) g_clock->advance_us(until_us - now_us());
  return woke;
}
int32_t news_status(CanNews* news) { return told(Call::STATUS, news, 0); }
const CanBackend kTelling{"telling", double_open, news_send, news_read, news_status,
                          nullptr,   news_wait,   nullptr};

class CanNewsTest : public CanChannelTest, public ::testing::WithParamInterface<NewsRow> {};

TEST_P(CanNewsTest, TheChannelDecidesWhatFollowsFromTheBackendsAnswer) {
  const NewsRow& row = GetParam();
  g_row = &row;
  g_clock = &clock_;
  can_use_backend(&kTelling);
  ASSERT_EQ(can_open(CanTarget{}), 0);
  ConsoleCapture console;
  CanFrame frame{};
  if (row.call == Call::SEND) {
    EXPECT_EQ(can_send_frame(CanFrame{UNIT_COMMAND_ID, {1}}), row.outcome);
    EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  } else {
    EXPECT_EQ(can_receive_frame(&frame, 5, 50), row.outcome);
    g_reads = 0;
    EXPECT_EQ(can_receive_frame(&frame, 5, 50), row.outcome);
  }
  EXPECT_EQ(can_stopped(), row.stopped);
  // A stopped channel asks the back-end nothing more.
  if (row.stopped != 0) {
    EXPECT_EQ(g_reads, 0);
  }
  EXPECT_EQ(console.text(), row.console);
}

CanNews lost(const char* what) { return CanNews{0, false, CAN_BUS_UNKNOWN, what}; }
CanNews frames_lost(uint8_t kinds) { return CanNews{kinds, false, CAN_BUS_UNKNOWN, nullptr}; }
CanNews bus(CanBusState state) { return CanNews{0, true, state, nullptr}; }
const std::string kLost = "CAN adapter lost: gone\n";
const std::string kBufferLoss =
    "telling: received frames were lost (receive buffer overrun); the transfer's checks will "
    "fail: close programs that keep the PC busy, connect the adapter without a USB hub, and run "
    "the job again\n";
const std::string kQueueLoss =
    "telling: received frames were lost (receive queue overrun); the transfer's checks will fail: "
    "close programs that keep the PC busy and run the job again\n";
constexpr uint8_t kBuffer = 1u << CAN_LOSS_BUFFER;
constexpr uint8_t kQueue = 1u << CAN_LOSS_QUEUE;

INSTANTIATE_TEST_SUITE_P(
    Contract, CanNewsTest,
    ::testing::Values(
        NewsRow{"send_finds_it_lost", Call::SEND, CAN_ADAPTER_LOST, lost("gone"), -3,
                CAN_STOPPED_LOST, kLost},
        NewsRow{"read_finds_it_lost", Call::READ, CAN_ADAPTER_LOST, lost("gone"), -1,
                CAN_STOPPED_LOST, kLost},
        NewsRow{"wait_finds_it_lost", Call::WAIT, CAN_ADAPTER_LOST, lost("gone"), -1,
                CAN_STOPPED_LOST, kLost},
        NewsRow{"status_finds_it_lost", Call::STATUS, CAN_ADAPTER_LOST, lost("gone"), -1,
                CAN_STOPPED_LOST, kLost},
        // The losses the last reads told of come before the stop.
        NewsRow{"read_tells_losses_then_lost", Call::READ, CAN_ADAPTER_LOST,
                CanNews{kBuffer | kQueue, false, CAN_BUS_UNKNOWN, "gone"}, -1, CAN_STOPPED_LOST,
                kBufferLoss + kQueueLoss + kLost},
        // A loss is said once per kind, also with a frame that is delivered.
        NewsRow{"frame_with_a_buffer_loss", Call::READ, 0, frames_lost(kBuffer), 0, 0,
                kBufferLoss},
        NewsRow{"empty_read_with_a_queue_loss", Call::READ, -1, frames_lost(kQueue), -1, 0,
                kQueueLoss},
        NewsRow{"status_tells_a_buffer_loss", Call::STATUS, 0, frames_lost(kBuffer), -1, 0,
                kBufferLoss},
        // A troubled state is named when a receive ends empty, once per change.
        NewsRow{"read_tells_bus_off", Call::READ, -1, bus(CAN_BUS_OFF), -1, 0,
                "CAN bus state: bus-off (the adapter stopped sending: check the wiring, the "
                "termination and every node's bit rate, then start again)\n"},
        NewsRow{"status_tells_passive", Call::STATUS, 0, bus(CAN_BUS_PASSIVE), -1, 0,
                "CAN bus state: error-passive (frames are not acknowledged: is the unit or node "
                "powered and on this bus, at 250 kbit/s?)\n"},
        NewsRow{"frame_tells_a_warning", Call::READ, 0, bus(CAN_BUS_WARNING), 0, 0, ""}),
    [](const ::testing::TestParamInfo<NewsRow>& row_info) { return row_info.param.name; });
}  // namespace
