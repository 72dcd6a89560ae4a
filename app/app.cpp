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
#include "app/run_events.h"
#include "app/run_report.h"
#include "can/sim/sim_backend.h"
#include "log/frame_trace.h"
#include "log/log.h"
#include "ops/operations.h"
#include "ops/progress.h"
#include "ops/run_record.h"
#include "platform/platform.h"
#include "protocol/command.h"
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
    "           --events FILE  -- Writes the run's events into FILE as they happen (JSON Lines;\n",
    "                             FILE may be a named pipe)\n",
    "           --progress MODE\n",
    "                          -- auto (a status line on a terminal, percent lines elsewhere),\n",
    "                             lines, bar (the status line anywhere) or none\n",
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

int32_t read_progress_mode(const char* value, RunSettings* settings);
int32_t read_tag(const char* tag, RunSettings* settings);

// A long option with a value names a file (where it goes in the settings, what messages call it)
// or a word that its reader takes. A file that records the run is read even after a refusal, so
// that the refused run is recorded too.
struct LongOption {
  const char* name;
  char (RunSettings::*file)[RUN_FILE_NAME_MAX + 1];
  const char* what;
  int32_t (*word)(const char* value, RunSettings* settings) = nullptr;
  bool records_refusal = false;
};
const LongOption kLongOptionTable[] = {
    {"--trace", &RunSettings::trace_path, "Trace file name"},
    {"--report", &RunSettings::report_path, "Report file name", nullptr, true},
    {"--events", &RunSettings::events_path, "Events file name", nullptr, true},
    {"--log", &RunSettings::log_path, "Log file name"},
    {"--tag", nullptr, "Tag", read_tag},
    {"--progress", nullptr, "Progress mode", read_progress_mode},
    {"--verify", nullptr, nullptr},
    {"--help", nullptr, nullptr},
    {"--version", nullptr, nullptr},
};

bool takes_value(const LongOption& option) { return option.file || option.word; }

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
    console_problem("%s too long: '%s'\n", what, value);
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
    console_problem("Unsuitable W2 id %s\n", text);
  }
}

// --progress: a mode by its name.
int32_t read_progress_mode(const char* value, RunSettings* settings) {
  for (int32_t mode = PROGRESS_AUTO; mode <= PROGRESS_NONE; ++mode) {
    if (std::strcmp(value, progress_mode_name(mode)) == 0) {
      settings->progress = static_cast<ProgressMode>(mode);
      return 0;
    }
  }
  console_problem("Unknown progress mode '%s' (auto, lines, bar or none)\n", value);
  return refuse(settings, true);
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
    console_problem("Malformed tag '%s': KEY=VALUE with a KEY of letters, digits, '_' and '-' and a "
                  "VALUE of printable ASCII\n",
                  tag);
    return refuse(settings, true);
  }
  const std::string key(tag, static_cast<size_t>(equals - tag));
  for (const auto& given : settings->tags) {
    if (given.first == key) {
      console_problem("Tag %s given twice\n", key.c_str());
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
    console_problem("Unknown option '%s'\n", arg);
    return refuse(settings, true);
  }
  if (takes_value(*option) && !value) {
    console_problem("Missing value for option %s\n", option->name);
    return refuse(settings, true);
  }
  if (!takes_value(*option) && value) {
    console_problem("Option %s takes no value: '%s'\n", option->name, arg);
    return refuse(settings, true);
  }
  if (option->file) {
    // A refused report file leaves none: the run is reported only to a file that was accepted.
    char* file = settings->*option->file;
    file[0] = '\0';
    if (value[0] == '\0') {
      console_problem("%s is empty\n", option->what);
      return refuse(settings, true);
    }
    return copy_value(settings, file, RUN_FILE_NAME_MAX, value, option->what, true);
  }
  if (option->word) return option->word(value, settings);
  const std::string name = option->name;
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
    console_problem("Missing value for option -%c\n", letter);
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
      if (file_name[0] == '\0') console_problem("Use -f to give filename!\n");
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
  if (argc > 1) settings->arguments.assign(argv + 1, argv + argc);
  int32_t result = 0;
  for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
    const char* arg = argv[i];
    const bool long_option = arg[1] == '-';
    const char* value = nullptr;
    const LongOption* option = long_option ? find_long_option(arg, &value) : nullptr;
    const bool next_is_value = long_option ? option && takes_value(*option) && !value
                                           : arg[1] != '\0' && std::strchr("frwgi", arg[1]);
    if (next_is_value && i + 1 < argc) value = argv[++i];
    if (result != 0) {
      // A refused command line is recorded too: the options left are read for that alone.
      if (option && option->records_refusal && value) {
        char* file = settings->*option->file;
        std::snprintf(file, RUN_FILE_NAME_MAX + 1, "%s",
                      std::strlen(value) <= RUN_FILE_NAME_MAX ? value : "");
      }
      continue;
    }
    result = long_option ? read_long_option(arg, option, value, settings)
                         : read_short_option(arg[1], next_is_value, value, settings);
    if (result == 1) return 1;
  }
  if (result != 0) return result;
  // Only a restore can be read back: a flash has no read-back, a backup is checked page by page.
  if (settings->verify && settings->mode != RUN_MODE_RESTORE && settings->mode != RUN_MODE_NONE) {
    console_problem("Option --verify applies to -w only (a flash cannot be read back, a backup is "
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
      return flash_application(settings.file_name, settings.progress);
    case RUN_MODE_BACKUP:
      return backup_parameters(settings.file_name, settings.progress);
    case RUN_MODE_RESTORE:
      return restore_parameters(settings.file_name, settings.verify, settings.progress);
    case RUN_MODE_SENSOR:
    case RUN_MODE_SENSOR_FORCE:
      return flash_sensor(settings.file_name, settings.node_id, settings.force, settings.progress);
    case RUN_MODE_LIST:
      return list_interfaces();
    case RUN_MODE_NONE:
      break;
  }
  print_usage();
  return -2;
}

