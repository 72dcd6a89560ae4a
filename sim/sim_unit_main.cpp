// ralvex-sim-unit: puts the emulated Ralvex unit and the emulated W2 sensor nodes on a SocketCAN
// interface (a vcan interface for bench tests), so that ralvex-service-tool -i IFNAME, or any other
// CAN tool, talks to them as to real devices. Runs until SIGINT or SIGTERM, then writes the
// memories asked for with the --*-out options. Linux only.
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "can/sim/sim_bus.h"
#include "sim/nodes.h"
#include "sim/sim_host.h"
#include "sim/unit.h"
#include "sim/world.h"

namespace {
// Frames that are due are moved at least this often.
constexpr int kStepMs = 1;

const char kUsage[] =
    "Usage: ralvex-sim-unit IFNAME [options]\n"
    "Puts an emulated Ralvex unit and emulated W2 sensor nodes (ids 1 to 127) on the SocketCAN\n"
    "interface IFNAME until SIGINT or SIGTERM.\n"
    "  --parameters-in FILE   fill the unit's parameter memory from FILE (0xD000 bytes)\n"
    "  --flash-out FILE       at exit, write the unit's application flash (0x3E0000 bytes,\n"
    "                         address 0x70020000 first)\n"
    "  --parameters-out FILE  at exit, write the unit's parameter memory (0xD000 bytes)\n"
    "  --node-out ID:FILE     at exit, write sensor node ID's flash (0x400000 bytes, index =\n"
    "                         image address); may be repeated\n"
    "  --sensors-on MS        switch the sensors on MS ms after the start, so that they announce\n"
    "                         themselves (for the tool's -b); without it they run from the start\n"
    "  --erase-ms MS          erase time of the unit and the sensors (default 500)\n"
    "  --corrupt-parameter OFFSET\n"
    "                         a fault: a restore stores the parameter byte at OFFSET (0 to\n"
    "                         0xCFFF, decimal or 0x hex) inverted, and still answers the page\n"
    "                         as written\n"
    "  --refuse-page N        a fault: every sensor node refuses the Nth page it is asked to\n"
    "                         write (from 1), as if a frame of it was lost: status 1, not written\n"
    "  --answer-late MS       a fault: the first answer to each command the tool resends (the\n"
    "                         unit's and the sensors' DL_START_LOADING, the sensors' wake\n"
    "                         frame) and to COMMAND_ID_ENTER_PRODUCTION_TEST_MODE comes MS ms\n"
    "                         late; every resent command is answered\n"
    "  --repeat-page ADDRESS  a fault: the first COMMAND_ID_START_PAGE_BACKUP of the parameter\n"
    "                         page at ADDRESS (0 to 0xCF00, a multiple of 0x100, decimal or 0x\n"
    "                         hex) reaches the unit twice: it sends that page twice\n"
    "  --trace                print every frame (< from the interface, > from the devices)\n";

struct NodeDump {
  uint8_t node;
  std::string path;
};

struct Options {
  const char* interface = nullptr;
  const char* parameters_in = nullptr;
  const char* flash_out = nullptr;
  const char* parameters_out = nullptr;
  std::vector<NodeDump> node_out;
  long long sensors_on_ms = -1;
  long long erase_ms = -1;
  long long corrupt_parameter = -1;
  long long refuse_page = 0;
  long long answer_late_ms = 0;
  long long repeat_page = -1;
  bool trace = false;
};

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) { g_stop = 1; }

// A whole decimal number from `low` to `high`.
bool parse_number(const char* text, long long low, long long high, long long* value) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < low || v > high) return false;
  *value = v;
  return true;
}

bool parse_node_dump(const char* text, NodeDump* dump) {
  const char* colon = std::strchr(text, ':');
  if (!colon || colon[1] == '\0') return false;
  const std::string id(text, static_cast<size_t>(colon - text));
  long long node = 0;
  if (!parse_number(id.c_str(), 1, 127, &node)) return false;
  dump->node = static_cast<uint8_t>(node);
  dump->path = colon + 1;
  return true;
}

int usage_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
int usage_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputs(kUsage, stderr);
  return 2;
}

