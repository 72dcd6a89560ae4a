// The Linux SocketCAN back-end (`-i NAME`): a raw CAN socket on the named interface whose kernel
// filter passes exactly the channel's accepted identifiers (extended data frames), plus bus-off and
// controller error frames, which are logged, tell the channel the bus state and are handed on as
// such. Every frame goes out with CAN_EFF_FLAG and length 8; a full transmit queue (ENOBUFS) is
// left to the channel's retry. An interface that is down at the start is refused; one that goes
// down or disappears later (ENETDOWN, ENODEV, ENXIO) stops the channel (CAN_ADAPTER_LOST).
// Call order: the opening and the channel drive it through its table (can/backend.h).
// Recommended on a real interface: `ip link set can0 txqueuelen 1000`.
#pragma once

#include <cstdint>

#include "can/backend.h"

// The back-end's table. open: 0 when the socket on target->name is bound with its filters; -1
// otherwise (also when the interface is down), with the failing call and its error text in the
// log. send: 0 when the kernel took the frame, CAN_SEND_QUEUE_FULL, -3 otherwise (logged).
// try_receive: one non-blocking read (error frames are logged). wait: poll on the socket.
const CanBackend* socketcan_backend();

// The `-l` records: every CAN network interface with its state, bit rate and queue length.
void socketcan_list(CanListing* listing);
