// Opening the channel on the adapters: PEAK first, Kvaser when PEAK cannot be used, the console
// line of the adapter chosen, and Kvaser's result when neither works.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "can/can.h"
#include "can/kvaser/kvaser.h"
#include "can/peak/peak.h"
#include "can_test_support.h"

namespace {
const char* const kPeakAbsent[] = {"libpcanbasic_absent.so", nullptr};

struct ChoiceRow {
  const char* name;
  bool peak_absent;
  const char* pcan_settings;
  const char* canlib_settings;
  int32_t result;
  const char* console;
  bool kvaser_used;
  std::string log;
};
void PrintTo(const ChoiceRow& row, std::ostream* os) { *os << row.name; }

class CanOpenTest : public ::testing::TestWithParam<ChoiceRow> {
 protected:
  void SetUp() override {
    can_reset();
    peak_test_reset(fake_pcan::library().names());
    kvaser_test_reset(fake_canlib::library().names());
    fake_pcan::reset();
    fake_canlib::reset();
    can_accept_id(CAN_ID_UNIT_ANSWER);
    can_accept_id(CAN_ID_UNIT_DATA);
  }
  void TearDown() override {
    can_reset();
    peak_test_reset(nullptr);
    kvaser_test_reset(nullptr);
  }
  VirtualClock clock_;
  RecordedLog log_;
};

TEST_P(CanOpenTest, ChoosesTheFirstAdapterThatWorks) {
  const ChoiceRow& row = GetParam();
  if (row.peak_absent) peak_test_reset(kPeakAbsent);
  fake_pcan::configure(row.pcan_settings);
  fake_canlib::configure(row.canlib_settings);
  ConsoleCapture console;
  EXPECT_EQ(can_open(), row.result);
  EXPECT_EQ(console.text(), row.console);
  EXPECT_EQ(log_.text(), row.log);
  // A PEAK channel that was initialised is never uninitialised.
  EXPECT_EQ(fake_pcan::calls().find("CAN_Uninitialize"), std::string::npos);

  // The frames go to the adapter chosen.
  const uint8_t data[8] = {0x0A};
  if (row.result == 0) {
    ASSERT_EQ(can_send_frame(CAN_ID_UNIT_COMMAND, data), 0);
    EXPECT_EQ(fake_canlib::calls().find("canWrite") != std::string::npos, row.kvaser_used);
    EXPECT_EQ(fake_pcan::calls().find("CAN_Write") != std::string::npos, !row.kvaser_used);
  } else {
    EXPECT_EQ(can_send_frame(CAN_ID_UNIT_COMMAND, data), -3);
  }
}

const std::string kPeakOk = "PEAK: PCANBasic.dll Load OK\nPEAK: CAN Init OK\nPEAK: CAN Filter OK\n";
const std::string kPeakAbsentLog =
    "PEAK: ERROR: can not load pcanbasic.dll\nPEAK: Cannot initialize DLL\n";
const std::string kKvaserOk = "Kvaser: canlib32.dll Load OK\nKvaser: CAN Init OK\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, CanOpenTest,
    ::testing::Values(
        ChoiceRow{"peak", false, "", "", 0, "Using PEAK PCAN-USB interface\n", false, kPeakOk},
        ChoiceRow{"peak_absent", true, "", "", 0, "Using Kvaser USBcan interface\n", true,
                  kPeakAbsentLog + kKvaserOk},
        ChoiceRow{"peak_initialize_fails", false, "initialize=0x4", "", 0,
                  "Using Kvaser USBcan interface\n", true,
                  "PEAK: PCANBasic.dll Load OK\nPEAK: CAN Init Error\n" + kKvaserOk},
        ChoiceRow{
            "peak_filter_fails", false, "filter_mode_0x23=1,filter_mode_0x02=1", "", 0,
            "Using Kvaser USBcan interface\n", true,
            "PEAK: PCANBasic.dll Load OK\nPEAK: CAN Init OK\nPEAK: CAN Filter Error\n" + kKvaserOk},
        ChoiceRow{"only_virtual_kvaser", true, "", "cards=1:1", -1, "CAN init error\n", true,
                  kPeakAbsentLog + "Kvaser: canlib32.dll Load OK\nKvaser: Cannot init download\n"},
        ChoiceRow{"kvaser_channel_count_fails", true, "", "channels_status=-3", -3,
                  "CAN init error\n", true,
                  kPeakAbsentLog + "Kvaser: canlib32.dll Load OK\nKvaser: CAN Init Error\n"}),
    [](const ::testing::TestParamInfo<ChoiceRow>& info) { return std::string(info.param.name); });

