// The command line: one table of options, one walk, the lines it would print kept in order.
#include "app/command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ralvex_version.h"  // generated from the project() version

#include "can/target.h"
#include "log/log.h"  // RALVEX_PRINTF only: nothing is printed here
#include "ops/progress.h"

namespace {
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
    "           --check FILE   -- Checks the HEX file FILE as -f would (with -g ID as a sensor\n",
    "                             image) and prints its report; opens no adapter and no log\n",
    "           --help         -- Prints this text\n",
    "           --version      -- Prints the version\n",
};

using FileField = char (RunSettings::*)[RUN_FILE_NAME_MAX + 1];

// One option. `read` returns 0 when read, 1 when the option answered the run (--help,
// --version), -2 when it refused the command line. A file option names where its file goes
// (`file`) and what messages call it (`what`); one that `records_refusal` is read even after a
// refusal, so that the refused run is recorded too.
struct OptionRow {
  const char* name;  // "-f" (known by its second letter) or "--trace"
  bool takes_value;
  int32_t (*read)(const OptionRow& row, const char* value, CommandLine* line);
  FileField file;
  const char* what;
  bool records_refusal;
};

std::string format(const char* fmt, ...) RALVEX_PRINTF(1, 2);
std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

void say(CommandLine* line, const std::string& text) { line->said.push_back({text, false}); }
void problem(CommandLine* line, const std::string& text) { line->said.push_back({text, true}); }

bool is_long(const OptionRow& row) { return row.name[1] == '-'; }

