// Command line and run modes.
#include "app/app.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ralvex_version.h"  // generated from the project() version

#include "can/can.h"
#include "log/log.h"
#include "ops/operations.h"
#include "protocol/node_commands.h"

namespace {
constexpr int kVersionMajor = RALVEX_VERSION_MAJOR;
constexpr int kVersionMinor = RALVEX_VERSION_MINOR;
constexpr int kVersionPatch = RALVEX_VERSION_PATCH;
constexpr size_t kFileNameMax = 255;
// A Linux interface name (IFNAMSIZ less the terminator).
constexpr size_t kInterfaceNameMax = 15;

RunMode g_run_mode = RUN_MODE_NONE;
char g_file_name[kFileNameMax + 1];
char g_interface_name[kInterfaceNameMax + 1];

const char* const kUsage[] = {
    "Usage: ralvex-service-tool.exe -f <FileName.hex> [-i Can_Interface] [Logging_Level]\n",
    "           -- Flashes Ralvex application software over CAN\n\n",
    "       ralvex-service-tool.exe -r <FileName.bin> [-i Can_Interface] [Logging_Level]\n",
    "           -- Takes a backup of Ralvex application parameters and saves them into FileName.bin\n\n",
    "       ralvex-service-tool.exe -w <FileName.bin> [-i Can_Interface] [Logging_Level]\n",
    "           -- Restores Ralvex application parameters from a FileName.bin\n\n",
    "       -i Can_Interface\n",
    "           -- An optional parameter and needed only in Linux for selecting the used CAN interface\n\n",
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

// A decimal integer at the start of `text` (leading blanks and a sign allowed), clamped to the
// 32-bit range. False when the text does not begin with one.
bool leading_integer(const char* text, long long* value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text) return false;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  *value = v;
  return true;
}

// A node id as written: the whole text must be a decimal number (surrounding blanks allowed).
bool node_id_value(const char* text, long long* value) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || errno == ERANGE) return false;
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (*end != '\0') return false;
  *value = v;
  return true;
}

int32_t refuse(const char* format, const char* text) {
  console_print(format, text);
  print_usage();
  return -2;
}

// Copies a value into a fixed buffer; an over-long value is refused, never cut.
int32_t copy_value(char* buffer, size_t max, const char* value, const char* too_long_format) {
  if (std::strlen(value) > max) return refuse(too_long_format, value);
  std::memset(buffer, 0, max + 1);
  std::memcpy(buffer, value, std::strlen(value));
  return 0;
}

void read_node_id(const char* text) {
  long long id = 0;
  if (node_id_value(text, &id) && id >= 1 && id <= 127) {
    sensor_set_node_id(static_cast<uint8_t>(id));
  } else {
    console_print("Unsuitable W2 id %s\n", text);
  }
}
}  // namespace

void print_usage() {
  for (const char* line : kUsage) console_print("%s", line);
}

RunMode app_run_mode() { return g_run_mode; }
const char* app_file_name() { return g_file_name; }
const char* app_interface_name() { return g_interface_name; }

void sensor_set_node_id(uint8_t id) {
  sensor_node_id = id;
  console_print("Setting W2 id %d \n", id);
}

int32_t read_options(int argc, char** argv) {
  std::memset(g_file_name, 0, sizeof g_file_name);
  std::memset(g_interface_name, 0, sizeof g_interface_name);
  g_run_mode = RUN_MODE_NONE;
  for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
    const char letter = argv[i][1];
    const bool takes_value = letter == 'f' || letter == 'r' || letter == 'w' || letter == 'g' ||
                             letter == 'i';
    if (takes_value && i + 1 >= argc) {
      console_print("Missing value for option -%c\n", letter);
      print_usage();
      return -2;
    }
    const char* value = takes_value ? argv[++i] : nullptr;
    switch (letter) {
      case 'f':
      case 'r':
      case 'w':
        if (copy_value(g_file_name, kFileNameMax, value, "File name too long: '%s'\n") != 0) {
          return -2;
        }
        if (letter == 'f') {
          console_print("HEX file: '%s'\n", g_file_name);
          g_run_mode = RUN_MODE_FLASH;
        } else if (letter == 'r') {
          console_print("Backup data file: '%s'\n", g_file_name);
          g_run_mode = RUN_MODE_BACKUP;
        } else {
          console_print("Restore data file: '%s'\n", g_file_name);
          g_run_mode = RUN_MODE_RESTORE;
        }
        break;
      case 'g':
        console_print("W2 sensor mode initiated\n");
        read_node_id(value);
        if (g_file_name[0] == '\0') console_print("Use -f to give filename!\n");
        g_run_mode = RUN_MODE_SENSOR;
        break;
      case 'b':
        console_print("W2 sensor bootloader force enabled\n");
        console_print("Turn sensor power on\n");
        bootloader_force = 1;
        g_run_mode = RUN_MODE_SENSOR_FORCE;
        break;
      case 'i':
        if (copy_value(g_interface_name, kInterfaceNameMax, value,
                       "CAN interface name too long: '%s'\n") != 0) {
          return -2;
        }
        console_print("Use CAN interface: '%s'\n", g_interface_name);
        can_select_interface(g_interface_name);
        break;
      default:
        break;  // unknown letters and a lone "-" are skipped silently
    }
  }
  return 0;
}

int32_t read_logging_level(int argc, char** argv) {
  const char* last = argv[argc > 1 ? argc - 1 : 0];
  long long level = 0;
  if (last == nullptr || !leading_integer(last, &level)) return 1;
  return static_cast<int32_t>(level);
}

int32_t app_main(int argc, char** argv) {
  print_banner_and_notice();
  if (log_open() != 0) {
    console_print("Logging init error\n");
    return -1;
  }
  if (read_options(argc, argv) != 0) return -2;
  const int32_t level = read_logging_level(argc, argv);
  console_print("Logging level: %d\n", level);
  log_set_level(level);
  console_print("\n");
  switch (g_run_mode) {
    case RUN_MODE_FLASH:
      return flash_application(g_file_name);
    case RUN_MODE_BACKUP:
      return backup_parameters(g_file_name);
    case RUN_MODE_RESTORE:
      return restore_parameters(g_file_name);
    case RUN_MODE_SENSOR:
    case RUN_MODE_SENSOR_FORCE:
      return flash_sensor(g_file_name);
    case RUN_MODE_NONE:
      break;
  }
  print_usage();
  return -2;
}
