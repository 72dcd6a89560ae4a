// The CAN channel as the commands use it: the identifiers to deliver, sends, and the one receive of
// the tool, which is also the one place where frames that must not be delivered are dropped. A
// back-end supplies a single non-blocking read and, where it can, a wait that returns when a frame
// arrives; without that wait the receive polls. A full transmit queue is retried here, for every
// back-end alike. Once stopped (an interrupt, or a back-end that lost its adapter), every send is
// refused and every receive ends at once, so that no wait outlasts the cause. What an adapter
// tells beside its frames (can/backend.h: CanNews) is acted on here: a lost adapter stops the
// channel with "CAN adapter lost: <what>", lost frames are said once per kind, a troubled bus state
// once per change when a receive ends empty.
// Call order: can_accept_id for every identifier the caller wants, can_open (can/interfaces.h),
// then can_send_frame and can_receive_frame; can_close after an interruption.
#pragma once

#include <cstdint>

#include "can/frame.h"

struct CanBackend;

// Adds an identifier that the channel must deliver; before can_open. 0 when added (or already
// accepted), -1 when the set is full (CAN_MAX_ACCEPTED_IDS).
int32_t can_accept_id(uint32_t id);

// Sends one extended frame of length 8. 0 when the adapter accepted it, -3 when refused, when its
// transmit queue stayed full for CAN_FULL_QUEUE_RETRY_MS, or when the channel is stopped.
int32_t can_send_frame(const CanFrame& frame);
// Receives one frame within floor((step+extra)/step)+1 tries of step_ms each. A back-end that can
// wait: the window of tries x step_ms is measured on now_us() from the call; the channel reads,
// then waits for a frame (in slices of at most 50 ms) and reads again whenever one arrives, until
// the window ends; a read that ends on a dropped frame (see CAN_DROPS_PER_TRY) costs the rest of
// its step of step_ms. Without a wait: a sleep of step_ms after every failed try. 0 with `frame`
// filled, or -1 (`frame` cleared) when nothing arrived or the channel is stopped.
// Example: step 5, extra 50 and a silent bus: 12 tries, 60 ms, -1; an answer that arrives 23.5 ms
// after the call is delivered 23.5 ms after the call, after one wait.
int32_t can_receive_frame(CanFrame* frame, int32_t step_ms, int32_t extra_ms);

// While at most two identifiers are accepted, an adapter filter passes few others, and such a frame
// costs the try that read it. With more (a sensor node's), a widened filter may pass other nodes'
// traffic: such frames are dropped within the same try, at most CAN_DROPS_PER_TRY of them, so that
// they cannot use up a wait.
constexpr int CAN_DROPS_PER_TRY = 64;

// Why the channel stopped: 0 while it runs; CAN_STOPPED_INTERRUPT when a signal asked the tool to
// stop (platform_interrupt); CAN_STOPPED_LOST when the back-end lost its adapter or interface.
constexpr int32_t CAN_STOPPED_INTERRUPT = 1;
constexpr int32_t CAN_STOPPED_LOST = 2;
int32_t can_stopped();

// Releases the adapter (the back-end's close) and leaves the channel closed. Used when the run is
// interrupted; otherwise the channel lives until the process ends.
void can_close();

// What the channel has carried since the start of the run. received counts every frame read from
// the adapter (those the channel then drops included; not the adapter's status messages),
// delivered those handed to a caller; send_retries the sends repeated because the adapter's
// transmit queue was full (one a millisecond, see CAN_SEND_QUEUE_FULL).
struct CanCounters {
  uint64_t sent;
  uint64_t send_refused;
  uint64_t received;
  uint64_t delivered;
  uint64_t send_retries;
};
const CanCounters& can_counters();

// For the opening (can/interfaces.cpp): sends and receives go to `backend` from now on.
void can_channel_attach(const CanBackend* backend);
// Back to the start state: closed, no identifiers accepted, nothing counted, not stopped.
void can_channel_reset();
