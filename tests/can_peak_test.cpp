// The PEAK back-end through a fake PCAN-Basic library loaded by the system's loader: the calls and
// arguments, the log lines, and every failure of its set-up, send and read.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/identifiers.h"
#include "can/peak/pcan_basic.h"
#include "can/peak/peak.h"
#include "can/peak/peak_library.h"
#include "can/sim/sim_bus.h"
#include "support/can_support.h"
#include "platform/platform.h"

namespace {
const char kInitialize[] = "CAN_Initialize(0x51, 0x011C, 5, 0, 0)\n";
// On Linux the filter is asked for in PCAN_MODE_EXTENDED alone: PCAN-Basic for Linux reads any
// other mode (0x23, which PEAK's Windows DLL is passed first) as a range of 11-bit identifiers.
const char kFilter02[] = "CAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x02)\n";
const char kLoadOk[] = "PEAK: PCANBasic.dll Load OK\n";
const char kCannotInit[] = "PEAK: Cannot initialize DLL\n";
const char* const kAbsent[] = {"libpcanbasic_absent.so", nullptr};
const FakeLibrary kNoErrorText("libpcanbasic_no_error_text.so");
const CanTarget kFirst{CAN_DEFAULT_CHANNEL, "", false};

// These tests run against each library the fake stands for (fake_pcan::variant()). PEAK's Linux
// library is named in the log once it has loaded, and a channel is asked for its condition before
// it is initialised (another program may hold it).
const char kLinuxLibrary[] =
    "PEAK: PCAN-Basic for Linux (with the driver's libpcanfd): error-passive is told as "
    "PCAN_ERROR_BUSHEAVY, a channel in use by another program is shared\n";
std::string load_ok() { return std::string(kLoadOk) + (fake_pcan::linux_variant() ? kLinuxLibrary : ""); }
std::string initialize_calls() {
  return std::string(fake_pcan::linux_variant() ? "CAN_GetValue(0x51, 0x0D)\n" : "") + kInitialize;
}

class PeakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    peak_test_reset(fake_pcan::library().names());
    fake_pcan::reset();
    // The unit's identifiers, as every operation on the unit accepts them.
    can_accept_id(UNIT_ANSWER_ID);
    can_accept_id(UNIT_DATA_ID);
  }
  void TearDown() override {
    can_reset();
    peak_test_reset(nullptr);
  }
  VirtualClock clock_;
  RecordedLog log_;
};

using OpenRow = VendorOpenRow;
class PeakOpenTest : public PeakTest, public ::testing::WithParamInterface<OpenRow> {};

TEST_P(PeakOpenTest, OpenCallsLogsAndResult) {
  const VendorOpen peak{peak_test_reset, fake_pcan::library().names(), fake_pcan::configure,
                        fake_pcan::calls, peak_open};
  expect_open_row(peak, GetParam(), &log_);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PeakOpenTest,
    ::testing::Values(
        OpenRow{"opens", nullptr, "", 0, load_ok() + "PEAK: CAN Init OK\nPEAK: CAN Filter OK\n",
                initialize_calls() + kFilter02},
        OpenRow{"library_absent", kAbsent, "", -1,
                std::string("PEAK: ERROR: can not load pcanbasic.dll\n") + kCannotInit, ""},
        OpenRow{"entry_point_missing", kNoErrorText.names(), "", -1,
                std::string("PEAK: ERROR: PCANBasic.dll can not resolve functions. Please check "
                            "PEAK driver version.\n") +
                    kCannotInit,
                ""},
        OpenRow{"initialize_fails", nullptr, "initialize=0x4", -2,
                load_ok() + "PEAK: CAN Init Error\n", initialize_calls()},
        OpenRow{"filter_mode_refused_then_extended", nullptr, "filter_mode_0x23=0x10000", 0,
                load_ok() + "PEAK: CAN Init OK\nPEAK: CAN Filter OK\n",
                initialize_calls() + kFilter02},
        OpenRow{"filter_fails", nullptr, "filter_mode_0x23=0x10000,filter_mode_0x02=0x4000", -2,
                load_ok() + "PEAK: CAN Init OK\nPEAK: CAN Filter Error\n",
                initialize_calls() + kFilter02}),
    RowName());

