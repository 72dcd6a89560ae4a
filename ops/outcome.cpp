// The way out of an operation, its steps, and the opening of its channel.
#include "ops/outcome.h"

#include "can/channel.h"
#include "can/interfaces.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
struct OutcomeState {
  std::string left_in = "nothing was sent";
};
OutcomeState g_outcome;
}  // namespace

void operation_state(const std::string& state) { g_outcome.left_in = state; }

int operation_interrupted() { return platform_interrupt(); }

int32_t step_failed(const char* step, int32_t result) {
  if (operation_interrupted() == 0) console_problem("%s failed: %d\n", step, result);
  return result;
}

int32_t operation_end(int32_t result) {
  const int signal = platform_interrupt();
  if (result == 0 || signal == 0) return result;
  can_close();
  const char* name = platform_signal_name(signal);
  console_problem("Interrupted by %s: %s\n", name, g_outcome.left_in.c_str());
  log_writef(LOG_ALWAYS, "Interrupted by %s: %s\n", name, g_outcome.left_in.c_str());
  return 128 + signal;
}

void operation_step() { console_problem_mark(); }

int32_t operation_open_channel(const CanTarget& target, const uint32_t* ids, int count) {
  for (int i = 0; i < count; ++i) {
    if (can_accept_id(ids[i]) != 0) {
      log_writef(LOG_ALWAYS, "CAN channel cannot deliver identifier %08X\n", ids[i]);
      return -1;
    }
  }
  const int32_t result = can_open(target);
  // Without -i every adapter the tool knows was tried: the listing tells which are there and why
  // each could not be opened.
  if (result != 0 && target.kind == CAN_TARGET_DEFAULT && operation_interrupted() == 0) {
    console_print("No CAN adapter could be opened: run 'ralvex-service-tool -l' to see the CAN "
                  "interfaces this PC has and what is wrong with each\n");
  }
  return result;
}
