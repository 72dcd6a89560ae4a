#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"
#include "support/test_support.h"

namespace {
const char kBanner[] = "\n   ---------   ZR4_BL_Log   --------\n\n";

// Writes one text under each category and returns what reached the file.
std::string log_with_level(int32_t level) {
  EXPECT_EQ(log_open(), 0);
  log_set_level(level);
  log_write("raw\n", LOG_HEX_RAW);
  log_write("parsed\n", LOG_HEX_PARSED);
  log_write("frames\n", LOG_CAN_FRAMES);
  log_write("always", LOG_ALWAYS);
  log_newline(LOG_ALWAYS);
  log_close();
  return read_file("ZR4_BL_Log.txt");
}
}  // namespace

TEST(LogTest, LevelChoosesCategories) {
  struct Row {
    int32_t level;
    const char* passed;
  };
  const Row rows[] = {
      {0, ""},
      {1, "raw\nalways\n"},
      {2, "parsed\nalways\n"},
      {4, "frames\nalways\n"},
      {7, "raw\nparsed\nframes\nalways\n"},
      {-1, "raw\nparsed\nframes\nalways\n"},
      {-2, "parsed\nframes\nalways\n"},
      {0x10000, ""},  // outside every category, LOG_ALWAYS included
  };
  for (const Row& row : rows) {
    ScratchDir dir;
    ConsoleCapture console;
    std::string expected = std::string(kBanner) + "Logger level " + std::to_string(row.level) +
                           "\n" + row.passed;
    EXPECT_EQ(log_with_level(row.level), expected) << "level " << row.level;
  }
}

TEST(LogTest, OpenPrintsStartUpLinesAndRecreatesFile) {
  ScratchDir dir;
  write_file("ZR4_BL_Log.txt", "old content of an earlier run\n");
  ConsoleCapture console;
  ASSERT_EQ(log_open(), 0);
  EXPECT_EQ(console.text(), "\nLog system init\nLog file: ZR4_BL_Log.txt\n");
  log_close();
  EXPECT_EQ(read_file("ZR4_BL_Log.txt"), kBanner);
}

TEST(LogTest, NothingPassesBeforeLevelOrAfterClose) {
  ScratchDir dir;
  ConsoleCapture console;
  ASSERT_EQ(log_open(), 0);
  log_write("before level\n", LOG_ALWAYS);
  log_set_level(7);
  log_write("kept\n", LOG_ALWAYS);
  log_frame(0xA04401, std::array<uint8_t, 8>{0x0A, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}.data());
  log_close();
  log_write("after close\n", LOG_ALWAYS);
  log_newline(LOG_ALWAYS);
  log_close();
  EXPECT_EQ(read_file("ZR4_BL_Log.txt"),
            std::string(kBanner) + "Logger level 7\nkept\n00A04401 0A 00 00 00 78 56 34 12\n");
}

TEST(LogTest, UnwritableLogIsReported) {
  ScratchDir dir;
  std::filesystem::create_directory("ZR4_BL_Log.txt");
  ConsoleCapture console;
  EXPECT_EQ(log_open(), -1);
  EXPECT_EQ(console.text(), "\nLog system init\nLog file: ZR4_BL_Log.txt\nCannot open log files\n");
  log_write("dropped\n", LOG_ALWAYS);  // must not crash
}

TEST(LogTest, PercentSignsInTextAreNotFormats) {
  ScratchDir dir;
  ConsoleCapture console;
  ASSERT_EQ(log_open(), 0);
  log_set_level(1);
  log_write("100%s %d %n\n", LOG_HEX_RAW);
  log_close();
  EXPECT_EQ(read_file("ZR4_BL_Log.txt"), std::string(kBanner) + "Logger level 1\n100%s %d %n\n");
}

namespace {
std::vector<std::string> g_problems;
void keep_problem(const std::string& line) { g_problems.push_back(line); }

struct ConsoleRow {
  const char* what;
  void (*print)();
  const char* console;
  std::vector<std::string> problems;  // what the problem sink got
  const char* last_line;
};
const ConsoleRow kConsoleRows[] = {
    {"an ordinary line is no problem", [] { console_print("Erase flash\n"); }, "Erase flash\n",
     {}, "Erase flash"},
    {"a problem line is printed as it is and reaches the sink without its line end",
     [] { console_problem("No answer %s\n", "DL_START_LOADING"); },
     "No answer DL_START_LOADING\n", {"No answer DL_START_LOADING"},
     "No answer DL_START_LOADING"},
    {"each line of a problem text, empty ones left out",
     [] { console_problem("ERROR --- Invalid answer\n\n00A44401  7F  00\n"); },
     "ERROR --- Invalid answer\n\n00A44401  7F  00\n", {"ERROR --- Invalid answer",
                                                        "00A44401  7F  00"},
     "00A44401  7F  00"},
    {"a status line is no line, and the next line ends it",
     [] {
       console_print("Erase flash\n");
       console_status("[#...] 10%");
       console_status("[##..] 50%");
       console_print("End of download\n");
     },
     "Erase flash\n\r[#...] 10%\r[##..] 50%\nEnd of download\n", {}, "End of download"},
    {"blanks cover the rest of a longer status line",
     [] {
       console_status("12 pages left");
       console_status("done");
       console_status_end();
       console_status_end();
     },
     "\r12 pages left\rdone         \n", {}, "before"},
    {"a problem ends the status line too",
     [] {
       console_status("50%");
       console_problem("Send data failed: %d\n", -3);
     },
     "\r50%\nSend data failed: -3\n", {"Send data failed: -3"}, "Send data failed: -3"},
};
class ConsoleTest : public ::testing::TestWithParam<ConsoleRow> {};
}  // namespace

// Problems are known by the call that prints them; the status line never counts as a line.
TEST_P(ConsoleTest, ProblemsAndTheStatusLine) {
  const ConsoleRow& row = GetParam();
  g_problems.clear();
  std::string text;
  std::string* const before = console_set_capture(&text);
  console_print("before\n");
  text.clear();
  const ConsoleProblemSink sink = console_set_problem_sink(keep_problem);
  row.print();
  EXPECT_FALSE(console_interactive()) << "a captured console is no terminal";
  console_set_problem_sink(sink);
  console_set_capture(before);
  EXPECT_EQ(text, row.console) << row.what;
  EXPECT_EQ(g_problems, row.problems) << row.what;
  EXPECT_EQ(console_last_line(), row.last_line) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, ConsoleTest, ::testing::ValuesIn(kConsoleRows));