TEST_F(PeakTest, LibraryIsLoadedOnceAndRefusedLibraryStaysRefused) {
  EXPECT_EQ(open_backend(peak_open, &kFirst), 0);
  EXPECT_EQ(open_backend(peak_open, &kFirst), 0);
  // The channel this process initialised is no other program's: not asked for again.
  EXPECT_EQ(fake_pcan::calls(), initialize_calls() + kFilter02 + kInitialize + kFilter02);

  peak_test_reset(kNoErrorText.names());
  EXPECT_EQ(open_backend(peak_open, &kFirst), -1);
  EXPECT_EQ(open_backend(peak_open, &kFirst), -1);
  const std::string text = log_.text();
  const std::string refused =
      "PEAK: ERROR: PCANBasic.dll can not resolve functions. Please check "
      "PEAK driver version.\n";
  EXPECT_EQ(text, load_ok() + "PEAK: CAN Init OK\nPEAK: CAN Filter OK\n" +
                      "PEAK: CAN Init OK\nPEAK: CAN Filter OK\n" + refused + kCannotInit +
                      kCannotInit);
}

TEST_F(PeakTest, LaterNamesAreTriedWhenTheFirstIsAbsent) {
  const char* const names[] = {"libpcanbasic_absent.so", fake_pcan::library().path(), nullptr};
  peak_test_reset(names);
  EXPECT_EQ(open_backend(peak_open, &kFirst), 0);
}

TEST_F(PeakTest, UsualNamesNameTheLibrary) {
  peak_test_reset(nullptr);
  EXPECT_EQ(open_backend(peak_open, &kFirst), 0);
  EXPECT_EQ(fake_pcan::calls(), initialize_calls() + kFilter02);
}

struct AddedIdRow {
  const char* name;
  const char* settings;
  const char* mode;
};
void PrintTo(const AddedIdRow& row, std::ostream* os) { *os << row.name; }

class PeakAddedIdTest : public PeakTest, public ::testing::WithParamInterface<AddedIdRow> {};

TEST_P(PeakAddedIdTest, EachAddedIdentifierWidensTheFilterInTheModeThatWorked) {
  const AddedIdRow& row = GetParam();
  fake_pcan::configure(row.settings);
  const uint32_t node[] = {0x5041005, 0x6E01005, 0x7041005};
  for (uint32_t id : node) can_accept_id(id);
  ASSERT_EQ(open_backend(peak_open, &kFirst), 0);
  const std::string calls = fake_pcan::calls();
  std::string expected_tail;
  for (uint32_t id : node) {
    char line[80];
    std::snprintf(line, sizeof line, "CAN_FilterMessages(0x51, 0x%X, 0x%X, %s)\n", id, id,
                  row.mode);
    expected_tail += line;
  }
  ASSERT_GE(calls.size(), expected_tail.size());
  EXPECT_EQ(calls.substr(calls.size() - expected_tail.size()), expected_tail) << calls;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PeakAddedIdTest,
    ::testing::Values(AddedIdRow{"first_mode", "", "0x02"},
                      AddedIdRow{"extended_mode", "filter_mode_0x23=0x10000", "0x02"}),
    RowName());

TEST_F(PeakTest, SendWritesOneExtendedMessageAndLogsNothing) {
  ASSERT_EQ(open_backend(peak_open, &kFirst), 0);
  fake_pcan::reset();
  const uint8_t data[8] = {0x10, 0, 0, 0, 0x00, 0x00, 0x02, 0x70};
  CanNews news{};
  EXPECT_EQ(peak_send_frame(can_frame_of(UNIT_COMMAND_ID, data), &news), 0);
  fake_pcan::configure("write=0x4000");
  EXPECT_EQ(peak_send_frame(can_frame_of(UNIT_DATA_ID, data), &news), -3);
  char a[96];
  char b[96];
  std::snprintf(a, sizeof a, "CAN_Write(0x51, 0x%X, 0x02, 8, 10 00 00 00 00 00 02 70)\n",
                UNIT_COMMAND_ID);
  std::snprintf(b, sizeof b, "CAN_Write(0x51, 0x%X, 0x02, 8, 10 00 00 00 00 00 02 70)\n",
                UNIT_DATA_ID);
  EXPECT_EQ(fake_pcan::calls(), std::string(a) + b);
  EXPECT_EQ(log_.text(), load_ok() + "PEAK: CAN Init OK\nPEAK: CAN Filter OK\n");
}

