#include "support/program_run.h"

#include <regex>

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

void write_operation_inputs(int pages) {
  objcopy_hex(random_bytes(static_cast<size_t>(pages) * 256 - 100, 7), 0x70020000, "app.hex");
  objcopy_hex(random_bytes(2000, 8), 0x20000, "node.hex");
  write_bytes("p.bin", random_bytes(0xD000, 9));
}

std::string without_percent_lines(const std::string& console) {
  static const std::regex kPercent("[0-9]{1,3}\\.[0-9]%");
  std::string kept;
  size_t start = 0;
  while (start < console.size()) {
    size_t end = console.find('\n', start);
    end = end == std::string::npos ? console.size() : end + 1;
    const std::string line = console.substr(start, end - start);
    const bool whole_line = !line.empty() && line.back() == '\n';
    if (!(whole_line && std::regex_match(line.substr(0, line.size() - 1), kPercent))) kept += line;
    start = end;
  }
  return kept;
}

std::string without_status_lines(const std::string& console) {
  static const std::regex kStatus("(\r[^\r\n]*)+\n");
  return std::regex_replace(console, kStatus, "");
}

std::vector<std::string> status_lines(const std::string& console) {
  std::vector<std::string> lines;
  static const std::regex kStatus("\r([^\r\n]*[^\r\n ])");
  for (auto it = std::sregex_iterator(console.begin(), console.end(), kStatus);
       it != std::sregex_iterator(); ++it) {
    lines.push_back((*it)[1]);
  }
  return lines;
}
