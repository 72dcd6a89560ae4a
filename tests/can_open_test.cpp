// Opening the channel on the adapters: PEAK first, Kvaser when PEAK cannot be used, the console
// line of the adapter chosen, and Kvaser's result when neither works.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "can/channel.h"
#include "can/interfaces.h"
#include "protocol/identifiers.h"
#include "can/kvaser/kvaser.h"
#include "can/peak/peak.h"
#include "support/can_support.h"
#include "log/frame_trace.h"
#include "ops/operations.h"
#include "sim/unit.h"
#include "support/hex_files.h"

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
    can_accept_id(UNIT_ANSWER_ID);
    can_accept_id(UNIT_DATA_ID);
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
  EXPECT_EQ(can_open(CanTarget{}), row.result);
  EXPECT_EQ(console.text(), row.console);
  EXPECT_EQ(log_.text(), row.log);
  // A PEAK channel that was initialised is never uninitialised.
  EXPECT_EQ(fake_pcan::calls().find("CAN_Uninitialize"), std::string::npos);

  // The frames go to the adapter chosen.
  const uint8_t data[8] = {0x0A};
  if (row.result == 0) {
    ASSERT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, data)), 0);
    EXPECT_EQ(fake_canlib::calls().find("canWrite") != std::string::npos, row.kvaser_used);
    EXPECT_EQ(fake_pcan::calls().find("CAN_Write") != std::string::npos, !row.kvaser_used);
  } else {
    EXPECT_EQ(can_send_frame(can_frame_of(UNIT_COMMAND_ID, data)), -3);
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
    RowName());

// The tool itself finds both vendor libraries by their usual names on the loader's path, and the
// fakes take their settings from the environment.
TEST(CanOpenExecutableTest, ToolLoadsBothLibrariesByTheirUsualNames) {
  ScratchDir dir;
  write_file(dir.file("app.hex"), ":02000004700288\n:0100000001FE\n:00000001FF\n");
  const std::string command = "LD_LIBRARY_PATH=" + shell_quote(fake_pcan::loader_path()) +
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
  const std::string command = "LD_LIBRARY_PATH=" + shell_quote(fake_pcan::loader_path()) +
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
  EXPECT_EQ(run_through_fake_peak(dir, "-f app.hex --report r.json 4", &output), 0) << output;
  EXPECT_NE(output.find("Using PEAK PCAN-USB interface\nErase flash\n"), std::string::npos);
  EXPECT_NE(output.find("Flashing completed\n"), std::string::npos);
  // The report names the library file that the loader took, with its full path.
  const std::string report = read_file(dir.file("r.json"));
  EXPECT_NE(report.find(std::string("\"library\": \"") + RALVEX_FAKES_DIR + "/libpcanbasic.so\""),
            std::string::npos)
      << report;
  // The unit's operations keep the one filter range of the unit's identifiers.
  const std::string calls = read_file(dir.file("pcan.txt"));
  EXPECT_EQ(calls.rfind("CAN_Initialize(0x51, 0x011C, 5, 0, 0)\n"
                        "CAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x02)\nCAN_Write(", 0), 0u)
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
                        "CAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x02)\n"
                        "CAN_FilterMessages(0x51, 0x5041005, 0x5041005, 0x02)\n"
                        "CAN_FilterMessages(0x51, 0x6E01005, 0x6E01005, 0x02)\n"
                        "CAN_FilterMessages(0x51, 0x7041005, 0x7041005, 0x02)\nCAN_Write(", 0),
            0u)
      << calls;
}

