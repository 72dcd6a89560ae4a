// Which CAN interface a run is to use, as a value: the `-i` grammar read into a CanTarget, with no
// CAN state behind it (reading a command line opens, loads and selects nothing). The opening
// (can/interfaces.h) takes the value and a back-end's open reads the fields it needs.
// Example: "pcan:2" and "PCAN_USBBUS2" both give {CAN_TARGET_PEAK, channel 2, spelling "pcan:2"};
// "kvaser@10001:1" {CAN_TARGET_KVASER, by_identity, identity 10001, device_channel 1}; "can0" on
// Linux {CAN_TARGET_SOCKETCAN, name "can0"}; no -i at all the default walk (PEAK, then Kvaser).
#pragma once

#include <cstddef>
#include <cstdint>

// The back-end family a target names. CAN_TARGET_DEFAULT: none was named (the default walk).
enum CanTargetKind : uint8_t {
  CAN_TARGET_DEFAULT = 0,
  CAN_TARGET_PEAK,
  CAN_TARGET_KVASER,
  CAN_TARGET_SIM,
  CAN_TARGET_SOCKETCAN,
};

// `channel` as the `-i` value numbers it (pcan:2 -> 2, kvaser:0 -> 0), CAN_DEFAULT_CHANNEL for the
// back-end's own choice; `name` the value as given (SocketCAN opens interfaces by name); `named`
// when the operator chose it with -i (its failures are then named on the console, and nothing
// else is tried). An adapter named by what it is, whatever order it was plugged in (pcan@ID,
// kvaser@SERIAL:K), has `by_identity`, its device id or serial number in `identity` and the
// channel on that device in `device_channel`. `spelling` is how the console, the locks and the
// records name it ("pcan:2", "pcan@0x7", "can0"; "" for the default walk).
constexpr int32_t CAN_DEFAULT_CHANNEL = -1;
constexpr size_t CAN_INTERFACE_NAME_MAX = 15;
constexpr size_t CAN_SPELLING_MAX = CAN_INTERFACE_NAME_MAX + 16;
struct CanTarget {
  int32_t channel = CAN_DEFAULT_CHANNEL;
  char name[CAN_INTERFACE_NAME_MAX + 1] = {};
  bool named = false;
  bool by_identity = false;
  uint64_t identity = 0;
  int32_t device_channel = 0;
  CanTargetKind kind = CAN_TARGET_DEFAULT;
  char spelling[CAN_SPELLING_MAX] = {};
};

// What reading a `-i` value found.
enum CanTargetParse : int32_t {
  CAN_TARGET_OK = 0,          // *target names the interface (it need not exist yet)
  CAN_TARGET_NOT_HERE = 1,    // no interface of that kind on this system: *target is the default
  CAN_TARGET_MALFORMED = -2,  // a known family, but the rest is wrong
};

// Reads `name` (case-insensitive): "pcan", "pcan:N" or "PCAN_USBBUSN" (N 1 to 16), "pcan@ID",
// "kvaser", "kvaser:N" (N as CANlib numbers its channels), "kvaser@SERIAL[:K]", "sim", and on
// Linux any other name is a SocketCAN interface. `why` receives the reason (without a line end)
// for CAN_TARGET_MALFORMED and CAN_TARGET_NOT_HERE.
CanTargetParse can_parse_target(const char* name, CanTarget* target, char* why, size_t why_size);

// The `-i` family word of a kind ("pcan", "kvaser", "sim"), nullptr for SocketCAN and the default.
const char* can_target_family(CanTargetKind kind);
