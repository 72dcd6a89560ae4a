// The CAN channel: the accepted identifiers, sends with the full-queue retry, the receive (waiting,
// or polling) that drops what must not be delivered, the bus health and the stop.
#include "can/channel.h"

#include <cstdio>
#include <cstring>

#include "can/backend.h"
#include "log/frame_trace.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
// Two identifiers pass adapter filters with few others; beyond them a filter may be wide.
constexpr int kNarrowIdCount = 2;
// The longest single wait of a receive: a Ctrl-C (seen on Windows only between waits) or a lost
// adapter ends the receive within this.
constexpr uint64_t kWaitSliceUs = 50000;

struct ChannelState {
  const CanBackend* active = nullptr;
  bool polling = false;  // the back-end said it cannot wait: every later receive polls
  uint32_t accepted[CAN_MAX_ACCEPTED_IDS] = {};
  int accepted_count = 0;
  CanCounters counters{};
  int32_t stopped = 0;  // CAN_STOPPED_*, 0 while it runs
  // The bus state the back-end reported last, and the one the console was told last.
  CanBusState bus_state = CAN_BUS_UNKNOWN;
  CanBusState bus_state_printed = CAN_BUS_UNKNOWN;
  bool loss_said[CAN_LOSS_KINDS] = {};
};
ChannelState g_channel;

const char* kind_name(CanFrameKind kind) {
  switch (kind) {
    case CAN_KIND_STANDARD:
      return "11-bit frame";
    case CAN_KIND_REMOTE:
      return "remote frame";
    case CAN_KIND_ERROR:
      return "error frame";
    case CAN_KIND_STATUS:
      return "status message";
    case CAN_KIND_DATA:
      break;
  }
  return "frame";
}

// Every frame on the bus goes into the trace as it was: its identifier's width and its length.
void trace_read(const CanRead& frame) {
  const bool remote = frame.kind == CAN_KIND_REMOTE;
  const bool extended = frame.kind == CAN_KIND_DATA || (remote && frame.extended);
  frame_trace_frame(false, frame.id, extended, remote, frame.data, frame.length);
}

// The adapter or interface is gone: the channel stops, and says why once.
void lose(const char* what) {
  if (g_channel.stopped != 0) return;
  g_channel.stopped = CAN_STOPPED_LOST;
  console_problem("CAN adapter lost: %s\n", what);
  log_writef(LOG_ALWAYS, "CAN adapter lost: %s\n", what);
}

// Received frames were lost: said at once, once per run and kind. The sequence or checksum error,
// or the missing answer, that follows is the loss's effect.
void say_frames_lost(CanLoss kind) {
  if (g_channel.loss_said[kind] || !g_channel.active) return;
  g_channel.loss_said[kind] = true;
  char line[320];
  std::snprintf(line, sizeof line,
                "%s: received frames were lost (%s); the transfer's checks will fail: %s",
                g_channel.active->name,
                kind == CAN_LOSS_BUFFER ? "receive buffer overrun" : "receive queue overrun",
                kind == CAN_LOSS_BUFFER ? "close programs that keep the PC busy, connect the "
                                          "adapter without a USB hub, and run the job again"
                                        : "close programs that keep the PC busy and run the job "
                                          "again");
  console_problem("%s\n", line);
  log_writef(LOG_ALWAYS, "%s\n", line);
}

// What a back-end's call returned and told: the losses first (as the adapter saw them before it
// went), then the stop, then the bus state, which a receive that ends empty names.
void take_news(int32_t result, const CanNews& news) {
  for (int kind = 0; kind < CAN_LOSS_KINDS; ++kind) {
    if (news.frames_lost & (1u << kind)) say_frames_lost(static_cast<CanLoss>(kind));
  }
  if (result == CAN_ADAPTER_LOST) lose(news.lost ? news.lost : "");
  if (news.bus_told) g_channel.bus_state = news.bus_state;
}

// What a try that delivered nothing ended on.
constexpr int32_t kAdapterEmpty = -1;
constexpr int32_t kTryUsedUp = -2;

