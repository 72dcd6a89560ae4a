// Command line and run modes.
#include "app/app.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ralvex_version.h"  // generated from the project() version

#include "can/can.h"
#include "can/sim/sim_backend.h"
#include "log/log.h"
#include "ops/operations.h"
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

// Copies a value into a fixed buffer; an over-long value is refused, never cut: "<what> too long:
// '<value>'" and the usage text.
int32_t copy_value(char* buffer, size_t max, const char* value, const char* what) {
  if (std::strlen(value) > max) {
    console_print("%s too long: '%s'\n", what, value);
    print_usage();
    return -2;
  }
  std::memset(buffer, 0, max + 1);
  std::memcpy(buffer, value, std::strlen(value));
  return 0;
}

// An unsuitable id leaves the one chosen before (if any) in place.
void read_node_id(const char* text, RunSettings* settings) {
  long long id = 0;
  if (node_id_value(text, &id) && id >= 1 && id <= 127) {
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

int32_t read_options(int argc, char** argv, RunSettings* settings) {
  *settings = RunSettings{};
  char* file_name = settings->file_name;
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
        if (copy_value(file_name, RUN_FILE_NAME_MAX, value, "File name") != 0) {
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
        if (copy_value(settings->interface_name, RUN_INTERFACE_NAME_MAX, value,
                       "CAN interface name") != 0) {
          return -2;
        }
        console_print("Use CAN interface: '%s'\n", settings->interface_name);
        if (can_select_interface(settings->interface_name) != 0) {
          print_usage();
          return -2;
        }
        break;
      case 'l':
        settings->mode = RUN_MODE_LIST;
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

namespace {
// -l: nothing is opened or sent; the log holds what the libraries said while they were asked.
int32_t list_interfaces() {
  const int32_t result = can_list();
  log_close();
  return result;
}
}  // namespace

int32_t app_main(int argc, char** argv) {
  print_banner_and_notice();
  // The emulated devices wait on the emulated bus for `-i sim` (and for nothing else).
  sim_backend_set_devices(sim_world_devices());
  if (log_open() != 0) {
    console_print("Logging init error\n");
    return -1;
  }
  RunSettings settings;
  if (read_options(argc, argv, &settings) != 0) return -2;
  settings.log_level = read_logging_level(argc, argv);
  console_print("Logging level: %d\n", settings.log_level);
  log_set_level(settings.log_level);
  console_print("\n");
  switch (settings.mode) {
    case RUN_MODE_FLASH:
      return flash_application(settings.file_name);
    case RUN_MODE_BACKUP:
      return backup_parameters(settings.file_name);
    case RUN_MODE_RESTORE:
      return restore_parameters(settings.file_name);
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