TEST_F(PeakTest, ChannelDeliversDataMessagesAndSkipsOtherKindsWithinTheTry) {
  ConsoleCapture console;
  ASSERT_EQ(can_open(CanTarget{}), 0);
  EXPECT_EQ(console.text(), "Using PEAK PCAN-USB interface\n");
  const uint8_t bytes[8] = {0x0B, 1, 2, 3, 4, 5, 6, 7};
  // Fewer than 8 bytes leave the rest at 0.
  fake_pcan::push_message(UNIT_ANSWER_ID, PCAN_MESSAGE_EXTENDED, 3, bytes);
  // An 11-bit frame, a remote request, an error frame and the adapter's status message with the
  // answer's identifier are none of them answers; the data frame after them is delivered in the
  // same try.
  fake_pcan::push_message(UNIT_ANSWER_ID, PCAN_MESSAGE_STANDARD, 8, bytes);
  fake_pcan::push_message(UNIT_ANSWER_ID, PCAN_MESSAGE_EXTENDED | PCAN_MESSAGE_RTR, 0, bytes);
  fake_pcan::push_message(0, PCAN_MESSAGE_ERRFRAME, 4, bytes);
  fake_pcan::push_message(UNIT_ANSWER_ID, PCAN_MESSAGE_STATUS, 4, bytes);
  fake_pcan::push_message(UNIT_DATA_ID, PCAN_MESSAGE_EXTENDED, 8, bytes);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  const uint8_t short_message[8] = {0x0B, 1, 2, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(frame.data, short_message, 8), 0);
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_DATA_ID);
  EXPECT_EQ(std::memcmp(frame.data, bytes, 8), 0);
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);

  // A status message alone is no answer: the receive times out.
  fake_pcan::push_message(0, PCAN_MESSAGE_STATUS, 4, bytes);
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(clock_.elapsed_steps(5), 12u);
  const std::string log = log_.text();
  EXPECT_EQ(log.rfind(load_ok() + "PEAK: CAN Init OK\nPEAK: CAN Filter OK\n", 0), 0u) << log;
  for (const char* kind : {"Skipped 11-bit frame: ", "Skipped remote frame: ",
                           "Skipped error frame: ", "Skipped status message: "}) {
    // PEAK's Linux driver keeps back the 11-bit frame itself: the filter asked for 29-bit ones.
    const bool filtered = fake_pcan::linux_variant() && std::strcmp(kind, "Skipped 11-bit frame: ") == 0;
    EXPECT_EQ(log.find(kind) == std::string::npos, filtered) << kind << "\n" << log;
  }
}

TEST_F(PeakTest, NarrowFilterFramesOfOtherIdentifiersCostATry) {
  ASSERT_EQ(can_open(CanTarget{}), 0);
  const uint8_t bytes[8] = {0x0B};
  // The adapter's range passes 0xA44402; the channel does not deliver it.
  fake_pcan::push_message(0xA44402, PCAN_MESSAGE_EXTENDED, 8, bytes);
  fake_pcan::push_message(UNIT_ANSWER_ID, PCAN_MESSAGE_EXTENDED, 8, bytes);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  EXPECT_EQ(clock_.elapsed_steps(5), 1u);
}

TEST_F(PeakTest, WithANodesIdentifiersOtherFramesAreDroppedWithinTheTry) {
  for (uint32_t id : {0x5041005u, 0x6E01005u, 0x7041005u}) can_accept_id(id);
  ConsoleCapture console;
  ASSERT_EQ(can_open(CanTarget{}), 0);
  const uint8_t bytes[8] = {0x0B};
  // Frames that a widened filter lets through: another sensor's announcement, an unknown frame.
  fake_pcan::push_message(0x6E01009, PCAN_MESSAGE_EXTENDED, 8, bytes);
  fake_pcan::push_message(0x7000000, PCAN_MESSAGE_EXTENDED, 8, bytes);
  fake_pcan::push_message(0x7041005, PCAN_MESSAGE_EXTENDED, 8, bytes);
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, 0x7041005u);
  EXPECT_EQ(clock_.elapsed_steps(5), 0u);  // the two foreign frames did not cost a try
  fake_pcan::push_message(0x6E01009, PCAN_MESSAGE_EXTENDED, 8, bytes);
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(clock_.elapsed_steps(5), 12u);
}

TEST_F(PeakTest, FakeCarriesItsOwnEmulatedBusWithoutTouchingTheTools) {
  sim_bus_reset();
  fake_function<void (*)(const PlatformClock*)>(fake_pcan::library(),
                                                "fake_pcan_set_clock")(&kForwardClock);
  fake_pcan::reset();
  fake_pcan::configure("bus=1");
  ASSERT_EQ(open_backend(peak_open, &kFirst), 0);
  const uint8_t data[8] = {0x0A};
  CanNews news{};
  ASSERT_EQ(peak_send_frame(can_frame_of(UNIT_COMMAND_ID, data), &news), 0);
  clock_.advance_us(SIM_FRAME_US);
  CanRead received{};
  EXPECT_NE(peak_try_receive(&received, &news), 0);  // the fake's bus has no device to answer
  const auto bus_frames =
      fake_function<size_t (*)()>(fake_pcan::library(), "fake_pcan_bus_frame_count");
  EXPECT_EQ(bus_frames(), 1u);
  const SimBusFrame* frames = nullptr;
  EXPECT_EQ(sim_bus_frames(&frames), 0u);
  fake_function<void (*)(const PlatformClock*)>(fake_pcan::library(),
                                                "fake_pcan_set_clock")(nullptr);
}
}  // namespace

