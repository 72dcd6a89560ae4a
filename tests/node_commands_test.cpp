#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/identifiers.h"
#include "protocol/node_commands.h"
#include "sim/nodes.h"
#include "support/bus_fixture.h"

namespace {
constexpr uint32_t kWake = 0x5001005;
constexpr uint32_t kWakeAnswer = 0x5041005;
constexpr uint32_t kAlive = 0x6E01005;
constexpr uint32_t kCommand = 0x7001005;
constexpr uint32_t kAnswer = 0x7041005;
constexpr uint32_t kData = 0x7081005;
// A frame the channel delivers during a node's download that is none of the node's answers.
constexpr uint32_t kStray = UNIT_ANSWER_ID;
constexpr uint8_t kNode = 5;
constexpr uint8_t kUnset = NODE_ID_NOT_SET;
const uint8_t kSomeData[8] = {1};

class NodeTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    ASSERT_EQ(sim_bus_attach(script_device()), 0);
  }

 public:
  // The node answers its wake frame and DL_START_LOADING at once.
  void answering_node() {
    script_add({kWake, -1, 0, kWakeAnswer, bytes({})});
    script_add({kCommand, 10, 0, kAnswer, bytes({11})});
  }
  // Opens the channel as node_dl_start_loading leaves it, for the commands that follow it.
  void open_channel() {
    for (uint32_t id : {kWakeAnswer, kAlive, kAnswer}) ASSERT_EQ(can_accept_id(id), 0);
    ASSERT_EQ(can_open(target_of("sim")), 0);
  }
  uint64_t now() const { return clock_.now_us(); }
  // Frames the channel delivers that are none of the node's answers, all ready now.
  void inject_strays(int count, const Bytes8& data, uint64_t at_us) {
    for (int i = 0; i < count; ++i) sim_bus_inject(at_us, kStray, data.data());
  }

 protected:
  std::string tail(size_t n) const {
    const std::string& out = console();
    return out.size() > n ? out.substr(out.size() - n) : out;
  }
};

int count_lines(const std::string& text, const std::string& line) {
  int count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    if (at == 0 || text[at - 1] == '\n') ++count;
  }
  return count;
}

bool accepts_node_answers() {
  return can_id_accepted(kWakeAnswer) && can_id_accepted(kAlive) && can_id_accepted(kAnswer);
}

struct UnsetRow {
  const char* what;
  int32_t (*call)();
  int32_t result;
};
using NodeIdTest = RowTest<NodeTest, UnsetRow>;
const UnsetRow kUnsetRows[] = {
    {"start", [] { return opened_node_dl_start_loading(kUnset, true); }, -1},
    {"erase", [] { return node_dl_erase_app(kUnset); }, -5},
    {"download", [] { return node_dl_download(kUnset, 0x20000); }, -3},
    {"send data", [] { return node_dl_send_data(kUnset, kSomeData); }, -1},
    {"send page", [] { uint32_t sum = 0; return node_dl_send_page(kUnset, nullptr, &sum); }, -1},
    {"flash", [] { return node_dl_flash_command(kUnset, 0x1234, false); }, -3},
};

struct StartRow {
  uint8_t node;
  bool force;
  uint32_t found_on;  // base of the frame that ends the wake phase
};
using StartTest = RowTest<NodeTest, StartRow>;
const StartRow kStartRows[] = {{1, false, 0x5041000}, {5, false, 0x5041000}, {5, false, 0x6E01000},
                               {127, false, 0x6E01000}, {5, true, 0x6E01000}, {5, true, 0x5041000},
                               {127, true, 0x6E01000}};

using SilentNodeTest = RowTest<NodeTest, bool>;

