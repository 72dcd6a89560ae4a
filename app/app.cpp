// Command line and run modes.
#include "app/app.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ralvex_version.h"  // generated from the project() version

#include "can/interfaces.h"
#include "app/run_report.h"
#include "can/sim/sim_backend.h"
#include "log/frame_trace.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/run_record.h"
#include "platform/platform.h"
#include "sim/world.h"

namespace {
constexpr int kVersionMajor = RALVEX_VERSION_MAJOR;
constexpr int kVersionMinor = RALVEX_VERSION_MINOR;
constexpr int kVersionPatch = RALVEX_VERSION_PATCH;

const char* const kUsage[] = {
    "Usage: ralvex-service-tool.exe -f <FileName.hex> [-i Can_Interface] [Logging_Level]\n",
    "           -- Flashes Ralvex application software over CAN\n\n",
    "       ralvex-service-tool.exe -r <FileName.bin> [-i Can_Interface] [Logging_Level]\n",
    "           -- Takes a backup of Ralvex application parameters and saves them into FileName.bin\n\n",
    "       ralvex-service-tool.exe -w <FileName.bin> [-i Can_Interface] [Logging_Level]\n",
    "           -- Restores Ralvex application parameters from a FileName.bin\n\n",
    "       ralvex-service-tool.exe -l\n",
    "           -- Lists the CAN interfaces the tool can reach and what is wrong with them\n\n",
    "       -i Can_Interface\n",
    "           -- An optional parameter and needed only in Linux for selecting the used CAN interface\n",
    "              pcan, pcan:1 to pcan:16 (or PCAN_USBBUS1 to 16), kvaser, kvaser:N, sim,\n",
    "              or on Linux a SocketCAN interface such as can0\n\n",
    "       Logging_Level is an optional parameter, possible values:\n",
    "           0   -- Log only errors\n",
    "           1   -- Log HEX file raw data (default option)\n",
    "           2   -- Log HEX file parsed data\n",
    "           3   -- Log HEX file parsed data and HEX file raw data\n",
    "           4   -- Log CAN frames\n",
    "           5   -- Log CAN frames and HEX file raw data\n",
    "           6   -- Log CAN frames and HEX file parsed data\n",
    "           7   -- Log CAN frames, HEX file parsed data and HEX file raw data\n",
};

// Printed after the usage by --help and when a long option is refused.
const char* const kLongOptions[] = {
    "       Long options (anywhere among the options):\n",
    "           --trace FILE   -- Writes every CAN frame sent and received into FILE\n",
    "                             (can-utils log format)\n",
    "           --report FILE  -- Writes a JSON record of the run into FILE when the run ends\n",
    "           --log FILE     -- Writes the log into FILE instead of ZR4_BL_Log.txt\n",
    "           --tag KEY=VALUE -- Copies KEY=VALUE into the run report (repeatable; KEY of\n",
    "                             letters, digits, '_' and '-', VALUE printable ASCII)\n",
    "           --verify       -- With -w: reads the parameters back and compares them with the file\n",
    "           --help         -- Prints this text\n",
    "           --version      -- Prints the version\n",
};

// The command line is refused: the reason printed last is kept, then the usage text follows.
int32_t refuse(RunSettings* settings, bool long_options) {
  settings->refusal = console_last_line();
  print_usage();
  if (long_options) {
    console_print("\n");
    for (const char* line : kLongOptions) console_print("%s", line);
  }
  return -2;
}

// A long option: whether it takes a value and, for one that names a file, where it goes in the
// settings and what messages call it.
struct LongOption {
  const char* name;
  bool takes_value;
  char (RunSettings::*file)[RUN_FILE_NAME_MAX + 1];
  const char* what;
};
const LongOption kLongOptionTable[] = {
    {"--trace", true, &RunSettings::trace_path, "Trace file name"},
    {"--report", true, &RunSettings::report_path, "Report file name"},
    {"--log", true, &RunSettings::log_path, "Log file name"},
    {"--tag", true, nullptr, nullptr},
    {"--verify", false, nullptr, nullptr},
    {"--help", false, nullptr, nullptr},
    {"--version", false, nullptr, nullptr},
};
const LongOption* const kReport = &kLongOptionTable[1];

// The long option `arg` names ("--trace" or "--trace=FILE"), with the value after '=' if any.
const LongOption* find_long_option(const char* arg, const char** inline_value) {
  *inline_value = nullptr;
  const char* equals = std::strchr(arg, '=');
  const size_t length = equals ? static_cast<size_t>(equals - arg) : std::strlen(arg);
  for (const LongOption& option : kLongOptionTable) {
    if (std::strlen(option.name) == length && std::strncmp(arg, option.name, length) == 0) {
      if (equals) *inline_value = equals + 1;
      return &option;
    }
  }
  return nullptr;
}

void print_banner_and_notice() {
  console_print("\n\n===  Ralvex Service Tool %d.%d.%d  ===\n\n", kVersionMajor, kVersionMinor,
                kVersionPatch);
  console_print("This software uses the following 3rd party libraries (on Windows):\n\n");
  console_print("1. PCAN-Basic, by PEAK-System Technik GmbH\n");
  console_print("   Used under PEAK-System's end-user licence agreement (PCAN-Basic EULA.txt), "
                "www.peak-system.com\n\n");
  console_print("2. CANlib, by Kvaser AB\n");
  console_print("   Used under Kvaser's end-user licence agreement (CANlib license.txt), "
                "www.kvaser.com\n\n");
}

// A decimal integer at the start of `text` (leading blanks and a sign allowed); with `whole` only
// blanks may follow it and it must fit. False when the text holds none.
bool decimal_value(const char* text, bool whole, long long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text, &end, 10);
  if (end == text) return false;
  if (!whole) return true;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  return *end == '\0' && errno != ERANGE;
}

