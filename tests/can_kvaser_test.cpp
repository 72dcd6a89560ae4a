// The Kvaser back-end through a fake CANlib loaded by the system's loader: the channel walk and its
// calls, every failure of the set-up, the write, and the receive's identifier check and timeout
// report.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/identifiers.h"
#include "can/kvaser/kvaser.h"
#include "can/kvaser/kvaser_library.h"
#include "support/can_support.h"
#include "support/kvaser_fixture.h"

namespace {
const char kLoadOk[] = "Kvaser: canlib32.dll Load OK\n";
const char kCannotInit[] = "Kvaser: Cannot initialize DLL\n";
const char kNoChannel[] = "Kvaser: Cannot init download\n";
const char kInitOk[] = "Kvaser: CAN Init OK\n";
const char* const kAbsent[] = {"libcanlib_absent.so.1", nullptr};
const FakeLibrary kNoWrite("libcanlib_no_write.so.1");
const CanTarget kFirst{CAN_DEFAULT_CHANNEL, "", false};

// The calls that open channel `index` for this run alone: its device's identity (serial number,
// channel on the device: the name of the run's lock) and the exclusive open.
std::string open_calls(int index) {
  const std::string i = std::to_string(index);
  return "canGetChannelData(" + i + ", 7, 8)\ncanGetChannelData(" + i + ", 6, 4)\ncanOpenChannel(" +
         i + ", 8)\n";
}

// The calls that set up channel `index` (handle 100 + index) with the unit's filters.
std::string set_up_calls(int index) {
  char text[512];
  const int handle = 100 + index;
  std::snprintf(text, sizeof text,
                "%s"
                "canSetBusParams(%d, -3, 0, 0, 0, 0, 0)\n"
                "canSetAcceptanceFilter(%d, 0x1, 0x7FF, 0)\n"
                "canSetAcceptanceFilter(%d, 0xA04401, 0x1FF3FFFF, 1)\n"
                "canBusOn(%d)\n",
                open_calls(index).c_str(), handle, handle, handle, handle);
  return text;
}

std::string channel_data_call(int index) {
  return "canGetChannelData(" + std::to_string(index) + ", 4, 4)\n";
}

class KvaserTest : public KvaserFixture {
 protected:
  // Opens the channel on Kvaser alone.
  void open_channel() {
    can_use_backend(kvaser_backend());
    ASSERT_EQ(can_open(CanTarget{}), 0);
  }
};

TEST_F(KvaserTest, WalkSkipsVirtualChannelsAndOneThatDoesNotOpen) {
  fake_canlib::configure("cards=0:1:48:64,open_fail=2");
  EXPECT_EQ(open_backend(kvaser_open, &kFirst), 0);
  EXPECT_EQ(fake_canlib::calls(),
            "canInitializeLibrary()\ncanGetNumberOfChannels(0)\n" + channel_data_call(0) +
                channel_data_call(1) + channel_data_call(2) + open_calls(2) +
                "canGetErrorText(-3, 50)\n" + channel_data_call(3) + set_up_calls(3));
  EXPECT_EQ(log_.text(), std::string(kLoadOk) +
                             "Kvaser: canOpenChannel: failed, status=-3 (Fake error -3)\n" +
                             kInitOk);
}

using OpenRow = VendorOpenRow;
class KvaserOpenTest : public KvaserTest, public ::testing::WithParamInterface<OpenRow> {};

TEST_P(KvaserOpenTest, OpenLogsAndResult) {
  const VendorOpen kvaser{kvaser_test_reset, fake_canlib::library().names(),
                          fake_canlib::configure, fake_canlib::calls, kvaser_open};
  expect_open_row(kvaser, GetParam(), &log_);
}

std::string status_line(const char* label, int status) {
  return std::string("Kvaser: ") + label + ": failed, status=" + std::to_string(status) +
         " (Fake error " + std::to_string(status) + ")\n";
}

const std::string kStandard = "canSetAcceptanceFilter for standard messages";
const std::string kExtended = "canSetAcceptanceFilter for extended messages";

INSTANTIATE_TEST_SUITE_P(
    Rows, KvaserOpenTest,
    ::testing::Values(
        OpenRow{"opens", nullptr, "", 0, std::string(kLoadOk) + kInitOk},
        OpenRow{"library_absent", kAbsent, "", -1,
                std::string("Kvaser: ERROR: can not load canlib32.dll\n") + kCannotInit},
        OpenRow{"entry_point_missing", kNoWrite.names(), "", -1,
                std::string("Kvaser: ERROR: canlib32.dll can not resolve functions. Please check "
                            "Kvaser driver version.\n") +
                    kCannotInit},
        OpenRow{"channel_count_fails", nullptr, "channels_status=-3", -3,
                std::string(kLoadOk) + "Kvaser: CAN Init Error\n"},
        OpenRow{"no_channels", nullptr, "channels=0", -1, std::string(kLoadOk) + kNoChannel},
        OpenRow{"too_many_channels", nullptr, "channels=301", -1,
                std::string(kLoadOk) + kNoChannel},
        OpenRow{"only_virtual_channels", nullptr, "cards=1:1:0", -1,
                std::string(kLoadOk) + kNoChannel},
        OpenRow{"channel_data_fails", nullptr, "channel_data_status=-1", -1,
                std::string(kLoadOk) + kNoChannel},
        OpenRow{"bus_params_fail_and_set_up_goes_on", nullptr, "bus_params=-1", 0,
                std::string(kLoadOk) + status_line("canSetBusParams", -1) + kInitOk},
        OpenRow{"filters_not_implemented", nullptr, "standard_filter=-32,extended_filter=-32", 0,
                std::string(kLoadOk) + status_line(kStandard.c_str(), -32) +
                    status_line(kExtended.c_str(), -32) + kInitOk}),
    RowName());

struct StepRow {
  const char* name;
  const char* settings;  // a step that fails on channel 0 only
  std::string calls_up_to_failure;
  std::string report;
};
void PrintTo(const StepRow& row, std::ostream* os) { *os << row.name; }

class KvaserStepTest : public KvaserTest, public ::testing::WithParamInterface<StepRow> {};

TEST_P(KvaserStepTest, FailedSetUpStepClosesTheChannelAndTheNextIsUsed) {
  const StepRow& row = GetParam();
  fake_canlib::configure(row.settings);
  EXPECT_EQ(open_backend(kvaser_open, &kFirst), 0);
  EXPECT_EQ(fake_canlib::calls(), "canInitializeLibrary()\ncanGetNumberOfChannels(0)\n" +
                                      channel_data_call(0) + row.calls_up_to_failure +
                                      "canClose(100)\n" + channel_data_call(1) + set_up_calls(1));
  EXPECT_EQ(log_.text(), std::string(kLoadOk) + row.report + kInitOk);
}

// The set-up calls of channel 0 up to and including the one at `last_line` (1-based; the open is
// the third).
std::string first_calls(int last_line, int error_status) {
  const std::string all = set_up_calls(0);
  size_t end = 0;
  for (int i = 0; i < last_line; ++i) end = all.find('\n', end) + 1;
  return all.substr(0, end) + "canGetErrorText(" + std::to_string(error_status) + ", 50)\n";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, KvaserStepTest,
    ::testing::Values(StepRow{"standard_filter", "cards=48:48,standard_filter@0=-1",
                              first_calls(5, -1), status_line(kStandard.c_str(), -1)},
                      StepRow{"extended_filter", "cards=48:48,extended_filter@0=-1",
                              first_calls(6, -1), status_line(kExtended.c_str(), -1)},
                      StepRow{"bus_on", "cards=48:48,bus_on@0=-7", first_calls(7, -7),
                              status_line("canBusOn", -7)}),
    RowName());

TEST_F(KvaserTest, UsualNamesNameTheLibrary) {
  kvaser_test_reset(nullptr);
  EXPECT_EQ(open_backend(kvaser_open, &kFirst), 0);
}

TEST_F(KvaserTest, WriteSendsOneExtendedFrameAndReportsARefusal) {
  open_channel();
  fake_canlib::reset();
  const uint8_t data[8] = {0x11, 0, 0, 0, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), 0);
  fake_canlib::configure("write=-1");
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, data)), -3);
  EXPECT_EQ(fake_canlib::calls(),
            "canWrite(100, 0xA84401, 11 00 00 00 44 33 22 11, 8, 0x4)\n"
            "canWrite(100, 0xA04401, 11 00 00 00 44 33 22 11, 8, 0x4)\n"
            "canGetErrorText(-1, 50)\n");
  EXPECT_EQ(log_.text(), std::string(kLoadOk) + kInitOk + status_line("canWrite", -1));
}

