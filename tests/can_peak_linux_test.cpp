// The PEAK back-end against PEAK's own PCAN-Basic for Linux as its source behaves: the fake's
// variants for 4.3.1.3 (driver package 8.9.3) and for the pcbcore.c of 2022, beside the fake of
// the header's library wherever a case holds for every library. One case per way in which those
// libraries differ from the header: the filter's mode, a gone adapter, the bus states, a channel
// shared with another program, device ids, a send while bus-off, an absent adapter. Then the tool
// itself through each variant under the usual name: a flash, a backup and `-i pcan@ID`.
#include <gtest/gtest.h>

#include <string>

#include "can/channel.h"
#include "can/interfaces.h"
#include "can/peak/peak.h"
#include "ops/operations.h"
#include "protocol/identifiers.h"
#include "support/can_support.h"

namespace {
const char kUnitHex[] = ":02000004700288\n:0400000001020304F2\n:00000001FF\n";
// pcan:1 and pcan:3 attached, with device ids 9 and 7, and free.
const char kDeviceIds[] = "attached=3:1,device_id@3=7,device_id@1=9,occupied=0";
#define LINUX_VARIANTS "linux43", "linux2022"
#define ALL_VARIANTS "", LINUX_VARIANTS

std::string variant_name(const ::testing::TestParamInfo<const char*>& info) {
  return info.param[0] ? info.param : "header";
}

// The PEAK back-end on one variant of the fake, on this test's virtual clock.
class PeakLibraryTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    previous_ = fake_pcan::variant();
    fake_pcan::use(GetParam());
    can_reset();
    peak_test_reset(fake_pcan::library().names());
    fake_pcan::reset();
    fake_pcan::set_clock(&kForwardClock);
  }
  void TearDown() override {
    can_reset();
    peak_test_reset(nullptr);
    fake_pcan::set_clock(nullptr);
    fake_pcan::use(previous_);
  }
  // Opens the PEAK back-end's default channel for the unit's answers and data.
  static void open() {
    can_use_backend(peak_backend());
    ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
    ASSERT_EQ(can_accept_id(UNIT_DATA_ID), 0);
    ASSERT_EQ(can_open(CanTarget{}), 0);
  }
  std::string previous_;
  VirtualClock clock_;
  RecordedLog log_;
};

using EveryLibraryTest = PeakLibraryTest;
using LinuxLibraryTest = PeakLibraryTest;

// PCAN-Basic for Linux makes a range extended for PCAN_MODE_EXTENDED alone; with any other mode
// the driver would drop every frame of the unit, and every job would end "No answer".
TEST_P(EveryLibraryTest, FilterLetsTheUnitsFramesThroughAndFlashAndBackupComplete) {
  fake_pcan::configure("bus=1");
  write_file("app.hex", kUnitHex);
  ConsoleCapture console;
  EXPECT_EQ(flash_application(job("app.hex", "pcan")), 0) << console.text();
  EXPECT_TRUE(holds(console.text(), "Flashing completed\n"));
  EXPECT_TRUE(holds(fake_pcan::calls(), "CAN_FilterMessages(0x51, 0xA44401, 0xA84401, 0x02)\n"));
  EXPECT_EQ(backup_parameters(job("b.bin", "pcan")), 0) << console.text();
  EXPECT_TRUE(holds(console.text(), "Backup completed\n"));
}

// An adapter unplugged while the unit erases: 4.3 says PCAN_ERROR_UNKNOWN (the driver's ENODEV),
// 2022 PCAN_ERROR_ILLHW, to the read that fails. Unplugged while the tool waits on the receive
// event: PEAK's driver polls POLLERR on its descriptor, which is no frame; the status query that
// follows finds the adapter gone. Either way the run ends within a second, naming the adapter lost.
struct UnplugRow {
  const char* settings;
  uint64_t (*gone_at_us)();  // when the fake's adapter went
  const char* lost;          // the start of the console line
};
TEST_P(EveryLibraryTest, UnplugIsNamedWithinASecond) {
  // The fifth read falls into the erase (the start's answer is the second); the second write asks
  // the unit to erase.
  const UnplugRow rows[] = {
      {"bus=1,read_fail_from=5", fake_pcan::read_failed_at_us,
       "CAN adapter lost: pcan:1 (CAN_Read: "},
      {"bus=1,unplug_after_write=2", fake_pcan::unplugged_at_us, "CAN adapter lost: pcan:1 ("}};
  write_file("app.hex", kUnitHex);
  for (const UnplugRow& row : rows) {
    SCOPED_TRACE(row.settings);
    TearDown();
    SetUp();
    fake_pcan::configure(row.settings);
    ConsoleCapture console;
    EXPECT_EQ(flash_application(job("app.hex", "pcan")), -5);
    const uint64_t gone_at = row.gone_at_us();
    ASSERT_NE(gone_at, 0u);
    EXPECT_LE(clock_.now_us() - gone_at, 1100000u);
    const std::string text = console.text();
    const size_t erase = text.find("Erase flash\n");
    const size_t lost = text.find(row.lost);
    ASSERT_NE(erase, std::string::npos) << text;
    ASSERT_NE(lost, std::string::npos) << text;
    EXPECT_LT(erase, lost) << text;
    EXPECT_EQ(text.find("No answer"), std::string::npos) << text;
  }
}

