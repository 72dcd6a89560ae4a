// The CAN interfaces the tool can reach: the `-i` table (one row per back-end family, so that a
// new back-end is one row and one folder), the default order, opening the chosen interface onto
// the channel, and the listing of `-l`.
// Call order: can_select_interface (optional), can_accept_id for every identifier (channel.h),
// can_open; can_list needs nothing before it and opens nothing.
// Example: "pcan:2" and "PCAN_USBBUS2" both select PCAN-USB channel 2; "can0" a SocketCAN
// interface (Linux); without -i, can_open tries PEAK's first channel, then Kvaser's first real one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can/backend.h"

// Chooses the interface by its `-i` name (case-insensitive): "pcan", "pcan:N" or "PCAN_USBBUSN"
// (N 1 to 16), "kvaser" or "kvaser:N" (N as CANlib numbers its channels), "sim", and on Linux any
// other name is a SocketCAN interface. 0 when the name is understood (the interface need not exist
// yet); -2 when it is malformed, after printing why on the console. On Windows another name is not
// used (the console says so) and the result is 0.
int32_t can_select_interface(const char* name);

// Opens the selected interface, or with none selected PEAK's first channel and else Kvaser's first
// real one, and hands it to the channel. A named interface never falls back to another. 0 on
// success ("Using ... interface" on the console), negative otherwise ("CAN init error").
int32_t can_open();

// The `-l` run mode: every back-end lists what it can reach; the lines in the `-i` spelling, then
// the problems found with their fixes. Nothing is sent on any bus. 0.
int32_t can_list();

// What can_open opened: the back-end as the console names it ("emulated bus", "SocketCAN"), the
// interface in the `-i` spelling ("pcan:2", "sim", "can0"; "pcan" or "kvaser" for the default
// choice), the channel number (CAN_DEFAULT_CHANNEL when the back-end chose it or opens by name)
// and the full path of the vendor library it loaded ("" for none). Null/empty before an open.
struct CanOpened {
  const char* backend;
  const char* interface;
  int32_t channel;
  const char* library;
};
CanOpened can_opened_name();
// Calls `listener` each time an interface has been opened, can_opened_name naming it (nullptr:
// none), until can_reset.
void can_listen_open(void (*listener)());

// Tests: the next can_open opens `backend` alone (no console line); nullptr ends that.
void can_use_backend(const CanBackend* backend);
// Tests: back to the start state (channel closed, no interface selected, no identifiers accepted).
void can_reset();