// Copies a value into a fixed buffer; an over-long value is refused, never cut: "<what> too long:
// '<value>'" and the usage text.
int32_t copy_value(RunSettings* settings, char* buffer, size_t max, const char* value,
                   const char* what, bool long_option) {
  if (std::strlen(value) > max) {
    console_print("%s too long: '%s'\n", what, value);
    return refuse(settings, long_option);
  }
  std::snprintf(buffer, max + 1, "%s", value);
  return 0;
}

// An unsuitable id leaves the one chosen before (if any) in place.
void read_node_id(const char* text, RunSettings* settings) {
  long long id = 0;
  // Judged as written: a node id is the whole text.
  if (decimal_value(text, true, &id) && id >= 1 && id <= 127) {
    settings->node_id = static_cast<uint8_t>(id);
    console_print("Setting W2 id %d \n", settings->node_id);
  } else {
    console_print("Unsuitable W2 id %s\n", text);
  }
}
}  // namespace

void print_usage() {
  for (const char* line : kUsage) console_print("%s", line);
}

namespace {
// --tag KEY=VALUE: KEY of letters, digits, '_' and '-', VALUE of printable ASCII, each KEY once.
// 0, or -2 after saying why.
int32_t read_tag(const char* tag, RunSettings* settings) {
  const char* equals = std::strchr(tag, '=');
  bool good = equals && equals != tag;
  for (const char* c = tag; good && c < equals; ++c) {
    good = std::isalnum(static_cast<unsigned char>(*c)) || *c == '_' || *c == '-';
  }
  for (const char* c = equals ? equals + 1 : tag; good && *c; ++c) good = *c >= 0x20 && *c <= 0x7E;
  if (!good) {
    console_print("Malformed tag '%s': KEY=VALUE with a KEY of letters, digits, '_' and '-' and a "
                  "VALUE of printable ASCII\n",
                  tag);
    return refuse(settings, true);
  }
  const std::string key(tag, static_cast<size_t>(equals - tag));
  for (const auto& given : settings->tags) {
    if (given.first == key) {
      console_print("Tag %s given twice\n", key.c_str());
      return refuse(settings, true);
    }
  }
  settings->tags.emplace_back(key, equals + 1);
  return 0;
}

// One long option (nullptr: unknown) with its value (inline after '=', or the next argument;
// nullptr when there is none). 0 read; 1 answered (--help, --version); -2 refused.
int32_t read_long_option(const char* arg, const LongOption* option, const char* value,
                         RunSettings* settings) {
  if (!option) {
    console_print("Unknown option '%s'\n", arg);
    return refuse(settings, true);
  }
  if (option->takes_value && !value) {
    console_print("Missing value for option %s\n", option->name);
    return refuse(settings, true);
  }
  if (!option->takes_value && value) {
    console_print("Option %s takes no value: '%s'\n", option->name, arg);
    return refuse(settings, true);
  }
  if (option->file) {
    // A refused report file leaves none: the run is reported only to a file that was accepted.
    char* file = settings->*option->file;
    file[0] = '\0';
    if (value[0] == '\0') {
      console_print("%s is empty\n", option->what);
      return refuse(settings, true);
    }
    return copy_value(settings, file, RUN_FILE_NAME_MAX, value, option->what, true);
  }
  const std::string name = option->name;
  if (name == "--tag") return read_tag(value, settings);
  if (name == "--verify") {
    settings->verify = true;
  } else if (name == "--help") {
    print_usage();
    console_print("\n");
    for (const char* line : kLongOptions) console_print("%s", line);
    return 1;
  } else {
    console_print("ralvex-service-tool %s\n", RALVEX_VERSION);
    return 1;
  }
  return 0;
}

// One single-dash option, known by its second character alone, with its value (nullptr when it
// takes none or none is left). 0 read; -2 refused.
int32_t read_short_option(char letter, bool takes_value, const char* value,
                          RunSettings* settings) {
  if (takes_value && !value) {
    console_print("Missing value for option -%c\n", letter);
    return refuse(settings, false);
  }
  char* file_name = settings->file_name;
  switch (letter) {
    case 'f':
    case 'r':
    case 'w':
      if (copy_value(settings, file_name, RUN_FILE_NAME_MAX, value, "File name", false) != 0) {
        return -2;
      }
      if (letter == 'f') {
        console_print("HEX file: '%s'\n", file_name);
        settings->mode = RUN_MODE_FLASH;
      } else if (letter == 'r') {
        console_print("Backup data file: '%s'\n", file_name);
        settings->mode = RUN_MODE_BACKUP;
      } else {
        console_print("Restore data file: '%s'\n", file_name);
        settings->mode = RUN_MODE_RESTORE;
      }
      break;
    case 'g':
      console_print("W2 sensor mode initiated\n");
      read_node_id(value, settings);
      if (file_name[0] == '\0') console_print("Use -f to give filename!\n");
      settings->mode = RUN_MODE_SENSOR;
      break;
    case 'b':
      console_print("W2 sensor bootloader force enabled\n");
      console_print("Turn sensor power on\n");
      settings->force = true;
      settings->mode = RUN_MODE_SENSOR_FORCE;
      break;
    case 'i':
      if (copy_value(settings, settings->interface_name, RUN_INTERFACE_NAME_MAX, value,
                     "CAN interface name", false) != 0) {
        return -2;
      }
      console_print("Use CAN interface: '%s'\n", settings->interface_name);
      if (can_select_interface(settings->interface_name) != 0) return refuse(settings, false);
      break;
    case 'l':
      settings->mode = RUN_MODE_LIST;
      break;
    default:
      break;  // unknown letters and a lone "-" are skipped silently
  }
  return 0;
}
}  // namespace

