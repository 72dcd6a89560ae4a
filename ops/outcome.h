// How an operation ends. An operation returns its result (0, or the failed step's code) and
// names, as it goes, the state the unit or node would be left in should the run stop now; the
// entry point ends every run in one place (the interruption line with that state, the log, the
// records). A step of the operation (a phase, a page) marks where the cause of a failure is looked
// for: the first problem line said in the failing step. The operation also opens the channel
// here, in its start phase, onto the interface the command line named.
#pragma once

#include <cstdint>
#include <string>

#include "can/target.h"

// What the unit or node is left in should the run stop now, for the interruption line.
// Example: "the unit's application is erased or incomplete: flash it again".
void operation_state(const std::string& state);
// The signal that asks the run to stop, 0 while none did; the page loops look before every page.
int operation_interrupted();
// A failed step of a page loop: "<step> failed: <result>\n" (not after a signal), then `result`.
// Example: step_failed("Send data", -3) prints "Send data failed: -3\n" and returns -3.
int32_t step_failed(const char* step, int32_t result);
// The end of an operation's run, called once with its result by the entry point. When the run
// failed because a signal stopped it, the adapter is closed, "Interrupted by <SIGINT|SIGTERM>:
// <state>\n" goes to the console and the log (the state as operation_state last set it), and the
// result becomes 128 + the signal's number (130, 143), as shells report a process that a signal
// ended. Otherwise `result` unchanged.
int32_t operation_end(int32_t result);
// A new step begins: problem lines said before it no longer name the cause of a failure.
void operation_step();

// Has the channel deliver `ids` (in that order: the first two form the range that range filters
// ask for) and opens it onto `target`. 0; can_open's result; -1 after logging "CAN channel cannot
// deliver identifier %08X\n" when the channel cannot take one. When no -i named the interface and
// none could be opened, the last console line points to `ralvex-service-tool -l`.
int32_t operation_open_channel(const CanTarget& target, const uint32_t* ids, int count);
