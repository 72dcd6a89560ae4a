// The settings of one run, read from the command line by app/ in one walk and handed to the
// operation it chooses as a value; nothing else carries the command line into the operations.
// Example: `-f node.hex -g 5 -b -i sim 4` gives mode 5, file "node.hex", interface "sim", node 5,
// force, logging level 4; `-w p.bin --verify --trace t.log --report r.json` a verified restore
// with a frame trace and a run report; `--progress none --events ev.jsonl` no progress on the
// console, the run's events into ev.jsonl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "can/target.h"

enum RunMode : int32_t {
  RUN_MODE_NONE = 0,
  RUN_MODE_FLASH = 1,
  RUN_MODE_BACKUP = 2,
  RUN_MODE_RESTORE = 3,
  RUN_MODE_SENSOR = 4,
  RUN_MODE_SENSOR_FORCE = 5,
  RUN_MODE_LIST = 6,  // -l: list the CAN interfaces; no operation runs
  RUN_MODE_CHECK = 7,  // --check: a HEX file checked and reported; nothing else opened
};

// How the progress of the pages is shown on the console (`--progress`).
enum ProgressMode : int32_t {
  PROGRESS_AUTO = 0,  // the status line on a person's terminal, the percent lines elsewhere
  PROGRESS_LINES,     // a percent line whenever the tenth of a percent changes
  PROGRESS_BAR,       // one status line redrawn in place, wherever the console goes
  PROGRESS_NONE,      // nothing
};

constexpr size_t RUN_FILE_NAME_MAX = 255;

struct RunSettings {
  RunMode mode = RUN_MODE_NONE;
  char file_name[RUN_FILE_NAME_MAX + 1] = {};
  char interface_name[CAN_INTERFACE_NAME_MAX + 1] = {};  // the -i value as given ("": none)
  CanTarget target;  // what the -i value names (the default walk without one)
  uint8_t node_id = 255;  // NODE_ID_NOT_SET until -g chooses a node (1 to 127)
  bool force = false;     // -b: the sensor's bootloader is awaited, not woken
  bool check_sensor = false;  // --check with -g: the file is checked as a sensor's image
  int32_t log_level = 1;
  // The long options: "" when not given.
  char trace_path[RUN_FILE_NAME_MAX + 1] = {};   // --trace: every frame, can-utils log format
  char report_path[RUN_FILE_NAME_MAX + 1] = {};  // --report: a JSON record of the run at its end
  bool verify = false;                           // --verify: read a restore back (-w only)
  char log_path[RUN_FILE_NAME_MAX + 1] = {};     // --log: the log file ("": ZR4_BL_Log.txt)
  // --tag KEY=VALUE, in the order given: copied into the run report.
  std::vector<std::pair<std::string, std::string>> tags;
  ProgressMode progress = PROGRESS_AUTO;         // --progress
  char events_path[RUN_FILE_NAME_MAX + 1] = {};  // --events: the run's events as JSON Lines
  // The command line after the program name, as given (for the records of the run).
  std::vector<std::string> arguments;
};