// A send to a gone adapter: the unknown error of 4.3 is confirmed by the status query.
TEST_P(EveryLibraryTest, SendToAGoneAdapterStopsTheChannel) {
  ASSERT_NO_FATAL_FAILURE(open());
  fake_pcan::configure("unplug_after_write=1");
  ConsoleCapture console;
  const CanFrame command{UNIT_COMMAND_ID, {0x0A}};
  EXPECT_EQ(can_send_frame(command), 0);
  EXPECT_EQ(can_send_frame(command), -3);
  EXPECT_EQ(can_stopped(), CAN_STOPPED_LOST);
  EXPECT_TRUE(begins(console.text(), "CAN adapter lost: pcan:1 (CAN_Write: "));
}

struct StateRow {
  const char* state;  // as the fake's bus_state setting names it
  const char* line;   // the start of the console line
};

// Each library's words for the controller's state (4.3 and 2022 tell error-passive as
// PCAN_ERROR_BUSHEAVY, warning as BUSLIGHT), named as the state they are: an unpowered unit
// (nobody acknowledges) is error-passive, not a wiring warning.
TEST_P(EveryLibraryTest, BusStatesAreNamedAsTheyAre) {
  ASSERT_NO_FATAL_FAILURE(open());
  const StateRow rows[] = {{"passive", "CAN bus state: error-passive (frames are not acknowledged"},
                           {"warning", "CAN bus state: error warning"},
                           {"off", "CAN bus state: bus-off"}};
  ConsoleCapture console;
  for (const StateRow& row : rows) {
    console.clear();
    fake_pcan::configure((std::string("bus_state=") + row.state).c_str());
    CanFrame frame{};
    EXPECT_EQ(can_receive_frame(&frame, 5, 50), -1);
    EXPECT_TRUE(begins(console.text(), row.line)) << row.state;
  }
}

// A controller bus-off refuses a send at once (4.3 and 2022: the driver's ENETDOWN); the send's
// failure names the bus-off, and the step then names itself.
TEST_P(EveryLibraryTest, BusOffOnASendIsNamed) {
  fake_pcan::configure("bus=1,write_fail_from=3,write_fail=0x10");
  write_file("app.hex", kUnitHex);
  ConsoleCapture console;
  EXPECT_LT(flash_application(job("app.hex", "pcan")), 0);
  EXPECT_TRUE(holds(console.text(), "CAN bus state: bus-off (the adapter stopped sending"));
}

// An adapter named by its device id: 4.3 gives device ids of initialised channels alone (and no
// attached-channels query), so the free channels are initialised for the moment of the question.
TEST_P(EveryLibraryTest, DeviceIdFindsItsChannel) {
  fake_pcan::configure(kDeviceIds);
  ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
  ConsoleCapture console;
  EXPECT_EQ(can_open(target_of("pcan@7")), 0) << console.text();
  const std::string calls = fake_pcan::calls();
  const size_t opened = calls.rfind("CAN_Initialize(");
  ASSERT_NE(opened, std::string::npos) << calls;
  EXPECT_EQ(calls.compare(opened, 21, "CAN_Initialize(0x53, "), 0) << calls;
  const std::string log = log_.text();
  const bool briefly = log.find("initialising pcan:3 for a moment to read it\n") != std::string::npos;
  EXPECT_EQ(briefly, std::string(GetParam()) == "linux43") << log;
}