struct BudgetRow {
  const char* what;
  bool force;
  void (*arrange)(NodeTest*);
  size_t wake_frames;
};
using BudgetTest = RowTest<NodeTest, BudgetRow>;
const BudgetRow kBudgetRows[] = {
    {"answers the 151st wake frame", false,
     [](NodeTest*) {
       ScriptRule rule{kWake, -1, 0, kWakeAnswer, bytes({})};
       rule.skip = 150;
       script_add(rule);
     },
     151},
    {"powers up after 150 silent waits", true,
     [](NodeTest* t) { sim_bus_inject(t->now() + 150 * 60000 + 30000, kAlive, bytes({}).data()); },
     0},
    // A delivered frame that is no wake answer ends a wait at once, and still counts as a failed
    // one (frames of other nodes never reach the command: the channel drops them).
    {"150 frames of other nodes first", true,
     [](NodeTest* t) {
       sim_bus_open_tool_filter(true);
       for (uint32_t i = 0; i < 150; ++i) {
         const uint32_t other[] = {UNIT_DATA_ID, kAnswer, kStray};
         sim_bus_inject(t->now(), other[i % 3], bytes({}).data());
       }
       // Injected last, it leaves last: frames of one sender go out in order.
       sim_bus_inject(t->now(), kAlive, bytes({}).data());
     },
     0},
};

struct SendFailureRow {
  const char* what;
  void (*arrange)(NodeTest*);
  uint32_t refuse_from;
  int32_t (*call)();
  int32_t result;
  const char* log;
};
using SendFailureTest = RowTest<NodeTest, SendFailureRow>;
void open(NodeTest* t) { t->open_channel(); }
const SendFailureRow kSendFailureRows[] = {
    {"wake frame", nullptr, 1, [] { return opened_node_dl_start_loading(kNode, false); }, -3,
     "DL_START_LOADING send failure\n"},
    {"start frame", [](NodeTest* t) { t->answering_node(); }, 2,
     [] { return opened_node_dl_start_loading(kNode, false); }, -3,
     "DL_START_LOADING\nDL_START_LOADING send failure\n"},
    {"start frame, force", [](NodeTest* t) { sim_bus_inject(t->now(), kAlive, bytes({}).data()); },
     1, [] { return opened_node_dl_start_loading(kNode, true); }, -3, "DL_START_LOADING send failure\n"},
    {"erase", open, 1, [] { return node_dl_erase_app(kNode); }, -3, "DL_ERASE_APP send failure\n"},
    {"download", open, 1, [] { return node_dl_download(kNode, 0x20000); }, -3,
     "DL_DOWNLOAD send failure\n"},
    {"send data", open, 1, [] { return node_dl_send_data(kNode, kSomeData); }, -3,
     "DL_SEND_DATA failure\n"},
    {"flash", open, 1, [] { return node_dl_flash_command(kNode, 6, false); }, -3,
     "DL_FLASH_COMMAND send failure\n"},
    {"end", open, 1, [] { return node_dl_end_of_download(kNode); }, -3,
     "DL_END_OF_DOWNLOAD send failure\n"},
};

struct EraseRow {
  const char* what;
  uint32_t id;
  Bytes8 data;
  uint64_t after_us;  // UINT64_MAX: nothing comes
  int32_t result;
  const char* console;
  const char* log;
};
using EraseTest = RowTest<NodeTest, EraseRow>;
const EraseRow kEraseRows[] = {
    {"node answers", kAnswer, bytes({13}), 500000, 0, "", "DL_ERASE_APP\n"},
    {"stray 13", kStray, bytes({13}), 1000, 0, "", "DL_ERASE_APP\n"},
    {"late answer", kAnswer, bytes({13}), 90000000, 0, "", "DL_ERASE_APP\n"},
    {"stray 12", kStray, bytes({12, 1, 2, 3, 4}), 1000, -5,
     "ERROR --- Invalid answer\n00A44401  0C  01  02  03\n", "DL_ERASE_APP\nInvalid answer\n"},
    {"silence", 0, bytes({}), UINT64_MAX, -3, "", "DL_ERASE_APP\nNo answer DL_ERASE_APP\n"},
};

struct FlashAnswerRow {
  Bytes8 answer;
  bool force;
  int32_t result;
};
using FlashAnswerTest = RowTest<NodeTest, FlashAnswerRow>;
const FlashAnswerRow kFlashAnswerRows[] = {
    {bytes({0x12}), false, 0},
    {bytes({0x12}), true, 0},
    {bytes({0x12, 0, 0xFF, 0xFF}), false, 0},  // bytes 1 to 3 are not looked at
    {bytes({0x12, 0, 0, 0, 1}), false, -1},
    {bytes({0x12, 0, 0, 0, 1}), true, 0},
    {bytes({0x12, 0, 0, 0, 0, 0, 0, 0x80}), false, -1},
    {bytes({0x12, 0, 0, 0, 0, 0, 0, 0x80}), true, 0},
    {bytes({0x13}), false, -1},
    {bytes({0x13}), true, -1},
    {bytes({0x11, 0, 0, 0, 1}), true, -1},
};

