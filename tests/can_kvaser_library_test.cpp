// The Kvaser back-end against the fake CANlib answering as Kvaser's CANlib for Linux (linuxcan
// 5.39, measured in the VM) does where it differs from a reading of the published header: a
// virtual channel refused without canOPEN_ACCEPT_VIRTUAL, the product version apart from the
// library's, canERR_NOCHANNELS for a channel another program holds, canERR_TXBUFOFL from a
// channel that went bus-off, canERR_HARDWARE on every call once the board is gone, and canReadWait
// returning whole timer ticks late.
#include <gtest/gtest.h>

#include <string>

#include "can/channel.h"
#include "can/interfaces.h"
#include "can/kvaser/kvaser.h"
#include "protocol/identifiers.h"
#include "support/can_support.h"
#include "support/kvaser_fixture.h"

namespace {
enum class Scenario {
  OPEN,         // can_open of `target`: its result
  LIST,         // the listing's lines
  SEND,         // after the default open, a frame sent twice: the second send's result
  RECEIVE,      // after the default open, one receive of 5 and 1000 ms: its result
  TEN_WINDOWS,  // after the default open, ten silent receives of 5 and 50 ms: -1 when all were
};

struct LibraryRow {
  const char* name;
  const char* settings;
  Scenario scenario;
  const char* target;  // OPEN: the -i value
  int32_t result;
  std::string console;  // the console holds this
  const char* absent;   // and not this ("" for no such check)
  // The scenario's time on the clock, from the open on: at least, at most (0: not checked).
  uint64_t min_us;
  uint64_t max_us;
  bool stopped;  // the channel stopped for a lost adapter
};

class KvaserLibraryTest : public KvaserFixture, public ::testing::WithParamInterface<LibraryRow> {};

int32_t run_scenario(const LibraryRow& row) {
  if (row.scenario == Scenario::OPEN) return can_open(target_of(row.target));
  if (row.scenario == Scenario::LIST) {
    print_listing(kvaser_list);
    return 0;
  }
  if (can_open(target_of("kvaser")) != 0) return 1;
  const uint8_t data[8] = {0x0A};
  CanFrame frame{};
  switch (row.scenario) {
    case Scenario::SEND:
      can_send_frame(can_frame_of(UNIT_COMMAND_ID, data));
      return can_send_frame(can_frame_of(UNIT_COMMAND_ID, data));
    case Scenario::RECEIVE:
      return can_receive_frame(&frame, 5, 1000);
    case Scenario::TEN_WINDOWS:
      for (int i = 0; i < 10; ++i) {
        if (can_receive_frame(&frame, 5, 50) != -1) return 0;
      }
      return -1;
    case Scenario::OPEN:
    case Scenario::LIST:
      break;
  }
  return 1;
}

TEST_P(KvaserLibraryTest, BackEndFollowsTheLibrary) {
  const LibraryRow& row = GetParam();
  fake_canlib::configure(row.settings);
  ConsoleCapture console;
  clock_.reset_counts();
  EXPECT_EQ(run_scenario(row), row.result);
  const std::string text = console.text();
  EXPECT_NE(text.find(row.console), std::string::npos) << text;
  if (row.absent[0] != '\0') {
    EXPECT_EQ(text.find(row.absent), std::string::npos) << text;
  }
  if (row.max_us != 0) {
    EXPECT_GE(clock_.elapsed_us(), row.min_us);
    EXPECT_LE(clock_.elapsed_us(), row.max_us);
  }
  EXPECT_EQ(can_stopped() == CAN_STOPPED_LOST, row.stopped);
}

const char kLost[] =
    "CAN adapter lost: Kvaser channel (%s: Fake error -15): the adapter was unplugged or its "
    "driver stopped\n";
std::string lost_line(const char* call) {
  char line[200];
  std::snprintf(line, sizeof line, kLost, call);
  return line;
}
const char kBusOff[] =
    "CAN bus state: bus-off (the adapter stopped sending: check the wiring, the termination and "
    "every node's bit rate, then start again)\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, KvaserLibraryTest,
    ::testing::Values(
        // 1. A virtual channel opens only with canOPEN_ACCEPT_VIRTUAL, given when it is named by
        // number; the default walk never opens one.
        LibraryRow{"virtual_channel_by_number", "", Scenario::OPEN, "kvaser:2", 0,
                   "Using Kvaser USBcan interface 'kvaser:2'\n", "Cannot open", 0, 0, false},
        LibraryRow{"walk_never_opens_a_virtual_channel", "cards=1:1", Scenario::OPEN, "kvaser",
                   -1, "Cannot open kvaser: canOpenChannel: no real channel could be opened\n", "",
                   0, 0, false},
        // 2. The product's version, as Kvaser's tools name it, not libcanlib's (8.39).
        LibraryRow{"listing_names_the_product_version", "version_ex=0x052700", Scenario::LIST,
                   "", 0, "/libcanlib.so.1, version 5.39\n", "version 8.", 0, 0, false},
        // Kvaser's virtual card has serial number 1; a virtual channel opens by number alone.
        LibraryRow{"virtual_channel_listed_without_an_identity", "serial@2=1", Scenario::LIST, "",
                   0, "  kvaser:2     Kvaser Virtual CAN Driver, no EAN, serial number 1, virtual\n",
                   "(also -i kvaser@1)", 0, 0, false},
        // 3. Another program holds the channel: canOpenChannel says canERR_NOCHANNELS.
        LibraryRow{"channel_held_by_another_program", "open_elsewhere=0", Scenario::OPEN,
                   "kvaser:0", -1,
                   "Cannot open kvaser:0: canOpenChannel: No channels available: the channel is in "
                   "use by another program: close the program that holds it (Kvaser CanKing, "
                   "another tool), or name another channel with -i\nCAN init error\n",
                   "", 0, 0, false},
        LibraryRow{"device_held_by_another_program", "open_elsewhere=1", Scenario::OPEN,
                   "kvaser@10002", -1, "in use by another program", "", 0, 0, false},
        // 4. A bus-off channel refuses writes as a full buffer would: its state tells them apart,
        // and the refusal is named at once, not retried for 100 ms.
        LibraryRow{"write_refused_for_bus_off", "bus_off_after_write=1", Scenario::SEND, "", -3,
                   kBusOff, "transmit queue still full", 0, 1000, false},
        // (Both sends are retried for 100 ms.)
        LibraryRow{"full_buffer_on_a_channel_on_bus_is_retried", "write=-13", Scenario::SEND, "",
                   -3, "Kvaser USBcan: transmit queue still full after 100 ms\n", "CAN bus state",
                   200000, 201000, false},
        // 5. The board removed: every call says canERR_HARDWARE; a wait under way returns at
        // once, and the receive ends with the adapter lost, not after its 1010 ms.
        LibraryRow{"board_removed_during_a_wait", "unplug_after_ms=300", Scenario::RECEIVE, "",
                   -1, lost_line("canReadWait"), "No answer", 300000, 301000, true},
        LibraryRow{"board_removed_before_a_write", "unplug_after_ms=0", Scenario::SEND, "", -3,
                   lost_line("canWrite"), "", 0, 1000, true},
        // 6. canReadWait returns whole ticks late (4 ms ticks: 50 ms take 56): the windows keep
        // their length on the clock all the same.
        LibraryRow{"silent_windows_keep_their_length_with_late_waits", "read_wait_tick_ms=4",
                   Scenario::TEN_WINDOWS, "", -1, "", "", 600000, 601000, false},
        LibraryRow{"silent_windows_with_exact_waits", "", Scenario::TEN_WINDOWS, "", -1, "", "",
                   600000, 600000, false}),
    RowName());

