// The emulated bus: frame timing, arbitration, delivery and filtering, the record, and the faults
// that tests inject; the `-i sim` back-end on top of it. Runs on the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/identifiers.h"
#include "can/sim/sim_backend.h"
#include "can/sim/sim_bus.h"
#include "support/can_support.h"
#include "sim/world.h"

namespace {
constexpr uint64_t kTurnaroundUs = 100;
constexpr uint32_t kOtherAnswerId = 0xAC4401;

// Answers every command with its own bytes on the unit's answer identifier after kTurnaroundUs.
void responder_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]);
const SimDevice kResponder{"responder", nullptr, responder_on_frame};
void responder_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]) {
  if (id == UNIT_COMMAND_ID)
    sim_bus_transmit(&kResponder, at_us + kTurnaroundUs, UNIT_ANSWER_ID, data);
}

// Answers every command at once on another identifier, competing with the responder.
void rival_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]);
const SimDevice kRival{"rival", nullptr, rival_on_frame};
void rival_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]) {
  if (id == UNIT_COMMAND_ID)
    sim_bus_transmit(&kRival, at_us + kTurnaroundUs, kOtherAnswerId, data);
}

// Remembers what it saw.
std::vector<uint32_t> g_seen;
int g_listener_resets = 0;
void listener_reset() { ++g_listener_resets; }
void listener_on_frame(uint64_t, uint32_t id, const uint8_t*) { g_seen.push_back(id); }
const SimDevice kListener{"listener", listener_reset, listener_on_frame};

const uint8_t kCommand[8] = {0x0A, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};

class SimBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    sim_bus_reset();
    sim_bus_record_frames(true);
    g_seen.clear();
    g_listener_resets = 0;
    start_ = clock_.now_us();
  }
  void TearDown() override {
    can_reset();
    sim_bus_reset();
  }
  std::vector<SimBusFrame> record() const {
    const SimBusFrame* frames = nullptr;
    const size_t count = sim_bus_frames(&frames);
    return std::vector<SimBusFrame>(frames, frames + count);
  }
  // Opens the channel on the emulated bus with the devices attached so far.
  void open_sim() {
    ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
    ASSERT_EQ(can_accept_id(UNIT_DATA_ID), 0);
    const CanTarget selected = target_of("sim");
    ConsoleCapture console;
    ASSERT_EQ(can_open(selected), 0);
    ASSERT_EQ(console.text(), "Using emulated CAN bus\n");
  }
  VirtualClock clock_;
  uint64_t start_ = 0;
};

TEST_F(SimBusTest, AnswerIsReadableOnlyWhenItWouldHaveArrived) {
  sim_bus_attach(&kResponder);
  open_sim();
  ASSERT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  const uint64_t arrival = start_ + SIM_FRAME_US + kTurnaroundUs + SIM_FRAME_US;
  CanFrame frame{};
  clock_.advance_us(arrival - start_ - 1);
  EXPECT_NE(sim_bus_tool_try_receive(frame.data, &frame.id), 0);
  clock_.advance_us(1);
  ASSERT_EQ(sim_bus_tool_try_receive(frame.data, &frame.id), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  EXPECT_EQ(std::memcmp(frame.data, kCommand, 8), 0);

  const std::vector<SimBusFrame> frames = record();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].done_us, start_ + SIM_FRAME_US);
  EXPECT_EQ(frames[0].sender, nullptr);
  EXPECT_EQ(frames[0].id, UNIT_COMMAND_ID);
  EXPECT_EQ(frames[1].done_us, arrival);
  EXPECT_EQ(frames[1].sender, &kResponder);
}

TEST_F(SimBusTest, ChannelPicksTheAnswerUpAfterOneStep) {
  sim_bus_attach(&kResponder);
  open_sim();
  ASSERT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  EXPECT_EQ(clock_.elapsed_steps(5), 1u);
}