// With PEAK's channel failing, the tool falls back to Kvaser; the fake CANlib library's bus passes
// the tool only what the extended code and mask admit, which must include the node's answers.
TEST(CanOpenExecutableTest, FlashesASensorNodeThroughCanlib) {
  ScratchDir dir;
  write_file(dir.file("sensor.hex"), ":020000022000DC\n:03000000010203F7\n:00000001FF\n");
  const std::string command = "LD_LIBRARY_PATH=" + shell_quote(fake_pcan::loader_path()) +
                              " RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1 " +
                              shell_quote(RALVEX_TOOL_PATH) + " -f sensor.hex -g 5";
  std::string output;
  EXPECT_EQ(run_command(command, &output), 0) << output;
  EXPECT_NE(output.find("Using Kvaser USBcan interface\nErase flash\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("100.0%\nEnd of download\nFlashing completed\n"), std::string::npos);
}

namespace {
const char kUnitHex[] = ":02000004700288\n:0400000001020304F2\n:00000001FF\n";

// Runs the tool in `dir` with both fakes on the loader's path and their call records in
// pcan.txt and canlib.txt; `settings` go before the command ("RALVEX_FAKE_PCAN=... ").
int run_with_fakes(const ScratchDir& dir, const std::string& settings, const std::string& args,
                   std::string* output) {
  const std::string command = "cd " + shell_quote(dir.file("")) + " && LD_LIBRARY_PATH=" +
                              shell_quote(fake_pcan::loader_path()) + " RALVEX_FAKE_PCAN_CALLS=" +
                              shell_quote(dir.file("pcan.txt")) + " RALVEX_FAKE_CANLIB_CALLS=" +
                              shell_quote(dir.file("canlib.txt")) + " " + settings + " " +
                              shell_quote(RALVEX_TOOL_PATH) + " " + args;
  return run_command(command, output);
}

// A call record, "" when the library was never called.
std::string calls_in(const ScratchDir& dir, const char* file) {
  std::ifstream in(dir.file(file));
  return in ? read_file(dir.file(file)) : "";
}

struct NamedRow {
  const char* name;
  const char* settings;
  const char* interface;
  bool succeeds;
  std::string pcan_calls_start;    // the record starts with this
  std::string canlib_calls_start;  // the record starts with this ("" and never called: "")
  std::string console;             // the console holds this
};
void PrintTo(const NamedRow& row, std::ostream* os) { *os << row.name; }

class NamedAdapterTest : public ::testing::TestWithParam<NamedRow> {};

// A named adapter is opened alone: the channel asked for, no other, and a failure is never made
// good by another adapter.
TEST_P(NamedAdapterTest, OpensTheChannelNamedAndNoOther) {
  const NamedRow& row = GetParam();
  ScratchDir dir;
  write_file(dir.file("app.hex"), kUnitHex);
  std::string output;
  const int status =
      run_with_fakes(dir, row.settings, std::string("-i ") + row.interface + " -f app.hex 4",
                     &output);
  EXPECT_EQ(status == 0, row.succeeds) << output;
  EXPECT_NE(output.find(row.console), std::string::npos) << output;
  const std::string pcan = calls_in(dir, "pcan.txt");
  const std::string canlib = calls_in(dir, "canlib.txt");
  EXPECT_EQ(pcan.rfind(row.pcan_calls_start, 0), 0u) << pcan;
  EXPECT_EQ(canlib.rfind(row.canlib_calls_start, 0), 0u) << canlib;
  if (row.pcan_calls_start.empty()) {
    EXPECT_EQ(pcan, "");
  }
  if (row.canlib_calls_start.empty()) {
    EXPECT_EQ(canlib, "");
  }
  // Exactly one PCAN channel is initialised, and only a named Kvaser channel is opened.
  const size_t first = pcan.find("CAN_Initialize(");
  if (first != std::string::npos) {
    EXPECT_EQ(pcan.find("CAN_Initialize(", first + 1), std::string::npos) << pcan;
  }
  if (row.succeeds) {
    EXPECT_NE(output.find("Flashing completed\n"), std::string::npos) << output;
  }
}

const std::string kPcan2 =
    "CAN_Initialize(0x52, 0x011C, 5, 0, 0)\nCAN_FilterMessages(0x52, 0xA44401, 0xA84401, 0x02)\n"
    "CAN_Write(0x52, ";
const std::string kKvaserStart = "canInitializeLibrary()\ncanGetNumberOfChannels(0)\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, NamedAdapterTest,
    ::testing::Values(
        NamedRow{"pcan_2", "RALVEX_FAKE_PCAN=bus=1,occupied=3", "pcan:2", true, kPcan2, "",
                 "Using PEAK PCAN-USB interface 'pcan:2'\n"},
        NamedRow{"pcan_usbbus2", "RALVEX_FAKE_PCAN=bus=1,occupied=3", "PCAN_USBBUS2", true,
                 kPcan2, "", "Using PEAK PCAN-USB interface 'pcan:2'\n"},
        NamedRow{"pcan_16", "RALVEX_FAKE_PCAN=bus=1,attached=16", "pcan:16", true,
                 "CAN_Initialize(0x510, 0x011C, 5, 0, 0)\n"
                 "CAN_FilterMessages(0x510, 0xA44401, 0xA84401, 0x02)\nCAN_Write(0x510, ",
                 "", "Using PEAK PCAN-USB interface 'pcan:16'\n"},
        NamedRow{"kvaser_1", "RALVEX_FAKE_CANLIB=bus=1", "kvaser:1", true, "",
                 kKvaserStart + "canGetChannelData(1, 7, 8)\ncanGetChannelData(1, 6, 4)\n"
                                "canOpenChannel(1, 8)\ncanSetBusParams(101, -3, 0, 0, 0, 0, 0)\n",
                 "Using Kvaser USBcan interface 'kvaser:1'\n"},
        NamedRow{"kvaser_2_virtual", "RALVEX_FAKE_CANLIB=bus=1", "kvaser:2", true, "",
                 // CANlib refuses a virtual channel unless canOPEN_ACCEPT_VIRTUAL (0x20) is given.
                 kKvaserStart + "canGetChannelData(2, 7, 8)\ncanOpenChannel(2, 8)\n"
                                "canGetChannelData(2, 4, 4)\ncanOpenChannel(2, 40)\n"
                                "canSetBusParams(102, -3, 0, 0, 0, 0, 0)\n",
                 "Using Kvaser USBcan interface 'kvaser:2'\n"},
        NamedRow{"pcan_2_occupied_never_falls_back", "RALVEX_FAKE_CANLIB=bus=1", "pcan:2", false,
                 "CAN_Initialize(0x52, 0x011C, 5, 0, 0)\nCAN_GetErrorText(0x400, 9)\n", "",
                 "Cannot open pcan:2: CAN_Initialize: fake PCAN error 0x400: the hardware is in "
                 "use by another program\nCAN init error\n"},
        NamedRow{"kvaser_5_absent_never_falls_back", "RALVEX_FAKE_PCAN=bus=1", "kvaser:5", false,
                 "", kKvaserStart,
                 "Cannot open kvaser:5: canOpenChannel: CANlib has 3 channels (0 to 2)\n"
                 "CAN init error\n"}),
    RowName());

struct ListRow {
  const char* name;
  const char* settings;
  bool libraries_absent;
  std::vector<std::string> lines;  // the console holds each
};
void PrintTo(const ListRow& row, std::ostream* os) { *os << row.name; }

class ListTest : public ::testing::TestWithParam<ListRow> {};

// `-l` lists what the libraries report, with the findings and their fixes, and opens nothing.
TEST_P(ListTest, ListsTheChannelsAndFindingsWithoutOpeningAny) {
  const ListRow& row = GetParam();
  ScratchDir dir;
  std::string output;
  std::string settings = row.settings;
  if (row.libraries_absent) settings += " LD_LIBRARY_PATH=" + shell_quote(dir.file(""));
  EXPECT_EQ(run_with_fakes(dir, settings, "-l", &output), 0) << output;
  for (const std::string& line : row.lines) {
    EXPECT_NE(output.find(line), std::string::npos) << line << "\n---\n" << output;
  }
  const std::string calls = calls_in(dir, "pcan.txt") + calls_in(dir, "canlib.txt");
  for (const char* call : {"CAN_Initialize", "CAN_Write", "CAN_FilterMessages", "canOpenChannel",
                           "canBusOn", "canWrite"}) {
    EXPECT_EQ(calls.find(call), std::string::npos) << call << "\n" << calls;
  }
}

// The listing names each library by the file the loader took.
const std::string kFakes = RALVEX_FAKES_DIR;
const std::string kKvaserLines =
    "  CANlib: " + kFakes + "/libcanlib.so.1, version 5.41\n"
    "  kvaser:0     Kvaser Leaf Light v2, EAN 73-30130-00685-0, serial number 10001, real (also "
    "-i kvaser@10001)\n"
    "  kvaser:1     Kvaser Leaf Light v2, EAN 73-30130-00685-0, serial number 10002, real (also "
    "-i kvaser@10002)\n"
    "  kvaser:2     Kvaser Virtual CAN Driver, no EAN, serial number 0, virtual\n";
const std::string kOccupied =
    "Problems found:\n  pcan:2 is occupied by another program\n"
    "      fix: close the program that holds pcan:2 (PCAN-View, another tool), or name a free "
    "channel with -i pcan:N\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, ListTest,
    ::testing::Values(
        ListRow{"fakes",
                "",
                false,
                {"CAN interfaces:\n  PCAN-Basic: " + kFakes +
                     "/libpcanbasic.so, API version 4.8.0.5\n"
                     "  pcan:1       PCAN-USB, device id 0x1, available (also -i pcan@0x1)\n"
                     "  pcan:2       PCAN-USB, device id 0x2, occupied (also -i pcan@0x2)\n" +
                     kKvaserLines,
                 kOccupied}},
        ListRow{"library_without_attached_channels",
                "RALVEX_FAKE_PCAN=attached_status=0x4000,api_version_status=0x4000,device_id@2=0x2A",
                false,
                {"  PCAN-Basic: " + kFakes +
                     "/libpcanbasic.so, API version not given (fake PCAN error 0x4000)\n"
                 "  PCAN-Basic cannot list the attached channels (fake PCAN error 0x4000); asking "
                 "pcan:1 to pcan:16\n"
                 "  pcan:1       PCAN-USB, device id 0x1, available (also -i pcan@0x1)\n"
                 "  pcan:2       PCAN-USB, device id 0x2A, occupied (also -i pcan@0x2A)\n",
                 kOccupied}},
        ListRow{"devices_named_by_the_settings",
                "RALVEX_FAKE_PCAN=attached=3:9,occupied=0 "
                "RALVEX_FAKE_CANLIB=cards=48,name@0=Kvaser\\ Memorator,ean@0=0x0007330130007590,"
                "serial@0=42,version_ex=0x052A61",
                false,
                {std::string("  pcan:3       PCAN-USB, device id 0x3, available (also -i "
                             "pcan@0x3)\n  pcan:9       PCAN-USB, device id 0x9, available (also "
                             "-i pcan@0x9)\n") +
                     "  CANlib: " + kFakes + "/libcanlib.so.1, version 5.42a\n"
                     "  kvaser:0     Kvaser Memorator, EAN 73-30130-00759-0, serial number 42, "
                     "real (also -i kvaser@42)\n  sim ",
                 "No problems found.\n"}},
        ListRow{"no_libraries",
                "",
                true,
                {"  PCAN-Basic not usable: none of libpcanbasic.so, libpcanbasic.so.4, "
                 "libpcanbasic.so.0 could be loaded (",
                 "Problems found:\n"
                 "  no PCAN-Basic library found (searched: libpcanbasic.so, libpcanbasic.so.4, "
                 "libpcanbasic.so.0)\n"
                 "      fix: for a PEAK adapter, install PEAK-System's driver package with "
                 "PCAN-Basic (on Linux, libpcanbasic.so on the loader's path)\n"
                 "  no CANlib library found (searched: libcanlib.so.1, libcanlib.so)\n"
                 "      fix: for a Kvaser adapter, install Kvaser's CANlib"}}),
    RowName());

struct NonDataRow {
  const char* name;
  const char* settings;
  const char* args;
  const char* completed;
  const char* skipped;  // the log line's start
};
void PrintTo(const NonDataRow& row, std::ostream* os) { *os << row.name; }

class NonDataFrameTest : public ::testing::TestWithParam<NonDataRow> {};

// Only data frames are answers: a PCAN status message during the unit's erase wait and a CANlib
// error frame within a page are logged and skipped, and the operation succeeds.
TEST_P(NonDataFrameTest, IsSkippedAndTheOperationSucceeds) {
  const NonDataRow& row = GetParam();
  ScratchDir dir;
  write_file(dir.file("app.hex"), kUnitHex);
  std::string output;
  EXPECT_EQ(run_with_fakes(dir, row.settings, row.args, &output), 0) << output;
  EXPECT_NE(output.find(row.completed), std::string::npos) << output;
  const std::string log = read_file(dir.file("ZR4_BL_Log.txt"));
  EXPECT_NE(log.find(row.skipped), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NonDataFrameTest,
    ::testing::Values(
        // The first write is DL_START_LOADING; its answer comes after the erase time.
        NonDataRow{"pcan_status_during_erase", "RALVEX_FAKE_PCAN=bus=1,status_after_write=1",
                   "-f app.hex 4", "Flashing completed\n", "Skipped status message: "},
        NonDataRow{"canlib_error_frame_during_flash",
                   "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,"
                   "error_frame_after_write=1:2:20",
                   "-f app.hex 4", "Flashing completed\n", "Skipped error frame: "},
        // The second write asks for the first page, whose data frames follow.
        NonDataRow{"canlib_error_frame_during_backup_page",
                   "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,"
                   "error_frame_after_write=2:3:9",
                   "-r backup.bin 4", "Backup completed\n", "Skipped error frame: "}),
    RowName());
// Both back-ends on their fakes, the fakes on this test's virtual clock.
class FakeAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    peak_test_reset(fake_pcan::library().names());
    kvaser_test_reset(fake_canlib::library().names());
    fake_pcan::reset();
    fake_canlib::reset();
    fake_pcan::set_clock(&kForwardClock);
    fake_canlib::set_clock(&kForwardClock);
  }
  void TearDown() override {
    can_reset();
    peak_test_reset(nullptr);
    kvaser_test_reset(nullptr);
    fake_pcan::set_clock(nullptr);
    fake_canlib::set_clock(nullptr);
  }
  // The settings of CANlib's fake when `kvaser`, else of PCAN-Basic's.
  static void configure(bool kvaser, const char* settings) {
    (kvaser ? fake_canlib::configure : fake_pcan::configure)(settings);
  }
  // Opens one back-end's channel for the unit's answers and data.
  static void open(bool kvaser) {
    ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
    ASSERT_EQ(can_accept_id(UNIT_DATA_ID), 0);
    can_use_backend(kvaser ? kvaser_backend() : peak_backend());
    ASSERT_EQ(can_open(CanTarget{}), 0);
  }
  VirtualClock clock_;
  RecordedLog log_;
};