struct TenthTryRow {
  const char* what;
  int silent_tries;  // tries that bring nothing before the stray frames come
  int strays;
  Bytes8 last_stray;
  bool answer_after;  // the node's own answer follows the strays
  int32_t result;
  const char* console;
};
using TenthTryTest = RowTest<NodeTest, TenthTryRow>;
const Bytes8 kOk = bytes({0x12});
const TenthTryRow kTenthTryRows[] = {
    {"ten strays", 0, 10, kOk, false, 0, ""},
    {"four silent tries, six strays", 4, 6, kOk, false, 0, ""},
    {"nine strays, then silence", 0, 9, kOk, false, -3, "No answer DL_WRITE_TO_FLASH_COMMAND\n"},
    {"nine strays, then the answer", 0, 9, kOk, true, 0, ""},
    {"tenth stray refused", 0, 10, bytes({0x11}), false, -1,
     "ERROR --- Illegal answer data\n00A44401  11 00 00 00 00 00 00 00\n"},
    {"tenth stray with a status", 0, 10, bytes({0x12, 0, 0, 0, 0, 1}), false, -1,
     "ERROR --- Illegal answer data\n00A44401  12 00 00 00 00 01 00 00\n"},
    {"silence", 10, 0, kOk, false, -3, "No answer DL_WRITE_TO_FLASH_COMMAND\n"},
};
}  // namespace

TEST_P(NodeIdTest, EveryCommandButTheEndNeedsIt) {
  const UnsetRow& row = GetParam();
  if (std::string(row.what) != "start") open_channel();
  console_.clear();
  EXPECT_EQ(row.call(), row.result) << row.what;
  EXPECT_EQ(console(), "W2 Node id not set! \n") << row.what;
  EXPECT_TRUE(tool_frames().empty()) << row.what;
  EXPECT_EQ(log_text(), "") << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, NodeIdTest, ::testing::ValuesIn(kUnsetRows));

TEST_F(NodeTest, StartWithoutNodeIdLeavesTheChannelAlone) {
  // The start neither opened the channel nor widened it.
  EXPECT_EQ(opened_node_dl_start_loading(kUnset, false), -1);
  EXPECT_EQ(console().find("Using emulated CAN bus"), std::string::npos);
  const uint32_t* ids = nullptr;
  EXPECT_EQ(can_accepted_ids(&ids), 2);
  // The end of the download is sent without the check, on the base plus 255.
  open_channel();
  EXPECT_EQ(node_dl_end_of_download(kUnset), 0);
  const auto sent = tool_frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].id, 0x70010FFu);
  EXPECT_EQ(sent[0].data, bytes({0x0E}));
}

TEST_P(StartTest, IdentifiersAreTheBasesPlusTheNodeId) {
  const StartRow& row = GetParam();
  const uint32_t n = row.node;
  const std::string where = std::to_string(n) + (row.force ? " force" : "");
  if (row.force) {
    sim_bus_inject(now() + 100000, row.found_on + n, bytes({0x55}).data());
  } else {
    script_add({0x5001000 + n, -1, 0, row.found_on + n, bytes({})});
  }
  script_add({0x7001000 + n, 10, 0, 0x7041000 + n, bytes({11, 0, 0, 0, 0, 0, 0, 9})});
  EXPECT_EQ(opened_node_dl_start_loading(row.node, row.force), 0) << where;
  EXPECT_TRUE(can_id_accepted(0x5041000 + n) && can_id_accepted(0x6E01000 + n) &&
              can_id_accepted(0x7041000 + n))
      << where;
  const auto sent = tool_frames();
  ASSERT_EQ(sent.size(), row.force ? 1u : 2u) << where;
  if (!row.force) {
    EXPECT_EQ(sent[0].id, 0x5001000 + n) << where;
    EXPECT_EQ(sent[0].data, bytes({})) << where;
  }
  EXPECT_EQ(sent.back().id, 0x7001000 + n) << where;
  EXPECT_EQ(sent.back().data, bytes({10})) << where;
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "%sDL_START_LOADING\n%08X 0A 00 00 00 00 00 00 00\n%08X 0B 00 00 00 00 00 00 09\n",
                row.force ? "" : "DL_START_LOADING\n", 0x7001000 + n, 0x7041000 + n);
  EXPECT_EQ(log_text(), expected) << where;
  EXPECT_EQ(console(), "Using emulated CAN bus\n") << where;
}
INSTANTIATE_TEST_SUITE_P(Rows, StartTest, ::testing::ValuesIn(kStartRows));