// The command line is refused: the problem said last is kept, then the usage text follows.
int32_t refuse(CommandLine* line, bool long_options) {
  const std::string& last = line->said.back().text;
  const size_t end = last.find_last_not_of('\n');
  const size_t begin = last.rfind('\n', end);
  line->refusal = last.substr(begin == std::string::npos ? 0 : begin + 1, end - begin);
  say(line, command_line_usage(long_options));
  return -2;
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
int32_t copy_value(CommandLine* line, char* buffer, size_t max, const char* value,
                   const char* what, bool long_option) {
  if (std::strlen(value) > max) {
    problem(line, format("%s too long: '%s'\n", what, value));
    return refuse(line, long_option);
  }
  std::snprintf(buffer, max + 1, "%s", value);
  return 0;
}

int32_t read_job_file(const OptionRow& row, const char* value, CommandLine* line) {
  RunSettings& settings = line->settings;
  if (copy_value(line, settings.file_name, RUN_FILE_NAME_MAX, value, "File name", false) != 0) {
    return -2;
  }
  if (row.name[1] == 'f') {
    say(line, format("HEX file: '%s'\n", settings.file_name));
    settings.mode = RUN_MODE_FLASH;
  } else if (row.name[1] == 'r') {
    say(line, format("Backup data file: '%s'\n", settings.file_name));
    settings.mode = RUN_MODE_BACKUP;
  } else {
    say(line, format("Restore data file: '%s'\n", settings.file_name));
    settings.mode = RUN_MODE_RESTORE;
  }
  return 0;
}

// An unsuitable id leaves the one chosen before (if any) in place.
int32_t read_node(const OptionRow&, const char* value, CommandLine* line) {
  RunSettings& settings = line->settings;
  say(line, "W2 sensor mode initiated\n");
  long long id = 0;
  // Judged as written: a node id is the whole text.
  if (decimal_value(value, true, &id) && id >= 1 && id <= 127) {
    settings.node_id = static_cast<uint8_t>(id);
    say(line, format("Setting W2 id %d \n", settings.node_id));
  } else {
    problem(line, format("Unsuitable W2 id %s\n", value));
  }
  // With --check the node only says which image the file is.
  if (settings.mode == RUN_MODE_CHECK) {
    settings.check_sensor = true;
    return 0;
  }
  if (settings.file_name[0] == '\0') problem(line, "Use -f to give filename!\n");
  settings.mode = RUN_MODE_SENSOR;
  return 0;
}

// --check FILE: the HEX file checked as -f (or, with -g, as a sensor flash) would check it.
int32_t read_check(const OptionRow& row, const char* value, CommandLine* line) {
  RunSettings& settings = line->settings;
  if (copy_value(line, settings.file_name, RUN_FILE_NAME_MAX, value, row.what, true) != 0) {
    return -2;
  }
  if (settings.mode == RUN_MODE_SENSOR || settings.mode == RUN_MODE_SENSOR_FORCE) {
    settings.check_sensor = true;
  }
  settings.mode = RUN_MODE_CHECK;
  return 0;
}

int32_t read_force(const OptionRow&, const char*, CommandLine* line) {
  say(line, "W2 sensor bootloader force enabled\n");
  say(line, "Turn sensor power on\n");
  line->settings.force = true;
  if (line->settings.mode == RUN_MODE_CHECK) {
    line->settings.check_sensor = true;
    return 0;
  }
  line->settings.mode = RUN_MODE_SENSOR_FORCE;
  return 0;
}

int32_t read_interface(const OptionRow&, const char* value, CommandLine* line) {
  RunSettings& settings = line->settings;
  if (copy_value(line, settings.interface_name, CAN_INTERFACE_NAME_MAX, value,
                 "CAN interface name", false) != 0) {
    return -2;
  }
  say(line, format("Use CAN interface: '%s'\n", settings.interface_name));
  CanTarget target;
  char why[128] = "";
  const CanTargetParse parsed = can_parse_target(value, &target, why, sizeof why);
  if (parsed == CAN_TARGET_MALFORMED) {
    problem(line, format("Malformed CAN interface '%s': %s\n", value, why));
    return refuse(line, false);
  }
  if (parsed == CAN_TARGET_NOT_HERE) {
    // Scripts written for Linux may name an interface where none is known by name.
    problem(line, format("CAN interface '%s' is not used on this system: %s\n", value, why));
    return 0;
  }
  settings.target = target;
  return 0;
}

int32_t read_list(const OptionRow&, const char*, CommandLine* line) {
  line->settings.mode = RUN_MODE_LIST;
  return 0;
}

int32_t read_record_file(const OptionRow& row, const char* value, CommandLine* line) {
  // A refused record file leaves none: the run is recorded only to a file that was accepted.
  char* file = line->settings.*row.file;
  file[0] = '\0';
  if (value[0] == '\0') {
    problem(line, format("%s is empty\n", row.what));
    return refuse(line, true);
  }
  return copy_value(line, file, RUN_FILE_NAME_MAX, value, row.what, true);
}

// --tag KEY=VALUE: KEY of letters, digits, '_' and '-', VALUE of printable ASCII, each KEY once.
int32_t read_tag(const OptionRow&, const char* tag, CommandLine* line) {
  const char* equals = std::strchr(tag, '=');
  bool good = equals && equals != tag;
  for (const char* c = tag; good && c < equals; ++c) {
    good = std::isalnum(static_cast<unsigned char>(*c)) || *c == '_' || *c == '-';
  }
  for (const char* c = equals ? equals + 1 : tag; good && *c; ++c) good = *c >= 0x20 && *c <= 0x7E;
  if (!good) {
    problem(line, format("Malformed tag '%s': KEY=VALUE with a KEY of letters, digits, '_' and "
                         "'-' and a VALUE of printable ASCII\n",
                         tag));
    return refuse(line, true);
  }
  const std::string key(tag, static_cast<size_t>(equals - tag));
  for (const auto& given : line->settings.tags) {
    if (given.first == key) {
      problem(line, format("Tag %s given twice\n", key.c_str()));
      return refuse(line, true);
    }
  }
  line->settings.tags.emplace_back(key, equals + 1);
  return 0;
}

// --progress: a mode by its name.
int32_t read_progress(const OptionRow&, const char* value, CommandLine* line) {
  for (int32_t mode = PROGRESS_AUTO; mode <= PROGRESS_NONE; ++mode) {
    if (std::strcmp(value, progress_mode_name(mode)) == 0) {
      line->settings.progress = static_cast<ProgressMode>(mode);
      return 0;
    }
  }
  problem(line, format("Unknown progress mode '%s' (auto, lines, bar or none)\n", value));
  return refuse(line, true);
}

int32_t read_verify(const OptionRow&, const char*, CommandLine* line) {
  line->settings.verify = true;
  return 0;
}

int32_t read_help(const OptionRow&, const char*, CommandLine* line) {
  say(line, command_line_usage(true));
  return 1;
}

int32_t read_version(const OptionRow&, const char*, CommandLine* line) {
  say(line, format("ralvex-service-tool %s\n", RALVEX_VERSION));
  return 1;
}

const OptionRow kOptions[] = {
    {"-f", true, read_job_file, nullptr, nullptr, false},
    {"-r", true, read_job_file, nullptr, nullptr, false},
    {"-w", true, read_job_file, nullptr, nullptr, false},
    {"-g", true, read_node, nullptr, nullptr, false},
    {"-b", false, read_force, nullptr, nullptr, false},
    {"-i", true, read_interface, nullptr, nullptr, false},
    {"-l", false, read_list, nullptr, nullptr, false},
    {"--trace", true, read_record_file, &RunSettings::trace_path, "Trace file name", false},
    {"--report", true, read_record_file, &RunSettings::report_path, "Report file name", true},
    {"--events", true, read_record_file, &RunSettings::events_path, "Events file name", true},
    {"--log", true, read_record_file, &RunSettings::log_path, "Log file name", false},
    {"--tag", true, read_tag, nullptr, "Tag", false},
    {"--progress", true, read_progress, nullptr, "Progress mode", false},
    {"--verify", false, read_verify, nullptr, nullptr, false},
    {"--check", true, read_check, nullptr, "File name", false},
    {"--help", false, read_help, nullptr, nullptr, false},
    {"--version", false, read_version, nullptr, nullptr, false},
};

// The long option a single-dash word spells ("-report" or "-report=r.json": "--report"), else
// nullptr. Such a word is a typo, never its second letter's option (-report is no -r).
const char* long_option_spelled(const char* arg) {
  const char* equals = std::strchr(arg, '=');
  const size_t length = equals ? static_cast<size_t>(equals - arg) : std::strlen(arg);
  for (const OptionRow& row : kOptions) {
    if (is_long(row) && std::strlen(row.name) == length + 1 &&
        std::strncmp(arg + 1, row.name + 2, length - 1) == 0) {
      return row.name;
    }
  }
  return nullptr;
}

// The row of a single-dash word (by its second letter; nullptr: skipped silently), or of a long
// option ("--trace" or "--trace=FILE", the value after '=' then in *inline_value).
const OptionRow* find_option(const char* arg, const char** inline_value) {
  *inline_value = nullptr;
  if (arg[1] != '-') {
    for (const OptionRow& row : kOptions) {
      if (!is_long(row) && arg[1] != '\0' && row.name[1] == arg[1]) return &row;
    }
    return nullptr;
  }
  const char* equals = std::strchr(arg, '=');
  const size_t length = equals ? static_cast<size_t>(equals - arg) : std::strlen(arg);
  for (const OptionRow& row : kOptions) {
    if (is_long(row) && std::strlen(row.name) == length &&
        std::strncmp(arg, row.name, length) == 0) {
      if (equals) *inline_value = equals + 1;
      return &row;
    }
  }
  return nullptr;
}

// One option word with its value (inline after '=', or the next argument; nullptr when there is
// none). 0 read; 1 answered; -2 refused.
int32_t read_option(const char* arg, const OptionRow* row, const char* value, CommandLine* line) {
  const bool long_option = arg[1] == '-';
  if (!long_option) {
    if (const char* spelled = long_option_spelled(arg)) {
      problem(line, format("Unknown option '%s' (long options begin with --: %s)\n", arg, spelled));
      return refuse(line, true);
    }
  }
  if (!row) {
    if (!long_option) return 0;  // unknown letters and a lone "-" are skipped silently
    problem(line, format("Unknown option '%s'\n", arg));
    return refuse(line, true);
  }
  if (row->takes_value && !value) {
    problem(line, long_option ? format("Missing value for option %s\n", row->name)
                              : format("Missing value for option -%c\n", arg[1]));
    return refuse(line, long_option);
  }
  if (!row->takes_value && value) {
    problem(line, format("Option %s takes no value: '%s'\n", row->name, arg));
    return refuse(line, true);
  }
  return row->read(*row, value, line);
}
// The job an option chooses: one run does one. A HEX file given before -g or -b is the sensor's
// (`-f node.hex -g 5`); after them it would flash the unit with it.
enum Job : int32_t {
  JOB_NONE = 0, JOB_FLASH, JOB_SENSOR, JOB_BACKUP, JOB_RESTORE, JOB_LIST, JOB_CHECK
};

Job job_of(const OptionRow* row) {
  if (row && row->read == read_check) return JOB_CHECK;
  if (!row || is_long(*row)) return JOB_NONE;
  switch (row->name[1]) {
    case 'f':
      return JOB_FLASH;
    case 'g':
    case 'b':
      return JOB_SENSOR;
    case 'r':
      return JOB_BACKUP;
    case 'w':
      return JOB_RESTORE;
    case 'l':
      return JOB_LIST;
    default:
      return JOB_NONE;
  }
}

// The job chosen so far and the words that chose it, as given ("-r a.bin").
struct JobSoFar {
  Job job = JOB_NONE;
  std::string words;
};

// 0 when `row` keeps to the job chosen so far (taking it over where it refines it), else -2 after
// the line that names both.
int32_t keep_to_one_job(const OptionRow* row, const char* arg, const char* value, JobSoFar* so_far,
                        CommandLine* line) {
  const Job job = job_of(row);
  // A missing value is refused by the option itself, as such.
  if (job == JOB_NONE || (row->takes_value && !value)) return 0;
  const std::string words = value ? std::string(arg) + " " + value : std::string(arg);
  if (so_far->job == JOB_NONE || so_far->job == job ||
      (so_far->job == JOB_FLASH && job == JOB_SENSOR)) {
    if (so_far->job != job) so_far->words = words;
    so_far->job = job;
    return 0;
  }
  // -g only says that the file of --check is a sensor's image, before or after it.
  if ((so_far->job == JOB_CHECK && job == JOB_SENSOR) ||
      (so_far->job == JOB_SENSOR && job == JOB_CHECK)) {
    if (job == JOB_CHECK) so_far->words = words;
    so_far->job = JOB_CHECK;
    return 0;
  }
  if (so_far->job == JOB_SENSOR && job == JOB_FLASH) {
    problem(line, format("'%s' after '%s': a sensor's HEX file comes before -g (-f FILE -g ID), "
                         "and a flash of the unit takes no -g or -b\n",
                         words.c_str(), so_far->words.c_str()));
  } else {
    problem(line, format("Two jobs on one command line: '%s' and '%s' (one run does one job)\n",
                         so_far->words.c_str(), words.c_str()));
  }
  return refuse(line, false);
}
}  // namespace

