// The run records: SHA-256 against sha256sum, the frame trace read back by python-can and compared
// with the emulated bus's record, the run report of every failure against the console, the long
// options, and the read-back of a restore (--verify).
#include <sys/stat.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/app.h"
#include "app/command_line.h"
#include "can/channel.h"
#include "can/interfaces.h"
#include "can/sim/sim_bus.h"
#include "log/log.h"
#include "log/sha256.h"
#include "protocol/command_codes.h"
#include "platform/platform.h"
#include "sim/nodes.h"
#include "sim/unit.h"
#include "sim/world.h"
#include "support/hex_files.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace {
using nlohmann::json;

// The whole program in this process on the virtual clock; the emulated world is put on the bus
// first (so that a test can change the unit's configuration) unless `world` is false.
class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_bus_reset();
    sim_bus_record_frames(true);
  }
  void attach_world() {
    for (const SimDevice* const* device = sim_world_devices(); *device; ++device) {
      ASSERT_EQ(sim_bus_attach(*device), 0);
    }
  }
  int32_t run(const std::vector<std::string>& list) {
    Args args(list);
    return app_main(args.argc(), args.argv());
  }
  json report(const std::string& path = "r.json") {
    return json::parse(read_file(path), nullptr, false);
  }
  ScratchDir dir_;
  VirtualClock clock_;
  ConsoleCapture console_;
};

std::string last_console_line(const std::string& text) {
  std::string last;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) last = line;
  }
  return last;
}

std::string hex_bytes(const uint8_t data[8]) {
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", data[i]);
  return text;
}
}  // namespace

TEST(Sha256Test, MatchesSha256sum) {
  ScratchDir dir;
  const std::vector<std::string> contents = {
      "", "abc", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
      std::string(55, 'x'), std::string(56, 'x'), std::string(64, 'y'),
      std::string(1000000, 'a')};
  for (const std::string& content : contents) {
    write_file("in.bin", content);
    std::string expected;
    ASSERT_EQ(run_command("sha256sum in.bin", &expected), 0);
    char digest[65];
    uint64_t size = 0;
    ASSERT_EQ(sha256_file("in.bin", digest, &size), 0);
    EXPECT_EQ(std::string(digest), expected.substr(0, 64)) << content.size() << " bytes";
    EXPECT_EQ(size, content.size());
  }
  char digest[65];
  uint64_t size = 0;
  EXPECT_EQ(sha256_file("missing.bin", digest, &size), -1);
}

// Every frame on the emulated bus is in the trace with its direction, as python-can reads it.
TEST_F(RunTest, TraceReadBackByPythonCanEqualsTheBus) {
  std::vector<uint8_t> parameters(0xD000);
  for (size_t i = 0; i < parameters.size(); ++i) parameters[i] = static_cast<uint8_t>(i * 7 + 3);
  write_bytes("p.bin", parameters);
  ASSERT_EQ(run({"-i", "sim", "-w", "p.bin", "--trace", "t.log", "--verify"}), 0)
      << console_.text();
  const std::string script =
      "import can\n"
      "for m in can.CanutilsLogReader('t.log'):\n"
      "    print('%s %s %08X %s %d' % (m.channel, 'R' if m.is_rx else 'T', m.arbitration_id,\n"
      "          bytes(m.data).hex().upper(), m.is_extended_id))\n";
  write_file("read.py", script);
  std::string read;
  ASSERT_EQ(run_command("/usr/bin/python3 read.py", &read), 0) << read;

  std::string sent, received;
  const SimBusFrame* frames = nullptr;
  const size_t count = sim_bus_frames(&frames);
  ASSERT_GT(count, 16000u);
  for (size_t i = 0; i < count; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "%08X", frames[i].id);
    const std::string line = std::string(id) + " " + hex_bytes(frames[i].data) + " 1\n";
    // Frames of other devices that the adapter's filter keeps from the tool never reach it.
    if (frames[i].sender == nullptr) {
      sent += line;
    } else if (can_id_accepted(frames[i].id)) {
      received += line;
    }
  }
  std::string traced_sent, traced_received;
  std::istringstream lines(read);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind("sim ", 0), 0u) << line;
    (line[4] == 'T' ? traced_sent : traced_received) += line.substr(6) + "\n";
  }
  EXPECT_EQ(traced_sent, sent);
  EXPECT_EQ(traced_received, received);
  // Timestamps count from the start of the trace and never go back.
  const std::string trace = read_file("t.log");
  EXPECT_EQ(trace.rfind("(0.", 0), 0u);
}

