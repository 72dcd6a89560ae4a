// The events of a run (--events): their order and throttling on a flash, the same values as the
// run report's, every failure ending with "end", files that cannot be opened or written, and a
// reader of a named pipe that follows the run as it goes.
#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "can/sim/sim_bus.h"
#include "log/log.h"
#include "ops/run_record.h"
#include "support/program_run.h"

namespace {
using nlohmann::json;

// The events of a JSON Lines text; every line must be a whole object.
std::vector<json> parse_events(const std::string& text) {
  std::vector<json> events;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const json event = json::parse(line, nullptr, false);
    EXPECT_TRUE(event.is_object()) << line;
    events.push_back(event);
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n');
  return events;
}

std::vector<json> of_kind(const std::vector<json>& events, const std::string& kind) {
  std::vector<json> found;
  for (const json& event : events) {
    if (event["event"] == kind) found.push_back(event);
  }
  return found;
}

// The checks that hold for every run: "start" at time 0 first, "end" last, times never going back,
// the report's values in "start" and "end", each problem line printed on the console.
void expect_whole_run(const std::vector<json>& events, const json& report, const std::string& console) {
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front()["event"], "start");
  EXPECT_EQ(events.front()["time_s"], 0.0);
  EXPECT_EQ(events.back()["event"], "end");
  EXPECT_EQ(of_kind(events, "start").size(), 1u);
  EXPECT_EQ(of_kind(events, "end").size(), 1u);
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_GE(events[i]["time_s"].get<double>(), events[i - 1]["time_s"].get<double>()) << i;
  }
  EXPECT_EQ(events.front()["tool"], report["tool"]);
  EXPECT_EQ(events.front()["arguments"], report["arguments"]);
  EXPECT_EQ(events.front()["interface"]["requested"], report["interface"]["requested"]);
  EXPECT_EQ(events.back()["result"], report["result"]);
  for (const json& problem : of_kind(events, "problem")) {
    EXPECT_NE(console.find(problem["line"].get<std::string>() + "\n"), std::string::npos)
        << problem;
  }
}

// Progress counts rise with every event and come at least once a second; on the virtual clock
// (`throttled`) no more than every 250 ms either, but for the last, which comes with the last page.
void expect_rising_progress(const std::vector<json>& progress, bool throttled) {
  for (size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GT(progress[i]["pages_done"], progress[i - 1]["pages_done"]) << i;
    const double gap = progress[i]["time_s"].get<double>() - progress[i - 1]["time_s"].get<double>();
    EXPECT_LE(gap, 1.0) << i;
    if (throttled && i + 1 < progress.size()) {
      EXPECT_GE(gap, 0.25) << i;
    }
  }
}

class EventsTest : public ProgramRunTest {
 protected:
  json report() { return json::parse(read_file("r.json"), nullptr, false); }
};
}  // namespace

// The report is the record at the end, the events the record as it grew: the same values.
TEST_F(EventsTest, FlashEventsFollowTheRun) {
  write_operation_inputs(100);
  ASSERT_EQ(run({"-i", "sim", "-f", "app.hex", "--events", "ev.jsonl", "--report", "r.json", "0"}),
            0)
      << console_.text();
  const std::vector<json> events = parse_events(read_file("ev.jsonl"));
  const json doc = report();
  expect_whole_run(events, doc, console_.text());
  EXPECT_EQ(events.front()["operation"], doc["operation"]);
  EXPECT_TRUE(events.front()["interface"]["opened"].is_null());

  std::vector<std::string> order;
  for (const json& event : events) {
    const std::string kind = event["event"];
    if (kind == "phase") order.push_back(event["phase"]);
    if (kind == "opened") order.push_back("opened");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"open", "start", "opened", "erase", "transfer", "end"}));
  EXPECT_EQ(of_kind(events, "opened").front()["interface"], doc["interface"]);
  EXPECT_TRUE(of_kind(events, "problem").empty());

  const std::vector<json> progress = of_kind(events, "progress");
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.front()["pages_done"], 0);
  expect_rising_progress(progress, true);
  json last = progress.back();
  EXPECT_EQ(last["pages_done"], 100);
  EXPECT_EQ(last["pages"], 100);
  EXPECT_EQ(last["bytes"], 25600);
  last.erase("event");
  last.erase("time_s");
  EXPECT_EQ(last, doc["progress"]);
  // The transfer of 100 pages takes seconds: at least one count a second.
  const double transfer_s = doc["phases_s"]["transfer"];
  EXPECT_GE(transfer_s, 2.0);
  EXPECT_GE(static_cast<double>(progress.size()), transfer_s);
}