TEST_F(KvaserTest, TimeoutOnAnEmptyQueueReportsTheLastRead) {
  open_channel();
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(clock_.elapsed_steps(5), 12u);
  EXPECT_EQ(log_.text(), std::string(kLoadOk) + kInitOk +
                             "Kvaser: canRead: failed, status=-2 (No messages available)\n");
}

TEST_F(KvaserTest, ForeignIdentifiersCostATryAndTheirTimeoutLogsNothing) {
  open_channel();
  const uint8_t bytes[8] = {0x0B, 1, 2, 3, 4, 5, 6, 7};
  // The adapter's code and mask admit the command and 0xAC4401 as well; neither is delivered.
  for (int i = 0; i < 6; ++i) {
    fake_canlib::push_frame(UNIT_COMMAND_ID, bytes);
    fake_canlib::push_frame(0xAC4401, bytes);
  }
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(clock_.elapsed_steps(5), 12u);
  EXPECT_EQ(frame.id, 0u);
  EXPECT_EQ(frame.data[0], 0);
  EXPECT_EQ(log_.text(), std::string(kLoadOk) + kInitOk);
}

TEST_F(KvaserTest, AcceptedFrameAfterAForeignOneIsDelivered) {
  open_channel();
  const uint8_t bytes[8] = {0xA0, 1, 2, 3, 4, 5, 6, 7};
  fake_canlib::push_frame(0xAC4401, bytes);
  fake_canlib::push_frame(UNIT_DATA_ID, bytes, 2);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 1, 50), 0);
  EXPECT_EQ(frame.id, UNIT_DATA_ID);
  EXPECT_EQ(std::memcmp(frame.data, bytes, 2), 0);
  EXPECT_EQ(clock_.elapsed_steps(1), 1u);
}

