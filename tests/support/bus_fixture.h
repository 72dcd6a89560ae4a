// Protocol and operation tests on the emulated bus: a virtual clock, a scratch working directory
// with the log open at a chosen level, console capture, the channel set to the emulated bus, and a
// scripted device that answers frames by a table of rules.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "can/sim/sim_bus.h"
#include "support/test_support.h"

using Bytes8 = std::array<uint8_t, 8>;

// When a frame with `on_id` (and byte 0 == on_code unless on_code < 0) reaches the scripted device,
// it answers `data` on `id` after `delay_us`. The first `skip` matches are not answered; a rule
// answers at most `times` matches (-1: every one).
struct ScriptRule {
  uint32_t on_id;
  int on_code;
  uint64_t delay_us;
  uint32_t id;
  Bytes8 data;
  int skip = 0;
  int times = -1;
};

void script_clear();
void script_add(const ScriptRule& rule);
const SimDevice* script_device();

// A frame as the record holds it, for easy comparison.
struct SeenFrame {
  uint64_t done_us;
  bool from_tool;
  uint32_t id;
  Bytes8 data;
};
std::vector<SeenFrame> bus_frames();
// Frames the tool sent with this identifier (all when id == 0).
std::vector<SeenFrame> tool_frames(uint32_t id = 0);

// The opening commands as an operation issues them: the channel opened onto the emulated bus for
// the identifiers the service needs (a failed opening is the command's -1, or the channel's code
// for production test mode), then the command itself.
int32_t opened_dl_start_loading();
int32_t opened_enter_production_test_mode();
int32_t opened_node_dl_start_loading(uint8_t node, bool force);

class BusTest : public ::testing::Test {
 protected:
  // Log level for the test; LOG_ALWAYS | LOG_CAN_FRAMES by default.
  explicit BusTest(int32_t level = 7) : level_(level) {}
  void SetUp() override;
  void TearDown() override;

  // Closes the log (again) and returns what follows its banner and level line.
  std::string log_text();
  const std::string& console() const { return console_.text(); }
  // Checks that the console text ends with `end`.
  void expect_console_end(const std::string& end, const std::string& what);

  ScratchDir dir_;
  VirtualClock clock_;
  ConsoleCapture console_;
  int32_t level_;
};

// A fixture that runs once per row of a table: TEST_P(RowTest<Fixture, Row>, ...) with GetParam().
template <typename Fixture, typename Row>
class RowTest : public Fixture, public ::testing::WithParamInterface<Row> {};

// The operations' separator line.
extern const std::string kSeparator;
// The progress lines a parameter operation prints for pages first to end - 1 of its 208.
std::string parameter_progress_lines(int first, int end);

Bytes8 bytes(std::initializer_list<int> values);
std::string hex8(const Bytes8& data);

// How the tool cuts a page into data frames, written out independently of the code under test.
struct PageShape {
  size_t size;
  int frames;
  int first_sequence;
  int first_byte;  // bytes 1 up to it are 0
};
constexpr PageShape kUnitPageShape{256, 37, 0, 1};
constexpr PageShape kNodePageShape{900, 150, 1, 2};

// `count` bytes of `image` from `first`, zeros where the image ends.
std::vector<uint8_t> page_slice(const std::vector<uint8_t>& image, size_t first, size_t count);
uint32_t sum_of(const std::vector<uint8_t>& bytes);
// A page's data frames as the tool sends them: sequence numbers, zero bytes, the page's bytes in
// order, zero fillers.
std::vector<Bytes8> page_frames(const std::vector<uint8_t>& page, const PageShape& shape);
// Checks that data[first ..] are the page's frames; stops at the first wrong frame. True when
// they all were.
bool expect_page_frames(const std::vector<SeenFrame>& data, size_t first,
                        const std::vector<uint8_t>& page, const PageShape& shape,
                        const std::string& where);
// The emulated unit's parameter memory, all 0xD000 bytes.
std::vector<uint8_t> unit_parameter_memory();
// Bytes 4-7 of a frame as a little-endian number (a unit argument, a status, a checksum).
uint32_t tail_of(const Bytes8& data);
