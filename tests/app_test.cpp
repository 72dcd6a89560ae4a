#include <cctype>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "app/command_line.h"
#include "ops/operations.h"
#include "protocol/node_commands.h"
#include "support/test_support.h"

namespace {
std::string usage_text() { return command_line_usage(false); }

// A command line read with nothing behind it: its result, its value and the text it would print.
struct ReadLine {
  explicit ReadLine(const std::vector<std::string>& list) {
    Args args(list);
    result = command_line_read(args.argc(), args.argv(), &line);
    for (const CommandLineLine& said : line.said) text += said.text;
  }
  CommandLineResult result;
  CommandLine line;
  std::string text;
};

const char kNotice[] =
    "\n\n===  Ralvex Service Tool 0.7.0  ===\n\n"
    "This software uses the following 3rd party libraries (on Windows):\n\n";

std::string tool(const std::string& args, int* status) {
  std::string output;
  *status = run_command(std::string(RALVEX_TOOL_PATH) + " " + args, &output);
  return output;
}

std::string where(const std::vector<std::string>& list) {
  std::string text = "args:";
  for (const auto& a : list) text += " [" + a + "]";
  return text;
}

struct OptionsRow {
  std::vector<std::string> args;
  RunMode mode;
  const char* file;
  uint8_t node;
  bool force;
  int32_t level;
  const char* console;
};
class OptionsTest : public ::testing::TestWithParam<OptionsRow> {};

const OptionsRow kOptionRows[] = {
    {{}, RUN_MODE_NONE, "", 255, false, 1, ""},
    {{"-f", "app.hex"}, RUN_MODE_FLASH, "app.hex", 255, false, 1, "HEX file: 'app.hex'\n"},
    {{"-f", "app.hex", "4"}, RUN_MODE_FLASH, "app.hex", 255, false, 4, "HEX file: 'app.hex'\n"},
    {{"-r", "12.bin"}, RUN_MODE_BACKUP, "12.bin", 255, false, 12, "Backup data file: '12.bin'\n"},
    {{"-w", "p.bin", "-7"}, RUN_MODE_RESTORE, "p.bin", 255, false, -7,
     "Restore data file: 'p.bin'\n"},
    {{"-f", "app.hex", "-g", "5"}, RUN_MODE_SENSOR, "app.hex", 5, false, 5,
     "HEX file: 'app.hex'\nW2 sensor mode initiated\nSetting W2 id 5 \n"},
    {{"-f", "app.hex", "-g", "3", "-b"}, RUN_MODE_SENSOR_FORCE, "app.hex", 3, true, 1,
     "HEX file: 'app.hex'\nW2 sensor mode initiated\nSetting W2 id 3 \n"
     "W2 sensor bootloader force enabled\nTurn sensor power on\n"},
    {{"-f", "app.hex", "-b", "-g", "3"}, RUN_MODE_SENSOR, "app.hex", 3, true, 3,
     "HEX file: 'app.hex'\nW2 sensor bootloader force enabled\nTurn sensor power on\n"
     "W2 sensor mode initiated\nSetting W2 id 3 \n"},
    {{"-x", "-f", "app.hex"}, RUN_MODE_FLASH, "app.hex", 255, false, 1, "HEX file: 'app.hex'\n"},
    {{"-file", "app.hex"}, RUN_MODE_FLASH, "app.hex", 255, false, 1, "HEX file: 'app.hex'\n"},
    {{"app.hex", "-f"}, RUN_MODE_NONE, "", 255, false, 1, ""},
    {{"-F", "app.hex"}, RUN_MODE_NONE, "", 255, false, 1, ""},
    {{"-", "-f", "x.hex", ""}, RUN_MODE_FLASH, "x.hex", 255, false, 1, "HEX file: 'x.hex'\n"},
    // A value is consumed whatever it looks like.
    {{"-f", "-r", "3"}, RUN_MODE_FLASH, "-r", 255, false, 3, "HEX file: '-r'\n"},
    // Options end at the first argument without a dash; later ones are not read.
    {{"-f", "a.hex", "stop", "-r", "b.bin"}, RUN_MODE_FLASH, "a.hex", 255, false, 1,
     "HEX file: 'a.hex'\n"},
    {{"-i", "sim"}, RUN_MODE_NONE, "", 255, false, 1, "Use CAN interface: 'sim'\n"},
};

struct RefusedRow {
  std::vector<std::string> args;
  std::string first_line;
};
class RefusedOptionsTest : public ::testing::TestWithParam<RefusedRow> {};

const std::string kLongName(256, 'n');
const RefusedRow kRefusedRows[] = {
    {{"-f"}, "Missing value for option -f\n"},
    {{"-r"}, "Missing value for option -r\n"},
    {{"-f", "a.hex", "-w"}, "HEX file: 'a.hex'\nMissing value for option -w\n"},
    {{"-f", "a.hex", "-g"}, "HEX file: 'a.hex'\nMissing value for option -g\n"},
    {{"-i"}, "Missing value for option -i\n"},
    {{"-f", kLongName}, "File name too long: '" + kLongName + "'\n"},
    {{"-i", "sixteen-letters!"}, "CAN interface name too long: 'sixteen-letters!'\n"},
    // One run does one job: a second is never taken silently for the first.
    {{"-f", "a.hex", "-r", "b.bin"},
     "HEX file: 'a.hex'\nTwo jobs on one command line: '-f a.hex' and '-r b.bin' (one run does "
     "one job)\n"},
    {{"-r", "a.bin", "-w", "b.bin"},
     "Backup data file: 'a.bin'\nTwo jobs on one command line: '-r a.bin' and '-w b.bin' (one "
     "run does one job)\n"},
    {{"-f", "x.hex", "-l"},
     "HEX file: 'x.hex'\nTwo jobs on one command line: '-f x.hex' and '-l' (one run does one "
     "job)\n"},
    {{"-f", "n.hex", "-g", "5", "-write", "p.bin"},
     "HEX file: 'n.hex'\nW2 sensor mode initiated\nSetting W2 id 5 \nTwo jobs on one command "
     "line: '-g 5' and '-write p.bin' (one run does one job)\n"},
    // A sensor's image given after -g would flash the unit with it.
    {{"-g", "5", "-f", "sensor.hex"},
     "W2 sensor mode initiated\nSetting W2 id 5 \nUse -f to give filename!\n'-f sensor.hex' after "
     "'-g 5': a sensor's HEX file comes before -g (-f FILE -g ID), and a flash of the unit takes "
     "no -g or -b\n"},
    {{"-b", "-file", "sensor.hex"},
     "W2 sensor bootloader force enabled\nTurn sensor power on\n'-file sensor.hex' after '-b': a "
     "sensor's HEX file comes before -g (-f FILE -g ID), and a flash of the unit takes no -g or "
     "-b\n"},
};

// Typos that used to run another job, or to drop an option silently: refused with the long
// options' usage.
struct LongTypoRow {
  std::vector<std::string> args;
  std::string said;
};
class LongTypoTest : public ::testing::TestWithParam<LongTypoRow> {};
const LongTypoRow kLongTypoRows[] = {
    {{"-w", "good.bin", "-report", "r.json"},
     "Restore data file: 'good.bin'\nUnknown option '-report' (long options begin with --: "
     "--report)\n"},
    {{"-f", "x.hex", "-log", "my.log"},
     "HEX file: 'x.hex'\nUnknown option '-log' (long options begin with --: --log)\n"},
    {{"-w", "good.bin", "-verify"},
     "Restore data file: 'good.bin'\nUnknown option '-verify' (long options begin with --: "
     "--verify)\n"},
    {{"-trace=t.log", "-f", "x.hex"},
     "Unknown option '-trace=t.log' (long options begin with --: --trace)\n"},
    {{"-events", "e", "-tag", "a=b", "-progress", "none", "-help", "-version"},
     "Unknown option '-events' (long options begin with --: --events)\n"},
    {{"-f", "x.hex", "4", "--report", "r.json"},
     "HEX file: 'x.hex'\nOption '--report' after the end of the options (they end at '4'): "
     "every option comes before the logging level\n"},
    {{"-f", "x.hex", "4", "-i", "sim", "--verify"},
     "HEX file: 'x.hex'\nOption '--verify' after the end of the options (they end at '4'): "
     "every option comes before the logging level\n"},
};

class UnsuitableNodeIdTest
    : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};
}  // namespace