// parse_options' result after --help: the usage is shown, nothing is to run.
constexpr int kHelpShown = -1;

// 0 with `options` filled, kHelpShown, or the exit status of a refused command line.
int parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return kHelpShown;
    }
    if (std::strcmp(arg, "--trace") == 0) {
      options->trace = true;
      continue;
    }
    if (arg[0] != '-') {
      if (options->interface) return usage_error("ralvex-sim-unit: unexpected '%s'\n", arg);
      options->interface = arg;
      continue;
    }
    const char* const with_value[] = {"--parameters-in", "--flash-out", "--parameters-out",
                                      "--node-out", "--sensors-on", "--erase-ms",
                                      "--corrupt-parameter", "--refuse-page", "--answer-late",
                                      "--repeat-page"};
    bool known = false;
    for (const char* name : with_value) known = known || std::strcmp(arg, name) == 0;
    if (!known) return usage_error("ralvex-sim-unit: unknown option '%s'\n", arg);
    if (i + 1 >= argc) return usage_error("ralvex-sim-unit: %s needs a value\n", arg);
    const char* value = argv[++i];
    if (std::strcmp(arg, "--parameters-in") == 0) {
      options->parameters_in = value;
    } else if (std::strcmp(arg, "--flash-out") == 0) {
      options->flash_out = value;
    } else if (std::strcmp(arg, "--parameters-out") == 0) {
      options->parameters_out = value;
    } else if (std::strcmp(arg, "--node-out") == 0) {
      NodeDump dump;
      if (!parse_node_dump(value, &dump)) {
        return usage_error("ralvex-sim-unit: --node-out needs ID:FILE with ID 1 to 127, not '%s'\n",
                           value);
      }
      options->node_out.push_back(dump);
    } else if (std::strcmp(arg, "--sensors-on") == 0) {
      if (!parse_number(value, 0, 3600000, &options->sensors_on_ms)) {
        return usage_error("ralvex-sim-unit: --sensors-on needs milliseconds, not '%s'\n", value);
      }
    } else if (std::strcmp(arg, "--corrupt-parameter") == 0) {
      char* end = nullptr;
      errno = 0;
      const long long offset = std::strtoll(value, &end, 0);
      if (end == value || *end != '\0' || errno == ERANGE || offset < 0 || offset > 0xCFFF) {
        return usage_error("ralvex-sim-unit: --corrupt-parameter needs an offset from 0 to 0xCFFF, "
                           "not '%s'\n", value);
      }
      options->corrupt_parameter = offset;
    } else if (std::strcmp(arg, "--refuse-page") == 0) {
      if (!parse_number(value, 1, 10000, &options->refuse_page)) {
        return usage_error(
            "ralvex-sim-unit: --refuse-page needs a page from 1 to 10000, not '%s'\n", value);
      }
    } else if (std::strcmp(arg, "--answer-late") == 0) {
      if (!parse_number(value, 0, 60000, &options->answer_late_ms)) {
        return usage_error("ralvex-sim-unit: --answer-late needs milliseconds, not '%s'\n", value);
      }
    } else if (std::strcmp(arg, "--repeat-page") == 0) {
      char* end = nullptr;
      errno = 0;
      const long long address = std::strtoll(value, &end, 0);
      if (end == value || *end != '\0' || errno == ERANGE || address < 0 || address > 0xCF00 ||
          address % 0x100 != 0) {
        return usage_error("ralvex-sim-unit: --repeat-page needs a page address from 0 to 0xCF00, "
                           "a multiple of 0x100, not '%s'\n", value);
      }
      options->repeat_page = address;
    } else if (!parse_number(value, 0, 60000, &options->erase_ms)) {  // --erase-ms
      return usage_error("ralvex-sim-unit: --erase-ms needs milliseconds, not '%s'\n", value);
    }
  }
  if (!options->interface) return usage_error("ralvex-sim-unit: %s", "no interface given\n");
  return 0;
}