TEST_F(NodeTest, AnswerIdentifiersAreAcceptedBeforeTheChannelOpens) {
  static bool accepted_at_open;
  static uint32_t first_ids[2];
  static const CanBackend broken{"broken",
                                 [](const CanTarget*, CanOpenFailure*) {
                                   accepted_at_open = accepts_node_answers();
                                   const uint32_t* ids = nullptr;
                                   can_accepted_ids(&ids);
                                   first_ids[0] = ids[0];
                                   first_ids[1] = ids[1];
                                   return int32_t{-2};
                                 },
                                 [](const CanFrame&, CanNews*) { return int32_t{-3}; },
                                 [](CanRead*, CanNews*) { return int32_t{-1}; }, nullptr, nullptr,
                                 nullptr, nullptr};
  accepted_at_open = false;
  can_use_backend(&broken);
  EXPECT_EQ(opened_node_dl_start_loading(kNode, true), -1);
  EXPECT_TRUE(accepted_at_open);
  // The unit's answer and data identifiers come first.
  EXPECT_EQ(first_ids[0], 0xA44401u);
  EXPECT_EQ(first_ids[1], 0xA84401u);
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
  EXPECT_EQ(log_text(), "");
}

TEST_F(NodeTest, ChannelThatCannotTakeTheNodeIdentifiersIsNotOpened) {
  for (uint32_t id = 1; can_accept_id(id) == 0 && id < 100; ++id) {
  }
  EXPECT_EQ(opened_node_dl_start_loading(kNode, false), -1);
  EXPECT_EQ(console(), "");
  EXPECT_TRUE(tool_frames().empty());
  EXPECT_EQ(log_text(), "CAN channel cannot deliver identifier 05041005\n");
}

TEST_P(SilentNodeTest, UsesTheWholeBudget) {
  const bool force = GetParam();
  EXPECT_EQ(opened_node_dl_start_loading(kNode, force), -3);
  const auto sent = tool_frames();
  // Without force: 201 wake frames, each followed by one wait; DL_START_LOADING never goes out.
  EXPECT_EQ(sent.size(), force ? 0u : 201u);
  for (const auto& frame : sent) EXPECT_EQ(frame.id, kWake);
  EXPECT_EQ(clock_.elapsed_steps(5), 201u * 12u);
  EXPECT_EQ(clock_.elapsed_ms(), 201u * 60u);
  EXPECT_EQ(console(), "Using emulated CAN bus\nNo answer DL_START_LOADING\n");
  const std::string log = log_text();
  EXPECT_EQ(count_lines(log, "DL_START_LOADING\n"), force ? 0 : 201);
  EXPECT_EQ(log.substr(log.size() - 27), "No answer DL_START_LOADING\n");
}
INSTANTIATE_TEST_SUITE_P(Force, SilentNodeTest, ::testing::Bool());

TEST_P(BudgetTest, WakeAndStartPhasesShareOne) {
  const BudgetRow& row = GetParam();
  row.arrange(this);
  EXPECT_EQ(opened_node_dl_start_loading(kNode, row.force), -3) << row.what;
  EXPECT_EQ(tool_frames(kWake).size(), row.wake_frames) << row.what;
  EXPECT_EQ(tool_frames(kCommand).size(), 51u) << row.what;
  for (const auto& frame : tool_frames(kCommand)) EXPECT_EQ(frame.data, bytes({10}));
  EXPECT_EQ(tail(27), "No answer DL_START_LOADING\n") << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, BudgetTest, ::testing::ValuesIn(kBudgetRows));

TEST_F(NodeTest, StartPhaseResendsAfterFramesOnOtherIdentifiers) {
  // A frame on another identifier during the start phase costs a wait and a new DL_START_LOADING.
  script_add({kWake, -1, 0, kWakeAnswer, bytes({})});
  ScriptRule again{kCommand, 10, 0, kAlive, bytes({})};
  again.times = 1;
  script_add(again);
  ScriptRule answer{kCommand, 10, 0, kAnswer, bytes({11})};
  answer.skip = 1;
  script_add(answer);
  EXPECT_EQ(opened_node_dl_start_loading(kNode, false), 0);
  EXPECT_EQ(tool_frames(kCommand).size(), 2u);
}