// The run report's library_version: the product's version, asked once the records want it.
TEST_F(KvaserLibraryTest, OpenedChannelNamesTheProductVersion) {
  fake_canlib::configure("version_ex=0x052700");
  ConsoleCapture console;
  ASSERT_EQ(can_open(target_of("kvaser")), 0);
  EXPECT_EQ(fake_canlib::calls().find("canGetVersionEx"), std::string::npos);
  EXPECT_STREQ(can_opened_name().library_version, "5.39");
}

// The wait's last part is polled: a frame that comes then is read within a millisecond.
TEST_F(KvaserLibraryTest, FrameInTheLastTicksOfAWindowIsReadAtOnce) {
  fake_canlib::configure("read_wait_tick_ms=4");
  ConsoleCapture console;
  ASSERT_EQ(can_open(target_of("kvaser")), 0);
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);  // learns the overshoot
  clock_.reset_counts();
  const uint8_t data[8] = {0xA0};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  const uint64_t silent_us = clock_.elapsed_us();
  EXPECT_GE(silent_us, 60000u);
  EXPECT_LE(silent_us, 61000u);
  fake_canlib::push_frame(UNIT_ANSWER_ID, data);
  clock_.reset_counts();
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  EXPECT_LE(clock_.elapsed_us(), 1000u);
}

// A second open of a channel this process holds exclusively is refused by the library too.
TEST_F(KvaserLibraryTest, SecondExclusiveOpenIsRefused) {
  ConsoleCapture console;
  ASSERT_EQ(can_open(target_of("kvaser:0")), 0);
  using Open = int (*)(int, int);
  const Open open = fake_function<Open>(fake_canlib::library(), "canOpenChannel");
  EXPECT_EQ(open(0, 8), -5);
  EXPECT_EQ(open(1, 8), 101);
}
}  // namespace