namespace {
struct FailureRow {
  const char* what;
  std::vector<std::string> args;
  void (*configure)();
  int32_t status;
  std::vector<std::string> problems;  // the last is the report's message, unless...
  const char* message = nullptr;       // ...this names it (the line that named the cause)
};
const SimDevice kSilent{"silent", nullptr, nullptr};

const FailureRow kFailureRows[] = {
    {"silent unit", {"-i", "sim", "-f", "app.hex"}, [] { ASSERT_EQ(sim_bus_attach(&kSilent), 0); },
     -4, {"No answer DL_START_LOADING"}},
    {"missing HEX file", {"-i", "sim", "-f", "missing.hex"}, nullptr, -3,
     {"Cannot open HEX file 'missing.hex': No such file or directory",
      "IHex init error 'missing.hex'"},
     "Cannot open HEX file 'missing.hex': No such file or directory"},
    {"unsuitable node id: kept until the file opened, then the failure",
     {"-i", "sim", "-f", "node.hex", "-g", "0"}, nullptr, -4,
     {"Unsuitable W2 id 0", "W2 Node id not set! "}},
    {"refused progress mode, the events file named after the refusal",
     {"--progress", "fast", "-i", "sim", "-f", "app.hex", "--report", "r.json", "--events",
      "ev.jsonl"},
     nullptr, -2, {"Unknown progress mode 'fast' (auto, lines, bar or none)"}},
    {"trace file that cannot be created", {"-i", "sim", "-f", "app.hex", "--trace", "no/t.log"},
     nullptr, -1, {"Trace file init error 'no/t.log'"}},
};
class EventsFailureTest : public EventsTest, public ::testing::WithParamInterface<FailureRow> {};
}  // namespace

TEST_P(EventsFailureTest, EndsWithTheFailure) {
  const FailureRow& row = GetParam();
  write_operation_inputs(4);
  std::vector<std::string> args = row.args;
  if (row.status != -2) args.insert(args.end(), {"--events", "ev.jsonl", "--report", "r.json"});
  EXPECT_EQ(run(args, row.configure), row.status) << row.what << "\n" << console_.text();
  const std::vector<json> events = parse_events(read_file("ev.jsonl"));
  const json doc = report();
  expect_whole_run(events, doc, console_.text());
  std::vector<std::string> problems;
  for (const json& problem : of_kind(events, "problem")) problems.push_back(problem["line"]);
  EXPECT_EQ(problems, row.problems) << row.what;
  EXPECT_EQ(events.back()["result"]["message"], row.message ? row.message : row.problems.back())
      << row.what;
  EXPECT_EQ(events.back()["result"]["exit_status"], row.status) << row.what;
}
INSTANTIATE_TEST_SUITE_P(Rows, EventsFailureTest, ::testing::ValuesIn(kFailureRows));

// As for --trace: the console says so after the log's lines, and nothing is sent.
TEST_F(EventsTest, FileThatCannotBeOpenedEndsTheRunBeforeAnythingIsSent) {
  write_operation_inputs(4);
  EXPECT_EQ(run({"-i", "sim", "-f", "app.hex", "--events", "no/ev.jsonl", "--report", "r.json"}),
            -1);
  EXPECT_NE(console_.text().find("Logging level: 1\n\nEvents file init error 'no/ev.jsonl'\n"),
            std::string::npos)
      << console_.text();
  EXPECT_EQ(console_last_line(), "Events file init error 'no/ev.jsonl'");
  const SimBusFrame* frames = nullptr;
  EXPECT_EQ(sim_bus_frames(&frames), 0u);
  EXPECT_EQ(report()["result"]["exit_status"], -1);
  EXPECT_EQ(report()["result"]["message"], "Events file init error 'no/ev.jsonl'");
}