// Reads until a frame is delivered (0), the adapter is empty (kAdapterEmpty), or the try is used
// up (kTryUsedUp). Frames that are not extended data frames never count as answers; a frame of an
// identifier not accepted ends the try while the filters are narrow, and is skipped within it when
// they are wide.
int32_t try_once(CanFrame* delivered) {
  const bool wide = g_channel.accepted_count > kNarrowIdCount;
  for (int read = 0; read < CAN_DROPS_PER_TRY; ++read) {
    CanRead frame{};
    CanNews news{};
    const int32_t got = g_channel.active->try_receive(&frame, &news);
    take_news(got, news);
    if (got != 0) return kAdapterEmpty;
    if (frame.kind != CAN_KIND_STATUS && frame.kind != CAN_KIND_ERROR) {
      ++g_channel.counters.received;
      trace_read(frame);
    }
    if (frame.kind != CAN_KIND_DATA) {
      if (log_passes(LOG_CAN_FRAMES)) {
        log_writef(LOG_CAN_FRAMES, "Skipped %s: ", kind_name(frame.kind));
        log_frame(frame.id, frame.data);
      }
      continue;
    }
    if (!can_id_accepted(frame.id)) {
      if (wide) continue;
      return kTryUsedUp;
    }
    delivered->id = frame.id;
    std::memcpy(delivered->data, frame.data, 8);
    ++g_channel.counters.delivered;
    return 0;
  }
  return kTryUsedUp;
}

// The polling receive: a sleep of step_ms after every failed try; the elapsed count is the sum of
// the requested sleeps.
int32_t receive_polling(CanFrame* frame, int32_t step_ms, int64_t limit) {
  int64_t elapsed = 0;
  do {
    if (can_stopped() != 0) break;
    if (try_once(frame) == 0) return 0;
    if (can_stopped() != 0) break;  // the read found the adapter gone
    sleep_ms(static_cast<uint32_t>(step_ms));
    elapsed += step_ms;
  } while (elapsed <= limit);
  return CAN_NO_FRAME;
}

// The waiting receive: a window of `tries` steps on the clock from now. It reads, then waits for a
// frame; an arrival wakes it at once, wherever in the window it comes, so a wait spans steps (cut
// into slices of kWaitSliceUs, so that a stop is seen soon). A try that ended on a dropped frame
// sleeps out the rest of its step, as a polling try would.
int32_t receive_waiting(CanFrame* frame, int32_t step_ms, int64_t tries) {
  const uint64_t step_us = static_cast<uint64_t>(step_ms) * 1000u;
  const uint64_t start = now_us();
  const uint64_t end = start + static_cast<uint64_t>(tries) * step_us;
  for (;;) {
    if (can_stopped() != 0) return CAN_NO_FRAME;
    const int32_t tried = try_once(frame);
    if (tried == 0) return 0;
    if (can_stopped() != 0) return CAN_NO_FRAME;  // the read found the adapter gone
    const uint64_t now = now_us();
    if (now >= end) return CAN_NO_FRAME;
    const uint64_t step_end = start + ((now - start) / step_us + 1) * step_us;
    if (tried != kTryUsedUp && !g_channel.polling) {
      const uint64_t until = end - now > kWaitSliceUs ? now + kWaitSliceUs : end;
      CanNews news{};
      const int32_t woke = g_channel.active->wait(until, &news);
      take_news(woke, news);
      if (woke > 0 || woke == CAN_ADAPTER_LOST) continue;
      if (woke == 0) {
        sleep_until_us(until);  // a wait in whole milliseconds may end a little early
        if (until >= end) return CAN_NO_FRAME;
        continue;
      }
      g_channel.polling = true;
    }
    // The window's last read was at the start of its last step.
    sleep_until_us(step_end < end ? step_end : end);
    if (step_end >= end) return CAN_NO_FRAME;
  }
}

const char* bus_state_text(CanBusState state) {
  switch (state) {
    case CAN_BUS_WARNING:
      return "error warning (frames meet errors on the bus; check the wiring and the termination)";
    case CAN_BUS_PASSIVE:
      return "error-passive (frames are not acknowledged: is the unit or node powered and on this "
             "bus, at 250 kbit/s?)";
    case CAN_BUS_OFF:
      return "bus-off (the adapter stopped sending: check the wiring, the termination and every "
             "node's bit rate, then start again)";
    case CAN_BUS_ACTIVE:
    case CAN_BUS_UNKNOWN:
      break;
  }
  return "";
}

