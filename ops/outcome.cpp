// The way out of an operation.
#include "ops/outcome.h"

#include "can/channel.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
struct OutcomeState {
  std::string left_in = "nothing was sent";
};
OutcomeState g_outcome;
}  // namespace

int32_t operation_failed(int32_t result) {
  const int signal = platform_interrupt();
  if (signal != 0) {
    can_close();
    const char* name = platform_signal_name(signal);
    console_problem("Interrupted by %s: %s\n", name, g_outcome.left_in.c_str());
    log_writef(LOG_ALWAYS, "Interrupted by %s: %s\n", name, g_outcome.left_in.c_str());
    result = 128 + signal;
  }
  log_close();
  return result;
}

void operation_state(const std::string& state) { g_outcome.left_in = state; }

int operation_interrupted() { return platform_interrupt(); }

int32_t step_failed(const char* step, int32_t result) {
  if (operation_interrupted() == 0) console_problem("%s failed: %d\n", step, result);
  return operation_failed(result);
}
