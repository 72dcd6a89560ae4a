// The `-l` findings as a pure function of the back-ends' records, and their printing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "can/listing.h"
#include "support/can_support.h"

namespace {
CanListRecord interface(CanVendor vendor, const char* name) {
  CanListRecord record{};
  record.kind = CanListKind::INTERFACE;
  record.vendor = vendor;
  record.spelling = name;
  record.text = "as the back-end describes it";
  record.queue = -1;
  return record;
}
CanListRecord socketcan(const char* name, bool down, uint32_t bitrate, int32_t queue,
                        bool is_virtual = false, bool bus_off = false) {
  CanListRecord record = interface(CanVendor::SOCKETCAN, name);
  record.down = down;
  record.bitrate = bitrate;
  record.queue = queue;
  record.is_virtual = is_virtual;
  record.bus_off = bus_off;
  return record;
}
CanListRecord library(CanVendor vendor, const char* file, bool usable) {
  CanListRecord record{};
  record.kind = CanListKind::LIBRARY;
  record.vendor = vendor;
  record.library = file;
  record.usable = usable;
  record.searched = "a.so, b.so";
  return record;
}
CanListRecord occupied(const char* name) {
  CanListRecord record = interface(CanVendor::PEAK, name);
  record.occupied = true;
  return record;
}

struct FindingRow {
  const char* name;
  CanListRecord record;
  std::vector<std::string> findings;  // "problem | fix"
};

class ListingFindingTest : public ::testing::TestWithParam<FindingRow> {};

TEST_P(ListingFindingTest, ProblemsAndFixesFollowFromTheRecord) {
  std::vector<std::string> found;
  for (const CanFinding& finding : can_listing_findings({GetParam().record})) {
    found.push_back(finding.problem + " | " + finding.fix);
  }
  EXPECT_EQ(found, GetParam().findings);
}

const char kUp[] = " && sudo ip link set can1 up";
INSTANTIATE_TEST_SUITE_P(
    Rows, ListingFindingTest,
    ::testing::Values(
        FindingRow{"healthy_controller", socketcan("can0", false, 250000, 1000), {}},
        FindingRow{"no_bit_rate_set", socketcan("can0", false, 0, 1000), {}},
        FindingRow{"queue_not_given", socketcan("can0", false, 250000, -1), {}},
        FindingRow{"queue_of_100", socketcan("can0", false, 250000, 100), {}},
        FindingRow{"virtual_with_short_queue", socketcan("vcan0", false, 0, 10, true), {}},
        FindingRow{"virtual_down",
                   socketcan("vcan0", true, 0, 1000, true),
                   {"vcan0 is down | sudo ip link set vcan0 up"}},
        FindingRow{"down_wrong_rate_short_queue",
                   socketcan("can1", true, 125000, 10),
                   {std::string("can1 is down | sudo ip link set can1 type can bitrate 250000") +
                        kUp,
                    std::string("can1 runs at 125000 bit/s; the bus runs at 250000 | sudo ip link "
                                "set can1 down && sudo ip link set can1 type can bitrate 250000") +
                        kUp,
                    "can1 has a transmit queue of 10 frames | sudo ip link set can1 txqueuelen "
                    "1000"}},
        FindingRow{"bus_off",
                   socketcan("can1", false, 250000, 1000, false, true),
                   {std::string("can1 is bus-off | check the wiring, the termination and every "
                                "node's bit rate, then restart the controller: sudo ip link set "
                                "can1 down") +
                        kUp}},
        FindingRow{"occupied_pcan_channel",
                   occupied("pcan:2"),
                   {"pcan:2 is occupied by another program | close the program that holds pcan:2 "
                    "(PCAN-View, another tool), or name a free channel with -i pcan:N"}},
        FindingRow{"usable_library", library(CanVendor::PEAK, "/usr/lib/libpcanbasic.so", true),
                   {}},
        FindingRow{"pcan_basic_not_found",
                   library(CanVendor::PEAK, "", false),
                   {"no PCAN-Basic library found (searched: a.so, b.so) | for a PEAK adapter, "
                    "install PEAK-System's driver package with PCAN-Basic (on Linux, "
                    "libpcanbasic.so on the loader's path)"}},
        FindingRow{"canlib_not_found",
                   library(CanVendor::KVASER, "", false),
                   {"no CANlib library found (searched: a.so, b.so) | for a Kvaser adapter, "
                    "install Kvaser's CANlib (Windows: the Kvaser drivers; Linux: linuxcan, "
                    "libcanlib.so.1 on the loader's path)"}},
        FindingRow{"canlib_without_an_entry_point",
                   library(CanVendor::KVASER, "/opt/libcanlib.so.1", false),
                   {"/opt/libcanlib.so.1 is not a usable CANlib | install a current CANlib from "
                    "Kvaser"}}),
    RowName());

TEST(ListingPrintTest, LinesInOrderThenTheProblemsOfAllRecords) {
  CanListRecord version = library(CanVendor::PEAK, "/usr/lib/libpcanbasic.so", true);
  version.text = "API version 4.8.0.5";
  CanListRecord note{};
  note.kind = CanListKind::NOTE;
  note.text = "CANlib: no channel";
  CanListRecord pcan = occupied("pcan:2");
  pcan.text = "PCAN-USB, device id 0x2, occupied";
  CanListRecord missing = library(CanVendor::KVASER, "", false);
  missing.text = "none of a.so, b.so could be loaded (a.so: cannot open)";
  CanListRecord can0 = socketcan("can0", false, 250000, 10);
  can0.text = "SocketCAN, up, 250000 bit/s, error-active, txqueuelen 10";
  ConsoleCapture console;
  can_listing_print({version, pcan, missing, note, can0});
  EXPECT_EQ(console.text(),
            "CAN interfaces:\n"
            "  PCAN-Basic: /usr/lib/libpcanbasic.so, API version 4.8.0.5\n"
            "  pcan:2       PCAN-USB, device id 0x2, occupied\n"
            "  CANlib not usable: none of a.so, b.so could be loaded (a.so: cannot open)\n"
            "  CANlib: no channel\n"
            "  can0         SocketCAN, up, 250000 bit/s, error-active, txqueuelen 10\n"
            "Problems found:\n"
            "  pcan:2 is occupied by another program\n"
            "      fix: close the program that holds pcan:2 (PCAN-View, another tool), or name a "
            "free channel with -i pcan:N\n"
            "  no CANlib library found (searched: a.so, b.so)\n"
            "      fix: for a Kvaser adapter, install Kvaser's CANlib (Windows: the Kvaser "
            "drivers; Linux: linuxcan, libcanlib.so.1 on the loader's path)\n"
            "  can0 has a transmit queue of 10 frames\n"
            "      fix: sudo ip link set can0 txqueuelen 1000\n");
}

TEST(ListingPrintTest, NothingFoundSaysSo) {
  ConsoleCapture console;
  can_listing_print({});
  EXPECT_EQ(console.text(), "CAN interfaces:\n  (none)\nNo problems found.\n");
}
}  // namespace
