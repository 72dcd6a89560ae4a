// Operation tests on the emulated unit with faults on the frames it sends. An observer device,
// attached before the unit, sees every command first, so that the transmit hook knows which
// command the unit is reacting to, the page it concerns and which of its frames is being sent. The
// hook can also raise a signal after the unit's nth frame, as an operator's Ctrl-C would.
#pragma once

#include <cstdint>

#include "support/bus_fixture.h"

// One fault on a frame the unit sends for a command.
struct UnitFault {
  enum Kind { NONE, DROP, XOR, INJECT } kind = NONE;
  uint8_t command = 0;
  // The page address the command concerns (a finish concerns the page its start opened); -1 any.
  int64_t page = -1;
  int frame = -1;  // -1 the answer; a backup page's data frames 0-36, its checksum frame 37
  Bytes8 bytes{};  // XOR: the mask; INJECT: the stray frame sent on 0xA44401
  uint64_t delay_us = 0;  // INJECT: ready this long after the unit's frame
};

class UnitFaultTest : public BusTest {
 protected:
  UnitFaultTest() : BusTest(4) {}
  // BusTest's set-up, no signal and no fault, the observer and the unit attached, the hook set.
  void SetUp() override;
  void TearDown() override;
  void set_fault(const UnitFault& fault);
  // The signal is raised when the unit sends its `frames`th frame (0: never).
  void signal_after(int frames, int signal);
  // The unit's own faults (sim/unit.h): its first answer to DL_START_LOADING and to
  // COMMAND_ID_ENTER_PRODUCTION_TEST_MODE `us` late; the first COMMAND_ID_START_PAGE_BACKUP of the
  // page at `address` reaching it twice (-1: none).
  void set_answer_late(uint64_t us);
  void set_repeated_page(int64_t address);
};