int32_t read_options(int argc, char** argv, RunSettings* settings) {
  *settings = RunSettings{};
  int32_t result = 0;
  for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
    const char* arg = argv[i];
    const bool long_option = arg[1] == '-';
    const char* value = nullptr;
    const LongOption* option = long_option ? find_long_option(arg, &value) : nullptr;
    const bool takes_value = long_option ? option && option->takes_value && !value
                                         : arg[1] != '\0' && std::strchr("frwgi", arg[1]);
    if (takes_value && i + 1 < argc) value = argv[++i];
    if (result != 0) {
      // A refused command line is reported too: the options left are read for --report alone.
      if (option == kReport && value) {
        std::snprintf(settings->report_path, sizeof settings->report_path, "%s",
                      std::strlen(value) <= RUN_FILE_NAME_MAX ? value : "");
      }
      continue;
    }
    result = long_option ? read_long_option(arg, option, value, settings)
                         : read_short_option(arg[1], takes_value, value, settings);
    if (result == 1) return 1;
  }
  if (result != 0) return result;
  // Only a restore can be read back: a flash has no read-back, a backup is checked page by page.
  if (settings->verify && settings->mode != RUN_MODE_RESTORE && settings->mode != RUN_MODE_NONE) {
    console_print("Option --verify applies to -w only (a flash cannot be read back, a backup is "
                  "checked page by page)\n");
    return refuse(settings, true);
  }
  settings->log_level = read_logging_level(argc, argv);
  return 0;
}

