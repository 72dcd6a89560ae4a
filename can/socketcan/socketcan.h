// The Linux SocketCAN back-end (`-i NAME`): a raw CAN socket on the named interface whose kernel
// filter passes exactly the channel's accepted identifiers (extended data frames), plus bus-off and
// controller error frames, which are logged, tell the channel the bus state and are handed on as
// such. Every frame goes out with CAN_EFF_FLAG and length 8; a full transmit queue (ENOBUFS) is
// left to the channel's retry. An interface that is down at the start is refused; one that goes
// down or disappears later (ENETDOWN, ENODEV, ENXIO) stops the channel (can_lost).
// Call order: socketcan_open with the interface's name, then sends, receive tries and waits.
// Recommended on a real interface: `ip link set can0 txqueuelen 1000`.
#pragma once

#include <cstdint>

#include "can/backend.h"

// 0 when the socket on target->name is bound with its filters; -1 otherwise (also when the
// interface is down), with the failing call and its error text in the log.
int32_t socketcan_open(const CanTarget* target);
// 0 when the kernel took the frame, CAN_SEND_QUEUE_FULL, -3 otherwise (logged).
int32_t socketcan_send_frame(uint32_t id, const uint8_t data[8]);
// One non-blocking read: 0 with a frame, its kind and length (error frames are logged), non-zero
// when none.
int32_t socketcan_try_receive(CanRead* frame);
// Waits with poll on the socket until a frame is there or now_us() reaches `until_us`: 1, 0, or -1
// when poll fails.
int32_t socketcan_wait(uint64_t until_us);
// Closes the socket.
void socketcan_close();
// The `-l` records: every CAN network interface with its state, bit rate and queue length.
void socketcan_list(CanListing* listing);

const CanBackend* socketcan_backend();
