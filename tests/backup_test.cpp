#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "ops/operations.h"
#include "sim/unit.h"
#include "support/bus_fixture.h"
#include "support/hex_files.h"
#include "support/unit_faults.h"

namespace {
constexpr uint32_t kCommand = 0xA04401;
constexpr uint32_t kAnswer = 0xA44401;
constexpr uint32_t kData = 0xA84401;
constexpr size_t kArea = 0xD000;

using Fault = UnitFault;

uint32_t page_sum(const std::vector<uint8_t>& memory, int page) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 256; ++i) sum += memory[static_cast<size_t>(page) * 256 + i];
  return sum;
}

class BackupTest : public UnitFaultTest {
 protected:
  void set_unit_memory(const std::vector<uint8_t>& memory) {
    std::memcpy(sim_unit_parameters(), memory.data(), kArea);
  }
};
}  // namespace

TEST_F(BackupTest, WholeAreaIntoANewFile) {
  const auto memory = random_bytes(kArea, 1);
  set_unit_memory(memory);
  EXPECT_EQ(backup_parameters(job("backup.bin")), 0);
  EXPECT_EQ(read_bytes("backup.bin"), memory);
  EXPECT_EQ(console(), std::string(kSeparator) +
                           "Starting application data backup to data file: 'backup.bin'\n"
                           "Binary file init ok\nUsing emulated CAN bus\nBlock count 208\n" +
                           parameter_progress_lines(0, 208) + "Backup completed\n\n");
  EXPECT_EQ(parameter_progress_lines(0, 2), "0.0%\n0.5%\n");
  EXPECT_EQ(parameter_progress_lines(207, 208), "99.5%\n");
  EXPECT_EQ(directory_names(), (std::vector<std::string>{"ZR4_BL_Log.txt", "backup.bin"}));

  // One test-mode command, then one page backup per page in address order.
  const auto commands = tool_frames(kCommand);
  ASSERT_EQ(commands.size(), 209u);
  EXPECT_EQ(hex8(commands[0].data), "80 00 00 00 00 00 00 00");
  for (size_t page = 0; page < 208; ++page) {
    EXPECT_EQ(commands[1 + page].data, bytes({0xA0, 0, 0, 0, 0, static_cast<int>(page)}));
  }
  EXPECT_TRUE(tool_frames(kData).empty());
  // The file holds the data frames' payload in order: page 176 (0xB000) as an example.
  std::vector<uint8_t> payload;
  const auto frames = bus_frames();
  for (const SeenFrame& frame : frames) {
    if (frame.from_tool || frame.id != kData) continue;
    const int count = frame.data[0] == 36 ? 4 : 7;
    payload.insert(payload.end(), frame.data.begin() + 1, frame.data.begin() + 1 + count);
  }
  ASSERT_EQ(payload.size(), kArea);
  EXPECT_TRUE(std::equal(payload.begin() + 0xB000, payload.begin() + 0xB100,
                         memory.begin() + 0xB000));
  EXPECT_EQ(payload, memory);

  // The bus is the limit: 40 frames per page, plus the first poll of every page's answer.
  const uint64_t bus_ms = 208u * 40u * SIM_FRAME_US / 1000u;
  EXPECT_GE(clock_.elapsed_ms(), bus_ms);
  EXPECT_LE(clock_.elapsed_ms(), bus_ms * 11 / 10);

  // The operation logs only the commands; data and checksum frames are not traced.
  std::string log = "COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n00A04401 80 00 00 00 00 00 00 00\n"
                    "00A44401 A0 00 00 00 00 00 00 00\n";
  for (int page = 0; page < 208; ++page) log += "COMMAND_ID_START_PAGE_BACKUP\n";
  EXPECT_EQ(log_text(), log);
}