TEST_P(OptionsTest, ModesFileNamesAndNodeIds) {
  const OptionsRow& row = GetParam();
  const ReadLine read(row.args);
  const RunSettings& settings = read.line.settings;
  ASSERT_EQ(read.result, 0);
  EXPECT_EQ(settings.mode, row.mode) << where(row.args);
  EXPECT_STREQ(settings.file_name, row.file) << where(row.args);
  EXPECT_EQ(settings.node_id, row.node) << where(row.args);
  EXPECT_EQ(settings.force, row.force) << where(row.args);
  EXPECT_EQ(settings.log_level, row.level) << where(row.args);
  EXPECT_EQ(read.text, row.console) << where(row.args);
}
INSTANTIATE_TEST_SUITE_P(Rows, OptionsTest, ::testing::ValuesIn(kOptionRows));

// Judged as written: no low-8-bit folding, no trailing text. An earlier -g keeps its id.
TEST_P(UnsuitableNodeIdTest, LeavesTheIdAsItWas) {
  const char* id = std::get<0>(GetParam());
  const bool earlier = std::get<1>(GetParam());
  std::vector<std::string> list = {"-f", "a.hex", "-g", id};
  std::string expected = "HEX file: 'a.hex'\nW2 sensor mode initiated\n";
  if (earlier) {
    list.insert(list.begin() + 2, {"-g", "9"});
    expected += "Setting W2 id 9 \nW2 sensor mode initiated\n";
  }
  const ReadLine read(list);
  const RunSettings& settings = read.line.settings;
  ASSERT_EQ(read.result, 0);
  EXPECT_EQ(settings.node_id, earlier ? 9 : NODE_ID_NOT_SET) << id;
  EXPECT_EQ(settings.mode, RUN_MODE_SENSOR) << id;
  EXPECT_EQ(read.text, expected + "Unsuitable W2 id " + id + "\n");
}
INSTANTIATE_TEST_SUITE_P(Ids, UnsuitableNodeIdTest,
                         ::testing::Combine(::testing::Values("0", "128", "300", "-1", "abc", "5x",
                                                              "", "99999999999999999999"),
                                            ::testing::Bool()));

