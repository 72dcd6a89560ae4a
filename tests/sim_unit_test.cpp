// ralvex-sim-unit's command line: what it refuses before it touches the interface, and a missing
// interface. Its work on a real SocketCAN interface runs in the vcan VM (tests/vm/end_to_end.sh).
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "support/test_support.h"

namespace {
struct CommandRow {
  const char* name;
  const char* args;
  int status;
  const char* message;  // expected in stdout + stderr
};
void PrintTo(const CommandRow& row, std::ostream* os) { *os << row.name; }

class SimUnitCommandTest : public ::testing::TestWithParam<CommandRow> {};

TEST_P(SimUnitCommandTest, ExitStatusAndMessage) {
  const CommandRow row = GetParam();
  ScratchDir dir;
  write_file(dir.file("short.bin"), std::string(0xCFFF, '\x11'));
  write_file(dir.file("long.bin"), std::string(0xD001, '\x11'));
  std::string output;
  const int status = run_command(std::string(RALVEX_SIM_UNIT_PATH) + " " + row.args + " 2>&1",
                                 &output);
  EXPECT_EQ(status, row.status) << output;
  EXPECT_NE(output.find(row.message), std::string::npos) << output;
  // A refused command line shows the usage; nothing else does.
  EXPECT_EQ(output.find("  --node-out ID:FILE") != std::string::npos, row.status != 1) << output;
  // Nothing is written when the emulator never ran.
  EXPECT_FALSE(file_exists(dir.file("flash.bin")));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SimUnitCommandTest,
    ::testing::Values(
        CommandRow{"help", "--help", 0, "Usage: ralvex-sim-unit IFNAME [options]\n"},
        CommandRow{"no_interface", "", 2, "ralvex-sim-unit: no interface given\n"},
        CommandRow{"two_interfaces", "vcan0 vcan1", 2, "ralvex-sim-unit: unexpected 'vcan1'\n"},
        CommandRow{"unknown_option", "vcan0 --fast", 2, "unknown option '--fast'\n"},
        CommandRow{"unknown_option_with_value", "vcan0 --fast 1", 2, "unknown option '--fast'\n"},
        CommandRow{"value_missing", "vcan0 --flash-out", 2, "--flash-out needs a value\n"},
        CommandRow{"node_zero", "vcan0 --node-out 0:n.bin", 2, "ID 1 to 127, not '0:n.bin'\n"},
        CommandRow{"node_128", "vcan0 --node-out 128:n.bin", 2, "not '128:n.bin'\n"},
        CommandRow{"node_without_file", "vcan0 --node-out 5:", 2, "not '5:'\n"},
        CommandRow{"node_without_colon", "vcan0 --node-out 5", 2, "not '5'\n"},
        CommandRow{"sensors_on_text", "vcan0 --sensors-on soon", 2,
                   "--sensors-on needs milliseconds, not 'soon'\n"},
        CommandRow{"erase_negative", "vcan0 --erase-ms -1", 2,
                   "--erase-ms needs milliseconds, not '-1'\n"},
        CommandRow{"answer_late_text", "vcan0 --answer-late late", 2,
                   "--answer-late needs milliseconds, not 'late'\n"},
        CommandRow{"answer_late_too_long", "vcan0 --answer-late 60001", 2,
                   "--answer-late needs milliseconds, not '60001'\n"},
        CommandRow{"repeat_page_not_a_page", "vcan0 --repeat-page 0x310", 2,
                   "--repeat-page needs a page address from 0 to 0xCF00, a multiple of 0x100, "
                   "not '0x310'\n"},
        CommandRow{"repeat_page_beyond", "vcan0 --repeat-page 0xD000", 2, "not '0xD000'\n"},
        CommandRow{"repeat_page_negative", "vcan0 --repeat-page -256", 2, "not '-256'\n"},
        CommandRow{"parameters_missing", "vcan0 --flash-out flash.bin --parameters-in none.bin", 1,
                   "ralvex-sim-unit: cannot open 'none.bin': No such file or directory\n"},
        CommandRow{"parameters_short", "vcan0 --flash-out flash.bin --parameters-in short.bin", 1,
                   "'short.bin' must hold exactly 53248 bytes\n"},
        CommandRow{"parameters_long", "vcan0 --flash-out flash.bin --parameters-in long.bin", 1,
                   "'long.bin' must hold exactly 53248 bytes\n"},
        // Without CAN in the kernel the socket fails, with it the interface lookup: both name it.
        CommandRow{"interface_missing", "rsu-missing0 --flash-out flash.bin", 1,
                   " on 'rsu-missing0' failed: "},
        // Every option taken, then the interface fails: still nothing written.
        CommandRow{"all_options_interface_missing",
                   "rsu-missing0 --trace --flash-out flash.bin --parameters-out p.bin --node-out "
                   "5:n.bin --sensors-on 10 --erase-ms 5 --answer-late 120 --repeat-page 0x300",
                   1, " on 'rsu-missing0' failed: "},
        CommandRow{"interface_name_too_long", "abcdefghijklmnopq --flash-out flash.bin", 1,
                   "interface name on 'abcdefghijklmnopq' failed: File name too long\n"}));
}  // namespace
