// The CAN interfaces the tool can reach: the `-i` table (one row per back-end family, so that a
// new back-end is one row and one folder), the default order, opening the chosen interface onto
// the channel, and the listing of `-l`.
// Call order: can_accept_id for every identifier (channel.h), then can_open with the target the
// command line named (can/target.h); can_list needs nothing before it and opens nothing.
// Example: the target of "pcan:2" opens PCAN-USB channel 2, that of "can0" a SocketCAN interface
// (Linux); the default target tries PEAK's first channel, then Kvaser's first real one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "can/backend.h"
#include "can/target.h"

// Opens the interface `target` names, or for the default target PEAK's first channel and else
// Kvaser's first real one, and hands it to the channel. A named interface never falls back to
// another. 0 on success ("Using ... interface" on the console), negative otherwise ("CAN init
// error").
int32_t can_open(const CanTarget& target);

// The `-l` run mode: every back-end lists what it can reach; the lines in the `-i` spelling, then
// the problems found with their fixes. Nothing is sent on any bus. 0.
int32_t can_list();

// What can_open opened: the back-end as the console names it ("emulated bus", "SocketCAN"), the
// interface in the `-i` spelling ("pcan:2", "sim", "can0"; "pcan" or "kvaser" for the default
// choice), the channel number (CAN_DEFAULT_CHANNEL when the back-end chose it or opens by name)
// and the full path of the vendor library it loaded with its product version ("" for none or not
// known). Null/empty before an open.
struct CanOpened {
  const char* backend;
  const char* interface;
  int32_t channel;
  const char* library;
  const char* library_version;
};
CanOpened can_opened_name();
// Calls `listener` each time an interface has been opened, can_opened_name naming it (nullptr:
// none), until can_reset.
void can_listen_open(void (*listener)());

// Tests: the next can_open opens `backend` alone (no console line); nullptr ends that.
void can_use_backend(const CanBackend* backend);
// Tests: back to the start state (channel closed, nothing held, no identifiers accepted).
void can_reset();
