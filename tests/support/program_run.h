// The whole program in this process (app_main) on the virtual clock, with the console captured and
// the emulated bus recording its frames; runs name `-i sim` to get the emulated unit and nodes.
// Also the test inputs these runs take, and the console's progress taken apart.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

class ProgramRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // One run with these arguments (after the program name) on an emptied bus, where `-i sim` puts
  // the emulated unit and nodes. `configure`, when given, runs first: it may put other devices on
  // the bus instead, or attach_world and then change the devices' configuration (attaching resets
  // it).
  int32_t run(const std::vector<std::string>& args, void (*configure)() = nullptr);

  ScratchDir dir_;
  VirtualClock clock_;
  ConsoleCapture console_;
};

// Puts the emulated unit and nodes on the bus.
void attach_world();

// Makes the named pipe `path` with a reader, so that a run opens it without waiting, and puts on
// the bus a device that closes that reader when the first frame reaches the bus: every line the
// run writes after it meets a pipe that nobody reads. leaving_pipe_close() closes the reader
// when no frame did.
void make_leaving_pipe(const char* path);
void leaving_pipe_close();

// Writes the inputs of every operation: app.hex (`pages` pages of the unit's application),
// node.hex (a three-page sensor image) and p.bin (a parameter area).
void write_operation_inputs(int pages);

// The console without its percent lines ("12.5%").
std::string without_percent_lines(const std::string& console);
// The console without its status lines (each run of "\r<text>" and the "\n" that ended it).
std::string without_status_lines(const std::string& console);
// The status lines drawn, in order, without their "\r" and the blanks after them.
std::vector<std::string> status_lines(const std::string& console);
