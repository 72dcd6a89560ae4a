// The Kvaser back-end: loads CANlib on its first open (once per run), opens the channel named by
// number (kvaser:N) or walks the channels for the first real one that opens at 250 kbit/s with its
// acceptance filters and goes on bus, and then sends and reads single frames, telling the channel
// each frame's kind and length. A full transmit buffer is left to the channel's retry, unless
// canReadStatus says the channel is bus-off (CANlib refuses its writes as a full buffer too); "no
// card" or "hardware error" from a send, a read, a wait or a status query means the adapter is
// gone (CAN_ADAPTER_LOST); canReadStatus, where the library has it, tells the channel the bus state
// after a receive that brought nothing. Losses and states go back as CanNews.
// Call order: kvaser_open until it returns 0, then kvaser_send_frame, kvaser_try_receive and
// kvaser_wait (kvaser_receive_timed_out after a receive that delivered nothing), kvaser_close when
// interrupted.
#pragma once

#include <cstdint>

#include "can/backend.h"

// 0 when a channel is on bus; -1 library or entry point missing, or no channel could be set up;
// the negative status of canGetNumberOfChannels when that fails.
int32_t kvaser_open(const CanTarget* target, CanOpenFailure* failure);
// 0 when canWrite accepts the frame; CAN_SEND_QUEUE_FULL for canERR_TXBUFOFL while canReadStatus
// does not say bus-off; otherwise its status is reported and the result is -3 (the bus state in
// `news`; CAN_ADAPTER_LOST for canERR_NOCARD or canERR_HARDWARE).
int32_t kvaser_send_frame(const CanFrame& frame, CanNews* news);
// One canRead: 0 with the frame, its kind and length (overruns its flags tell of into `news`),
// non-zero when the queue had none.
int32_t kvaser_try_receive(CanRead* frame, CanNews* news);
// Waits with canReadWait (looked up at the first wait) until `until_us` at the latest: 1 when it
// read a frame, which the next kvaser_try_receive returns, or when time is left (a read is due: the
// part of the wait that canReadWait would overshoot is polled in 1 ms steps); 0 time up; -1 when
// the library has no canReadWait (said once under LOG_CAN_FRAMES) or it failed (reported): the
// channel then polls.
int32_t kvaser_wait(uint64_t until_us, CanNews* news);
// Reports the last canRead status with the label "canRead" unless that read returned a frame, then
// tells `news` the bus state canReadStatus says (when the library has it).
int32_t kvaser_receive_timed_out(CanNews* news);
// canBusOff (when the library has it) and canClose on the channel.
void kvaser_close();
// Logs "Kvaser: <label>: failed, status=<status> (<error text>)\n"; nothing for status 0.
void kvaser_report_status(const char* label, int32_t status);
// The `-l` records: the library, its version and every channel.
void kvaser_list(CanListing* listing);
// The full path of the library loaded ("" before).
const char* kvaser_library_path();
// The product version of the library opened, "5.39" ("" before, or when it has no
// canGetVersionEx).
const char* kvaser_library_version();

const CanBackend* kvaser_backend();

// Tests: back to "library not loaded", trying `library_names` (nullptr-terminated; nullptr for the
// platform's usual names) on the next open.
void kvaser_test_reset(const char* const* library_names);
