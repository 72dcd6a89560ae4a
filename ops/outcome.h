// How an operation ends: the way out that closes the log, the signal that asks the run to stop,
// and the state the unit or node would be left in should it stop now. Each operation names that
// state as it goes; the way out says it only when a signal stopped the run.
#pragma once

#include <cstdint>
#include <string>

// Every way out of an operation closes the log: log_close, then `result`. When a signal stopped the
// run, the adapter is closed first, "Interrupted by <SIGINT|SIGTERM>: <state>\n" goes to the
// console and the log (the state as operation_state last set it), and the result is 128 + the
// signal's number (130, 143), as shells report a process that a signal ended.
int32_t operation_failed(int32_t result);
// What the unit or node is left in should the run stop now, for the interruption line.
// Example: "the unit's application is erased or incomplete: flash it again".
void operation_state(const std::string& state);
// The signal that asks the run to stop, 0 while none did; the page loops look before every page.
int operation_interrupted();
// A failed step of a page loop: "<step> failed: <result>\n" (not after a signal), then
// operation_failed(result). Example: step_failed("Send data", -3) prints "Send data failed: -3\n".
int32_t step_failed(const char* step, int32_t result);