TEST_P(RefusedOptionsTest, PrintWhyAndTheUsage) {
  const ReadLine read(GetParam().args);
  EXPECT_EQ(read.result, COMMAND_LINE_REFUSED);
  EXPECT_EQ(read.text, GetParam().first_line + usage_text());
  EXPECT_EQ(read.line.refusal + "\n", GetParam().first_line.substr(GetParam().first_line.rfind(
                                           '\n', GetParam().first_line.size() - 2) + 1));
}
INSTANTIATE_TEST_SUITE_P(Rows, RefusedOptionsTest, ::testing::ValuesIn(kRefusedRows));

TEST_P(LongTypoTest, AreRefusedWithTheLongOptions) {
  const ReadLine read(GetParam().args);
  EXPECT_EQ(read.result, COMMAND_LINE_REFUSED);
  EXPECT_EQ(read.text, GetParam().said + command_line_usage(true)) << where(GetParam().args);
  EXPECT_EQ(read.line.settings.report_path[0], '\0');
}
INSTANTIATE_TEST_SUITE_P(Rows, LongTypoTest, ::testing::ValuesIn(kLongTypoRows));

namespace {
struct TagRow {
  std::vector<std::string> args;
  int32_t result;
  std::string said;  // the first line when refused
  std::vector<std::pair<std::string, std::string>> tags;
};
class TagTest : public ::testing::TestWithParam<TagRow> {};

const std::string kTagRule =
    ": KEY=VALUE with a KEY of letters, digits, '_' and '-' and a VALUE of printable ASCII\n";
const TagRow kTagRows[] = {
    {{"--tag", "serial=A-123", "--tag=station=3", "--tag", "operator=J. Doe"}, 0, "",
     {{"serial", "A-123"}, {"station", "3"}, {"operator", "J. Doe"}}},
    {{"--tag", "note="}, 0, "", {{"note", ""}}},
    {{"--tag", "=x"}, -2, "Malformed tag '=x'" + kTagRule, {}},
    {{"--tag", "no-value"}, -2, "Malformed tag 'no-value'" + kTagRule, {}},
    {{"--tag", "two words=1"}, -2, "Malformed tag 'two words=1'" + kTagRule, {}},
    {{"--tag", "bell=\a"}, -2, "Malformed tag 'bell=\a'" + kTagRule, {}},
    {{"--tag", "serial=1", "--tag", "serial=2"}, -2, "Tag serial given twice\n", {}},
    {{"--tag"}, -2, "Missing value for option --tag\n", {}},
};
}  // namespace