int read_parameters(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (!file) {
    std::fprintf(stderr, "ralvex-sim-unit: cannot open '%s': %s\n", path, std::strerror(errno));
    return -1;
  }
  uint8_t* memory = sim_unit_parameters();
  const size_t n = std::fread(memory, 1, SIM_UNIT_PARAMETER_SIZE, file);
  const bool longer = std::fgetc(file) != EOF;
  std::fclose(file);
  if (n != SIM_UNIT_PARAMETER_SIZE || longer) {
    std::fprintf(stderr, "ralvex-sim-unit: '%s' must hold exactly %u bytes\n", path,
                 SIM_UNIT_PARAMETER_SIZE);
    return -1;
  }
  return 0;
}

int write_memory(const char* path, const uint8_t* bytes, size_t size, const char* what) {
  FILE* file = std::fopen(path, "wb");
  const bool written = file && std::fwrite(bytes, 1, size, file) == size;
  const bool closed = file && std::fclose(file) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "ralvex-sim-unit: cannot write %s to '%s': %s\n", what, path,
                 std::strerror(errno));
    return -1;
  }
  std::printf("ralvex-sim-unit: wrote %s to '%s'\n", what, path);
  return 0;
}

int write_memories(const Options& options) {
  int failures = 0;
  if (options.flash_out) {
    failures -= write_memory(options.flash_out, sim_unit_flash(), SIM_UNIT_FLASH_SIZE,
                             "the unit's application flash");
  }
  if (options.parameters_out) {
    failures -= write_memory(options.parameters_out, sim_unit_parameters(),
                             SIM_UNIT_PARAMETER_SIZE, "the unit's parameter memory");
  }
  for (const NodeDump& dump : options.node_out) {
    char what[48];
    std::snprintf(what, sizeof what, "sensor node %d's flash", dump.node);
    failures -= write_memory(dump.path.c_str(), sim_node_flash(dump.node), SIM_NODE_FLASH_SIZE,
                             what);
  }
  return failures;
}

void put_devices_on_bus(const Options& options) {
  sim_bus_reset();
  sim_nodes_config = SimNodesConfig{};
  if (options.sensors_on_ms >= 0) {
    sim_nodes_config.power_on_us = static_cast<uint64_t>(options.sensors_on_ms) * 1000u;
  } else {
    sim_nodes_config.running_before = true;
  }
  if (options.erase_ms >= 0) {
    sim_nodes_config.erase_us = static_cast<uint64_t>(options.erase_ms) * 1000u;
  }
  sim_nodes_config.refuse_page = static_cast<uint32_t>(options.refuse_page);
  const uint64_t answer_late_us = static_cast<uint64_t>(options.answer_late_ms) * 1000u;
  sim_nodes_config.answer_late_us = answer_late_us;
  for (const SimDevice* const* device = sim_world_devices(); *device; ++device) {
    sim_bus_attach(*device);
  }
  // Attaching resets the unit's timing; set it afterwards.
  if (options.erase_ms >= 0) {
    sim_unit_config.erase_us = static_cast<uint64_t>(options.erase_ms) * 1000u;
  }
  sim_unit_config.corrupt_parameter = options.corrupt_parameter;
  sim_unit_config.answer_late_us = answer_late_us;
  sim_unit_config.repeat_page = options.repeat_page;
}
}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  const int refused = parse_options(argc, argv, &options);
  if (refused == kHelpShown) return 0;
  if (refused != 0) return refused;

  put_devices_on_bus(options);
  if (options.parameters_in && read_parameters(options.parameters_in) != 0) return 1;
  if (sim_host_open(options.interface) != 0) return 1;

  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  std::printf("ralvex-sim-unit: emulated Ralvex unit and W2 sensor nodes on '%s'\n",
              options.interface);
  int status = 0;
  while (!g_stop) {
    if (sim_host_step(kStepMs, options.trace) != 0) {
      status = 1;
      break;
    }
  }
  sim_host_close();
  const SimHostStats& stats = sim_host_stats();
  std::printf("ralvex-sim-unit: %llu frames in, %llu out, %llu writes met a full queue\n",
              static_cast<unsigned long long>(stats.frames_in),
              static_cast<unsigned long long>(stats.frames_out),
              static_cast<unsigned long long>(stats.queue_full));
  if (write_memories(options) != 0) status = 1;
  return status;
}