TEST_F(KvaserTest, AddedIdentifiersWidenTheExtendedFilterAndAreDelivered) {
  const uint32_t node[] = {0x5041005, 0x6E01005, 0x7041005};
  for (uint32_t id : node) can_accept_id(id);
  open_channel();
  const std::string calls = fake_canlib::calls();
  const std::string prefix =
      "canSetAcceptanceFilter(100, 0x1, 0x7FF, 0)\ncanSetAcceptanceFilter(100, ";
  const size_t at = calls.find(prefix);
  ASSERT_NE(at, std::string::npos) << calls;
  unsigned int code = 0;
  unsigned int mask = 0;
  ASSERT_EQ(std::sscanf(calls.c_str() + at + prefix.size(), "0x%X, 0x%X, 1)", &code, &mask), 2);
  const uint32_t* ids = nullptr;
  const int count = can_accepted_ids(&ids);
  for (int i = 0; i < count; ++i) EXPECT_EQ(ids[i] & mask, code) << std::hex << ids[i];
  EXPECT_EQ(UNIT_COMMAND_ID & mask, code);
  EXPECT_NE(mask & 0x1FFFFFFF, 0u);

  const uint8_t bytes[8] = {0x0B};
  for (uint32_t id : node) fake_canlib::push_frame(id, bytes);
  for (uint32_t expected : node) {
    CanFrame frame{};
    ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
    EXPECT_EQ(frame.id, expected);
  }
}
TEST_F(KvaserTest, WithANodesIdentifiersOtherFramesAreDroppedWithinTheTry) {
  for (uint32_t id : {0x5041005u, 0x6E01005u, 0x7041005u}) can_accept_id(id);
  open_channel();
  const uint8_t bytes[8] = {0x0B};
  fake_canlib::push_frame(0x6E01009, bytes);  // another sensor's announcement
  fake_canlib::push_frame(0x7041005, bytes);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, 0x7041005u);
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
}
}  // namespace