TEST_F(NodeTest, StartPhaseJudgesTheAnswerOnce) {
  // An answer whose byte 0 is not 11 is refused at once, without another DL_START_LOADING.
  script_add({kWake, -1, 0, kWakeAnswer, bytes({})});
  script_add({kCommand, 10, 0, kAnswer, bytes({0x0C, 1, 2, 3, 4, 5, 6, 7})});
  EXPECT_EQ(opened_node_dl_start_loading(kNode, false), -5);
  EXPECT_EQ(tool_frames(kCommand).size(), 1u);
  EXPECT_EQ(console(), "Using emulated CAN bus\nERROR --- Invalid answer\n07041005  0C  01  02  03\n");
  EXPECT_EQ(log_text(),
            "DL_START_LOADING\nDL_START_LOADING\n07001005 0A 00 00 00 00 00 00 00\n"
            "07041005 0C 01 02 03 04 05 06 07\nInvalid answer\n");
}

TEST_P(SendFailureTest, EndsTheCommand) {
  const SendFailureRow& row = GetParam();
  if (row.arrange) row.arrange(this);
  sim_bus_refuse_tool_sends(row.refuse_from);
  EXPECT_EQ(row.call(), row.result) << row.what;
  EXPECT_EQ(tool_frames().size(), row.refuse_from - 1) << row.what;
  EXPECT_EQ(console(), "Using emulated CAN bus\n") << row.what;
  EXPECT_EQ(log_text(), row.log) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, SendFailureTest, ::testing::ValuesIn(kSendFailureRows));

TEST_P(EraseTest, TakesTheFirstFrameOnAnyIdentifier) {
  const EraseRow& row = GetParam();
  open_channel();
  sim_bus_open_tool_filter(true);
  if (row.after_us != UINT64_MAX) sim_bus_inject(now() + row.after_us, row.id, row.data.data());
  console_.clear();
  clock_.reset_counts();
  EXPECT_EQ(node_dl_erase_app(kNode), row.result) << row.what;
  EXPECT_EQ(console(), row.console) << row.what;
  EXPECT_EQ(log_text(), row.log) << row.what;
  ASSERT_EQ(tool_frames().size(), 1u);
  EXPECT_EQ(tool_frames()[0].id, kCommand);
  EXPECT_EQ(tool_frames()[0].data, bytes({12}));
  // 91 waits of 202 tries when nothing comes: about 92 s.
  if (row.after_us == UINT64_MAX) {
    EXPECT_EQ(clock_.elapsed_steps(5), 91u * 202u);
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, EraseTest, ::testing::ValuesIn(kEraseRows));

TEST_F(NodeTest, CommandFramesCarryTheirArgumentInBytesTwoToFive) {
  open_channel();
  script_add({kCommand, 17, 0, kAnswer, bytes({18})});
  const uint8_t data[8] = {1, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(node_dl_download(kNode, 0x20000), 0);
  EXPECT_EQ(node_dl_send_data(kNode, data), 0);
  EXPECT_EQ(node_dl_flash_command(kNode, 0x1234, false), 0);
  EXPECT_EQ(node_dl_download(kNode, -1), 0);  // sent as 32 bits
  EXPECT_EQ(node_dl_end_of_download(kNode), 0);
  const auto sent = tool_frames();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].id, kCommand);
  EXPECT_EQ(hex8(sent[0].data), "10 00 00 00 02 00 00 00");
  EXPECT_EQ(sent[1].id, kData);
  EXPECT_EQ(hex8(sent[1].data), "01 00 AA BB CC DD EE FF");
  EXPECT_EQ(hex8(sent[2].data), "11 00 34 12 00 00 00 00");
  EXPECT_EQ(hex8(sent[3].data), "10 00 FF FF FF FF 00 00");
  EXPECT_EQ(hex8(sent[4].data), "0E 00 00 00 00 00 00 00");
  EXPECT_EQ(log_text(),
            "DL_DOWNLOAD\nWrite CAN frame   07081005 01 00 AA BB CC DD EE FF\nDL_FLASH_COMMAND\n"
            "DL_DOWNLOAD\nDL_END_OF_DOWNLOAD\n");
  EXPECT_EQ(console(), "Using emulated CAN bus\n");
}