TEST_F(SimBusTest, BurstGoesOutBackToBackInOrderAndOnlyOthersSeeIt) {
  sim_bus_attach(&kListener);
  open_sim();
  for (int i = 0; i < 37; ++i) ASSERT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, kCommand)), 0);
  // Queued last, so sent last although its identifier is lower.
  ASSERT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  sim_bus_run_until(start_ + 38 * SIM_FRAME_US - 1);
  EXPECT_EQ(record().size(), 37u);
  sim_bus_run_until(start_ + 38 * SIM_FRAME_US);
  const std::vector<SimBusFrame> frames = record();
  ASSERT_EQ(frames.size(), 38u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].done_us, start_ + (i + 1) * SIM_FRAME_US);
    EXPECT_EQ(frames[i].id, i < 37 ? UNIT_DATA_ID : UNIT_COMMAND_ID);
  }
  EXPECT_EQ(g_seen.size(), 38u);
  CanFrame frame{};
  EXPECT_NE(sim_bus_tool_try_receive(frame.data, &frame.id), 0);  // the tool never hears itself
}

TEST_F(SimBusTest, LowerIdentifierWinsArbitrationAndTheLoserFollows) {
  sim_bus_attach(&kRival);
  sim_bus_attach(&kResponder);
  sim_bus_attach(&kListener);
  EXPECT_EQ(g_listener_resets, 1);
  EXPECT_EQ(sim_bus_attach(&kListener), -1);
  EXPECT_EQ(sim_bus_device_count(), 3u);
  ASSERT_EQ(sim_bus_tool_send(UNIT_COMMAND_ID, kCommand), 0);
  sim_bus_run_until(start_ + 10000);
  const std::vector<SimBusFrame> frames = record();
  ASSERT_EQ(frames.size(), 3u);
  const uint64_t both_ready = start_ + SIM_FRAME_US + kTurnaroundUs;
  EXPECT_EQ(frames[1].id, UNIT_ANSWER_ID);
  EXPECT_EQ(frames[1].done_us, both_ready + SIM_FRAME_US);
  EXPECT_EQ(frames[2].id, kOtherAnswerId);
  EXPECT_EQ(frames[2].sender, &kRival);
  EXPECT_EQ(frames[2].done_us, both_ready + 2 * SIM_FRAME_US);
  EXPECT_EQ(g_seen,
            (std::vector<uint32_t>{UNIT_COMMAND_ID, UNIT_ANSWER_ID, kOtherAnswerId}));
}

struct FilterRow {
  const char* name;
  uint32_t added_id;  // 0: none
  bool open_filter;
  std::vector<uint32_t> delivered;
};
void PrintTo(const FilterRow& row, std::ostream* os) { *os << row.name; }

class SimFilterTest : public SimBusTest, public ::testing::WithParamInterface<FilterRow> {};

TEST_P(SimFilterTest, ToolReceivesTheAcceptedIdentifiers) {
  const FilterRow& row = GetParam();
  if (row.added_id) can_accept_id(row.added_id);
  sim_bus_attach(&kListener);
  open_sim();
  sim_bus_open_tool_filter(row.open_filter);
  const uint32_t sent[] = {UNIT_ANSWER_ID, kOtherAnswerId, 0x7041005, UNIT_DATA_ID};
  for (uint32_t id : sent) sim_bus_inject(start_, id, kCommand);
  // One node's frames leave in the order it queued them, whatever their identifiers.
  std::vector<uint32_t> delivered;
  CanFrame frame{};
  while (can_receive_frame(&frame, 5, 50) == 0) delivered.push_back(frame.id);
  EXPECT_EQ(delivered, row.delivered);
  EXPECT_EQ(record().size(), 4u);
  EXPECT_EQ(record()[0].sender, sim_bus_other_node());
}

INSTANTIATE_TEST_SUITE_P(
    Filter, SimFilterTest,
    ::testing::Values(
        FilterRow{"unit", 0, false, {UNIT_ANSWER_ID, UNIT_DATA_ID}},
        FilterRow{"node", 0x7041005, false, {UNIT_ANSWER_ID, 0x7041005, UNIT_DATA_ID}},
        // An open adapter filter lets strays through; the channel still drops them.
        FilterRow{"open", 0, true, {UNIT_ANSWER_ID, UNIT_DATA_ID}}),
    [](const ::testing::TestParamInfo<FilterRow>& row_info) { return std::string(row_info.param.name); });