namespace {
const FakeLibrary kNoEvent("libpcanbasic_no_event.so");

// The receive event is asked for at the first wait; a silent window is then waited out on the
// event, not polled, and keeps its length.
TEST_F(PeakTest, SilentWindowIsWaitedOutOnTheReceiveEvent) {
  ASSERT_EQ(can_open(CanTarget{}), 0);
  clock_.reset_counts();
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(clock_.elapsed_us(), 60000u);
  EXPECT_EQ(clock_.sleeps(), 0u);
  const std::string calls = fake_pcan::calls();
  EXPECT_NE(calls.find("CAN_GetValue(0x51, 0x03)\n"), std::string::npos) << calls;
  EXPECT_EQ(log_.text().find("polling"), std::string::npos);
}

// A library without the receive event: said once under LOG_CAN_FRAMES, and every receive polls.
TEST_F(PeakTest, LibraryWithoutTheReceiveEventIsPolled) {
  peak_test_reset(kNoEvent.names());
  log_set_level(LOG_CAN_FRAMES);
  ASSERT_EQ(can_open(CanTarget{}), 0);
  clock_.reset_counts();
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(can_receive_frame(&frame, 5, 30), -1);
  // The first receive learns it at its first wait and keeps its 60 ms; the second polls.
  EXPECT_EQ(clock_.sleeps(), 8u);
  EXPECT_EQ(clock_.elapsed_us(), 100000u);
  const std::string log = log_.text();
  EXPECT_NE(log.find("PEAK: no receive event (CAN_GetValue PCAN_RECEIVE_EVENT: status 0x4000), "
                     "polling\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("polling"), log.rfind("polling"));  // once
}
}  // namespace
TEST_F(PeakTest, FullTransmitQueueIsRetriedByTheChannelForAHundredMilliseconds) {
  can_use_backend(peak_backend());
  ASSERT_EQ(can_open(CanTarget{}), 0);
  const uint8_t data[8] = {};
  for (const char* status : {"write=0x80", "write=0x1"}) {  // QXMTFULL, XMTFULL
    fake_pcan::configure(status);
    clock_.reset_counts();
    EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), -3) << status;
    EXPECT_EQ(clock_.slept_ms(), CAN_FULL_QUEUE_RETRY_MS) << status;
  }
  EXPECT_NE(log_.text().find("PEAK PCAN-USB: transmit queue still full after 100 ms\n"),
            std::string::npos);
}

TEST_F(PeakTest, UnpluggedAdapterStopsTheChannelWithTheLibrarysText) {
  ConsoleCapture console;
  can_use_backend(peak_backend());
  ASSERT_EQ(can_open(CanTarget{}), 0);
  fake_pcan::configure("write_fail_from=2");  // PCAN_ERROR_ILLHW from the second frame on
  const uint8_t data[8] = {};
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), 0);
  EXPECT_EQ(can_send_frame(can_frame_of(UNIT_DATA_ID, data)), -3);
  EXPECT_EQ(can_stopped(), CAN_STOPPED_LOST);
  char text[256];
  peak_error_text(PCAN_ERROR_ILLHW, text);
  EXPECT_EQ(console.text(), std::string("CAN adapter lost: pcan:1 (CAN_Write: ") + text +
                                "): the adapter was unplugged or its driver stopped\n");
  CanFrame received{};
  clock_.reset_counts();
  EXPECT_EQ(can_receive_frame(&received, 5, 1000), -1);
  EXPECT_EQ(clock_.sleeps(), 0u);
}

TEST_F(PeakTest, EmptyWaitNamesTheStateThatCanGetStatusGives) {
  ConsoleCapture console;
  can_use_backend(peak_backend());
  ASSERT_EQ(can_open(CanTarget{}), 0);
  CanFrame frame{};
  EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
  EXPECT_EQ(console.text(), "");
  const struct {
    const char* setting;
    const char* state;
  } rows[] = {{"status=0x40000", "error-passive"},
              {"status=0x10", "bus-off"},
              // PCAN-Basic for Linux tells error-passive so (classic CAN; warning: BUSLIGHT).
              {"status=0x8", fake_pcan::linux_variant() ? "error-passive" : "error warning"}};
  for (const auto& row : rows) {
    console.clear();
    fake_pcan::configure(row.setting);
    EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
    EXPECT_EQ(console.text().rfind(std::string("CAN bus state: ") + row.state, 0), 0u)
        << row.setting << ": " << console.text();
  }
}
