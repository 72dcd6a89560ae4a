#include "support/bus_fixture.h"

#include <cstdio>
#include <cstring>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/command_layer.h"
#include "protocol/identifiers.h"
#include "log/log.h"
#include "ops/outcome.h"
#include "ops/run_record.h"
#include "protocol/download.h"
#include "protocol/node_commands.h"
#include "protocol/parameters.h"
#include "sim/unit.h"
#include "sim/world.h"

namespace {
struct RuleState {
  ScriptRule rule;
  int matched;
  int answered;
};
std::vector<RuleState> g_rules;

void script_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]);
const SimDevice kScript{"scripted device", nullptr, script_on_frame};

void script_on_frame(uint64_t at_us, uint32_t id, const uint8_t data[8]) {
  for (RuleState& state : g_rules) {
    const ScriptRule& rule = state.rule;
    if (rule.on_id != id || (rule.on_code >= 0 && rule.on_code != data[0])) continue;
    if (state.matched++ < rule.skip) continue;
    if (rule.times >= 0 && state.answered >= rule.times) continue;
    ++state.answered;
    sim_bus_transmit(&kScript, at_us + rule.delay_us, rule.id, rule.data.data());
  }
}
}  // namespace

void script_clear() { g_rules.clear(); }
void script_add(const ScriptRule& rule) { g_rules.push_back({rule, 0, 0}); }
const SimDevice* script_device() { return &kScript; }

std::vector<SeenFrame> bus_frames() {
  const SimBusFrame* frames = nullptr;
  const size_t count = sim_bus_frames(&frames);
  std::vector<SeenFrame> seen;
  for (size_t i = 0; i < count; ++i) {
    SeenFrame frame{frames[i].done_us, frames[i].sender == nullptr, frames[i].id, {}};
    std::memcpy(frame.data.data(), frames[i].data, 8);
    seen.push_back(frame);
  }
  return seen;
}

std::vector<SeenFrame> tool_frames(uint32_t id) {
  // Frames still waiting for the bus count as sent.
  sim_bus_run_until(UINT64_MAX / 2);
  std::vector<SeenFrame> sent;
  for (const SeenFrame& frame : bus_frames()) {
    if (frame.from_tool && (id == 0 || frame.id == id)) sent.push_back(frame);
  }
  return sent;
}

int32_t opened_dl_start_loading() {
  if (operation_open_channel(target_of("sim"), UNIT_LISTEN_IDS, UNIT_LISTEN_ID_COUNT) != 0) {
    return -1;
  }
  return dl_start_loading();
}

int32_t opened_enter_production_test_mode() {
  const int32_t opened =
      operation_open_channel(target_of("sim"), UNIT_LISTEN_IDS, UNIT_LISTEN_ID_COUNT);
  if (opened != 0) return opened < 0 ? opened : -1;
  return enter_production_test_mode();
}

int32_t opened_node_dl_start_loading(uint8_t node, bool force) {
  uint32_t ids[NODE_LISTEN_ID_COUNT];
  const int count = node_dl_listen_ids(node, ids);
  if (count < 0 || operation_open_channel(target_of("sim"), ids, count) != 0) return -1;
  return node_dl_start_loading(node, force);
}

void BusTest::SetUp() {
  can_reset();
  command_forget_late_answers();
  // What an earlier test's operation recorded (a forced page) would change this one's lines.
  run_record_reset();
  sim_bus_reset();
  sim_bus_record_frames(true);
  sim_world_keep_memories(true);
  script_clear();
  // As the unit's opening commands ask, so that a test may open the channel by itself.
  ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
  ASSERT_EQ(can_accept_id(UNIT_DATA_ID), 0);
  ASSERT_EQ(log_open(), 0);
  log_set_level(level_);
  console_.clear();
  clock_.reset_counts();
}

void BusTest::TearDown() {
  log_close();
  can_reset();
  sim_bus_reset();
  script_clear();
}

std::string BusTest::log_text() {
  log_close();
  const std::string text = read_file("ZR4_BL_Log.txt");
  const std::string head =
      "\n   ---------   ZR4_BL_Log   --------\n\nLogger level " + std::to_string(level_) + "\n";
  EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
  return text.size() >= head.size() ? text.substr(head.size()) : text;
}

void BusTest::expect_console_end(const std::string& end, const std::string& what) {
  const std::string& out = console();
  ASSERT_GE(out.size(), end.size()) << what << "\n" << out;
  EXPECT_EQ(out.substr(out.size() - end.size()), end) << what << "\n" << out;
}

const std::string kSeparator = "-------------------------------------------------------------\n";

std::string parameter_progress_lines(int first, int end) {
  std::string text;
  for (int block = first; block < end; ++block) {
    const int p = (2000 * block + 208) / 416;  // per mille, rounded
    text += std::to_string(p / 10) + "." + std::to_string(p % 10) + "%\n";
  }
  return text;
}

Bytes8 bytes(std::initializer_list<int> values) {
  Bytes8 data{};
  size_t i = 0;
  for (int v : values) data[i++] = static_cast<uint8_t>(v);
  return data;
}

std::string hex8(const Bytes8& data) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X %02X %02X %02X %02X %02X %02X %02X", data[0], data[1],
                data[2], data[3], data[4], data[5], data[6], data[7]);
  return text;
}

std::vector<uint8_t> page_slice(const std::vector<uint8_t>& image, size_t first, size_t count) {
  std::vector<uint8_t> page(count, 0);
  for (size_t i = 0; i < count && first + i < image.size(); ++i) page[i] = image[first + i];
  return page;
}

uint32_t sum_of(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum;
}

std::vector<Bytes8> page_frames(const std::vector<uint8_t>& page, const PageShape& shape) {
  std::vector<Bytes8> frames;
  size_t offset = 0;
  for (int f = 0; f < shape.frames; ++f) {
    Bytes8 frame{};
    frame[0] = static_cast<uint8_t>(shape.first_sequence + f);
    for (size_t k = static_cast<size_t>(shape.first_byte); k < 8; ++k, ++offset) {
      if (offset < shape.size) frame[k] = page[offset];
    }
    frames.push_back(frame);
  }
  return frames;
}

bool expect_page_frames(const std::vector<SeenFrame>& data, size_t first,
                        const std::vector<uint8_t>& page, const PageShape& shape,
                        const std::string& where) {
  const std::vector<Bytes8> expected = page_frames(page, shape);
  if (data.size() < first + expected.size()) {
    ADD_FAILURE() << where << ": " << data.size() << " data frames";
    return false;
  }
  for (size_t f = 0; f < expected.size(); ++f) {
    if (data[first + f].data != expected[f]) {
      ADD_FAILURE() << where << " frame " << f << ": " << hex8(data[first + f].data)
                    << " instead of " << hex8(expected[f]);
      return false;
    }
  }
  return true;
}

uint32_t tail_of(const Bytes8& data) {
  return static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
      static_cast<uint32_t>(data[6]) << 16 | static_cast<uint32_t>(data[7]) << 24;
}

std::vector<uint8_t> unit_parameter_memory() {
  return std::vector<uint8_t>(sim_unit_parameters(), sim_unit_parameters() + SIM_UNIT_PARAMETER_SIZE);
}
