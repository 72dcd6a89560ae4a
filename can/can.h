// The adapter-independent CAN channel: the interface choice (`-i`), the identifiers to deliver,
// opening on a back-end found by name in one table (can/backends.h), sends, and the one receive
// of the tool, which is also the one place where frames that must not be delivered are dropped: a
// back-end supplies a single non-blocking read of whatever its adapter has and, where it can, a
// wait that returns when a frame arrives; without that wait the receive polls.
// Call order: can_select_interface (optional), can_accept_id for every identifier the caller wants
// (before opening), can_open, then can_send_frame and can_receive_frame. The channel stays open
// until the process ends, or until can_close after an interruption. Once stopped (an interrupt, or
// a back-end that lost its adapter: can_stopped), every send is refused and every receive ends at
// once, so that no wait outlasts the cause; a full transmit queue is retried here, for every
// back-end alike. can_list (the `-l` run mode) needs nothing before it and opens nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "log/log.h"

// One classic CAN frame: 29-bit extended identifier, always 8 data bytes.
struct CanFrame {
  uint32_t id;
  uint8_t data[8];
};

// What one read of an adapter brought. Only extended data frames are ever delivered; the other
// kinds (an adapter's status message, an error frame, a remote or an 11-bit frame) are logged
// under LOG_CAN_FRAMES and skipped.
enum CanFrameKind : uint8_t {
  CAN_KIND_DATA = 0,   // extended data frame
  CAN_KIND_STANDARD,   // 11-bit data frame
  CAN_KIND_REMOTE,     // remote request
  CAN_KIND_ERROR,      // error frame
  CAN_KIND_STATUS,     // the adapter's own status message (bus warning, bus-off, ...)
};

struct CanRead {
  uint32_t id;
  uint8_t data[8];  // bytes past the frame's length are 0
  CanFrameKind kind;
};

// Which channel of a back-end to open: `channel` as the `-i` value numbers it (pcan:2 -> 2,
// kvaser:0 -> 0), CAN_DEFAULT_CHANNEL for the back-end's own choice; `name` for back-ends that open
// interfaces by name (SocketCAN); `named` when the operator chose it with -i (its failures are then
// named on the console, and nothing else is tried).
constexpr int32_t CAN_DEFAULT_CHANNEL = -1;
constexpr size_t CAN_INTERFACE_NAME_MAX = 15;
struct CanTarget {
  int32_t channel;
  char name[CAN_INTERFACE_NAME_MAX + 1];
  bool named;
};

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

// What a back-end supplies; a const table of functions (see can/backends.cpp for the registry).
// open: 0, or a negative code after logging why (and, for a named channel, can_open_failed).
// send: 0 accepted, CAN_SEND_QUEUE_FULL, -3 refused (after can_lost when the adapter is gone).
// try_receive: one non-blocking read; 0 when a frame of any kind was
// read into `frame`, non-zero when the adapter had none. receive_timed_out (may be null): called
// once when a whole receive delivered nothing (it may tell can_bus_state what the adapter says).
// list (may be null): the `-l` lines of this back-end through can_list_interface / can_list_note /
// can_list_finding. wait (may be null): returns when a frame may be there to read (1), when
// now_us() reached `until_us` (0), or at once with -1 when the back-end cannot wait (no event from
// its library): the channel then polls for the rest of the run. A wake for a frame that is then
// dropped is harmless. close (may be null): releases the channel (after an interruption).
struct CanBackend {
  const char* name;  // the adapter as the console names it: "PEAK PCAN-USB", "SocketCAN", ...
  int32_t (*open)(const CanTarget* target);
  int32_t (*send)(uint32_t id, const uint8_t data[8]);
  int32_t (*try_receive)(CanRead* frame);
  void (*receive_timed_out)();
  void (*list)();
  int32_t (*wait)(uint64_t until_us);
  void (*close)();
};

// Opens the selected interface, or with none selected PEAK's first channel and else Kvaser's first
// real one. A named interface never falls back to another. 0 on success, negative otherwise.
int32_t can_open();
// Sends one extended frame of length 8. 0 when the adapter accepted it, -3 when refused, when its
// transmit queue stayed full for CAN_FULL_QUEUE_RETRY_MS, or when the channel is stopped.
int32_t can_send_frame(uint32_t id, const uint8_t data[8]);
// Receives one frame within floor((step+extra)/step)+1 tries of step_ms each. A back-end that can
// wait: the window of tries x step_ms is measured on now_us() from the call; the channel reads,
// then waits for a frame (in slices of at most 50 ms) and reads again whenever one arrives, until
// the window ends; a read that ends on a dropped frame (see CAN_DROPS_PER_TRY) costs the rest of
// its step of step_ms. Without a wait: a sleep of step_ms after every failed try. 0 with id/data
// filled, or -1 (outputs cleared) when nothing arrived or the channel is stopped.
// Example: step 5, extra 50 and a silent bus: 12 tries, 60 ms, -1; an answer that arrives 23.5 ms
// after the call is delivered 23.5 ms after the call, after one wait.
int32_t can_receive_frame(uint8_t data[8], uint32_t* id, int32_t step_ms, int32_t extra_ms);

