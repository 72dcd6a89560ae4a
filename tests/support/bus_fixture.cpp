#include "support/bus_fixture.h"

#include <cstdio>
#include <cstring>

#include "can/can.h"
#include "log/log.h"

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

void BusTest::SetUp() {
  can_reset();
  sim_bus_reset();
  script_clear();
  ASSERT_EQ(can_select_interface("sim"), 0);
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