TEST_F(BackupTest, ReplacesAnEarlierBackupKeepingItsRightsAndLinks) {
  const auto memory = random_bytes(kArea, 2);
  set_unit_memory(memory);
  write_bytes("real.bin", random_bytes(100, 3));
  ASSERT_EQ(chmod("real.bin", 0640), 0);
  ASSERT_EQ(symlink("real.bin", "link.bin"), 0);
  EXPECT_EQ(backup_parameters(job("link.bin")), 0);
  EXPECT_TRUE(std::filesystem::is_symlink("link.bin"));
  EXPECT_EQ(read_bytes("real.bin"), memory);
  struct stat st {};
  ASSERT_EQ(stat("real.bin", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(directory_names(),
            (std::vector<std::string>{"ZR4_BL_Log.txt", "link.bin", "real.bin"}));
}

namespace {
struct IgnoredRow {
  const char* what;
  Fault fault;
};
using IgnoredTest = RowTest<BackupTest, IgnoredRow>;
const IgnoredRow kIgnoredRows[] = {
    // Bytes 5-7 of a page's last data frame are neither stored nor summed.
    {"fillers of the last data frame",
     {Fault::XOR, 0xA0, -1, 36, bytes({0, 0, 0, 0, 0, 0xEE, 1, 0x80})}},
    // Only bytes 4-7 of the checksum frame count.
    {"bytes 0-3 of the checksum frame", {Fault::XOR, 0xA0, -1, 37, bytes({0xFF, 0x12, 0x34, 0x56})}},
    // A frame on the answer identifier while data frames are awaited is dropped.
    {"stray answer during the data",
     {Fault::INJECT, 0xA0, 3 * 256, 10, bytes({0xA0, 0, 0, 0, 1}), 10 * SIM_FRAME_US}},
};
}  // namespace

TEST_P(IgnoredTest, WhatTheBackupIgnores) {
  const IgnoredRow& row = GetParam();
  const auto memory = random_bytes(kArea, 4);
  set_unit_memory(memory);
  set_fault(row.fault);
  EXPECT_EQ(backup_parameters(job("backup.bin")), 0) << row.what;
  EXPECT_EQ(read_bytes("backup.bin"), memory) << row.what;
  if (row.fault.kind != Fault::INJECT) return;
  // The stray went over the bus among the data frames of page 3.
  const auto frames = bus_frames();
  const auto stray = std::find_if(frames.begin(), frames.end(), [](const SeenFrame& frame) {
    return frame.id == kAnswer && frame.data == bytes({0xA0, 0, 0, 0, 1});
  });
  ASSERT_NE(stray, frames.end());
  EXPECT_EQ((stray - 1)->id, kData);
  EXPECT_EQ((stray + 1)->id, kData);
}
INSTANTIATE_TEST_SUITE_P(Rows, IgnoredTest, ::testing::ValuesIn(kIgnoredRows));

namespace {
const std::vector<uint8_t>& failure_memory() {
  static const std::vector<uint8_t> memory = random_bytes(kArea, 5);
  return memory;
}

struct FailureRow {
  const char* what;
  Fault fault;
  uint32_t refuse_from;
  uint64_t answer_delay_us;
  int32_t result;
  std::string console_end;
};
using FailureTest = RowTest<BackupTest, FailureRow>;

std::vector<FailureRow> failure_rows() {
  const std::vector<uint8_t>& memory = failure_memory();
  const uint32_t last_sum = page_sum(memory, 207);
  const uint8_t changed = memory[50 * 256 + 3 * 7 + 1];
  const uint32_t changed_sum = page_sum(memory, 50) - changed + (changed ^ 0x10);
  return {
      {"silent unit", {Fault::DROP, 0x80}, 0, 0, -3,
       "Using emulated CAN bus\nNo answer COMMAND_ID_ENTER_PRODUCTION_TEST_MODE\n"
       "Production test mode initialization error -3\n"},
      {"test mode refused", {Fault::XOR, 0x80, -1, -1, bytes({0x21})}, 0, 0, -5,
       "ERROR --- Invalid answer\n00A44401  81  00  00  00\n"
       "Production test mode initialization error -5\n"},
      {"test mode not sent", {}, 1, 0, -3,
       "Using emulated CAN bus\nProduction test mode initialization error -3\n"},
      {"page start not sent", {}, 2, 0, -3, "Block count 208\n0.0%\nBackup starting failed: -3\n"},
      {"page start refused", {Fault::XOR, 0xA0, 104 * 256, -1, bytes({0, 0, 0, 0, 0, 0, 0, 1})},
       0, 0, -5,
       "50.0%\nERROR --- Invalid answer data\n00A44401  A0 00 00 00 00 00 00 01\n"
       "Backup starting failed: -5\n"},
      {"page start not answered in time", {}, 0, 70000, -1,
       "0.0%\nNo answer COMMAND_ID_START_PAGE_BACKUP\nBackup starting failed: -1\n"},
      // The first data frame then comes first and is taken for the answer.
      {"page start answer lost", {Fault::DROP, 0xA0, 1 * 256, -1}, 0, 0, -5,
       "0.5%\nERROR --- Invalid answer data\n00A84401  00 " + hex8(bytes({memory[256], memory[257],
       memory[258], memory[259], memory[260], memory[261], memory[262]})).substr(0, 20) +
       "\nBackup starting failed: -5\n"},
      {"first data frame lost", {Fault::DROP, 0xA0, 5 * 256, 0}, 0, 0, -6,
       "2.4%\nExpected sequence index: 0, received sequence index: 1\n"},
      {"data frame lost", {Fault::DROP, 0xA0, 40 * 256, 17}, 0, 0, -6,
       "19.2%\nExpected sequence index: 17, received sequence index: 18\n"},
      {"last data frame lost", {Fault::DROP, 0xA0, 7 * 256, 36}, 0, 0, -3,
       "3.4%\nNo answer\nRead CAN frame failed: -3\n"},
      {"checksum frame lost", {Fault::DROP, 0xA0, 0 * 256, 37}, 0, 0, -3,
       "0.0%\nNo answer\nRead CAN frame failed: -3\n"},
      {"checksum mismatch on the last page",
       {Fault::XOR, 0xA0, 207 * 256, 37, bytes({0, 0, 0, 0, 1})}, 0, 0, -8,
       "99.5%\nChecksum mismatch, received: " + std::to_string(last_sum ^ 1) +
           ", expected: " + std::to_string(last_sum) + "\n"},
      {"data byte changed", {Fault::XOR, 0xA0, 50 * 256, 3, bytes({0, 0, 0x10})}, 0, 0, -8,
       "24.0%\nChecksum mismatch, received: " + std::to_string(page_sum(memory, 50)) +
           ", expected: " + std::to_string(changed_sum) + "\n"},
      // A frame of another node on the answer identifier gets the bus before the checksum frame.
      {"stray answer before the checksum frame",
       {Fault::INJECT, 0xA0, 9 * 256, 36, bytes({0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}),
        37 * SIM_FRAME_US + 1},
       0, 0, -8,
       "4.3%\nChecksum mismatch, received: 305419896, expected: " +
           std::to_string(page_sum(memory, 9)) + "\n"},
  };
}
}  // namespace

TEST_P(FailureTest, KeepsTheEarlierBackup) {
  const FailureRow& row = GetParam();
  const auto earlier = random_bytes(kArea, 6);
  set_unit_memory(failure_memory());
  write_bytes("backup.bin", earlier);
  set_fault(row.fault);
  if (row.refuse_from) sim_bus_refuse_tool_sends(row.refuse_from);
  sim_unit_config.parameter_us = row.answer_delay_us;
  EXPECT_EQ(backup_parameters(job("backup.bin")), row.result) << row.what;
  expect_console_end(row.console_end, row.what);
  EXPECT_EQ(read_bytes("backup.bin"), earlier) << row.what;
  EXPECT_EQ(directory_names(), (std::vector<std::string>{"ZR4_BL_Log.txt", "backup.bin"}))
      << row.what;
  // The log was closed on the way out: the failure is its last line.
  const std::string log = log_text();
  EXPECT_EQ(log.find("Backup completed"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Rows, FailureTest, ::testing::ValuesIn(failure_rows()));

using TargetTest = RowTest<BackupTest, const char*>;

TEST_P(TargetTest, ThatCannotTakeABackupSendsNothing) {
  const std::string target = GetParam();
  std::filesystem::create_directory("folder");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  const auto before = directory_names();
  EXPECT_EQ(backup_parameters(job(target)), -3) << target;
  EXPECT_EQ(console(), std::string(kSeparator) + "Starting application data backup to data file: '" +
                           target + "'\nBinary file init error '" + target + "'\n");
  EXPECT_TRUE(tool_frames().empty()) << target;
  EXPECT_EQ(directory_names(), before) << target;
  EXPECT_TRUE(std::filesystem::is_empty("folder"));
  EXPECT_EQ(log_text(), "");
}
INSTANTIATE_TEST_SUITE_P(Targets, TargetTest,
                         ::testing::Values("missing/backup.bin", "folder", "pipe", "folder/", ""));

// The unit's first frame turns the target into a folder that is not empty: the rename fails.
bool folder_at_target(const SimDevice*, uint64_t*, uint32_t*, uint8_t*) {
  if (!std::filesystem::exists("backup.bin")) {
    std::filesystem::create_directory("backup.bin");
    write_file("backup.bin/keep", "x");
  }
  return true;
}

TEST_F(BackupTest, FailedRenameRemovesTheTemporaryFile) {
  sim_bus_set_transmit_hook(folder_at_target);
  EXPECT_EQ(backup_parameters(job("backup.bin")), -7);
  expect_console_end("99.5%\nBinary file writing error 'backup.bin'\n", "rename");
  EXPECT_EQ(directory_names(), (std::vector<std::string>{"ZR4_BL_Log.txt", "backup.bin"}));
  EXPECT_EQ(read_file("backup.bin/keep"), "x");
}

TEST_F(BackupTest, ShortWriteKeepsTheEarlierBackup) {
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  if (old.rlim_max != RLIM_INFINITY && old.rlim_max < 0x8000) GTEST_SKIP() << "file size limit";
  const auto earlier = random_bytes(kArea, 7);
  write_bytes("backup.bin", earlier);
  // Files of this process may not grow beyond 32 KiB: the write of 52 KiB falls short.
  struct rlimit small = old;
  small.rlim_cur = 0x8000;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int32_t result = backup_parameters(job("backup.bin"));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(result, -7);
  expect_console_end("99.5%\nBinary file writing error 'backup.bin'\n", "short write");
  EXPECT_EQ(read_bytes("backup.bin"), earlier);
  EXPECT_EQ(directory_names(), (std::vector<std::string>{"ZR4_BL_Log.txt", "backup.bin"}));
}

namespace {
// Starts the tool with its standard output on a pipe; returns its pid.
pid_t start_tool(const std::vector<std::string>& arguments, int* output) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv{const_cast<char*>(RALVEX_TOOL_PATH)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(RALVEX_TOOL_PATH, argv.data());
    _exit(127);
  }
  close(fds[1]);
  *output = fds[0];
  return pid;
}

// Reads the tool's output until `line` has been printed (true) or the output ends or 60 s pass.
bool wait_for_line(int fd, const std::string& line, std::string* text) {
  for (int waited = 0; waited < 60000; waited += 100) {
    if (text->find("\n" + line) != std::string::npos) return true;
    struct pollfd poller {fd, POLLIN, 0};
    if (poll(&poller, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    text->append(buffer, static_cast<size_t>(n));
  }
  return false;
}
}  // namespace

// On the emulated bus in real time: a whole backup (about 5 s), then a backup killed after about
// a second, which leaves the earlier file as it was.
TEST(BackupExecutableTest, WholeBackupThenOneKilledHalfway) {
  ScratchDir dir;
  std::string out;
  ASSERT_EQ(run_command(std::string(RALVEX_TOOL_PATH) + " -i sim -r first.bin 4", &out), 0) << out;
  const std::string end = "99.5%\nBackup completed\n\n";
  ASSERT_GE(out.size(), end.size());
  EXPECT_EQ(out.substr(out.size() - end.size()), end);
  const auto first = read_bytes("first.bin");
  ASSERT_EQ(first.size(), kArea);
  for (uint32_t address = 0; address < kArea; ++address) {
    ASSERT_EQ(first[address], sim_unit_parameter_default(address)) << address;
  }
  const std::string log = read_file("ZR4_BL_Log.txt");
  size_t commands = 0;
  for (size_t at = log.find("COMMAND_ID_START_PAGE_BACKUP\n"); at != std::string::npos;
       at = log.find("COMMAND_ID_START_PAGE_BACKUP\n", at + 1)) {
    ++commands;
  }
  EXPECT_EQ(commands, 208u);

  const auto earlier = random_bytes(kArea, 8);
  write_bytes("backup.bin", earlier);
  int output = -1;
  const pid_t pid = start_tool({"-i", "sim", "-r", "backup.bin", "0"}, &output);
  ASSERT_GT(pid, 0);
  std::string text;
  const bool halfway = wait_for_line(output, "20.2%\n", &text);  // page 42, about 1 s in
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(output);
  ASSERT_TRUE(halfway) << text;
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(read_bytes("backup.bin"), earlier);
  // Only the empty temporary file of the killed run is left beside it.
  for (const std::string& name : directory_names()) {
    if (name == "ZR4_BL_Log.txt" || name == "ZR4_BL_Log.1.txt" || name == "first.bin" ||
        name == "backup.bin") {
      continue;
    }
    EXPECT_EQ(name.rfind("backup.bin.", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".tmp") << name;
    EXPECT_EQ(std::filesystem::file_size(name), 0u) << name;
  }
  // Nothing the killed run left trips the next one (its log's lock went with it), and its log is
  // kept beside the new one.
  const std::string killed_log = read_file("ZR4_BL_Log.txt");  // what reached the disk
  EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) + " -l", &out), 0) << out;
  EXPECT_EQ(read_file("ZR4_BL_Log.1.txt"), killed_log);
}