TEST_P(EveryLibraryTest, ListingGivesTheDeviceIds) {
  fake_pcan::configure(kDeviceIds);
  ConsoleCapture console;
  print_listing(peak_list);
  for (const char* line : {"pcan:1       PCAN-USB, device id 0x9, available (also -i pcan@0x9)",
                           "pcan:3       PCAN-USB, device id 0x7, available (also -i pcan@0x7)"}) {
    EXPECT_TRUE(holds(console.text(), line));
  }
}

// PEAK's Linux library shares a channel that another program initialised at the same bit rate
// (both read one receive queue, and the initialisation deletes the other's filters): its condition
// tells it occupied, and it is refused before it is initialised. For a channel it finds no device
// for 4.3 says "no driver" (2022 "illegal hardware"): the adapter is not there (or the driver is
// not loaded), and the line says so.
struct RefusedChannelRow {
  const char* target;
  const char* line;  // the start of the console
  bool initialised;  // CAN_Initialize was called
};
TEST_P(LinuxLibraryTest, OccupiedAndAbsentChannelsAreRefusedAsWhatTheyAre) {
  // pcan:2 is held by another program; pcan:3 is not attached.
  const RefusedChannelRow rows[] = {
      {"pcan:2", "Cannot open pcan:2: occupied by another program", false},
      {"pcan:3", "Cannot open pcan:3: no PCAN-USB adapter found as pcan:3: is it plugged in, and "
                 "PEAK's driver loaded? (CAN_Initialize: ", true}};
  ASSERT_EQ(can_accept_id(UNIT_ANSWER_ID), 0);
  for (const RefusedChannelRow& row : rows) {
    SCOPED_TRACE(row.target);
    ConsoleCapture console;
    EXPECT_LT(can_open(target_of(row.target)), 0);
    EXPECT_TRUE(begins(console.text(), row.line));
    const std::string calls = fake_pcan::calls();
    EXPECT_EQ(calls.find("CAN_Initialize(") != std::string::npos, row.initialised) << calls;
  }
  EXPECT_TRUE(holds(log_.text(), "PEAK: pcan:2 is occupied by another program"));
}

INSTANTIATE_TEST_SUITE_P(Libraries, EveryLibraryTest, ::testing::Values(ALL_VARIANTS),
                         variant_name);
INSTANTIATE_TEST_SUITE_P(Libraries, LinuxLibraryTest, ::testing::Values(LINUX_VARIANTS),
                         variant_name);

// The tool's executable with the variant under the usual name first on the loader's path.
class PeakLibraryExecutableTest : public ::testing::TestWithParam<const char*> {
 protected:
  // The variant's folder.
  std::string folder() const {
    return std::string(RALVEX_FAKES_DIR) + (GetParam()[0] ? "/" : "") + GetParam();
  }
  int run(const std::string& settings, const std::string& args, std::string* output) {
    const std::string command = "cd " + shell_quote(dir_.file("")) + " && LD_LIBRARY_PATH=" +
                                shell_quote(folder()) + ":" + shell_quote(RALVEX_FAKES_DIR) +
                                " RALVEX_FAKE_PCAN=" + settings + " RALVEX_FAKE_PCAN_CALLS=" +
                                shell_quote(dir_.file("pcan.txt")) + " " +
                                shell_quote(RALVEX_TOOL_PATH) + " " + args;
    return run_command(command, output);
  }
  ScratchDir dir_;
};

TEST_P(PeakLibraryExecutableTest, FlashesBacksUpAndOpensByDeviceId) {
  write_file(dir_.file("app.hex"), kUnitHex);
  std::string output;
  EXPECT_EQ(run("bus=1", "-f app.hex --report r.json 4", &output), 0) << output;
  EXPECT_TRUE(holds(output, "Using PEAK PCAN-USB interface\nErase flash\n"));
  const std::string report = read_file(dir_.file("r.json"));
  EXPECT_TRUE(holds(report, "\"library\": \"" + folder() + "/libpcanbasic.so\""));
  EXPECT_EQ(run("bus=1", "-r b.bin 4", &output), 0) << output;
  EXPECT_TRUE(holds(output, "Backup completed\n"));
  EXPECT_EQ(run(std::string("bus=1,") + kDeviceIds, "-i pcan@7 -f app.hex 4", &output), 0)
      << output;
  EXPECT_TRUE(holds(output, "Flashing completed\n"));
}

INSTANTIATE_TEST_SUITE_P(Libraries, PeakLibraryExecutableTest, ::testing::Values(ALL_VARIANTS),
                         variant_name);
#undef ALL_VARIANTS
#undef LINUX_VARIANTS
}  // namespace