struct LostRow {
  const char* name;
  bool kvaser;
  const char* settings;
  bool send_first;
  uint64_t first_receive_us;  // how long the receive that met the loss took
  const char* console;
};
class LostAdapterTest : public FakeAdapterTest, public ::testing::WithParamInterface<LostRow> {};

// Whichever call finds the adapter gone (a send, a read, a wait or a status query), the channel
// says so once and stops: the receive ends there, and every later one at once.
TEST_P(LostAdapterTest, AnyCallThatFindsTheAdapterGoneStopsTheChannel) {
  const LostRow& row = GetParam();
  ASSERT_NO_FATAL_FAILURE(open(row.kvaser));
  configure(row.kvaser, row.settings);
  ConsoleCapture console;
  const CanFrame command{UNIT_COMMAND_ID, {0x0A}};
  if (row.send_first) {
    EXPECT_EQ(can_send_frame(command), -3);
  }
  CanFrame frame{};
  clock_.reset_counts();
  EXPECT_EQ(can_receive_frame(&frame, 5, 1000), -1);
  EXPECT_EQ(clock_.elapsed_us(), row.first_receive_us);
  EXPECT_EQ(can_stopped(), CAN_STOPPED_LOST);
  clock_.reset_counts();
  EXPECT_EQ(can_receive_frame(&frame, 5, 1000), -1);
  EXPECT_EQ(can_send_frame(command), -3);
  EXPECT_EQ(clock_.elapsed_us(), 0u);
  EXPECT_EQ(console.text(), row.console);
}