// Tags are taken as given, in order; a malformed one refuses the command line with the usage.
TEST_P(TagTest, KeysAndValuesAreCheckedAndKept) {
  const TagRow& row = GetParam();
  const ReadLine read(row.args);
  const RunSettings& settings = read.line.settings;
  EXPECT_EQ(read.result, row.result) << where(row.args);
  if (row.result == 0) {
    EXPECT_EQ(settings.tags, row.tags) << where(row.args);
    EXPECT_EQ(read.text, "");
  } else {
    EXPECT_EQ(read.text.rfind(row.said + usage_text(), 0), 0u) << read.text;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, TagTest, ::testing::ValuesIn(kTagRows));

TEST(OptionNamesTest, LongestThatFitAreTakenWhole) {
  const ReadLine read({"-r", std::string(255, 'n'), "-i", "fifteen-letters"});
  const RunSettings& settings = read.line.settings;
  EXPECT_EQ(read.result, 0);
  EXPECT_EQ(std::string(settings.file_name), std::string(255, 'n'));
  EXPECT_STREQ(settings.interface_name, "fifteen-letters");
}

TEST(LoggingLevelTest, TakenFromTheLastArgument) {
  struct Row {
    std::vector<std::string> args;
    int32_t level;
  };
  const Row rows[] = {
      {{"-f", "a.hex", "7"}, 7},      {{"-f", "a.hex", " +6x"}, 6}, {{"-f", "a.hex", "-1"}, -1},
      {{"-f", "a.hex", ""}, 1},       {{"-f", "a.hex", "x4"}, 1},   {{"-r", "12.bin"}, 12},
      {{"-f", "a.hex", "-b"}, 1},     {{"-f", "3app.hex"}, 3},
      {{"-f", "a.hex", "99999999999"}, INT32_MAX},
  };
  for (const Row& row : rows) {
    Args args(row.args);
    EXPECT_EQ(command_line_logging_level(args.argc(), args.argv()), row.level) << row.args.back();
  }
  // Without arguments the program's own path is the last argument.
  std::string path = "42/ralvex";
  char* argv[] = {path.data(), nullptr};
  EXPECT_EQ(command_line_logging_level(1, argv), 42);
  std::string plain = "ralvex";
  argv[0] = plain.data();
  EXPECT_EQ(command_line_logging_level(1, argv), 1);
}

namespace {
struct InterfaceRow {
  const char* name;
  int32_t result;
  const char* console;
};
void PrintTo(const InterfaceRow& row, std::ostream* os) { *os << row.name; }

class CanInterfaceNameTest : public ::testing::TestWithParam<InterfaceRow> {};

// Well-formed names say nothing more than the choice; malformed ones are refused before anything
// opens.
TEST_P(CanInterfaceNameTest, GrammarOfTheInterfaceName) {
  const ReadLine read({"-i", GetParam().name});
  EXPECT_EQ(read.result, GetParam().result);
  std::string problems;
  for (const CommandLineLine& said : read.line.said) {
    if (said.problem) problems += said.text;
  }
  EXPECT_EQ(problems, GetParam().console);
  EXPECT_EQ(read.line.said.front().text, std::string("Use CAN interface: '") + GetParam().name +
                                              "'\n");
}

const InterfaceRow kInterfaceRows[] = {
        InterfaceRow{"pcan", 0, ""}, InterfaceRow{"PCAN:1", 0, ""}, InterfaceRow{"pcan:16", 0, ""},
        InterfaceRow{"PCAN_USBBUS2", 0, ""}, InterfaceRow{"pcan_usbbus16", 0, ""},
        InterfaceRow{"kvaser", 0, ""}, InterfaceRow{"Kvaser:0", 0, ""},
        InterfaceRow{"kvaser:299", 0, ""}, InterfaceRow{"SIM", 0, ""},
        InterfaceRow{"pcan:0", -2,
                     "Malformed CAN interface 'pcan:0': the channel of pcan is a number from 1 to "
                     "16\n"},
        InterfaceRow{"pcan:17", -2,
                     "Malformed CAN interface 'pcan:17': the channel of pcan is a number from 1 "
                     "to 16\n"},
        InterfaceRow{"PCAN_USBBUS", -2,
                     "Malformed CAN interface 'PCAN_USBBUS': the channel of pcan is a number from "
                     "1 to 16\n"},
        InterfaceRow{"pcan:+1", -2,
                     "Malformed CAN interface 'pcan:+1': the channel of pcan is a number from 1 "
                     "to 16\n"},
        InterfaceRow{"kvaser:x", -2,
                     "Malformed CAN interface 'kvaser:x': the channel of kvaser is a number from "
                     "0 to 299\n"},
        InterfaceRow{"kvaser:", -2,
                     "Malformed CAN interface 'kvaser:': the channel of kvaser is a number from 0 "
                     "to 299\n"},
        InterfaceRow{"sim:1", -2, "Malformed CAN interface 'sim:1': sim has no channel number\n"},
#if defined(__linux__)
        InterfaceRow{"can0", 0, ""}, InterfaceRow{"pcanx", 0, ""},
        InterfaceRow{"", -2, "Malformed CAN interface '': the interface name is empty\n"}
#else
        InterfaceRow{"can0", 0,
                     "CAN interface 'can0' is not used on this system: this system has no "
                     "interface of that kind (pcan, kvaser or sim)\n"}
#endif
};

INSTANTIATE_TEST_SUITE_P(
    Names, CanInterfaceNameTest, ::testing::ValuesIn(kInterfaceRows),
    [](const ::testing::TestParamInfo<InterfaceRow>& row_info) {
      std::string name;
      for (const char* c = row_info.param.name; *c; ++c) name += std::isalnum(*c) ? *c : '_';
      return name.empty() ? std::string("empty") : name + "_" + std::to_string(row_info.index);
    });
}  // namespace

TEST(ExecutableTest, NoArgumentsPrintsUsageAndExits254) {
  ScratchDir dir;
  int status = 0;
  std::string out = tool("", &status);
  EXPECT_EQ(status, 254);
  ASSERT_EQ(out.rfind(kNotice, 0), 0u) << out;
  const std::string tail = "\nLog system init\nLog file: ZR4_BL_Log.txt\nLogging level: 1\n\n" +
                           usage_text();
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(read_file("ZR4_BL_Log.txt"), "\n   ---------   ZR4_BL_Log   --------\n\nLogger level 1\n");
}

TEST(ExecutableTest, NoticeNamesBothLibrariesAndTheirLicences) {
  ScratchDir dir;
  int status = 0;
  std::string out = tool("", &status);
  const size_t peak = out.find("1. PCAN-Basic");
  const size_t kvaser = out.find("2. CANlib");
  ASSERT_NE(peak, std::string::npos);
  ASSERT_NE(kvaser, std::string::npos);
  EXPECT_LT(peak, kvaser);
  EXPECT_NE(out.find("PEAK-System"), std::string::npos);
  EXPECT_NE(out.find("Kvaser"), std::string::npos);
  EXPECT_NE(out.find("licence agreement"), std::string::npos);
}

TEST(ExecutableTest, UnwritableLogStopsBeforeOptions) {
  ScratchDir dir;
  std::filesystem::create_directory("ZR4_BL_Log.txt");
  int status = 0;
  std::string out = tool("-f app.hex", &status);
  EXPECT_EQ(status, 255);
  const std::string tail = "Cannot open log files\nLogging init error\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(out.find("HEX file:"), std::string::npos);
}

TEST(ExecutableTest, RefusedOptionExits254WithoutRunningAnything) {
  ScratchDir dir;
  int status = 0;
  std::string out = tool("-f a.hex -r", &status);
  EXPECT_EQ(status, 254);
  EXPECT_NE(out.find("Missing value for option -r\nUsage: "), std::string::npos);
  EXPECT_EQ(out.find("Logging level"), std::string::npos);
}
