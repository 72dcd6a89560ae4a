// The contract between the CAN layer and its back-ends (can/peak, can/kvaser, can/socketcan,
// can/sim): what a back-end implements, as one const table of functions, and the few calls it may
// make back. A back-end knows nothing of the channel's waits, the `-i` table or the commands.
// Call order, as the opening and the channel drive a back-end: list at any time (it opens
// nothing); open; then send, try_receive, wait and receive_timed_out in any order; close after an
// interruption; library whenever the opening asks which file it loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "can/frame.h"
#include "can/target.h"

// The most identifiers the channel delivers (and a back-end's filter passes).
constexpr int CAN_MAX_ACCEPTED_IDS = 16;

// What a back-end's send returns when the adapter's transmit queue is full: the channel tries the
// frame again, every millisecond for CAN_FULL_QUEUE_RETRY_MS, before the send fails.
constexpr int32_t CAN_SEND_QUEUE_FULL = 1;
constexpr uint32_t CAN_FULL_QUEUE_RETRY_MS = 100;

// The state of the bus as the adapter's controller sees it.
enum CanBusState : uint8_t {
  CAN_BUS_UNKNOWN = 0,  // not told (virtual interfaces, libraries that cannot say)
  CAN_BUS_ACTIVE,       // error-active: all is well
  CAN_BUS_WARNING,      // an error counter passed the warning limit (96)
  CAN_BUS_PASSIVE,      // error-passive: an error counter passed 127
  CAN_BUS_OFF,          // bus-off: the controller stopped taking part in the bus
};

// What `-l` found, as data: each back-end appends records; the findings and their fixes are
// derived from the records alone (can/listing.h), and one function prints them.
enum class CanListKind : uint8_t {
  LIBRARY,    // a vendor library: loaded, not found, or not usable
  INTERFACE,  // an interface or channel that `-i` can name
  NOTE,       // anything else worth a line (a query the library cannot answer, "no channel")
};
enum class CanVendor : uint8_t { PEAK, KVASER, SOCKETCAN, SIM };
struct CanListRecord {
  CanListKind kind;
  CanVendor vendor;
  std::string spelling;  // INTERFACE: as `-i` names it ("pcan:1", "can0")
  std::string identity;  // INTERFACE: as `-i` names it by what it is ("pcan@0x1"), "" for none
  int64_t holder;        // INTERFACE: the process of another run that holds it, 0 for none
  std::string text;      // INTERFACE: the line after the spelling; LIBRARY: the version or why it
                         // is not usable; NOTE: the whole line
  // LIBRARY: the file loaded (its full path), or "" when none of `searched` could be loaded.
  std::string library;
  std::string searched;
  bool usable;           // LIBRARY: loaded with every entry point
  // INTERFACE: what the findings look at.
  bool occupied;         // another program holds it
  bool down;
  bool is_virtual;       // a virtual interface (no controller, no queue that could fill)
  uint32_t bitrate;      // bit/s, 0 when not set or not given
  int32_t queue;         // transmit queue length in frames, -1 when not given
  bool bus_off;
};
using CanListing = std::vector<CanListRecord>;

// A line of its own, and an interface with nothing wrong found yet (the back-end sets the facts).
inline CanListRecord can_list_note(CanVendor vendor, const char* text) {
  CanListRecord record{};
  record.kind = CanListKind::NOTE;
  record.vendor = vendor;
  record.text = text;
  return record;
}
inline CanListRecord can_list_interface(CanVendor vendor, const char* spelling, const char* text) {
  CanListRecord record = can_list_note(vendor, text);
  record.kind = CanListKind::INTERFACE;
  record.spelling = spelling;
  record.queue = -1;
  return record;
}

// A back-end. open: 0, or a negative code after logging why (and, for a named channel,
// can_open_failed). send: 0 accepted, CAN_SEND_QUEUE_FULL, -3 refused (after can_lost when the
// adapter is gone). try_receive: one non-blocking read; 0 when a frame of any kind was read into
// `frame`, non-zero when the adapter had none (after can_lost when the adapter is gone).
// receive_timed_out (may be null): called once when a whole receive delivered nothing; it may tell
// can_bus_state what the adapter says, or can_lost. list (may be null): appends this back-end's
// records. wait (may be null): returns when a frame may be there to read (1), when now_us()
// reached `until_us` (0), or at once with -1 when the back-end cannot wait (no event from its
// library): the channel then polls for the rest of the run. A wake for a frame that is then
// dropped is harmless. close (may be null): releases the channel. library (may be null): the full
// path of the vendor library in use ("" for none).
struct CanBackend {
  const char* name;  // the adapter as the console names it: "PEAK PCAN-USB", "SocketCAN", ...
  int32_t (*open)(const CanTarget* target);
  int32_t (*send)(uint32_t id, const uint8_t data[8]);
  int32_t (*try_receive)(CanRead* frame);
  void (*receive_timed_out)();
  void (*list)(CanListing* listing);
  int32_t (*wait)(uint64_t until_us);
  void (*close)();
  const char* (*library)() = nullptr;
};

// The calls a back-end may make back.

// The identifiers the channel must deliver, in the order they were accepted (the first two form
// the range that adapters with range filters ask for first); returns their count.
int can_accepted_ids(const uint32_t** ids);
// Whether `id` is one of them.
bool can_id_accepted(uint32_t id);

// A back-end that could not open the channel it was asked for by name says so here; the first
// call of an open is the cause: "Cannot open <interface>: <call>: <error text>\n" on the console.
void can_open_failed(const char* call, const char* error_text);
// The same with a console line of its own. Example: "No PCAN channel with device id 7 (attached:
// 1, 2)".
void can_open_refused(const char* line);

// Holds the interface `spelling` ("pcan:1", "can0", "kvaser@10001:0") for the rest of the run with
// a lock file named after it, so that no second run drives it at the same time: 0 held (also when
// no lock folder can be used: said in the log); 1 another run holds it: the open must fail, and a
// named one is refused with "Cannot open <interface>: in use by process <id> ...".
int32_t can_hold(const char* spelling);
// The process of another run that holds `spelling`, 0 when none (for the listing).
int64_t can_holder(const char* spelling);

// The adapter or interface is gone (unplugged, taken down), seen on a send, a read, a wait or a
// status query alike. Prints once "CAN adapter lost: <what>\n" (also to the log); from then on
// the channel is stopped: every send is refused, every receive ends at once.
// Example: can_lost("can0 went down (send: Network is down): ...").
void can_lost(const char* what);

// The bus state the adapter reports (error frames, status messages or a status query). When a
// receive ends empty and the state is not error-active, the console says so once per change.
void can_bus_state(CanBusState state);

// Where received frames were lost, as the adapter or its driver reports it.
enum CanLoss : uint8_t {
  CAN_LOSS_BUFFER = 0,  // the controller's or adapter's receive buffer overran
  CAN_LOSS_QUEUE,       // the driver's, library's or socket's receive queue overran
  CAN_LOSS_KINDS,
};
// Received frames were lost: the console and the log say so at once, once per run and kind:
// "<adapter>: received frames were lost (receive buffer overrun); the transfer's checks will fail:
// <what to do>\n". The transfer's own checks (sequence, checksum, a missing answer) follow.
void can_frames_lost(CanLoss kind);