// A reader that goes away (or a full disk) stops the events; the run goes on, and since the file
// does not hold the whole run, a successful run ends with -7, as for a report. The reader of the
// pipe leaves when the tool's first frame reaches the bus.
TEST_F(EventsTest, EventsThatCannotBeWrittenTurnSuccessInto7) {
  write_operation_inputs(4);
  EXPECT_EQ(run({"-i", "sim", "-f", "app.hex", "--events", "ev.fifo", "--report", "r.json"},
                [] {
                  attach_world();
                  make_leaving_pipe("ev.fifo");
                }),
            -7);
  leaving_pipe_close();
  const std::string end = "Reboot Ralvex device to start up with new software\n"
                          "Events file writing error 'ev.fifo'\n";
  ASSERT_GE(console_.text().size(), end.size());
  EXPECT_EQ(console_.text().substr(console_.text().size() - end.size()), end);
  EXPECT_EQ(report()["result"]["exit_status"], -7);
  EXPECT_EQ(report()["result"]["message"], "Events file writing error 'ev.fifo'");
}

namespace {
// A Python reader of a named pipe, started before the run: each line with its arrival time.
class PipeReader {
 public:
  explicit PipeReader(const std::string& fifo) {
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string command = "/usr/bin/python3 " +
                                shell_quote(std::string(RALVEX_SOURCE_DIR) +
                                            "/tests/support/events_reader.py") +
                                " " + shell_quote(fifo);
    pipe_ = popen(command.c_str(), "r");
    EXPECT_NE(pipe_, nullptr);
  }
  // Waits for the reader to end (at the writer's close); the arrival times and the events.
  void finish(std::vector<double>* arrivals, std::vector<json>* events) {
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while (pipe_ && (n = std::fread(buffer, 1, sizeof buffer, pipe_)) > 0) text.append(buffer, n);
    if (pipe_) {
      EXPECT_EQ(pclose(pipe_), 0);
    }
    pipe_ = nullptr;
    std::istringstream lines(text);
    std::string events_text;
    for (std::string line; std::getline(lines, line);) {
      const size_t blank = line.find(' ');
      arrivals->push_back(std::stod(line.substr(0, blank)));
      events_text += line.substr(blank + 1) + "\n";
    }
    *events = parse_events(events_text);
  }
  ~PipeReader() {
    if (pipe_) pclose(pipe_);
  }

 private:
  FILE* pipe_ = nullptr;
};
}  // namespace

// A silent unit on the virtual clock: its reader sees the failure's end.
TEST_F(EventsTest, PipeReaderSeesASilentUnitEnd) {
  write_operation_inputs(4);
  PipeReader reader("ev.fifo");
  EXPECT_EQ(run({"-i", "sim", "-f", "app.hex", "--events", "ev.fifo", "--report", "r.json"},
                [] { ASSERT_EQ(sim_bus_attach(&kSilent), 0); }),
            -4);
  std::vector<double> arrivals;
  std::vector<json> events;
  reader.finish(&arrivals, &events);
  expect_whole_run(events, report(), console_.text());
  EXPECT_EQ(events.back()["result"]["message"], "No answer DL_START_LOADING");
  EXPECT_EQ(events.back()["result"]["failed_phase"], "start");
}

// The tool in real time on the emulated bus: the reader gets the events while the pages go out,
// not all at the end.
TEST(EventsReaderTest, NamedPipeReaderFollowsAFlash) {
  ScratchDir dir;
  write_operation_inputs(100);
  PipeReader reader("ev.fifo");
  std::string out;
  EXPECT_EQ(run_command(std::string(RALVEX_TOOL_PATH) +
                            " -i sim -f app.hex --events ev.fifo --report r.json 0",
                        &out),
            0)
      << out;
  std::vector<double> arrivals;
  std::vector<json> events;
  reader.finish(&arrivals, &events);
  const json doc = json::parse(read_file("r.json"), nullptr, false);
  expect_whole_run(events, doc, out);
  ASSERT_EQ(arrivals.size(), events.size());
  size_t first_progress = 0;
  while (first_progress < events.size() && events[first_progress]["event"] != "progress") {
    ++first_progress;
  }
  ASSERT_LT(first_progress, events.size());
  // 100 pages take 2.1 s on the bus, the end of download 0.5 s more.
  EXPECT_LT(arrivals[first_progress], arrivals.back() - 1.5);
  const std::vector<json> progress = of_kind(events, "progress");
  expect_rising_progress(progress, false);
  EXPECT_EQ(progress.back()["pages_done"], 100);
}