// After a receive that brought nothing, or a send refused for bus-off: names a troubled bus state,
// once per change.
void explain_silence() {
  if (g_channel.bus_state == g_channel.bus_state_printed) return;
  g_channel.bus_state_printed = g_channel.bus_state;
  if (g_channel.bus_state == CAN_BUS_ACTIVE || g_channel.bus_state == CAN_BUS_UNKNOWN) return;
  console_problem("CAN bus state: %s\n", bus_state_text(g_channel.bus_state));
  log_writef(LOG_ALWAYS, "CAN bus state: %s\n", bus_state_text(g_channel.bus_state));
}
}  // namespace

int32_t can_accept_id(uint32_t id) {
  if (can_id_accepted(id)) return 0;
  if (g_channel.accepted_count == CAN_MAX_ACCEPTED_IDS) return -1;
  g_channel.accepted[g_channel.accepted_count++] = id;
  return 0;
}

int can_accepted_ids(const uint32_t** ids) {
  *ids = g_channel.accepted;
  return g_channel.accepted_count;
}

bool can_id_accepted(uint32_t id) {
  for (int i = 0; i < g_channel.accepted_count; ++i) {
    if (g_channel.accepted[i] == id) return true;
  }
  return false;
}

int32_t can_send_frame(const CanFrame& frame) {
  const CanBackend* active = g_channel.active;
  if (can_stopped() != 0 || !active) return CAN_SEND_REFUSED;
  // A full queue drains in a few frame times; the same rule for every adapter.
  uint32_t waited_ms = 0;
  for (;;) {
    CanNews news{};
    const int32_t sent = active->send(frame, &news);
    take_news(sent, news);
    // A refused send is the step's end: a bus-off that the adapter told with it is named now.
    if (sent != 0 && sent != CAN_SEND_QUEUE_FULL && news.bus_told &&
        news.bus_state == CAN_BUS_OFF) {
      explain_silence();
    }
    if (sent == 0) {
      ++g_channel.counters.sent;
      frame_trace_frame(true, frame.id, true, false, frame.data, 8);
      return 0;
    }
    // A refusal that the adapter explains by bus-off is named at once: no retry can help.
    if (sent != CAN_SEND_QUEUE_FULL && news.bus_told && news.bus_state == CAN_BUS_OFF) {
      explain_silence();
    }
    if (sent != CAN_SEND_QUEUE_FULL) break;
    if (waited_ms >= CAN_FULL_QUEUE_RETRY_MS || can_stopped() != 0) {
      log_writef(LOG_ALWAYS, "%s: transmit queue still full after %u ms\n", active->name,
                 waited_ms);
      // The step that failed names itself next (or not at all); this says why.
      if (can_stopped() == 0) {
        console_problem("%s: transmit queue still full after %u ms\n", active->name, waited_ms);
      }
      break;
    }
    ++g_channel.counters.send_retries;
    sleep_ms(1);
    ++waited_ms;
  }
  ++g_channel.counters.send_refused;
  return CAN_SEND_REFUSED;
}

int32_t can_receive_frame(CanFrame* frame, int32_t step_ms, int32_t extra_ms) {
  *frame = CanFrame{};
  const CanBackend* active = g_channel.active;
  const int64_t limit = static_cast<int64_t>(step_ms) + extra_ms;
  // A step below 1 ms would never use up the limit.
  if (limit < 0 || step_ms < 1 || !active) return CAN_NO_FRAME;
  const int32_t received = active->wait && !g_channel.polling
                               ? receive_waiting(frame, step_ms, limit / step_ms + 1)
                               : receive_polling(frame, step_ms, limit);
  if (received == 0) return 0;
  if (active->receive_timed_out && can_stopped() == 0) {
    CanNews news{};
    take_news(active->receive_timed_out(&news), news);
  }
  explain_silence();
  *frame = CanFrame{};
  return CAN_NO_FRAME;
}

int32_t can_stopped() {
  if (g_channel.stopped == 0 && platform_interrupt() != 0) {
    g_channel.stopped = CAN_STOPPED_INTERRUPT;
  }
  return g_channel.stopped;
}

void can_close() {
  if (g_channel.active && g_channel.active->close) g_channel.active->close();
  g_channel.active = nullptr;
}

const CanCounters& can_counters() { return g_channel.counters; }

void can_channel_attach(const CanBackend* backend) {
  g_channel.active = backend;
  g_channel.polling = false;
}

void can_channel_reset() { g_channel = ChannelState{}; }