// Chooses the interface by its `-i` name (case-insensitive): "pcan", "pcan:N" or "PCAN_USBBUSN"
// (N 1 to 16), "kvaser" or "kvaser:N" (N as CANlib numbers its channels), "sim", and on Linux any
// other name is a SocketCAN interface. 0 when the name is understood (the interface need not exist
// yet); -2 when it is malformed, after printing why on the console. On Windows another name is not
// used (the console says so) and the result is 0.
int32_t can_select_interface(const char* name);

// The most identifiers the channel delivers.
constexpr int CAN_MAX_ACCEPTED_IDS = 16;

// Adds an identifier that the channel must deliver; before can_open. The first two form the range
// that adapters with range filters ask for first. 0 when added (or already accepted), -1 when the
// set is full.
int32_t can_accept_id(uint32_t id);
// The identifiers to deliver in the order they were added; returns their count.
int can_accepted_ids(const uint32_t** ids);
// Whether `id` is one of the accepted identifiers.
bool can_id_accepted(uint32_t id);
// While at most two identifiers are accepted, an adapter filter passes few others, and such a frame
// costs the try that read it. With more (a sensor node's), a widened filter may pass other nodes'
// traffic: such frames are dropped within the same try, at most CAN_DROPS_PER_TRY of them, so that
// they cannot use up a wait.
constexpr int CAN_DROPS_PER_TRY = 64;

// A back-end that could not open the channel it was asked for by name says so here, once:
// "Cannot open <interface>: <call>: <library's error text>\n" is printed by can_open.
void can_open_failed(const char* call, const char* error_text);

// The `-l` run mode: every back-end of the table lists the interfaces it can reach, one line each
// in the `-i` spelling, then the findings with their fixes. Nothing is sent on any bus. 0.
int32_t can_list();
// For back-ends while listing: an interface line ("pcan:1", "PCAN-USB, device id 0x1, available"),
// a line about the library or the back-end itself, and a finding with its fix.
void can_list_interface(const char* spelling, const char* description);
void can_list_note(const char* text);
void can_list_finding(const char* problem, const char* fix);

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

// What can_open opened: the back-end as the console names it ("emulated bus", "SocketCAN"), the
// interface in the `-i` spelling ("pcan:2", "sim", "can0"; "pcan" or "kvaser" for the default
// choice), the channel number (CAN_DEFAULT_CHANNEL when the back-end chose it or opens by name)
// and the vendor library file it loaded ("" for none). All null/empty before a successful open.
struct CanOpened {
  const char* backend;
  const char* interface;
  int32_t channel;
  const char* library;
};
CanOpened can_opened_name();
// For the vendor library loader: the file that was just loaded.
void can_note_library(const char* file);
// Why the channel stopped: 0 while it runs; CAN_STOPPED_INTERRUPT when a signal asked the tool to
// stop (platform_interrupt); CAN_STOPPED_LOST when the back-end lost its adapter or interface.
constexpr int32_t CAN_STOPPED_INTERRUPT = 1;
constexpr int32_t CAN_STOPPED_LOST = 2;
int32_t can_stopped();

// For back-ends: the adapter or interface is gone (unplugged, taken down). Prints once
// "CAN adapter lost: <what>\n" (also to the log); from then on the channel is stopped.
// Example: can_lost("can0 went down (send: Network is down); bring it up: sudo ip link set can0 up").
void can_lost(const char* what);

// For back-ends: the bus state the adapter reports (error frames, status messages or a status
// query). When a receive ends empty and the state is not error-active, the console says so once per
// change: "CAN bus state: bus-off (...)\n", so that the "No answer" that follows is explained.
void can_bus_state(CanBusState state);

// Releases the adapter (the back-end's close) and leaves the channel closed. Used when the run is
// interrupted; otherwise the channel lives until the process ends.
void can_close();

// Tests: the next can_open opens `backend` alone (no console line); nullptr ends that.
void can_use_backend(const CanBackend* backend);
// Tests: back to the start state (not open, no interface selected, no identifiers accepted).
void can_reset();
