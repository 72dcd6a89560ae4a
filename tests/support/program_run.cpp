#include "support/program_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "can/sim/sim_bus.h"
#include "sim/nodes.h"
#include "sim/unit.h"
#include "sim/world.h"
#include "app/app.h"
#include "support/hex_files.h"

void ProgramRunTest::SetUp() { sim_nodes_config = SimNodesConfig{}; }

void ProgramRunTest::TearDown() { sim_nodes_config = SimNodesConfig{}; }

int32_t ProgramRunTest::run(const std::vector<std::string>& args, void (*configure)()) {
  sim_bus_reset();
  sim_bus_record_frames(true);
  if (configure) configure();
  Args argv(args);
  return app_main(argv.argc(), argv.argv());
}

void attach_world() {
  for (const SimDevice* const* device = sim_world_devices(); *device; ++device) {
    EXPECT_EQ(sim_bus_attach(*device), 0);
  }
}

namespace {
int g_leaving_reader = -1;
void leave_pipe(uint64_t, uint32_t, const uint8_t*) { leaving_pipe_close(); }
const SimDevice kPipeLeaver{"pipe leaver", nullptr, leave_pipe};
}  // namespace

void make_leaving_pipe(const char* path) {
  ASSERT_EQ(mkfifo(path, 0600), 0);
  g_leaving_reader = open(path, O_RDONLY | O_NONBLOCK);
  ASSERT_GE(g_leaving_reader, 0);
  EXPECT_EQ(sim_bus_attach(&kPipeLeaver), 0);
}

void leaving_pipe_close() {
  if (g_leaving_reader >= 0) close(g_leaving_reader);
  g_leaving_reader = -1;
}

void write_operation_inputs(int pages) {
  objcopy_hex(random_bytes(static_cast<size_t>(pages) * 256 - 100, 7), 0x70020000, "app.hex");
  objcopy_hex(random_bytes(2000, 8), 0x20000, "node.hex");
  write_bytes("p.bin", random_bytes(0xD000, 9));
}

namespace {
// "0.0%" to "100.0%": one to three digits, a point, one digit, a percent sign.
bool percent_line(const std::string& line) {
  size_t digits = 0;
  while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
  return digits >= 1 && digits <= 3 && line.size() == digits + 3 && line[digits] == '.' &&
         std::isdigit(static_cast<unsigned char>(line[digits + 1])) && line[digits + 2] == '%';
}
}  // namespace

std::string without_percent_lines(const std::string& console) {
  std::string kept;
  for (size_t start = 0, end; start < console.size(); start = end) {
    end = std::min(console.find('\n', start), console.size() - 1) + 1;
    const std::string line = console.substr(start, end - start);
    if (line.back() != '\n' || !percent_line(line.substr(0, line.size() - 1))) kept += line;
  }
  return kept;
}

std::string without_status_lines(const std::string& console) {
  std::string kept;
  for (size_t i = 0; i < console.size(); ++i) {
    if (console[i] != '\r') {
      kept += console[i];
      continue;
    }
    // A run of "\r<text>" up to the "\n" that ended it.
    while (i < console.size() && console[i] != '\n') ++i;
  }
  return kept;
}

std::vector<std::string> status_lines(const std::string& console) {
  std::vector<std::string> lines;
  for (size_t at = console.find('\r'); at != std::string::npos; at = console.find('\r', at + 1)) {
    const size_t end = console.find_first_of("\r\n", at + 1);
    std::string line = console.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}