int32_t read_logging_level(int argc, char** argv) {
  const char* last = argv[argc > 1 ? argc - 1 : 0];
  long long level = 0;
  if (last == nullptr || !decimal_value(last, false, &level)) return 1;
  if (level > INT32_MAX) return INT32_MAX;
  return level < INT32_MIN ? INT32_MIN : static_cast<int32_t>(level);
}

namespace {
// -l: nothing is opened or sent; the log holds what the libraries said while they were asked.
int32_t list_interfaces() {
  const int32_t result = can_list();
  log_close();
  return result;
}

int32_t run_operation(const RunSettings& settings) {
  switch (settings.mode) {
    case RUN_MODE_FLASH:
      return flash_application(settings.file_name);
    case RUN_MODE_BACKUP:
      return backup_parameters(settings.file_name);
    case RUN_MODE_RESTORE:
      return restore_parameters(settings.file_name, settings.verify);
    case RUN_MODE_SENSOR:
    case RUN_MODE_SENSOR_FORCE:
      return flash_sensor(settings.file_name, settings.node_id, settings.force);
    case RUN_MODE_LIST:
      return list_interfaces();
    case RUN_MODE_NONE:
      break;
  }
  print_usage();
  return -2;
}

struct RunStart {
  int argc;
  char** argv;
  int64_t unix_ms;  // wall clock
  uint64_t us;      // monotonic
};

// The end of every run: the trace is closed and the report written when one was asked for. A
// report that cannot be written turns a successful run into -7 (a file could not be written).
int32_t finish_run(const RunStart& start, const RunSettings& settings, bool settings_taken,
                   int32_t status, const std::string& message) {
  frame_trace_close();
  run_record_end();
  if (settings.report_path[0] == '\0') return status;
  const RunReport report{settings_taken ? &settings : nullptr, start.argc, start.argv,
                         start.unix_ms, now_us() - start.us, status, message};
  if (run_report_write(settings.report_path, report) != 0) {
    console_print("Report file writing error '%s'\n", settings.report_path);
    if (status == 0) return -7;
  }
  return status;
}
}  // namespace

int32_t app_main(int argc, char** argv) {
  print_banner_and_notice();
  // The emulated devices wait on the emulated bus for `-i sim` (and for nothing else); what they
  // write into their flash cannot be read after the run, so they keep none of it.
  sim_backend_set_devices(sim_world_devices());
  sim_world_keep_memories(false);
  // Every run starts from a closed channel with nothing counted (tests run several in a process).
  can_reset();
  run_record_reset();
  const RunStart start{argc, argv,
                       static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count()),
                       now_us()};
  // The command line is read before the log is opened, so that a run whose log cannot be created
  // is reported too; what reading it printed follows the log's own lines.
  std::string said;
  std::string* const console = console_set_capture(&said);
  RunSettings settings;
  const int32_t read = read_options(argc, argv, &settings);
  console_set_capture(console);
  if (log_open(settings.log_path[0] ? settings.log_path : LOG_FILE_DEFAULT) != 0) {
    console_print("Logging init error\n");
    return finish_run(start, settings, false, -1, console_last_line());
  }
  console_print("%s", said.c_str());
  if (read == 1) return 0;
  if (read != 0) return finish_run(start, settings, true, -2, settings.refusal);
  console_print("Logging level: %d\n", settings.log_level);
  log_set_level(settings.log_level);
  console_print("\n");
  if (settings.trace_path[0] != '\0' && settings.mode != RUN_MODE_NONE &&
      frame_trace_open(settings.trace_path) != 0) {
    console_print("Trace file init error '%s'\n", settings.trace_path);
    log_close();
    return finish_run(start, settings, true, -1, console_last_line());
  }
  const int32_t status = run_operation(settings);
  // Without a run mode the usage text is all the console says.
  const std::string message = status == 0                        ? std::string()
                              : settings.mode == RUN_MODE_NONE ? "No run mode given: usage printed"
                                                               : console_last_line();
  return finish_run(start, settings, true, status, message);
}