// The tool itself finds both vendor libraries by their usual names on the loader's path, and the
// fakes take their settings from the environment.
TEST(CanOpenExecutableTest, ToolLoadsBothLibrariesByTheirUsualNames) {
  ScratchDir dir;
  write_file(dir.file("app.hex"), ":00000001FF\n");
  const std::string command = "LD_LIBRARY_PATH=" + shell_quote(RALVEX_FAKES_DIR) +
                              " RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=cards=1:1" +
                              " RALVEX_FAKE_PCAN_CALLS=" + shell_quote(dir.file("pcan.txt")) +
                              " RALVEX_FAKE_CANLIB_CALLS=" + shell_quote(dir.file("canlib.txt")) +
                              " " + shell_quote(RALVEX_TOOL_PATH) + " -f app.hex 1";
  std::string output;
  EXPECT_NE(run_command(command, &output), 0);
  EXPECT_NE(output.find("CAN init error\n"), std::string::npos) << output;
  EXPECT_EQ(read_file(dir.file("pcan.txt")), "CAN_Initialize(0x51, 0x011C, 5, 0, 0)\n");
  EXPECT_EQ(read_file(dir.file("canlib.txt")),
            "canInitializeLibrary()\ncanGetNumberOfChannels(0)\n"
            "canGetChannelData(0, 4, 4)\ncanGetChannelData(1, 4, 4)\n");
  const std::string log = read_file(dir.file("ZR4_BL_Log.txt"));
  EXPECT_NE(log.find("PEAK: PCANBasic.dll Load OK\nPEAK: CAN Init Error\n"
                     "Kvaser: canlib32.dll Load OK\nKvaser: Cannot init download\n"),
            std::string::npos)
      << log;
}
}  // namespace

namespace {
// Runs the tool with the fake PCAN-Basic library carrying the emulated bus, unit and nodes: the
// adapter's filter ranges, as the tool set them, decide which frames reach the tool.
int run_through_fake_peak(const ScratchDir& dir, const std::string& args, std::string* output) {
  const std::string command = "LD_LIBRARY_PATH=" + shell_quote(RALVEX_FAKES_DIR) +
                              " RALVEX_FAKE_PCAN=bus=1 RALVEX_FAKE_PCAN_CALLS=" +
                              shell_quote(dir.file("pcan.txt")) + " " +
                              shell_quote(RALVEX_TOOL_PATH) + " " + args;
  return run_command(command, output);
}
}  // namespace

TEST(CanOpenExecutableTest, FlashesTheUnitThroughPcanBasic) {
  ScratchDir dir;
  write_file(dir.file("app.hex"), ":02000004700288\n:0400000001020304F2\n:00000001FF\n");
  std::string output;
  EXPECT_EQ(run_through_fake_peak(dir, "-f app.hex 4", &output), 0) << output;
  EXPECT_NE(output.find("Using PEAK PCAN-USB interface\nErase flash\n"), std::string::npos);
  EXPECT_NE(output.find("Flashing completed\n"), std::string::npos);
  // The unit's operations keep the one filter range of the unit's identifiers.
  const std::string calls = read_file(dir.file("pcan.txt"));
  EXPECT_EQ(calls.rfind("CAN_Initialize(0x51, 0x011C, 5, 0, 0)\n"
                        "CAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x23)\nCAN_Write(", 0), 0u)
      << calls;
}

TEST(CanOpenExecutableTest, FlashesASensorNodeThroughPcanBasic) {
  ScratchDir dir;
  // Three bytes at 0x20000 make one 900-byte page.
  write_file(dir.file("sensor.hex"), ":020000022000DC\n:03000000010203F7\n:00000001FF\n");
  std::string output;
  EXPECT_EQ(run_through_fake_peak(dir, "-f sensor.hex -g 5", &output), 0) << output;
  EXPECT_NE(output.find("Using PEAK PCAN-USB interface\nErase flash\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("100.0%\nEnd of download\nFlashing completed\n"), std::string::npos);
  // The node's wake answer, alive and answer identifiers widen the filter before anything is sent.
  const std::string calls = read_file(dir.file("pcan.txt"));
  EXPECT_EQ(calls.rfind("CAN_Initialize(0x51, 0x011C, 5, 0, 0)\n"
                        "CAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x23)\n"
                        "CAN_FilterMessages(0x51, 0x5041005, 0x5041005, 0x23)\n"
                        "CAN_FilterMessages(0x51, 0x6E01005, 0x6E01005, 0x23)\n"
                        "CAN_FilterMessages(0x51, 0x7041005, 0x7041005, 0x23)\nCAN_Write(", 0),
            0u)
      << calls;
}

// With PEAK's channel failing, the tool falls back to Kvaser; the fake CANlib library's bus passes
// the tool only what the extended code and mask admit, which must include the node's answers.
TEST(CanOpenExecutableTest, FlashesASensorNodeThroughCanlib) {
  ScratchDir dir;
  write_file(dir.file("sensor.hex"), ":020000022000DC\n:03000000010203F7\n:00000001FF\n");
  const std::string command = "LD_LIBRARY_PATH=" + shell_quote(RALVEX_FAKES_DIR) +
                              " RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1 " +
                              shell_quote(RALVEX_TOOL_PATH) + " -f sensor.hex -g 5";
  std::string output;
  EXPECT_EQ(run_command(command, &output), 0) << output;
  EXPECT_NE(output.find("Using Kvaser USBcan interface\nErase flash\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("100.0%\nEnd of download\nFlashing completed\n"), std::string::npos);
}
