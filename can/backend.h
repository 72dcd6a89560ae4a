// The contract between the CAN layer and its back-ends (can/peak, can/kvaser, can/socketcan,
// can/sim): what a back-end implements, as one const table of functions, and the few calls it may
// make back. A back-end knows nothing of the channel's waits, the `-i` table or the commands.
// Call order, as the opening and the channel drive a back-end: list at any time (it opens
// nothing); open; then send, try_receive, wait and receive_timed_out in any order; close after an
// interruption; library whenever the opening asks which file it loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// Why an open failed, as the back-end found it, for the opening to name on the console when the
// channel was chosen with -i: the first call that failed, its status and the library's text for it
// ("Cannot open pcan:2: CAN_Initialize: ..."), a reason without a call ("Cannot open pcan:2: in use
// by process 12 ..."), or a whole console line of the back-end's own ("No PCAN channel with device
// id 7 (attached: 1, 2)"). The first failure of an open is its cause: later ones are not kept.
struct CanOpenFailure {
  char call[64];   // the call that failed ("CAN_Initialize", "if_nametoindex"); "" for none
  int32_t status;  // its status as the library or the system gave it, 0 when it has none
  char text[320];  // the library's or the system's text for it, or the reason without a call
  char line[256];  // instead of the above: the whole line
};
inline bool can_open_failure_recorded(const CanOpenFailure& failure) {
  return failure.call[0] != '\0' || failure.text[0] != '\0' || failure.line[0] != '\0';
}
// Records the failed `call` ("" for none) with its status and text, unless a cause was recorded
// already (or `failure` is null).
inline void can_open_failure_call(CanOpenFailure* failure, const char* call, int32_t status,
                                  const char* text) {
  if (!failure || can_open_failure_recorded(*failure)) return;
  std::snprintf(failure->call, sizeof failure->call, "%s", call);
  failure->status = status;
  std::snprintf(failure->text, sizeof failure->text, "%s", text);
}
// Records a whole console line, unless a cause was recorded already.
inline void can_open_failure_line(CanOpenFailure* failure, const char* line) {
  if (!failure || can_open_failure_recorded(*failure)) return;
  std::snprintf(failure->line, sizeof failure->line, "%s", line);
}

// What an adapter tells beside a frame, on any call that reaches it (a send, a read, a wait, a
// status query): that received frames were lost, the bus state, or that it is gone. The channel
// decides what follows when the call returns: the stop, and each line once (can/channel.h).
enum CanLoss : uint8_t {
  CAN_LOSS_BUFFER = 0,  // the controller's or adapter's receive buffer overran
  CAN_LOSS_QUEUE,       // the driver's, library's or socket's receive queue overran
  CAN_LOSS_KINDS,
};
struct CanNews {
  uint8_t frames_lost;    // a bit (1 << CanLoss) for each kind of loss the adapter told of
  bool bus_told;          // the adapter told its bus state: `bus_state`
  CanBusState bus_state;
  // With CAN_ADAPTER_LOST: what happened, in the back-end's own words (its own storage, valid until
  // its next call). Example: "can0 went down (send: Network is down): ...".
  const char* lost;
};
inline void can_news_frames_lost(CanNews* news, CanLoss kind) {
  news->frames_lost = static_cast<uint8_t>(news->frames_lost | (1u << kind));
}
inline void can_news_bus_state(CanNews* news, CanBusState state) {
  news->bus_told = true;
  news->bus_state = state;
}

// What a send, a read, a wait or a status query returns when the adapter or interface is gone
// (unplugged, taken down), with `lost` in its news. The channel then stops for the rest of the run.
constexpr int32_t CAN_ADAPTER_LOST = -4;
// The other results of the channel and the back-ends besides 0.
constexpr int32_t CAN_NO_FRAME = -1;      // a receive or a wait: nothing came in time
constexpr int32_t CAN_SEND_REFUSED = -3;  // a send the adapter did not take (or a stopped channel)
// An open: the vendor library, an entry point or a usable channel is missing (the next back-end of
// the default walk is tried) ...
constexpr int32_t CAN_OPEN_UNAVAILABLE = -1;
// ... or the library refused the channel named, or it is held (nothing else is tried).
constexpr int32_t CAN_OPEN_REFUSED = -2;

// A back-end: what the channel and the opening call.
// open: 0, or a negative code after logging why, with the cause in `failure`.
// send: 0 accepted, CAN_SEND_QUEUE_FULL, -3 refused (with CAN_BUS_OFF in `news` when the adapter
// refused it for bus-off: the channel names that at once), CAN_ADAPTER_LOST.
// try_receive: one non-blocking read: 0 when a frame of any kind was read into `frame`,
// CAN_ADAPTER_LOST, any other non-zero value when the adapter had none.
// receive_timed_out (may be null): called once when a whole receive delivered nothing, to ask the
// adapter's status (the bus state, lost frames): 0, or CAN_ADAPTER_LOST.
// list (may be null): appends this back-end's records.
// wait (may be null): returns when a frame may be there to read (1), when now_us() reached
// `until_us` (0), CAN_ADAPTER_LOST, or at once with -1 when the back-end cannot wait (no event from
// its library): the channel then polls for the rest of the run. A wake for a frame that is then
// dropped is harmless.
// close (may be null): releases the channel. library (may be null): the full path of the vendor
// library in use ("" for none). library_version (may be null): its product version as the vendor
// names it ("5.39"), "" when not known.
// Every call that reaches the adapter gets a cleared CanNews to fill.
struct CanBackend {
  const char* name;  // the adapter as the console names it: "PEAK PCAN-USB", "SocketCAN", ...
  int32_t (*open)(const CanTarget* target, CanOpenFailure* failure);
  int32_t (*send)(const CanFrame& frame, CanNews* news);
  int32_t (*try_receive)(CanRead* frame, CanNews* news);
  int32_t (*receive_timed_out)(CanNews* news);
  void (*list)(CanListing* listing);
  int32_t (*wait)(uint64_t until_us, CanNews* news);
  void (*close)();
  const char* (*library)() = nullptr;
  const char* (*library_version)() = nullptr;
};

// The only calls a back-end makes into the channel and the opening (scripts/check-layers.sh
// counts every other).

// The identifiers the channel must deliver, in the order they were accepted (the first two form
// the range that adapters with range filters ask for first); returns their count.
int can_accepted_ids(const uint32_t** ids);
// Whether `id` is one of them.
bool can_id_accepted(uint32_t id);

// Holds the interface `spelling` ("pcan:1", "can0", "kvaser@10001:0") for the rest of the run with
// a lock file named after it, so that no second run drives it at the same time: 0 held (also when
// no lock folder can be used: said in the log); 1 another run holds it, or the lock's name or
// folder is refused (platform lock_take): the open must fail, with "in use by process <id> ..." or
// the refusal naming the file recorded in `failure`.
int32_t can_hold(const char* spelling, CanOpenFailure* failure);
// The process of another run that holds `spelling`, 0 when none (for the listing).
int64_t can_holder(const char* spelling);
