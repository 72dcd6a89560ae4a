// The progress of the page loops: the status line's text, and every --progress mode on every
// operation against the percent lines: the status line (or nothing) in their place, every other
// console line as it was, the pages counted into the run record all the same.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ops/progress.h"
#include "ops/run_record.h"
#include "sim/unit.h"
#include "support/program_run.h"

namespace {
struct StatusRow {
  const char* what;
  RunProgress progress;  // pages_done, pages, bytes, bytes_all, started_us, at_us
  uint64_t now_us;
  int32_t columns;
  const char* text;
};

// 262144 bytes in 21.845333 s: 12000 bytes a second, as many seconds left.
constexpr RunProgress kHalfWay{1024, 2048, 262144, 524288, 0, 21845333};

const StatusRow kStatusRows[] = {
    {"nothing done yet: no rate, no time left", {0, 2048, 0, 524288, 1000000, 1000000}, 1000000,
     80, "[..............]   0.0%  0/2048 pages  0 kB  --.- kB/s  0:00 so far  --:-- left"},
    {"half way", kHalfWay, 21845333, 80,
     "[#####.....]  50.0%  1024/2048 pages  262 kB  12.0 kB/s  0:22 so far  0:22 left"},
    {"an unknown width is taken as 80 columns", kHalfWay, 21845333, 0,
     "[#####.....]  50.0%  1024/2048 pages  262 kB  12.0 kB/s  0:22 so far  0:22 left"},
    {"a wide terminal: the bar stops at 40", kHalfWay, 21845333, 200,
     "[####################....................]  50.0%  1024/2048 pages  262 kB  12.0 kB/s  "
     "0:22 so far  0:22 left"},
    {"no room for a bar", kHalfWay, 21845333, 70,
     " 50.0%  1024/2048 pages  262 kB  12.0 kB/s  0:22 so far  0:22 left"},
    {"narrower still: cut at the width less one", kHalfWay, 21845333, 30,
     " 50.0%  1024/2048 pages  262"},
    {"the time since the last count comes off the time left", kHalfWay, 31845333, 80,
     "[#####.....]  50.0%  1024/2048 pages  262 kB  12.0 kB/s  0:32 so far  0:12 left"},
    {"hours", {1, 10, 256, 2560, 0, 400000000}, 400000000, 80,
     "[#..............]  10.0%  1/10 pages  0 kB  0.0 kB/s  6:40 so far  1:00:00 left"},
    {"all done", {208, 208, 53248, 53248, 0, 4437333}, 4437333, 80,
     "[#############] 100.0%  208/208 pages  53 kB  12.0 kB/s  0:04 so far  0:00 left"},
};
class StatusTextTest : public ::testing::TestWithParam<StatusRow> {};
}  // namespace

TEST_P(StatusTextTest, Text) {
  const StatusRow& row = GetParam();
  const std::string text = progress_status_text(row.progress, row.now_us, row.columns);
  EXPECT_EQ(text, row.text) << row.what;
  const size_t width = static_cast<size_t>(row.columns > 0 ? row.columns : 80) - 1;
  EXPECT_LE(text.size(), width) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, StatusTextTest, ::testing::ValuesIn(kStatusRows));

namespace {
struct OperationRow {
  const char* what;
  std::vector<std::string> args;
  int32_t pages;
};
const OperationRow kOperationRows[] = {
    {"flash", {"-i", "sim", "-f", "app.hex"}, 20},
    {"sensor flash", {"-i", "sim", "-f", "node.hex", "-g", "5"}, 3},
    {"backup", {"-i", "sim", "-r", "b.bin"}, 208},
    {"restore", {"-i", "sim", "-w", "p.bin", "--verify"}, 208},
};
class ProgressModeTest : public ProgramRunTest,
                         public ::testing::WithParamInterface<OperationRow> {
 protected:
  // The console of a run of the row's operation with `mode` ("" for none given).
  std::string console_with(const std::string& mode) {
    std::vector<std::string> args = GetParam().args;
    if (!mode.empty()) args.insert(args.begin(), {"--progress", mode});
    console_.clear();
    EXPECT_EQ(run(args), 0) << GetParam().what << " " << mode << "\n" << console_.text();
    const std::optional<RunProgress>& progress = run_record().progress;
    EXPECT_TRUE(progress && progress->pages_done == GetParam().pages) << GetParam().what << mode;
    return console_.text();
  }
};
}  // namespace

