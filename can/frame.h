// What moves through the CAN layer: a frame as the commands send and receive it (a 29-bit
// identifier and 8 data bytes) and a frame as an adapter hands it over (with its kind and length).
// Example: another node's 2-byte frame reads as {0x401, {0x11, 0x22, 0, ...}, 2, CAN_KIND_STANDARD,
// false}.
#pragma once

#include <cstdint>
#include <cstring>

// One classic CAN frame as the channel sends and delivers it: 29-bit extended identifier, always 8
// data bytes.
struct CanFrame {
  uint32_t id;
  uint8_t data[8];
};
// The frame of `id` with the 8 bytes at `data`.
inline CanFrame can_frame_of(uint32_t id, const uint8_t data[8]) {
  CanFrame frame{id, {}};
  std::memcpy(frame.data, data, sizeof frame.data);
  return frame;
}

// What one read of an adapter brought. Only extended data frames are ever delivered; the other
// kinds (an adapter's status message, an error frame, a remote or an 11-bit frame) are logged
// under LOG_CAN_FRAMES and skipped.
enum CanFrameKind : uint8_t {
  CAN_KIND_DATA = 0,   // extended data frame
  CAN_KIND_STANDARD,   // 11-bit data frame
  CAN_KIND_REMOTE,     // remote request (11 or 29 bits: `extended` says which)
  CAN_KIND_ERROR,      // error frame
  CAN_KIND_STATUS,     // the adapter's own status message (bus warning, bus-off, ...)
};

struct CanRead {
  uint32_t id;
  uint8_t data[8];  // bytes past `length` are 0
  uint8_t length;   // data bytes on the bus, 0 to 8; for a remote frame the length it asks for
  CanFrameKind kind;
  bool extended;    // a 29-bit identifier (a remote frame may have either)
};
