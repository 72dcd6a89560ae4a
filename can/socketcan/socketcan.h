// The Linux SocketCAN back-end (`-i NAME`): a raw CAN socket on the named interface whose kernel
// filter passes exactly the channel's accepted identifiers (extended data frames), plus bus-off and
// controller error frames, which are logged. Every frame goes out with CAN_EFF_FLAG and length 8;
// a full transmit queue (ENOBUFS) is waited out for about 100 ms before the send fails.
// Call order: socketcan_select, then socketcan_open, then sends and receive tries.
// Recommended on a real interface: `ip link set can0 txqueuelen 1000`.
#pragma once

#include <cstdint>

#include "can/can.h"

// Remembers the interface name. 0 when the interface exists, -1 (logged) when it does not or the
// name is too long.
int32_t socketcan_select(const char* name);
// The selected interface name ("" when none).
const char* socketcan_interface();

// 0 when the socket is bound with its filters; -1 otherwise, with the failing call and its
// error text in the log.
int32_t socketcan_open();
// 0 when the kernel took the frame, -3 otherwise (logged).
int32_t socketcan_send_frame(uint32_t id, const uint8_t data[8]);
// One non-blocking read: 0 with an accepted frame, non-zero when none (error frames are logged).
int32_t socketcan_try_receive(uint8_t data[8], uint32_t* id);

const CanBackend* socketcan_backend();