struct RunStart {
  int64_t unix_ms;  // wall clock
  uint64_t us;      // monotonic
};

// The end of every run: the trace is closed, the report written when one was asked for, and the
// events end. Events or a report that could not be written turn a successful run into -7 (a file
// could not be written); the events' "end" carries the status the process ends with.
int32_t finish_run(const RunStart& start, const RunSettings& settings, bool settings_taken,
                   int32_t status, std::string message) {
  frame_trace_close();
  run_record_end();
  if (run_events_failed()) {
    console_problem("Events file writing error '%s'\n", settings.events_path);
    if (status == 0) {
      status = -7;
      message = console_last_line();
    }
  }
  if (settings.report_path[0] != '\0') {
    const RunReport report{settings_taken ? &settings : nullptr, &settings.arguments,
                           start.unix_ms, now_us() - start.us, status, message};
    if (run_report_write(settings.report_path, report) != 0) {
      console_problem("Report file writing error '%s'\n", settings.report_path);
      if (status == 0) {
        status = -7;
        message = console_last_line();
      }
    }
  }
  run_events_end(status, message);
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
  command_forget_late_answers();
  run_record_reset();
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  const RunStart start{
      static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(wall).count()),
      now_us()};
  // Problem lines count from here, those of the command line included.
  run_events_begin(start.us);
  // The command line is read before the log is opened, so that a run whose log cannot be created
  // is reported too; what reading it printed follows the log's own lines.
  std::string said;
  std::string* const console = console_set_capture(&said);
  RunSettings settings;
  const int32_t read = read_options(argc, argv, &settings);
  console_set_capture(console);
  // The events begin before the log, so that every run that has an events file ends it (a reader
  // of a named pipe waits for its "end"); a file that cannot be opened is said with the trace's.
  const bool events_open = read == 1 || settings.events_path[0] == '\0' ||
                           run_events_open(settings.events_path, settings) == 0;
  if (log_open(settings.log_path[0] ? settings.log_path : LOG_FILE_DEFAULT) != 0) {
    console_problem("Logging init error\n");
    return finish_run(start, settings, false, -1, console_last_line());
  }
  console_print("%s", said.c_str());
  if (read == 1) {
    run_events_end(0, "");
    return 0;
  }
  if (read != 0) return finish_run(start, settings, true, -2, settings.refusal);
  console_print("Logging level: %d\n", settings.log_level);
  log_set_level(settings.log_level);
  console_print("\n");
  if (!events_open) {
    console_problem("Events file init error '%s'\n", settings.events_path);
    log_close();
    return finish_run(start, settings, true, -1, console_last_line());
  }
  if (settings.trace_path[0] != '\0' && settings.mode != RUN_MODE_NONE &&
      frame_trace_open(settings.trace_path) != 0) {
    console_problem("Trace file init error '%s'\n", settings.trace_path);
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