TEST_F(NodeTest, PageGoesOutAsItsHundredFiftyFrames) {
  open_channel();
  std::vector<uint8_t> page(900);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 13 + 1);
  uint32_t sum = 0;
  EXPECT_EQ(node_dl_send_page(kNode, page.data(), &sum), 0);
  EXPECT_EQ(sum, sum_of(page));
  const auto data = tool_frames(kData);
  ASSERT_EQ(data.size(), 150u);
  expect_page_frames(data, 0, page, kNodePageShape, "node page");
  // A refused frame ends the page.
  sim_bus_refuse_tool_sends(1);
  EXPECT_EQ(node_dl_send_page(kNode, page.data(), &sum), -3);
}

TEST_P(FlashAnswerTest, CheckIsRelaxedOnlyForBytesFourToSeven) {
  const FlashAnswerRow& row = GetParam();
  open_channel();
  script_add({kCommand, 17, 2000, kAnswer, row.answer});
  console_.clear();
  const std::string where = hex8(row.answer) + (row.force ? " force" : "");
  EXPECT_EQ(node_dl_flash_command(kNode, 6, row.force), row.result) << where;
  if (row.result == 0) {
    EXPECT_EQ(console(), "") << where;
    EXPECT_EQ(log_text(), "DL_FLASH_COMMAND\n") << where;
  } else {
    EXPECT_EQ(console(), "ERROR --- Illegal answer data\n07041005  " + hex8(row.answer) + "\n")
        << where;
    EXPECT_EQ(log_text(), "DL_FLASH_COMMAND\nIllegal Write to flash answer\n") << where;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, FlashAnswerTest, ::testing::ValuesIn(kFlashAnswerRows));

TEST_P(TenthTryTest, JudgesAFrameOfAnyIdentifier) {
  const TenthTryRow& row = GetParam();
  open_channel();
  sim_bus_open_tool_filter(true);
  // A wait without a frame takes 8 tries of 5 ms.
  const uint64_t strays_at = now() + static_cast<uint64_t>(row.silent_tries) * 40000 + 1000;
  if (row.strays > 0) {
    inject_strays(row.strays - 1, kOk, strays_at);
    sim_bus_inject(strays_at, kStray, row.last_stray.data());
  }
  if (row.answer_after) sim_bus_inject(strays_at + 20000, kAnswer, kOk.data());
  console_.clear();
  clock_.reset_counts();
  EXPECT_EQ(node_dl_flash_command(kNode, 6, false), row.result) << row.what;
  EXPECT_EQ(console(), row.console) << row.what;
  if (row.result == -3) {
    EXPECT_EQ(log_text(), "DL_FLASH_COMMAND\nNo answer DL_WRITE_TO_FLASH_COMMAND\n") << row.what;
  }
  // Ten silent tries: 80 sleeps of 5 ms.
  if (row.silent_tries == 10) {
    EXPECT_EQ(clock_.elapsed_steps(5), 80u);
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, TenthTryTest, ::testing::ValuesIn(kTenthTryRows));

namespace {
// The emulated node judges every page it is given; its answers reach the tool unchanged.
class EmulatedNodeTest : public NodeTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    sim_nodes_config = SimNodesConfig{};
    sim_nodes_config.running_before = true;
    ASSERT_EQ(sim_bus_attach(sim_nodes_device()), 0);
  }
  void TearDown() override {
    sim_nodes_config = SimNodesConfig{};
    NodeTest::TearDown();
  }
  // Sends a page of `frames` data frames of bytes 1, 2, 3, ... (a frame built by `shape`).
  int32_t page(int32_t address, int frames, uint32_t checksum, bool force,
               void (*shape)(int, uint8_t*) = nullptr) {
    if (node_dl_download(kNode, address) != 0) return -100;
    for (int f = 0; f < frames; ++f) {
      uint8_t data[8] = {static_cast<uint8_t>(f + 1), 0};
      for (int k = 2; k < 8; ++k) data[k] = static_cast<uint8_t>(f * 6 + k - 1);
      if (shape) shape(f, data);
      if (node_dl_send_data(kNode, data) != 0) return -101;
    }
    return node_dl_flash_command(kNode, checksum, force);
  }
};

uint32_t page_sum() {
  uint32_t sum = 0;
  for (int i = 0; i < 900; ++i) sum += static_cast<uint8_t>(i + 1);
  return sum;
}

struct RefusedPageRow {
  const char* what;
  bool erase;
  int32_t address;
  int frames;
  uint32_t checksum;
  void (*shape)(int, uint8_t*);
  uint32_t status;
};
class RefusedPageTest
    : public EmulatedNodeTest,
      public ::testing::WithParamInterface<std::tuple<RefusedPageRow, bool>> {};
const uint32_t kSum = page_sum();
const RefusedPageRow kRefusedPageRows[] = {
    {"good page", true, 0x20000, 150, kSum, nullptr, SIM_NODE_PAGE_WRITTEN},
    {"unaligned end page", true, 0x3FFC7C, 150, kSum, nullptr, SIM_NODE_PAGE_WRITTEN},
    {"not erased", false, 0x20000, 150, kSum, nullptr, SIM_NODE_NOT_ERASED},
    {"into the bootloader", true, 0x1FFFF, 150, kSum, nullptr, SIM_NODE_BAD_ADDRESS},
    {"past the flash", true, 0x3FFC7D, 150, kSum, nullptr, SIM_NODE_BAD_ADDRESS},
    {"149 frames", true, 0x20000, 149, kSum, nullptr, SIM_NODE_BAD_SEQUENCE},
    {"a frame twice", true, 0x20000, 150, kSum,
     [](int f, uint8_t* d) { d[0] = static_cast<uint8_t>(f == 7 ? 7 : f + 1); },
     SIM_NODE_BAD_SEQUENCE},
    {"byte 1 set", true, 0x20000, 150, kSum, [](int f, uint8_t* d) { d[1] = f == 3; },
     SIM_NODE_BAD_SEQUENCE},
    {"wrong checksum", true, 0x20000, 150, kSum + 1, nullptr, SIM_NODE_BAD_CHECKSUM},
};

struct PowerOnRow {
  const char* what;
  uint64_t power_on_us;
  uint64_t window_us;
  bool force;
  uint8_t node;
  int32_t result;
};
class PowerOnTest : public NodeTest, public ::testing::WithParamInterface<PowerOnRow> {
 protected:
  void SetUp() override { BusTest::SetUp(); }
  void TearDown() override {
    sim_nodes_config = SimNodesConfig{};
    NodeTest::TearDown();
  }
};
const PowerOnRow kPowerOnRows[] = {
    {"listens, node 5", 300000, 100000, true, 5, 0},
    {"listens, node 127, announced last", 300000, 100000, true, 127, 0},
    {"wakes: the announcement ends the wake phase", 300000, 100000, false, 5, 0},
    {"never switched on", SIM_NODES_NEVER, 100000, true, 5, -3},
    // The bootloader gave up before DL_START_LOADING came: the tool hears the announcement, but
    // the application knows no DL_START_LOADING.
    {"window too short", 0, 1, true, 5, -3},
};
}  // namespace