TEST_F(RunTest, VerifiedRestoreAndItsReport) {
  std::vector<uint8_t> parameters(0xD000, 0x5A);
  write_bytes("p.bin", parameters);
  ASSERT_EQ(run({"-i", "sim", "-w", "p.bin", "--verify", "--report", "r.json"}), 0);
  EXPECT_NE(console_.text().find("Restore verified: 53248 bytes match\nRestore completed\n\n"),
            std::string::npos);
  const json doc = report();
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["tool"]["version"], "0.7.0");
  EXPECT_EQ(doc["operation"]["name"], "restore");
  EXPECT_EQ(doc["operation"]["verify"], true);
  EXPECT_EQ(doc["interface"]["opened"], "sim");
  EXPECT_EQ(doc["interface"]["backend"], "emulated bus");
  EXPECT_EQ(doc["file"]["size"], 0xD000);
  std::string sum;
  ASSERT_EQ(run_command("sha256sum p.bin", &sum), 0);
  EXPECT_EQ(doc["file"]["sha256"], sum.substr(0, 64));
  EXPECT_EQ(doc["image"]["pages"], 208);
  EXPECT_EQ(doc["image"]["data_sum"], 0x5A * 0xD000);
  EXPECT_EQ(doc["verify"]["differing_bytes"], 0);
  EXPECT_EQ(doc["result"]["exit_status"], 0);
  EXPECT_TRUE(doc["result"]["message"].is_null());
  for (const char* phase : {"open", "start", "transfer", "verify"}) {
    EXPECT_TRUE(doc["phases_s"].contains(phase)) << phase;
  }
  const SimBusFrame* frames = nullptr;
  const size_t count = sim_bus_frames(&frames);
  uint64_t to_tool = 0;
  for (size_t i = 0; i < count; ++i) to_tool += frames[i].sender == nullptr || can_id_accepted(frames[i].id) ? 1u : 0u;
  EXPECT_EQ(doc["frames"]["sent"].get<uint64_t>() + doc["frames"]["received"].get<uint64_t>(),
            to_tool);
  EXPECT_EQ(doc["frames"]["send_retries"], 0);
  EXPECT_EQ(doc["started_utc"].get<std::string>().size(), 24u);
}

TEST_F(RunTest, CorruptedByteFailsTheVerification) {
  attach_world();
  sim_unit_config.corrupt_parameter = 0x1234;
  write_bytes("p.bin", std::vector<uint8_t>(0xD000, 0x5A));
  EXPECT_EQ(run({"-i", "sim", "-w", "p.bin", "--verify", "--report", "r.json"}), -9);
  const std::string line =
      "Restore verification failed: 1 bytes differ, first at 0x1234: file 0x5A, unit 0xA5";
  EXPECT_NE(console_.text().find(line + "\n"), std::string::npos) << console_.text();
  EXPECT_EQ(console_.text().find("Restore completed"), std::string::npos);
  const json doc = report();
  EXPECT_EQ(doc["result"]["exit_status"], -9);
  EXPECT_EQ(doc["result"]["shell_status"], 247);
  EXPECT_EQ(doc["result"]["message"], line);
  EXPECT_EQ(doc["result"]["failed_phase"], "verify");
  EXPECT_EQ(doc["verify"]["first_difference"], 0x1234);
  EXPECT_EQ(doc["verify"]["unit_byte"], 0xA5);
  // Without --verify the same restore succeeds: nothing else reads it back.
  console_.clear();
  sim_bus_reset();
  attach_world();
  sim_unit_config.corrupt_parameter = 0x1234;
  EXPECT_EQ(run({"-i", "sim", "-w", "p.bin"}), 0);
}

// Each run of a station writes its own log and binds its report to the unit with tags.
TEST_F(RunTest, OwnLogAndTagsInTheReport) {
  attach_world();
  EXPECT_EQ(run({"-i", "sim", "-r", "b.bin", "--log", "unit-7.log", "--tag", "serial=A-77",
                 "--tag", "station=2", "--report", "r.json"}),
            0);
  EXPECT_NE(console_.text().find("Log file: unit-7.log\n"), std::string::npos);
  EXPECT_FALSE(file_exists("ZR4_BL_Log.txt"));
  EXPECT_EQ(read_file("unit-7.log").rfind("\n   ---------   ZR4_BL_Log   --------\n\n", 0), 0u);
  EXPECT_EQ(report()["tags"], json::parse(R"({"serial": "A-77", "station": "2"})"));
}