CommandLineResult command_line_read(int argc, char** argv, CommandLine* line) {
  *line = CommandLine{};
  RunSettings& settings = line->settings;
  if (argc > 1) settings.arguments.assign(argv + 1, argv + argc);
  int32_t result = 0;
  JobSoFar job;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const char* arg = argv[i];
    const char* value = nullptr;
    const OptionRow* row = find_option(arg, &value);
    if (row && row->takes_value && !value && i + 1 < argc) value = argv[++i];
    if (result == 0 && long_option_spelled(arg) == nullptr) {
      result = keep_to_one_job(row, arg, value, &job, line);
      if (result != 0) continue;
    }
    if (result != 0) {
      // A refused command line is recorded too: the options left are read for that alone.
      if (row && row->records_refusal && value) {
        std::snprintf(settings.*row->file, RUN_FILE_NAME_MAX + 1, "%s",
                      std::strlen(value) <= RUN_FILE_NAME_MAX ? value : "");
      }
      continue;
    }
    result = read_option(arg, row, value, line);
    if (result == 1) return COMMAND_LINE_ANSWERED;
  }
  if (result != 0) return COMMAND_LINE_REFUSED;
  // The first word that is no option ended them (the logging level, or a stray word): a long
  // option after it would be dropped without a word, its record or check never made.
  for (int j = i + 1; j < argc; ++j) {
    if (std::strncmp(argv[j], "--", 2) == 0) {
      problem(line, format("Option '%s' after the end of the options (they end at '%s'): every "
                           "option comes before the logging level\n",
                           argv[j], argv[i]));
      refuse(line, true);
      return COMMAND_LINE_REFUSED;
    }
  }
  // Only a restore can be read back: a flash has no read-back, a backup is checked page by page.
  if (settings.verify && settings.mode != RUN_MODE_RESTORE && settings.mode != RUN_MODE_NONE) {
    problem(line, "Option --verify applies to -w only (a flash cannot be read back, a backup is "
                  "checked page by page)\n");
    refuse(line, true);
    return COMMAND_LINE_REFUSED;
  }
  // A check writes nothing: no record of a run it does not make.
  if (settings.mode == RUN_MODE_CHECK) {
    const char* const records[][2] = {{settings.trace_path, "--trace"},
                                      {settings.report_path, "--report"},
                                      {settings.events_path, "--events"},
                                      {settings.log_path, "--log"}};
    for (const auto& record : records) {
      if (record[0][0] == '\0') continue;
      problem(line, format("Option %s does not apply to --check, which writes no file\n",
                           record[1]));
      refuse(line, true);
      return COMMAND_LINE_REFUSED;
    }
  }
  settings.log_level = command_line_logging_level(argc, argv);
  return COMMAND_LINE_RUN;
}

int32_t command_line_logging_level(int argc, char** argv) {
  const char* last = argv[argc > 1 ? argc - 1 : 0];
  long long level = 0;
  if (last == nullptr || !decimal_value(last, false, &level)) return 1;
  if (level > INT32_MAX) return INT32_MAX;
  return level < INT32_MIN ? INT32_MIN : static_cast<int32_t>(level);
}

std::string command_line_usage(bool long_options) {
  std::string text;
  for (const char* usage : kUsage) text += usage;
  if (long_options) {
    text += "\n";
    for (const char* option : kLongOptions) text += option;
  }
  return text;
}
