// The adapter-independent CAN channel: chooses a back-end when opened (the emulated bus or a
// SocketCAN interface when one was selected with -i; otherwise PEAK first, then Kvaser) and
// forwards every send and receive to it. The receive is the one polling loop of the tool: a
// back-end only supplies a single non-blocking try. Call order: can_select_interface and
// can_accept_id (optional, before opening), can_open, then can_send_frame and can_receive_frame.
// The channel stays open until the process ends.
#pragma once

#include <cstdint>

// Identifiers on which the unit transmits; the channel delivers them by default.
constexpr uint32_t CAN_ID_UNIT_COMMAND = 0xA04401;
constexpr uint32_t CAN_ID_UNIT_ANSWER = 0xA44401;
constexpr uint32_t CAN_ID_UNIT_DATA = 0xA84401;

// One classic CAN frame: 29-bit extended identifier, always 8 data bytes.
struct CanFrame {
  uint32_t id;
  uint8_t data[8];
};

// What a back-end supplies. open: 0 or a negative code. send: 0 accepted, -3 refused.
// try_receive: one non-blocking read; 0 when a frame was delivered into id/data, non-zero when not.
// receive_timed_out (may be null): called once when a whole receive delivered nothing.
struct CanBackend {
  const char* name;
  int32_t (*open)();
  int32_t (*send)(uint32_t id, const uint8_t data[8]);
  int32_t (*try_receive)(uint8_t data[8], uint32_t* id);
  void (*receive_timed_out)();
};

// Opens the channel on the first back-end that works. 0 on success, negative otherwise.
int32_t can_open();
// Sends one extended frame of length 8. 0 when the adapter accepted it, -3 when refused.
int32_t can_send_frame(uint32_t id, const uint8_t data[8]);
// Polls for one frame: floor((step+extra)/step)+1 tries, a sleep of step_ms after every failed try.
// 0 with id/data filled, or -1 (outputs cleared) when nothing arrived.
// Example: step 5, extra 50 and a silent bus: 12 tries, 12 sleeps of 5 ms, -1.
int32_t can_receive_frame(uint8_t data[8], uint32_t* id, int32_t step_ms, int32_t extra_ms);
// Chooses an interface by name ("sim" for the emulated bus; on Linux a SocketCAN interface).
// 0 when the name selects an interface, -1 when not.
int32_t can_select_interface(const char* name);

// The most identifiers the channel delivers (the unit's two and the added ones).
constexpr int CAN_MAX_ACCEPTED_IDS = 16;

// Adds an identifier that the channel must deliver besides the unit's two; before can_open.
// 0 when added (or already accepted), -1 when the set is full.
int32_t can_accept_id(uint32_t id);
// The identifiers to deliver (the unit's two first, then the added ones); returns their count.
int can_accepted_ids(const uint32_t** ids);
// Whether `id` is one of the accepted identifiers.
bool can_id_accepted(uint32_t id);
// Whether identifiers beyond the unit's two were added (a sensor node's). An adapter filter widened
// for them may pass frames of other identifiers too; the back-ends then take such frames from the
// queue and drop them within the same try (at most CAN_DROPS_PER_TRY of them), so that traffic of
// other nodes cannot use up a wait.
bool can_ids_added();
constexpr int CAN_DROPS_PER_TRY = 64;

// Tests: the next can_open opens `backend` alone (no console line); nullptr ends that.
void can_use_backend(const CanBackend* backend);
// Tests: back to the start state (not open, no interface selected, the unit's identifiers only).
void can_reset();