TEST_P(RefusedPageTest, IsReportedAndNotWritten) {
  const RefusedPageRow& row = std::get<0>(GetParam());
  const bool force = std::get<1>(GetParam());
  ASSERT_EQ(opened_node_dl_start_loading(kNode, false), 0) << row.what;
  if (row.erase) {
    ASSERT_EQ(node_dl_erase_app(kNode), 0) << row.what;
  }
  console_.clear();
  const bool written = row.status == SIM_NODE_PAGE_WRITTEN;
  // A refused page is reported as success in force mode: the status is not looked at.
  EXPECT_EQ(page(row.address, row.frames, row.checksum, force, row.shape), written || force ? 0 : -1)
      << row.what;
  const SimNodeStats stats = sim_node_stats(5);
  EXPECT_EQ(stats.last_status, row.status) << row.what;
  EXPECT_EQ(stats.pages_written, written ? 1u : 0u) << row.what;
  const uint8_t* flash = sim_node_flash(5);
  const uint32_t at = static_cast<uint32_t>(row.address);
  if (written) {
    for (uint32_t i = 0; i < 900; ++i) ASSERT_EQ(flash[at + i], uint8_t(i + 1)) << row.what;
  } else if (at >= 0x20000 && at < SIM_NODE_FLASH_SIZE) {
    EXPECT_EQ(flash[at], row.erase ? 0xFF : SIM_NODE_OLD_FLASH) << row.what;
  }
  if (!written && !force) {
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "ERROR --- Illegal answer data\n07041005  12 00 00 00 %02X 00 00 00\n",
                  row.status);
    EXPECT_EQ(console(), expected) << row.what;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, RefusedPageTest,
                         ::testing::Combine(::testing::ValuesIn(kRefusedPageRows),
                                            ::testing::Bool()));