// A log that another run is writing is never touched: this run stops before anything is opened,
// naming that run's process and the way out.
TEST_F(RunTest, LogWrittenByAnotherRunIsRefused) {
  attach_world();
  write_file("ZR4_BL_Log.txt", "the first run's log\n");
  char identity[64];
  ASSERT_EQ(file_identity("ZR4_BL_Log.txt", identity, sizeof identity), 0);
  const HeldElsewhere first((std::string("log-") + identity).c_str());
  EXPECT_EQ(run({"-i", "sim", "-r", "b.bin", "--report", "r.json"}), -1);
  EXPECT_NE(console_.text().find(
                "Log file: ZR4_BL_Log.txt\nLog file ZR4_BL_Log.txt is being written by process " +
                std::to_string(first.pid()) +
                " (another run of this tool): give this run a log of its own with --log FILE, or "
                "run it in another folder\nLogging init error\n"),
            std::string::npos)
      << console_.text();
  EXPECT_EQ(read_file("ZR4_BL_Log.txt"), "the first run's log\n");
  EXPECT_FALSE(file_exists("b.bin"));
  EXPECT_EQ(report()["result"]["exit_status"], -1);
  const SimBusFrame* frames = nullptr;
  EXPECT_EQ(sim_bus_frames(&frames), 0u);  // nothing was sent
}

// A page that -b took although the node refused it is in the report with its status.
TEST_F(RunTest, ForcedSensorFlashReportsTheRefusedPage) {
  sim_nodes_config = SimNodesConfig{};
  sim_nodes_config.refuse_page = 2;
  attach_world();
  // Bytes at 0x20000 and past 0x20384: two pages.
  write_file("node.hex", hex_line(4, 0, {0x00, 0x02}) + hex_line(0, 0, {1, 2, 3}) +
                             hex_line(0, 0x0400, {4, 5, 6}) + hex_line(1, 0, {}));
  EXPECT_EQ(run({"-i", "sim", "-f", "node.hex", "-g", "5", "-b", "--report", "r.json"}), 0)
      << console_.text();
  const json doc = report();
  EXPECT_EQ(doc["forced_pages"], json::parse(R"([{"address": 131972, "status": 1}])"));
  EXPECT_EQ(doc["result"]["exit_status"], 0);
}

namespace {
struct FailureRow {
  const char* what;
  std::vector<std::string> args;
  void (*setup)();
  int32_t status;
  const char* message;
  const char* phase;  // nullptr: no phase ran
};

const SimDevice kSilent{"silent", nullptr, nullptr};

bool reject_erase(const SimDevice* sender, uint64_t*, uint32_t*, uint8_t data[8]) {
  if (sender == sim_unit_device() && data[0] == DL_ERASE_APP_ANSWER) data[0] = 0x7F;
  return true;
}
bool spoil_checksum(const SimDevice* sender, uint64_t*, uint32_t* id, uint8_t data[8]) {
  if (sender == sim_unit_device() && *id == 0xA44401 && data[0] == 0) data[4] ^= 1;
  return true;
}

const FailureRow kFailureRows[] = {
    {"missing file", {"-i", "sim", "-f", "missing.hex"}, nullptr, -3,
     "Cannot open HEX file 'missing.hex': No such file or directory", "open"},
    {"refused HEX", {"-i", "sim", "-f", "bad.hex"}, nullptr, -7, "Illegal HexCH", "open"},
    {"silent unit", {"-i", "sim", "-f", "app.hex"},
     [] { ASSERT_EQ(sim_bus_attach(&kSilent), 0); }, -4, "", "start"},
    {"rejected erase", {"-i", "sim", "-f", "app.hex"},
     [] { sim_bus_set_transmit_hook(reject_erase); }, -5, "ERROR --- Invalid answer", "erase"},
    {"send refused", {"-i", "sim", "-r", "b.bin"}, [] { sim_bus_refuse_tool_sends(1); }, -3, "",
     "start"},
    {"backup checksum mismatch", {"-i", "sim", "-r", "b.bin"},
     [] { sim_bus_set_transmit_hook(spoil_checksum); }, -8, "", "transfer"},
    {"short restore file", {"-i", "sim", "-w", "short.bin"}, nullptr, -4,
     "Binary file 'short.bin' holds 100 bytes: a parameter backup holds exactly 53248 (0xD000)",
     "open"},
    {"missing value", {"-i", "sim", "-f", "app.hex", "--trace"}, nullptr, -2,
     "Missing value for option --trace", nullptr},
    {"unknown long option", {"--trase", "t.log", "-f", "app.hex"}, nullptr, -2,
     "Unknown option '--trase'", nullptr},
    {"verify with -f", {"-f", "app.hex", "--verify"}, nullptr, -2,
     "Option --verify applies to -w only (a flash cannot be read back, a backup is checked page "
     "by page)", nullptr},
    {"malformed interface", {"-i", "pcan:0", "-f", "app.hex"}, nullptr, -2, "", nullptr},
    {"no run mode", {"-i", "sim"}, nullptr, -2, "No run mode given: usage printed", nullptr},
};
class FailureReportTest : public RunTest, public ::testing::WithParamInterface<FailureRow> {};
}  // namespace