// Lines is what a captured console (no terminal) gets by default; bar and none take the percent
// lines away and leave every other line, byte for byte.
TEST_P(ProgressModeTest, OnlyThePercentLinesChange) {
  const OperationRow& row = GetParam();
  write_operation_inputs(20);
  const std::string lines = console_with("lines");
  EXPECT_EQ(console_with(""), lines) << row.what;
  const std::string others = without_percent_lines(lines);
  ASSERT_NE(others, lines) << row.what;

  const std::string bar = console_with("bar");
  EXPECT_EQ(without_status_lines(bar), others) << row.what;
  const std::vector<std::string> drawn = status_lines(bar);
  ASSERT_FALSE(drawn.empty()) << row.what;
  const std::string all = std::to_string(row.pages) + "/" + std::to_string(row.pages) + " pages";
  EXPECT_NE(drawn.back().find("100.0%  " + all), std::string::npos) << drawn.back();
  EXPECT_NE(drawn.back().find("0:00 left"), std::string::npos) << drawn.back();
  EXPECT_NE(drawn.front().find(" 0/"), std::string::npos) << drawn.front();
  // Drawn for the first page, then at most every 100 ms, and for the end.
  const uint64_t transfer_us = run_record().phase_us[RUN_PHASE_TRANSFER];
  EXPECT_LE(drawn.size(), transfer_us / 100000 + 2) << row.what;

  EXPECT_EQ(console_with("none"), others) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, ProgressModeTest, ::testing::ValuesIn(kOperationRows));

// A failing transfer: the status line stays where it stopped, and the failure follows on a line
// of its own.
TEST_F(ProgramRunTest, FailureEndsTheStatusLine) {
  write_operation_inputs(20);
  EXPECT_EQ(run({"-i", "sim", "-w", "p.bin", "--verify", "--progress", "bar"},
                [] {
                  attach_world();
                  sim_unit_config.corrupt_parameter = 0x1234;
                }),
            -9);
  const std::string& text = console_.text();
  const size_t failure = text.find("\nRestore verification failed: 1 bytes differ");
  ASSERT_NE(failure, std::string::npos) << text;
  const size_t status = text.rfind('\r', failure);
  ASSERT_NE(status, std::string::npos);
  const std::string last = text.substr(status + 1, failure - status - 1);
  EXPECT_NE(last.find("] 100.0%  208/208 pages"), std::string::npos) << last;
}

namespace {
struct TerminalRow {
  const char* what;
  const char* environment;  // before the tool's command
  bool terminal;            // through a pseudo-terminal (script), else a pipe
  const char* options;
  bool status_line;
  bool percent_lines;
};
const TerminalRow kTerminalRows[] = {
    {"a terminal", "TERM=xterm", true, "", true, false},
    {"a terminal without TERM", "", true, "", true, false},
    {"a dumb terminal", "TERM=dumb", true, "", false, true},
    {"lines on a terminal", "TERM=xterm", true, "--progress lines", false, true},
    {"none on a terminal", "TERM=xterm", true, "--progress none", false, false},
    {"bar into a pipe", "TERM=xterm", false, "--progress bar", true, false},
};
class ProgressTerminalTest : public ::testing::TestWithParam<TerminalRow> {};

// A pseudo-terminal's output with its line ends as the program wrote them.
std::string unix_lines(std::string text) {
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return text;
}
}  // namespace

// The real tool, through a pseudo-terminal (util-linux script) and through a pipe: where a status
// line is drawn, every other line is what the pipe gets.
TEST_P(ProgressTerminalTest, WhatTheConsoleGets) {
  const TerminalRow& row = GetParam();
  ScratchDir dir;
  write_operation_inputs(20);
  const std::string tool = std::string(RALVEX_TOOL_PATH) + " -i sim -f app.hex ";
  std::string piped;
  ASSERT_EQ(run_command(tool + "0", &piped), 0) << piped;
  const std::string command = tool + row.options + " 0";
  std::string out;
  if (row.terminal) {
    ASSERT_EQ(run_command(std::string("env -u TERM ") + row.environment + " script -qec " +
                              shell_quote(command) + " /dev/null",
                          &out),
              0)
        << out;
    out = unix_lines(out);
  } else {
    ASSERT_EQ(run_command(std::string("env ") + row.environment + " " + command, &out), 0) << out;
  }
  const std::vector<std::string> drawn = status_lines(out);
  EXPECT_EQ(!drawn.empty(), row.status_line) << row.what << "\n" << out;
  if (row.status_line) {
    EXPECT_NE(drawn.back().find("100.0%  20/20 pages"), std::string::npos) << drawn.back();
    EXPECT_NE(drawn.back().find(" left"), std::string::npos) << drawn.back();
  }
  EXPECT_EQ(without_percent_lines(out) != out, row.percent_lines) << row.what << "\n" << out;
  EXPECT_EQ(without_status_lines(without_percent_lines(out)), without_percent_lines(piped))
      << row.what;
  if (row.percent_lines) {
    EXPECT_EQ(out, piped) << row.what;
  }
}
INSTANTIATE_TEST_SUITE_P(Rows, ProgressTerminalTest, ::testing::ValuesIn(kTerminalRows));