TEST_F(SimBusTest, RefusedSendsStayOffTheBus) {
  sim_bus_attach(&kListener);
  open_sim();
  sim_bus_refuse_tool_sends(3);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), -3);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), -3);
  sim_bus_refuse_tool_sends(0);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  sim_bus_run_until(start_ + 10000);
  EXPECT_EQ(record().size(), 3u);
}

// Transmit hooks: silence, a wrong answer byte, a delay of 20 ms.
bool drop_all(const SimDevice*, uint64_t*, uint32_t*, uint8_t*) { return false; }
bool corrupt_byte0(const SimDevice*, uint64_t*, uint32_t*, uint8_t* data) {
  data[0] = 0x0C;
  return true;
}
bool delay_20ms(const SimDevice*, uint64_t* ready_us, uint32_t*, uint8_t*) {
  *ready_us += 20000;
  return true;
}

struct HookRow {
  const char* name;
  SimTransmitHook hook;
  int32_t result;   // of one receive window of 5/50
  uint8_t byte0;    // of the delivered answer
  uint64_t sleeps;  // requested by that window
};
void PrintTo(const HookRow& row, std::ostream* os) { *os << row.name; }

class SimHookTest : public SimBusTest, public ::testing::WithParamInterface<HookRow> {};

TEST_P(SimHookTest, DeviceFramesPassTheHook) {
  const HookRow& row = GetParam();
  sim_bus_attach(&kResponder);
  open_sim();
  sim_bus_set_transmit_hook(row.hook);
  ASSERT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, kCommand)), 0);
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), row.result);
  EXPECT_EQ(frame.data[0], row.byte0);
  EXPECT_EQ(clock_.elapsed_steps(5), row.sleeps);
}

INSTANTIATE_TEST_SUITE_P(Faults, SimHookTest,
                         ::testing::Values(HookRow{"none", nullptr, 0, 0x0A, 1},
                                           HookRow{"silence", drop_all, -1, 0, 12},
                                           HookRow{"wrong_byte", corrupt_byte0, 0, 0x0C, 1},
                                           HookRow{"delay", delay_20ms, 0, 0x0A, 5}),
                         [](const ::testing::TestParamInfo<HookRow>& row_info) {
                           return std::string(row_info.param.name);
                         });

TEST_F(SimBusTest, OpenKeepsTheDevicesATestAttached) {
  sim_bus_attach(&kListener);
  open_sim();
  EXPECT_EQ(sim_bus_device_count(), 1u);
  EXPECT_EQ(g_listener_resets, 1);
}

TEST_F(SimBusTest, OpenPutsTheDevicesHandedOverOnAnEmptyBus) {
  sim_backend_set_devices(sim_world_devices());
  open_sim();
  sim_backend_set_devices(nullptr);
  size_t world = 0;
  for (const SimDevice* const* device = sim_world_devices(); *device; ++device) ++world;
  EXPECT_EQ(sim_bus_device_count(), world);
}

TEST_F(SimBusTest, OpenWithoutDevicesLeavesTheBusEmpty) {
  open_sim();
  EXPECT_EQ(sim_bus_device_count(), 0u);
}

TEST_F(SimBusTest, ResetEmptiesTheBus) {
  sim_bus_attach(&kResponder);
  sim_bus_set_transmit_hook(drop_all);
  sim_bus_refuse_tool_sends(1);
  sim_bus_inject(start_, UNIT_ANSWER_ID, kCommand);
  sim_bus_run_until(start_ + SIM_FRAME_US);
  sim_bus_reset();
  EXPECT_EQ(sim_bus_device_count(), 0u);
  EXPECT_TRUE(record().empty());
  CanFrame frame{};
  EXPECT_NE(sim_bus_tool_try_receive(frame.data, &frame.id), 0);
  EXPECT_EQ(sim_bus_tool_send(UNIT_COMMAND_ID, kCommand), 0);
}
}  // namespace