TEST_F(EmulatedNodeTest, RunningApplicationIgnoresCommandsUntilWoken) {
  open_channel();
  EXPECT_EQ(node_dl_erase_app(kNode), -3);
  EXPECT_EQ(sim_node_stats(5).erases, 0u);
}

TEST_F(EmulatedNodeTest, NodeStatesFollowTheDownload) {
  // Woken and started, it erases its application area only, and the end starts the application.
  ASSERT_EQ(opened_node_dl_start_loading(kNode, false), 0);
  EXPECT_EQ(tool_frames(kWake).size(), 1u);
  ASSERT_EQ(node_dl_erase_app(kNode), 0);
  const uint8_t* flash = sim_node_flash(5);
  EXPECT_EQ(flash[0x1FFFF], SIM_NODE_OLD_FLASH);
  EXPECT_EQ(flash[0x20000], 0xFF);
  EXPECT_EQ(flash[SIM_NODE_FLASH_SIZE - 1], 0xFF);
  // An unknown command changes nothing.
  const Bytes8 unknown = bytes({0x55});
  ASSERT_EQ(can_send_frame(can_frame_of(kCommand, unknown.data())), 0);
  EXPECT_EQ(node_dl_end_of_download(kNode), 0);
  sim_bus_run_until(now() + 2 * SIM_FRAME_US);
  EXPECT_EQ(sim_node_stats(5).end_of_download, 1u);
  EXPECT_EQ(node_dl_erase_app(kNode), -3);  // no longer loading
  EXPECT_EQ(sim_node_stats(5).erases, 1u);
  EXPECT_EQ(sim_node_stats(6).erases, 0u);
  EXPECT_EQ(sim_node_flash(0), nullptr);
  EXPECT_EQ(sim_node_flash(128), nullptr);
}

TEST_P(PowerOnTest, AnnouncementsAndBootloaderWindow) {
  const PowerOnRow& row = GetParam();
  sim_nodes_config = SimNodesConfig{};
  sim_nodes_config.power_on_us = row.power_on_us;
  sim_nodes_config.window_us = row.window_us;
  ASSERT_EQ(sim_bus_attach(sim_nodes_device()), 0);
  const uint64_t start = now();
  EXPECT_EQ(opened_node_dl_start_loading(row.node, row.force), row.result) << row.what;
  if (row.result != 0) return;
  // The node's announcement is the frame that the start followed.
  for (const auto& frame : bus_frames()) {
    if (frame.id == 0x6E01000u + row.node) {
      EXPECT_EQ(frame.done_us, start + row.power_on_us + row.node * 1000u + SIM_FRAME_US)
          << row.what;
    }
  }
  EXPECT_EQ(sim_node_stats(row.node).start_requests, 1u) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, PowerOnTest, ::testing::ValuesIn(kPowerOnRows));

TEST_F(BusTest, EveryNodeOnTheBusAnnouncesItselfOnceInIdOrder) {
  sim_nodes_config = SimNodesConfig{};
  sim_nodes_config.power_on_us = 0;
  sim_nodes_config.absent.set(3);
  ASSERT_EQ(sim_bus_attach(sim_nodes_device()), 0);
  sim_bus_run_until(clock_.now_us() + 1000000);
  sim_nodes_config = SimNodesConfig{};
  std::vector<uint32_t> alive;
  for (const auto& frame : bus_frames()) alive.push_back(frame.id);
  ASSERT_EQ(alive.size(), 126u);
  EXPECT_EQ(alive[0], 0x6E01001u);
  EXPECT_EQ(alive[2], 0x6E01004u);
  EXPECT_EQ(alive.back(), 0x6E0107Fu);
}
