// The command layer under the unit's download and parameter commands and the sensor node's
// download commands: a command is a row of a table (CommandRule: code, log texts, how its answer
// is awaited and judged), and command_run sends it on a Route (the identifiers of a unit or a
// node) and waits for the answer by that row; and the data frames of a page. The channel is open
// before the first command (the operation opens it).
// Call order: command_run / command_send_data / command_send_page, in any order.
// Example: the unit's DL_ERASE_APP sends 0C 00 00 00 00 00 00 00 on 0xA04401 once and takes the
// first frame of up to 91 waits of about a second, on any identifier, as its answer.
#pragma once

#include <cstdint>

#include "protocol/page_format.h"

// Offset of the 32-bit argument in a unit command frame (bytes 4-7) and a sensor-node one (2-5).
constexpr int UNIT_ARGUMENT_OFFSET = 4;
constexpr int NODE_ARGUMENT_OFFSET = 2;

// What a command returns besides 0 (its callers test it at once and pass it on unchanged).
constexpr int32_t COMMAND_SILENT = -1;    // a page command's one window passed without a frame
constexpr int32_t COMMAND_FAILED = -3;    // not sent, or no answer within all its tries
constexpr int32_t COMMAND_REJECTED = -5;  // the answer came and was refused

// Which frames end a wait.
enum class Listen : uint8_t {
  ANY_ID,              // the first frame the channel delivers, whatever its identifier
  OWN_IDS,             // a frame on one of the route's answer identifiers; others cost a wait
  OWN_IDS_UNTIL_LAST,  // as OWN_IDS, but the last wait takes a frame on any identifier
};

// How an answer is judged once it came.
enum class Judge : uint8_t {
  NONE,            // every answer is accepted
  CODE,            // byte 0; else "ERROR --- Invalid answer\n" and bytes 0-3 on the console
  CODE_ZERO_TAIL,  // byte 0 and bytes 4-7 zero (unless forced); else console_text and all 8 bytes
};

struct CommandWait {
  int waits;  // receive calls at most (0: no answer is awaited); a shared budget may replace it
  int32_t step_ms;
  int32_t extra_ms;
  Listen listen;
  bool resend;  // the command goes out again after every wait that brought no answer
};

struct CommandSilence {
  const char* text;  // logged under LOG_ALWAYS when no answer came
  bool printed;      // and printed on the console
  int32_t result;
};

struct CommandCheck {
  Judge judge;
  uint8_t code;              // the expected byte 0
  const char* log_text;      // logged under LOG_ALWAYS for a rejected answer
  const char* console_text;  // Judge::CODE_ZERO_TAIL: the console line before the dump
  int32_t result;
};

struct CommandRule {
  uint8_t code;
  // Logged as "<name>\n" under LOG_CAN_FRAMES after every send, and as "<name> send failure\n"
  // under LOG_ALWAYS when the channel refuses the frame (-3).
  const char* name;
  bool trace;  // the command frame and the answer are logged too (LOG_CAN_FRAMES)
  CommandWait wait;
  CommandSilence silence;
  CommandCheck check;
};

// Where a command goes and which identifiers answer it (Listen::OWN_IDS).
struct Route {
  uint32_t to;          // 0: nothing is sent, the command only listens
  int argument_offset;
  uint32_t answers[2];  // 0: unused
};

// One call: its argument and options in, the answer out.
struct CommandCall {
  uint32_t argument = 0;
  bool force = false;     // Judge::CODE_ZERO_TAIL: bytes 4-7 are not looked at
  int* budget = nullptr;  // failed waits left, shared by several calls; nullptr: rule.wait.waits
  uint8_t answer[8] = {};
  uint32_t answer_id = 0;
};

// Sends the command (and again by rule.wait.resend), waits for and judges its answer.
// 0; -3 send refused; rule.silence.result when no answer came (at once and without the silence
// text when the channel stopped: can_stopped); rule.check.result when rejected.
int32_t command_run(const CommandRule& rule, const Route& route, CommandCall* call);
// A command that is resent (rule.wait.resend) may be answered once per send, and the answers
// to the earlier sends can come after the one taken: still at the command itself, or while a
// later command waits (the unit erases). Once a resent command's answer is taken, as many frames
// alike (the same identifier, the same byte 0) as it had sends beyond that one are late answers:
// every wait of command_run leaves them out, with "Late answer to <name>, ignored\n" and the frame
// in the log, and starts a new window. Every other frame meets the waits' own rules.
// Back to a run's start: no late answer is due.
void command_forget_late_answers();

// The rule's command with `argument`, run on `route` with the rule's defaults.
int32_t command_run_with(const CommandRule& rule, const Route& route, uint32_t argument);

// Sends 8 bytes unchanged on `id` and traces them. 0, or the send result.
int32_t command_send_data(uint32_t id, const uint8_t data[8]);
// Sends the page `page` (format.size bytes) in its data frames on `id` and leaves the sum of its
// bytes in *sum. 0, or the failing send's result.
int32_t command_send_page(const PageFormat& format, const uint8_t* page, uint32_t id, uint32_t* sum);

// The rows shared by the unit's and the sensor node's download.
extern const CommandRule DL_START_LOADING_RULE;
extern const CommandRule DL_ERASE_APP_RULE;
extern const CommandRule DL_DOWNLOAD_RULE;
extern const CommandRule DL_END_OF_DOWNLOAD_RULE;