#define LOST_TAIL "): the adapter was unplugged or its driver stopped\n"
INSTANTIATE_TEST_SUITE_P(
    Rows, LostAdapterTest,
    ::testing::Values(
        LostRow{"pcan_write", false, "write_fail_from=1", true, 0,
                "CAN adapter lost: pcan:1 (CAN_Write: fake PCAN error 0x1400" LOST_TAIL},
        LostRow{"pcan_read", false, "read_fail_from=1", false, 0,
                "CAN adapter lost: pcan:1 (CAN_Read: fake PCAN error 0x1400" LOST_TAIL},
        LostRow{"pcan_read_no_driver", false, "read_fail_from=3,read_fail=0x200", false, 100000,
                "CAN adapter lost: pcan:1 (CAN_Read: fake PCAN error 0x200" LOST_TAIL},
        // Only the status query after a silent window says it.
        LostRow{"pcan_status", false, "status=0x1400", false, 1010000,
                "CAN adapter lost: pcan:1 (CAN_GetStatus: fake PCAN error 0x1400" LOST_TAIL},
        LostRow{"canlib_write", true, "write_fail_from=1", true, 0,
                "CAN adapter lost: Kvaser channel (canWrite: Fake error -26" LOST_TAIL},
        LostRow{"canlib_read", true, "read_fail_from=1", false, 0,
                "CAN adapter lost: Kvaser channel (canRead: Fake error -26" LOST_TAIL},
        LostRow{"canlib_wait", true, "read_fail_from=2", false, 0,
                "CAN adapter lost: Kvaser channel (canReadWait: Fake error -26" LOST_TAIL},
        LostRow{"canlib_read_hardware", true, "read_fail_from=3,read_fail=-15", false, 50000,
                "CAN adapter lost: Kvaser channel (canRead: Fake error -15" LOST_TAIL},
        LostRow{"canlib_status", true, "read_status=-26", false, 1010000,
                "CAN adapter lost: Kvaser channel (canReadStatus: Fake error -26" LOST_TAIL}),
    RowName());