// Each failure's report carries the exit status and the line that named the cause: the first
// problem line of the failing step ("" in a row: the console's last line, where the step printed
// only one).
TEST_P(FailureReportTest, StatusAndMessageMatchTheConsole) {
  const FailureRow& row = GetParam();
  write_file("bad.hex", ":10000000\n");
  write_file("app.hex",
             ":02000004700288\n:10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n");
  write_file("short.bin", std::string(100, 'x'));
  if (row.setup) row.setup();
  std::vector<std::string> args = row.args;
  args.insert(args.begin(), {"--report", "r.json"});
  const int32_t status = run(args);
  EXPECT_EQ(status, row.status) << row.what << "\n" << console_.text();
  const json doc = report();
  ASSERT_FALSE(doc.is_discarded()) << row.what;
  EXPECT_EQ(doc["result"]["exit_status"], row.status) << row.what;
  const std::string message = doc["result"]["message"].get<std::string>();
  if (row.message[0] != '\0') {
    EXPECT_EQ(message, row.message) << row.what;
  } else if (row.status != -2) {
    EXPECT_EQ(message, last_console_line(console_.text())) << row.what;
  }
  if (row.status != -2 || std::strcmp(row.what, "no run mode") != 0) {
    EXPECT_NE(console_.text().find(message + "\n"), std::string::npos) << row.what;
  }
  if (row.phase) {
    EXPECT_EQ(doc["result"]["failed_phase"], row.phase) << row.what;
  } else {
    EXPECT_TRUE(doc["result"]["failed_phase"].is_null()) << row.what;
  }
  EXPECT_FALSE(file_exists("t.log")) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, FailureReportTest, ::testing::ValuesIn(kFailureRows));

namespace {
// Record files that would be written over the run's own files, or over each other, or that are
// no regular file: the run is refused before anything is opened or sent.
struct RecordFileRow {
  std::vector<std::string> args;
  std::string refusal;  // the line that names the record
  bool report;          // r.json (given besides) records the refusal
};
// `record` is `file` of the run (the HEX, restore or backup file).
std::string over(const char* record, const char* file, const char* name) {
  return std::string(record) + " is the " + file + " file of this run: it would be overwritten; " +
         "give the " + name + " a file of its own";
}
std::string one_file(const char* first, const char* second) {
  return std::string(first) + " and " + second +
         " are one file: give each record a file of its own";
}
const RecordFileRow kRecordFileRows[] = {
    {{"-f", "app.hex", "--report", "app.hex"}, over("--report 'app.hex'", "HEX", "report"), false},
    {{"-f", "./app.hex", "--log", "app.hex", "--report", "r.json"},
     over("--log 'app.hex'", "HEX", "log"), true},
    {{"-f", "app.hex", "--trace", "./app.hex", "--report", "r.json"},
     over("--trace './app.hex'", "HEX", "trace"), true},
    {{"-f", "app.hex", "-g", "5", "--events", "app.hex", "--report", "r.json"},
     over("--events 'app.hex'", "HEX", "events"), true},
    {{"-w", "p.bin", "--report", "p.bin"}, over("--report 'p.bin'", "restore", "report"), false},
    {{"-r", "old.bin", "--report", "old.bin"}, over("--report 'old.bin'", "backup", "report"),
     false},
    {{"-r", "new.bin", "--events", "./new.bin", "--report", "r.json"},
     over("--events './new.bin'", "backup", "events"), true},
    {{"-w", "ZR4_BL_Log.txt", "--report", "r.json"},
     over("the log 'ZR4_BL_Log.txt'", "restore", "log"), true},
    {{"-f", "app.hex", "--log", "f.txt", "--report", "f.txt"},
     one_file("--log 'f.txt'", "--report 'f.txt'"), false},
    {{"-f", "app.hex", "--trace", "t.log", "--events", "./t.log", "--report", "r.json"},
     one_file("--trace 't.log'", "--events './t.log'"), true},
    {{"-f", "app.hex", "--report", "ZR4_BL_Log.txt"},
     one_file("the log 'ZR4_BL_Log.txt'", "--report 'ZR4_BL_Log.txt'"), false},
    {{"-f", "app.hex", "--report", "/dev/full"},
     "--report '/dev/full' is a device or another special file: the report is written to a "
     "regular file only", false},
    {{"-f", "app.hex", "--trace", "/dev/full", "--report", "r.json"},
     "--trace '/dev/full' is a device or another special file: the trace is written to a regular "
     "file or a named pipe only", true},
    {{"-f", "app.hex", "--log", "folder", "--report", "r.json"},
     "--log 'folder' is a folder: the log is written to a regular file only", true},
    {{"-f", "app.hex", "--report", "pipe"},
     "--report 'pipe' is a named pipe: the report is written to a regular file only", false},
};
// A one-page application.
const char kApp[] =
    ":02000004700288\n:10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n";
class RecordFileTest : public RunTest, public ::testing::WithParamInterface<RecordFileRow> {};
}  // namespace

