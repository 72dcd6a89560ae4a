// The Kvaser back-end: loads CANlib on its first open (once per run), opens the channel named by
// number (kvaser:N) or walks the channels for the first real one that opens at 250 kbit/s with its
// acceptance filters and goes on bus, and then sends and reads single frames, telling the channel
// each frame's kind.
// Call order: kvaser_open until it returns 0, then kvaser_send_frame, kvaser_try_receive and
// kvaser_wait (kvaser_receive_timed_out after a receive that delivered nothing).
#pragma once

#include <cstdint>

#include "can/can.h"

// 0 when a channel is on bus; -1 library or entry point missing, or no channel could be set up;
// the negative status of canGetNumberOfChannels when that fails.
int32_t kvaser_open(const CanTarget* target);
// 0 when canWrite accepts the frame; otherwise its status is reported and the result is -3.
int32_t kvaser_send_frame(uint32_t id, const uint8_t data[8]);
// One canRead: 0 with the frame and its kind, non-zero when the queue had none.
int32_t kvaser_try_receive(CanRead* frame);
// Waits with canReadWait (looked up at the first wait) until `until_us`: 1 when it read a frame,
// which the next kvaser_try_receive returns; 0 time up; -1 when the library has no canReadWait
// (said once under LOG_CAN_FRAMES) or it failed (reported): the channel then polls.
int32_t kvaser_wait(uint64_t until_us);
// Reports the last canRead status with the label "canRead" unless that read returned a frame.
void kvaser_receive_timed_out();
// Logs "Kvaser: <label>: failed, status=<status> (<error text>)\n"; nothing for status 0.
void kvaser_report_status(const char* label, int32_t status);
// The `-l` lines: the library, its version and every channel.
void kvaser_list();

const CanBackend* kvaser_backend();

// Tests: back to "library not loaded", trying `library_names` (nullptr-terminated; nullptr for the
// platform's usual names) on the next open.
void kvaser_test_reset(const char* const* library_names);