#undef LOST_TAIL

// A case on one back-end's fake: the fake's settings and the line (or its start) the case expects.
struct AdapterRow {
  const char* name;
  bool kvaser;
  const char* settings;
  const char* line;
};
class UnpluggedDuringEraseTest : public FakeAdapterTest,
                                 public ::testing::WithParamInterface<AdapterRow> {};

// The unit erases for half a second, the tool waits up to 91 windows of about a second for it;
// an adapter unplugged then ends the run at the first read that fails, not after the windows.
TEST_P(UnpluggedDuringEraseTest, EndsTheRunAtTheFirstFailingRead) {
  const AdapterRow& row = GetParam();
  // The fifth read falls into the erase: the start's answer is the second.
  if (row.kvaser) fake_pcan::configure("initialize=4");
  configure(row.kvaser, "bus=1,read_fail_from=5");
  write_file("app.hex", kUnitHex);
  ConsoleCapture console;
  EXPECT_EQ(flash_application(job("app.hex", row.kvaser ? "kvaser" : "pcan")), -5);
  const uint64_t failed_at =
      (row.kvaser ? fake_canlib::read_failed_at_us : fake_pcan::read_failed_at_us)();
  ASSERT_NE(failed_at, 0u);
  EXPECT_LE(clock_.now_us() - failed_at, 1100000u);
  const std::string text = console.text();
  const size_t erase = text.find("Erase flash\n");
  const size_t lost = text.find(row.line);
  ASSERT_NE(erase, std::string::npos) << text;
  ASSERT_NE(lost, std::string::npos) << text;
  EXPECT_LT(erase, lost) << text;
  EXPECT_EQ(text.find("No answer"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UnpluggedDuringEraseTest,
    ::testing::Values(AdapterRow{"pcan", false, "", "CAN adapter lost: pcan:1 (CAN_Read: "},
                      AdapterRow{"canlib", true, "", "CAN adapter lost: Kvaser channel (canRead"}),
    RowName());

class ForeignFrameTraceTest : public FakeAdapterTest,
                              public ::testing::WithParamInterface<AdapterRow> {};

// Other nodes' frames reach the trace as they were on the bus: their identifier's width, their
// length, a remote frame's requested length; python-can reads the same lengths back.
TEST_P(ForeignFrameTraceTest, FramesAreTracedWithTheirLengthAndPythonCanReadsThem) {
  const bool kvaser = GetParam().kvaser;
  ASSERT_EQ(frame_trace_open("t.log"), 0);
  ASSERT_NO_FATAL_FAILURE(open(kvaser));
  const uint8_t bytes[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  struct Foreign {
    uint32_t id;
    bool extended;
    bool remote;
    uint8_t length;
  };
  const Foreign frames[] = {{0x401, true, false, 2},      {0x123, false, false, 3},
                            {UNIT_ANSWER_ID, true, true, 0}, {0x123, false, true, 2},
                            {0x7FF, false, false, 0},     {UNIT_ANSWER_ID, true, false, 8}};
  for (const Foreign& f : frames) {
    if (kvaser) {
      fake_canlib::push_frame(f.id, bytes, f.length,
                              (f.extended ? 0x4u : 0x2u) | (f.remote ? 0x1u : 0u));
    } else {
      const int type = (f.extended ? 0x2 : 0) | (f.remote ? 1 : 0);
      fake_pcan::push_message(f.id, static_cast<uint8_t>(type), f.length, bytes);
    }
  }
  CanFrame frame{};
  ASSERT_EQ(can_receive_frame(&frame, 5, 50), 0);
  EXPECT_EQ(frame.id, UNIT_ANSWER_ID);
  frame_trace_close();
  std::string frames_traced;
  std::istringstream lines(read_file("t.log"));
  for (std::string line; std::getline(lines, line);) {
    frames_traced += line.substr(line.find(' ') + 1) + "\n";
  }
  EXPECT_EQ(frames_traced,
            "can 00000401#1122 R\ncan 123#112233 R\ncan 00A44401#R R\ncan 123#R2 R\n"
            "can 7FF# R\ncan 00A44401#1122334455667788 R\n");
  write_file("read.py",
             "import can\n"
             "for m in can.CanutilsLogReader('t.log'):\n"
             "    print('%X %d %d %d' % (m.arbitration_id, m.is_extended_id, m.is_remote_frame,"
             " m.dlc))\n");
  std::string read;
  ASSERT_EQ(run_command("/usr/bin/python3 read.py", &read), 0) << read;
  EXPECT_EQ(read, "401 1 0 2\n123 0 0 3\nA44401 1 1 0\n123 0 1 2\n7FF 0 0 0\nA44401 1 0 8\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, ForeignFrameTraceTest,
                         ::testing::Values(AdapterRow{"pcan", false, "", ""},
                                           AdapterRow{"canlib", true, "", ""}),
                         RowName());

class OverrunTest : public FakeAdapterTest, public ::testing::WithParamInterface<AdapterRow> {};

// A frame the adapter or its library reports as lost (here the unit's answer to the first page's
// request) is said at once, once; the page's own check then fails as it always did.
TEST_P(OverrunTest, LostFramesAreSaidBeforeThePageFails) {
  const AdapterRow& row = GetParam();
  configure(row.kvaser, row.settings);
  ConsoleCapture console;
  EXPECT_EQ(backup_parameters(job("b.bin", row.kvaser ? "kvaser" : "pcan")), -5);
  const std::string text = console.text();
  const size_t lost = text.find(row.line);
  ASSERT_NE(lost, std::string::npos) << text;
  EXPECT_LT(lost, text.find("ERROR --- Invalid answer data\n")) << text;
  EXPECT_EQ(text.find("received frames were lost", lost + std::strlen(row.line)),
            std::string::npos)
      << text;
  EXPECT_NE(log_.text().find(row.line), std::string::npos);
}

// The second write asks for the first page of the backup.
#define LOST_FIX "close programs that keep the PC busy"
INSTANTIATE_TEST_SUITE_P(
    Rows, OverrunTest,
    ::testing::Values(
        AdapterRow{"pcan_controller", false, "bus=1,overrun_after_write=2",
                   "PEAK PCAN-USB: received frames were lost (receive buffer overrun); the "
                   "transfer's checks will fail: " LOST_FIX ", connect the adapter without a USB "
                   "hub, and run the job again\n"},
        AdapterRow{"pcan_queue", false, "bus=1,overrun_after_write=2,overrun_status=0x40",
                   "PEAK PCAN-USB: received frames were lost (receive queue overrun); the "
                   "transfer's checks will fail: " LOST_FIX " and run the job again\n"},
        AdapterRow{"canlib_hardware", true, "bus=1,overrun_after_write=2",
                   "Kvaser USBcan: received frames were lost (receive buffer overrun)"},
        AdapterRow{"canlib_software", true, "bus=1,overrun_after_write=2,overrun_flags=0x400",
                   "Kvaser USBcan: received frames were lost (receive queue overrun)"}),
    RowName());
#undef LOST_FIX

struct IdentityRow {
  const char* name;
  const char* pcan_settings;
  const char* canlib_settings;
  const char* interface;
  int32_t result;
  const char* opened;  // in the fake's calls, or the console line that refuses the name
};
class IdentityTest : public FakeAdapterTest, public ::testing::WithParamInterface<IdentityRow> {};

// An adapter named by what it is opens the same channel whatever order the adapters were plugged
// in; an identity that is not attached is refused naming those that are, and nothing else opens.
TEST_P(IdentityTest, OpensTheChannelOfThatDeviceOrNone) {
  const IdentityRow& row = GetParam();
  fake_pcan::configure(row.pcan_settings);
  fake_canlib::configure(row.canlib_settings);
  ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
  const CanTarget selected = target_of(row.interface);
  ConsoleCapture console;
  EXPECT_EQ(can_open(selected), row.result);
  const std::string calls = fake_pcan::calls() + fake_canlib::calls();
  if (row.result == 0) {
    EXPECT_NE(calls.find(row.opened), std::string::npos) << calls;
  } else {
    EXPECT_EQ(console.text(), std::string(row.opened) + "\nCAN init error\n");
    EXPECT_EQ(calls.find("CAN_Initialize"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("canOpenChannel"), std::string::npos) << calls;
  }
}

const char kPlugged[] = "attached=3:1,device_id@3=7,device_id@1=9,occupied=0";
const char kDevices[] = "cards=48:48:48,serial@0=20,serial@1=10,serial@2=10,chan_no@2=1";
INSTANTIATE_TEST_SUITE_P(
    Rows, IdentityTest,
    ::testing::Values(
        IdentityRow{"pcan_decimal", kPlugged, "", "pcan@7", 0, "CAN_Initialize(0x53,"},
        IdentityRow{"pcan_hex", kPlugged, "", "PCAN@0x9", 0, "CAN_Initialize(0x51,"},
        IdentityRow{"pcan_absent", kPlugged, "", "pcan@5", -2,
                    "No PCAN channel with device id 5 (attached: 9, 7)"},
        IdentityRow{"kvaser_device", "", kDevices, "kvaser@10", 0, "canOpenChannel(1, 8)"},
        IdentityRow{"kvaser_device_channel", "", kDevices, "kvaser@10:1", 0,
                    "canOpenChannel(2, 8)"},
        IdentityRow{"kvaser_absent", "", kDevices, "kvaser@30", -1,
                    "No Kvaser channel with serial number 30 (attached: 20, 10)"},
        IdentityRow{"kvaser_channel_absent", "", kDevices, "kvaser@10:5", -1,
                    "No channel 5 on the Kvaser device with serial number 10 (its channels: 0, "
                    "1)"}),
    RowName());

struct HeldRow {
  const char* name;
  const char* interface;
  const char* lock;   // what the other run holds
  const char* never;  // a call that must not come
};
class HeldInterfaceTest : public FakeAdapterTest, public ::testing::WithParamInterface<HeldRow> {};

// An interface another run holds is refused before anything is opened or sent, naming that run's
// process; the listing shows it in use.
TEST_P(HeldInterfaceTest, IsRefusedNamingTheOtherRun) {
  const HeldRow& row = GetParam();
  const HeldElsewhere other(row.lock);
  ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
  const CanTarget selected = target_of(row.interface);
  ConsoleCapture console;
  EXPECT_LT(can_open(selected), 0);
  EXPECT_EQ(console.text(), std::string("Cannot open ") + row.interface + ": in use by process " +
                                std::to_string(other.pid()) +
                                " (another run of this tool): wait until it ends, or name "
                                "another interface with -i\nCAN init error\n");
  const std::string calls = fake_pcan::calls() + fake_canlib::calls();
  EXPECT_EQ(calls.find(row.never), std::string::npos) << calls;
  console.clear();
  EXPECT_EQ(can_list(), 0);
  EXPECT_NE(console.text().find(", in use by process " + std::to_string(other.pid())),
            std::string::npos)
      << console.text();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HeldInterfaceTest,
    ::testing::Values(HeldRow{"pcan", "pcan:1", "pcan-1", "CAN_Initialize"},
                      HeldRow{"kvaser_by_number", "kvaser:0", "kvaser-10001", "canOpenChannel"},
                      HeldRow{"kvaser_by_identity", "kvaser@10002", "kvaser-10002",
                              "canOpenChannel"}),
    RowName());
}  // namespace

// The station script: five adapters side by side from one folder, each run with its own log and
// report, then a line per unit from the reports (one device is not plugged in).
TEST(StationScriptTest, RunsEveryAdapterSideBySideAndTabulatesTheReports) {
  ScratchDir dir;
  write_file(dir.file("app.hex"), kUnitHex);
  const std::string command =
      "LD_LIBRARY_PATH=" + shell_quote(fake_pcan::loader_path()) +
      " RALVEX_FAKE_PCAN=bus=1,occupied=0 RALVEX_FAKE_CANLIB=bus=1 RALVEX_TOOL=" +
      shell_quote(RALVEX_TOOL_PATH) + " bash " +
      shell_quote(std::string(RALVEX_SOURCE_DIR) + "/examples/station.sh") +
      " -f app.hex -- pcan:1 A-1 pcan@0x2 A-2 kvaser:1 A-3 sim A-4 pcan@7 A-5";
  std::string output;
  EXPECT_EQ(run_command(command, &output), 1) << output;
  // The cause, not the step: the line that named why the adapter could not be opened.
  EXPECT_NE(output.find("pcan@7           A-5            FAIL   (exit 252) No PCAN channel with "
                        "device id 7 (attached: 1, 2)\n"),
            std::string::npos)
      << output;
  const struct {
    const char* line;
    const char* name;
    const char* serial;
  } units[] = {{"pcan:1           A-1            pass", "run-pcan-1", "A-1"},
               {"pcan@0x2         A-2            pass", "run-pcan-0x2", "A-2"},
               {"kvaser:1         A-3            pass", "run-kvaser-1", "A-3"},
               {"sim              A-4            pass", "run-sim", "A-4"}};
  for (const auto& unit : units) {
    EXPECT_NE(output.find(unit.line), std::string::npos) << output;
    const std::string run = dir.file(unit.name);
    EXPECT_NE(read_file(run + ".txt").find("Flashing completed"), std::string::npos) << run;
    EXPECT_NE(read_file(run + ".log").find("ZR4_BL_Log"), std::string::npos) << run;
    EXPECT_NE(read_file(run + ".json").find(std::string("\"serial\": \"") + unit.serial + "\""),
              std::string::npos)
        << run;
  }
  EXPECT_FALSE(file_exists(dir.file("ZR4_BL_Log.txt")));
}

namespace {
// What a run through a fake library with late or repeated answers must leave behind.
enum class LateCheck { UNIT_FLASH, NODE_FLASH, BACKUP, REPEATED_BACKUP };
struct LateFakeRow {
  const char* name;
  const char* settings;  // the fakes' environment; the library's own settings follow it
  LateCheck check;
};
void PrintTo(const LateFakeRow& row, std::ostream* os) { *os << row.name; }
class LateAnswerExecutableTest : public ::testing::TestWithParam<LateFakeRow> {};

}  // namespace

// The tool itself over both fake libraries, whose emulated unit and node answer late or send a
// page twice: every flashed page lands, the backup is the unit's area, and a repeated page
// fails the backup by name with the earlier file kept.
TEST_P(LateAnswerExecutableTest, LeavesTheRightBytesOrFailsByName) {
  const LateFakeRow& row = GetParam();
  ScratchDir dir;
  std::string args;
  std::vector<uint8_t> image;
  const auto earlier = random_bytes(0xD000, 2);
  switch (row.check) {
    case LateCheck::UNIT_FLASH:
      image = random_bytes(3000, 7);
      objcopy_hex(image, 0x70020000, "app.hex");
      args = "-f app.hex 4";
      break;
    case LateCheck::NODE_FLASH:
      image = random_bytes(2000, 9);
      objcopy_hex(image, 0x20000, "sensor.hex");
      args = "-f sensor.hex -g 5 4";
      break;
    case LateCheck::BACKUP:
    case LateCheck::REPEATED_BACKUP:
      write_bytes("backup.bin", earlier);
      args = "-r backup.bin 4";
      break;
  }
  const std::string settings = std::string(row.settings) +
                               "unit_flash_out=" + dir.file("unit.bin") +
                               ",node_id=5,node_flash_out=" + dir.file("node.bin");
  std::string output;
  const int status = run_with_fakes(dir, settings, args, &output);
  const std::string log = read_file(dir.file("ZR4_BL_Log.txt"));
  switch (row.check) {
    case LateCheck::UNIT_FLASH: {
      EXPECT_EQ(status, 0) << output;
      const auto flash = read_bytes("unit.bin");
      ASSERT_GE(flash.size(), image.size());
      EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
      EXPECT_NE(log.find("Late answer to DL_START_LOADING, ignored\n"), std::string::npos) << log;
      break;
    }
    case LateCheck::NODE_FLASH: {
      EXPECT_EQ(status, 0) << output;
      const auto flash = read_bytes("node.bin");
      ASSERT_GE(flash.size(), 0x20000 + image.size());
      EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x20000));
      EXPECT_NE(log.find("Late answer to DL_START_LOADING, ignored\n"), std::string::npos) << log;
      break;
    }
    case LateCheck::BACKUP: {
      EXPECT_EQ(status, 0) << output;
      std::vector<uint8_t> area(0xD000);
      for (uint32_t a = 0; a < area.size(); ++a) area[a] = sim_unit_parameter_default(a);
      EXPECT_EQ(read_bytes("backup.bin"), area);
      break;
    }
    case LateCheck::REPEATED_BACKUP:
      EXPECT_EQ(status, 246) << output;  // -10
      EXPECT_NE(output.find("The unit sent page 0x0300 twice (a repeated command on the bus): "
                            "nothing written, run the backup again\n"),
                std::string::npos)
          << output;
      EXPECT_EQ(read_bytes("backup.bin"), earlier);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LateAnswerExecutableTest,
    ::testing::Values(
        LateFakeRow{"pcan_unit_70", "RALVEX_FAKE_PCAN=bus=1,answer_late_ms=70,erase_ms=500,",
                    LateCheck::UNIT_FLASH},
        LateFakeRow{"pcan_unit_120", "RALVEX_FAKE_PCAN=bus=1,answer_late_ms=120,erase_ms=500,",
                    LateCheck::UNIT_FLASH},
        LateFakeRow{"canlib_unit_70",
                    "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,answer_late_ms=70,"
                    "erase_ms=500,",
                    LateCheck::UNIT_FLASH},
        LateFakeRow{"canlib_unit_120",
                    "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,answer_late_ms=120,"
                    "erase_ms=500,",
                    LateCheck::UNIT_FLASH},
        LateFakeRow{"pcan_node_70", "RALVEX_FAKE_PCAN=bus=1,sensors_running=1,answer_late_ms=70,",
                    LateCheck::NODE_FLASH},
        LateFakeRow{"canlib_node_120",
                    "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,sensors_running=1,"
                    "answer_late_ms=120,",
                    LateCheck::NODE_FLASH},
        LateFakeRow{"pcan_backup_test_mode_120", "RALVEX_FAKE_PCAN=bus=1,answer_late_ms=120,",
                    LateCheck::BACKUP},
        LateFakeRow{"canlib_backup_test_mode_70",
                    "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,answer_late_ms=70,",
                    LateCheck::BACKUP},
        LateFakeRow{"pcan_repeated_page_3", "RALVEX_FAKE_PCAN=bus=1,repeat_page=0x300,",
                    LateCheck::REPEATED_BACKUP},
        LateFakeRow{"canlib_repeated_page_3",
                    "RALVEX_FAKE_PCAN=initialize=4 RALVEX_FAKE_CANLIB=bus=1,repeat_page=0x300,",
                    LateCheck::REPEATED_BACKUP}),
    RowName());