TEST_P(RecordFileTest, RefusedBeforeAnythingIsOpenedOrSent) {
  const RecordFileRow& row = GetParam();
  const std::string hex = kApp;
  const std::string parameters(0xD000, 'p');
  write_file("app.hex", hex);
  write_file("p.bin", parameters);
  write_file("old.bin", parameters);
  write_file("ZR4_BL_Log.txt", parameters);
  ASSERT_EQ(mkdir("folder", 0700), 0);
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  attach_world();
  std::vector<std::string> args = row.args;
  args.insert(args.begin(), {"-i", "sim"});
  EXPECT_EQ(run(args), -2) << console_.text();
  EXPECT_NE(console_.text().find(row.refusal + "\n"), std::string::npos)
      << console_.text();
  EXPECT_EQ(console_.text().find("Logging level"), std::string::npos);
  const SimBusFrame* frames = nullptr;
  EXPECT_EQ(sim_bus_frames(&frames), 0u);
  EXPECT_EQ(read_file("app.hex"), hex);
  EXPECT_EQ(read_file("p.bin"), parameters);
  EXPECT_EQ(read_file("old.bin"), parameters);
  EXPECT_FALSE(file_exists("new.bin"));
  EXPECT_FALSE(file_exists("f.txt"));
  EXPECT_FALSE(file_exists("t.log"));
  if (row.report) {
    EXPECT_EQ(report()["result"]["exit_status"], -2);
    EXPECT_EQ(report()["result"]["message"], row.refusal);
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, RecordFileTest, ::testing::ValuesIn(kRecordFileRows));

// A trace whose lines cannot all be written is no record of the run: a success becomes -7.
TEST_F(RunTest, TraceThatCannotBeWrittenTurnsSuccessInto7) {
  write_file("app.hex", kApp);
  attach_world();
  make_leaving_pipe("t.fifo");
  EXPECT_EQ(run({"-i", "sim", "-f", "app.hex", "--trace", "t.fifo", "--report", "r.json"}), -7)
      << console_.text();
  leaving_pipe_close();
  EXPECT_EQ(last_console_line(console_.text()), "Trace file writing error 't.fifo'");
  EXPECT_EQ(report()["result"]["message"], "Trace file writing error 't.fifo'");
}

TEST_F(RunTest, LongOptionsHelpVersionAndSingleDashRulesKept) {
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_NE(console_.text().find("ralvex-service-tool 0.7.0\n"), std::string::npos);
  console_.clear();
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_NE(console_.text().find("Usage: "), std::string::npos);
  EXPECT_NE(console_.text().find("--trace FILE"), std::string::npos);
  // --name=value, and single-dash letters still skipped when unknown.
  Args args({"-x", "--trace=t.log", "-w", "p.bin", "--verify", "--report", "r.json"});
  CommandLine line;
  ASSERT_EQ(command_line_read(args.argc(), args.argv(), &line), COMMAND_LINE_RUN);
  const RunSettings& settings = line.settings;
  EXPECT_STREQ(settings.trace_path, "t.log");
  EXPECT_STREQ(settings.report_path, "r.json");
  EXPECT_TRUE(settings.verify);
  EXPECT_EQ(settings.mode, RUN_MODE_RESTORE);
  Args refused({"--verify=yes", "-w", "p.bin"});
  EXPECT_EQ(command_line_read(refused.argc(), refused.argv(), &line), COMMAND_LINE_REFUSED);
}

// The trace file is replaced only once the run starts: a refused command line leaves it alone.
TEST_F(RunTest, TraceReplacedOnlyWhenTheRunStarts) {
  write_file("t.log", "earlier\n");
  EXPECT_EQ(run({"--trace", "t.log", "-f", "app.hex", "--bogus"}), -2);
  EXPECT_EQ(read_file("t.log"), "earlier\n");
  EXPECT_EQ(run({"-i", "sim", "--trace", "t.log", "-f", "missing.hex"}), -3);
  EXPECT_EQ(read_file("t.log"), "");
}