namespace {
const FakeLibrary kNoVersion("libcanlib_no_version.so.1");

// The version calls are looked up for the listing alone: a CANlib without them still opens a
// channel as before, and the listing says what it could not ask.
TEST_F(KvaserTest, LibraryWithoutVersionCallsOpensAndListsWithoutAVersion) {
  kvaser_test_reset(kNoVersion.names());
  ConsoleCapture console;
  print_listing(kvaser_list);
  const std::string text = console.text();
  EXPECT_NE(text.find(std::string("  CANlib: ") + kNoVersion.path() +
                      ", version not given (the library has neither canGetVersionEx nor "
                      "canGetVersion)\n  kvaser:0     Kvaser Leaf Light v2, "),
            std::string::npos)
      << text;
  EXPECT_EQ(open_backend(kvaser_open, &kFirst), 0);
}

TEST_F(KvaserTest, ChannelItemsTheLibraryCannotGiveAreNamed) {
  fake_canlib::configure("cards=48,item_status@26=-32,item_status@11=-32,item_status@1=-32");
  ConsoleCapture console;
  print_listing(kvaser_list);
  EXPECT_NE(console.text().find("  kvaser:0     device name not given, EAN not given, serial "
                                "number 10001, real (also -i kvaser@10001)\n"),
            std::string::npos)
      << console.text();
}

// An error frame is never an answer: it is skipped within the try that read it.
TEST_F(KvaserTest, ErrorFrameIsSkippedWithinTheTry) {
  open_channel();
  const uint8_t bytes[8] = {0x0B};
  fake_canlib::push_frame(0, bytes, 0, 0x0020);  // canMSG_ERROR_FRAME
  fake_canlib::push_frame(UNIT_ANSWER_ID, bytes, 8, 0x0004 | 0x0001);  // remote request
  fake_canlib::push_frame(UNIT_ANSWER_ID, bytes);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);
  const std::string log = log_.text();
  EXPECT_NE(log.find("Skipped error frame: "), std::string::npos) << log;
  EXPECT_NE(log.find("Skipped remote frame: "), std::string::npos) << log;
}
}  // namespace

namespace {
const FakeLibrary kNoReadWait("libcanlib_no_read_wait.so.1");

// A message that canReadWait read is the next try's, and is delivered at once.
TEST_F(KvaserTest, SilentWindowIsWaitedOutInCanReadWait) {
  open_channel();
  clock_.reset_counts();
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(clock_.elapsed_us(), 60000u);
  EXPECT_EQ(clock_.sleeps(), 0u);
}

// A CANlib without canReadWait: said once under LOG_CAN_FRAMES, and every receive polls.
TEST_F(KvaserTest, LibraryWithoutCanReadWaitIsPolled) {
  kvaser_test_reset(kNoReadWait.names());
  log_set_level(LOG_CAN_FRAMES);
  open_channel();
  clock_.reset_counts();
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(can_receive_frame(&frame, 1, 50), -1);
  // The first receive learns it at its first wait and keeps its 60 ms; the second polls.
  EXPECT_EQ(clock_.sleeps(), 52u);
  EXPECT_EQ(clock_.elapsed_us(), 60000u + 52000u);
  const std::string log = log_.text();
  const std::string line = "Kvaser: the library has no canReadWait, polling\n";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line));
}
}  // namespace
TEST_F(KvaserTest, FullTransmitBufferIsRetriedByTheChannelWithoutAReportPerTry) {
  open_channel();
  fake_canlib::configure("write=-13");  // canERR_TXBUFOFL
  const uint8_t data[8] = {};
  clock_.reset_counts();
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), -3);
  EXPECT_EQ(clock_.slept_ms(), CAN_FULL_QUEUE_RETRY_MS);
  EXPECT_EQ(log_.text(), std::string(kLoadOk) + kInitOk +
                             "Kvaser USBcan: transmit queue still full after 100 ms\n");
}

TEST_F(KvaserTest, RemovedCardStopsTheChannelWithTheLibrarysText) {
  ConsoleCapture console;
  open_channel();
  fake_canlib::configure("write_fail_from=2");  // canERR_NOCARD from the second frame on
  const uint8_t data[8] = {};
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), 0);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), -3);
  EXPECT_EQ(can_stopped(), CAN_STOPPED_LOST);
  char text[50];
  kvaser_error_text(canERR_NOCARD, text);
  EXPECT_NE(console.text().find(std::string("CAN adapter lost: Kvaser channel (canWrite: ") + text +
                                "): the adapter was unplugged or its driver stopped\n"),
            std::string::npos)
      << console.text();
  fake_canlib::reset();
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), -3);
  EXPECT_EQ(fake_canlib::calls(), std::string(""));  // nothing reaches the library any more
}

TEST_F(KvaserTest, EmptyWaitNamesTheStateThatCanReadStatusGives) {
  ConsoleCapture console;
  open_channel();
  fake_canlib::configure("status_flags=0x2");  // canSTAT_BUS_OFF
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_NE(console.text().find("CAN bus state: bus-off"), std::string::npos) << console.text();
  console.clear();
  fake_canlib::configure("status_flags=0x1");  // canSTAT_ERROR_PASSIVE
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_NE(console.text().find("CAN bus state: error-passive"), std::string::npos);
}

TEST_F(KvaserTest, CloseTakesTheChannelOffBusAndClosesIt) {
  open_channel();
  fake_canlib::reset();
  can_close();
  EXPECT_EQ(fake_canlib::calls(), "canBusOff(100)\ncanClose(100)\n");
}
