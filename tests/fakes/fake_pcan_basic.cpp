// A fake PCAN-Basic library (libpcanbasic.so) with the vendor's ABI: it records every call with its
// arguments, answers from its settings, and reads frames from a queue that the test fills, or, in
// bus mode, carries the tool's frames over its own copy of the emulated bus and world.
// Control functions (looked up with dlsym): fake_pcan_reset, fake_pcan_configure, fake_pcan_calls,
// fake_pcan_push_message, fake_pcan_set_clock, fake_pcan_bus_frame_count,
// fake_pcan_read_failed_at_us, fake_pcan_unplugged_at_us.
// Settings (also from RALVEX_FAKE_PCAN at load; calls also go to the file RALVEX_FAKE_PCAN_CALLS):
//   initialize=STATUS  filter_mode_0xMM=STATUS (mode MM; 0x23 and 0x02 succeed by default)
//   write=STATUS  bus=1 (frames go over the emulated bus, from CAN_Initialize on)
//   attached=N1:N2:...  the PCAN-USB channels plugged in (default 1:2); occupied=N1:...  those that
//     another program holds (default 2): CAN_Initialize on one fails with PCAN_ERROR_HWINUSE
//   device_id@N=ID (default N)  api_version=TEXT (default 4.8.0.5)
//   attached_status=STATUS  both attached-channel queries fail with it (an older library:
//     0x4000, PCAN_ERROR_ILLPARAMTYPE); api_version_status=STATUS  condition_status=STATUS
//   status_after_write=N1:N2:...  after the Nth CAN_Write, the next CAN_Read brings a status
//     message (bus light) before anything else
//   status=STATUS  what CAN_GetStatus returns (default PCAN_ERROR_OK)
//   overrun_after_write=N1:N2:...  after the Nth CAN_Write, the next frame of the bus for the tool
//     is lost, and a status message with overrun_status=STATUS (default PCAN_ERROR_OVERRUN) comes
//     in its place (in bus mode)
//   write_fail_from=N  from the Nth CAN_Write on, it returns write_fail=STATUS (default
//     PCAN_ERROR_ILLHW, an unplugged adapter)
//   read_fail_from=N  from the Nth CAN_Read on, it returns read_fail=STATUS (default
//     PCAN_ERROR_ILLHW, an unplugged adapter), and so does CAN_GetStatus; the receive event is
//     never set again. When the process ends, the calls get "reads failed for <ms> ms when the
//     process ended"; fake_pcan_read_failed_at_us gives the time of the first failing read.
// The receive event (PCAN_RECEIVE_EVENT) is real: on Linux CAN_GetValue hands out a timerfd that
// is readable while a message waits, and in bus mode from the time the next frame reaches the
// tool (looked ahead on the emulated bus when a CAN_Read finds nothing); on Windows CAN_SetValue
// takes the caller's event HANDLE, which is set at the same moments (by a timer thread for the
// future ones). Built with FAKE_WITHOUT_RECEIVE_EVENT it refuses the parameter, as an old
// library would (PCAN_ERROR_ILLPARAMTYPE).
//   unplug_after_write=N  after the Nth CAN_Write the adapter is gone: reads, writes and status
//     queries fail with the library's status for it (below), and the receive event polls POLLERR
//     (Linux variants); when the process ends the calls get "unplugged for <ms> ms when the process
//     ended"
//   bus_state=warning|passive|off  what CAN_GetStatus returns, in the library's own words (below)
// Built with FAKE_PCAN_LINUX=43 or =2022 it behaves as PEAK's PCAN-Basic for Linux 4.3.1.3 (driver
// package 8.9.3) or its pcbcore.c of 2022 does, where that differs from the header:
//   - CAN_FilterMessages takes every mode: PCAN_MODE_EXTENDED (2) makes a range of 29-bit
//     identifiers, any other value one of 11-bit identifiers (pcanbasic_filter); a frame reaches
//     the tool when no range was set or one of its own kind holds it (the driver's filter list)
//   - a gone adapter (the driver's ENODEV): 4.3 PCAN_ERROR_UNKNOWN, 2022 PCAN_ERROR_ILLHW; the
//     receive event (the driver's descriptor) then polls POLLERR
//   - bus states: warning PCAN_ERROR_BUSLIGHT, error-passive PCAN_ERROR_BUSHEAVY (classic CAN)
//   - a channel that another program holds (occupied=) is shared: CAN_Initialize succeeds; its
//     condition, and that of every channel this process initialised, is PCAN_CHANNEL_OCCUPIED
//   - CAN_Initialize of a channel not attached: 4.3 PCAN_ERROR_NODRIVER, 2022 PCAN_ERROR_ILLHW
//   - 4.3: PCAN_DEVICE_ID of a channel not initialised, and both attached-channel queries, give
//     PCAN_ERROR_INITIALIZE
//   - it exports pcanfd_open, as PEAK's build exports the driver library compiled into it
#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "can/peak/pcan_basic.h"
#include "can/sim/sim_bus.h"
#include "fakes/fake_support.h"
#include "fakes/fake_world.h"
#include "platform/platform.h"
#include "sim/world.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace {
// Starts with the settings of the environment (for runs of the tool's executable).
FakeSettings& settings() {
  static FakeSettings values = FakeSettings::from_environment("RALVEX_FAKE_PCAN");
  return values;
}

FakeCallRecord g_calls("RALVEX_FAKE_PCAN_CALLS");
FakeUnplug g_unplug(&g_calls);
std::deque<TPCANMsg> g_messages;
long long g_writes = 0;
int g_pending_status = 0;
int g_pending_overruns = 0;
std::vector<std::pair<uint32_t, uint32_t>> g_filter_ranges;

#if defined(FAKE_PCAN_LINUX)
constexpr bool kLinux = true;
// The modes of the ranges in g_filter_ranges: true for 29-bit identifiers.
std::vector<bool> g_filter_extended;
// The channels this process initialised (handles).
std::vector<TPCANHandle> g_initialised;
#if FAKE_PCAN_LINUX == 43
constexpr TPCANStatus kGone = PCAN_ERROR_UNKNOWN;
constexpr TPCANStatus kNotAttached = PCAN_ERROR_NODRIVER;
constexpr const char* kVersion = "4.3.1.3";
#else
constexpr TPCANStatus kGone = PCAN_ERROR_ILLHW;
constexpr TPCANStatus kNotAttached = PCAN_ERROR_ILLHW;
constexpr const char* kVersion = "4.6 (pcbcore.c of 2022)";
#endif
#else
constexpr bool kLinux = false;
constexpr TPCANStatus kGone = PCAN_ERROR_ILLHW;
constexpr const char* kVersion = "4.8.0.5";
#endif

TPCANStatus setting(const char* name) {
  return static_cast<TPCANStatus>(settings().number(name, PCAN_ERROR_OK));
}

// The adapter's filter widens with every accepted CAN_FilterMessages call: to one span from the
// lowest identifier asked for to the highest, the widest a widening filter may become.
bool filter_passes(uint32_t id) {
#if defined(FAKE_PCAN_LINUX)
  // The bus carries 29-bit frames only.
  if (g_filter_ranges.empty()) return true;
  for (size_t i = 0; i < g_filter_ranges.size(); ++i) {
    if (g_filter_extended[i] && id >= g_filter_ranges[i].first && id <= g_filter_ranges[i].second) {
      return true;
    }
  }
  return false;
#endif
  bool passes = false;
  uint32_t low = UINT32_MAX;
  uint32_t high = 0;
  for (const auto& range : g_filter_ranges) {
    low = range.first < low ? range.first : low;
    high = range.second > high ? range.second : high;
    passes = true;
  }
  return passes && id >= low && id <= high;
}

bool bus_mode() { return settings().number("bus", 0) != 0; }

// How far a CAN_Read that finds nothing looks ahead on the bus for the next frame to the tool:
// more than the tool's longest single wait (50 ms), so that every arrival within a wait sets the
// event, as a real driver's would.
constexpr uint64_t kLookaheadUs = 60000;
// Set while a test's clock drives the bus: the event then follows the queue alone.
bool g_virtual_clock = false;

#if defined(_WIN32)
HANDLE g_tool_event = nullptr;
HANDLE g_timer = nullptr;

DWORD WINAPI timer_thread(void*) {
  for (;;) {
    if (WaitForSingleObject(g_timer, INFINITE) != WAIT_OBJECT_0) return 0;
    if (g_tool_event) SetEvent(g_tool_event);
  }
}

// Signals now (`at_us` 0), at `at_us` on the monotonic clock, or not at all (UINT64_MAX).
void signal_at(uint64_t at_us) {
  if (!g_tool_event) return;
  if (at_us == 0) {
    SetEvent(g_tool_event);
    return;
  }
  if (!g_timer) {
    g_timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (!g_timer) return;
    CloseHandle(CreateThread(nullptr, 0, timer_thread, nullptr, 0, nullptr));
  }
  if (at_us == UINT64_MAX) {
    CancelWaitableTimer(g_timer);
    return;
  }
  const uint64_t now = now_us();
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>((at_us > now ? at_us - now : 0) * 10u);  // 100 ns units
  if (due.QuadPart == 0) due.QuadPart = -1;
  SetWaitableTimer(g_timer, &due, 0, nullptr, nullptr, FALSE);
}
#else
int g_event_fd = -1;

void signal_at(uint64_t at_us) {
  if (g_event_fd < 0) return;
  itimerspec when{};
  if (at_us == 0) {
    when.it_value.tv_nsec = 1;  // long past: readable at once
  } else if (at_us != UINT64_MAX) {
    when.it_value.tv_sec = static_cast<time_t>(at_us / 1000000u);
    when.it_value.tv_nsec = static_cast<long>(at_us % 1000000u) * 1000L;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
  }
  // Setting the timer also clears what it signalled before.
  timerfd_settime(g_event_fd, TFD_TIMER_ABSTIME, &when, nullptr);
}
#endif

// The adapter gone (unplug_after_write): when, on the fake's clock; 0 while it is there.
uint64_t g_unplugged_at_us = 0;
struct UnplugRecord {
  ~UnplugRecord();
} g_unplug_record;

// A gone adapter's descriptor: the driver's poll answers POLLERR. The tool's descriptor number is
// kept, now naming the write end of a pipe whose read end is closed.
#if !defined(_WIN32)
bool g_event_broken = false;  // until the next reset makes a new descriptor
#endif

void event_fails() {
#if defined(FAKE_PCAN_LINUX) && !defined(_WIN32)
  if (g_event_fd < 0) return;
  int ends[2];
  if (pipe(ends) != 0) return;
  close(ends[0]);
  dup2(ends[1], g_event_fd);
  close(ends[1]);
  g_event_broken = true;
#endif
}

void unplug() {
  if (g_unplugged_at_us != 0) return;
  g_unplugged_at_us = now_us();
  if (g_unplugged_at_us == 0) g_unplugged_at_us = 1;
  signal_at(UINT64_MAX);
  event_fails();
}

// After every call that changes what the tool can read: the event is there while a message
// waits; in bus mode with nothing waiting, from the next frame's arrival on.
void update_event(bool looked_empty) {
  if (!g_messages.empty() || g_pending_status > 0) {
    signal_at(0);
    return;
  }
  uint64_t at_us = 0;
  if (bus_mode() && looked_empty && !g_virtual_clock &&
      sim_bus_next_tool_delivery(now_us() + kLookaheadUs, &at_us) == 0) {
    signal_at(at_us);
    return;
  }
  if (bus_mode() && !looked_empty) {
    signal_at(0);  // the tool reads until empty; the next CAN_Read looks again
    return;
  }
  signal_at(UINT64_MAX);
}

bool listed(const char* name, long long fallback, long long value) {
  std::vector<long long> items = settings().list(name);
  if (settings().text(name, "").empty()) items.assign(1, fallback);
  return std::find(items.begin(), items.end(), value) != items.end();
}

bool initialised_here(TPCANHandle handle) {
#if defined(FAKE_PCAN_LINUX)
  return std::find(g_initialised.begin(), g_initialised.end(), handle) != g_initialised.end();
#else
  (void)handle;
  return false;
#endif
}

std::vector<long long> attached_numbers() {
  std::vector<long long> numbers = settings().list("attached");
  if (settings().text("attached", "").empty()) numbers = {1, 2};
  return numbers;
}

// The PCAN-USB channel number of a handle (0x51-0x58: 1-8, 0x509-0x510: 9-16), 0 for others.
long long usb_number(TPCANHandle handle) {
  if (handle >= 0x51 && handle <= 0x58) return handle - 0x51 + 1;
  if (handle >= 0x509 && handle <= 0x510) return handle - 0x509 + 9;
  return 0;
}

TPCANHandle usb_handle(long long number) {
  return static_cast<TPCANHandle>(number <= 8 ? 0x51 + number - 1 : 0x509 + number - 9);
}

uint32_t device_id(long long number) {
  const std::string name = "device_id@" + std::to_string(number);
  return static_cast<uint32_t>(settings().number(name.c_str(), number));
}

uint32_t condition(long long number) {
  const std::vector<long long> attached = attached_numbers();
  if (std::find(attached.begin(), attached.end(), number) == attached.end()) {
    return PCAN_CHANNEL_UNAVAILABLE;
  }
  if (initialised_here(usb_handle(number))) return PCAN_CHANNEL_OCCUPIED;
  return listed("occupied", 2, number) ? PCAN_CHANNEL_OCCUPIED : PCAN_CHANNEL_AVAILABLE;
}

// Copies a 32-bit value into a CAN_GetValue buffer of at least 4 bytes.
TPCANStatus put_u32(void* buffer, uint32_t length, uint32_t value) {
  if (!buffer || length < sizeof value) return PCAN_ERROR_ILLPARAMVAL;
  std::memcpy(buffer, &value, sizeof value);
  return PCAN_ERROR_OK;
}

}  // namespace

FAKE_EXPORT TPCANStatus PCAN_API CAN_Initialize(TPCANHandle channel, TPCANBaudrate btr0btr1,
                                                TPCANType hw_type, uint32_t io_port,
                                                uint16_t interrupt) {
  g_calls.add("CAN_Initialize(0x%02X, 0x%04X, %u, %u, %u)", channel, btr0btr1, hw_type, io_port,
              interrupt);
  TPCANStatus status = setting("initialize");
#if defined(FAKE_PCAN_LINUX)
  // Shared with the program that holds it, at the same bit rate; a missing device is not found.
  if (status == PCAN_ERROR_OK && condition(usb_number(channel)) == PCAN_CHANNEL_UNAVAILABLE) {
    status = kNotAttached;
  }
  if (status == PCAN_ERROR_OK && !initialised_here(channel)) g_initialised.push_back(channel);
  g_filter_extended.clear();
#else
  if (status == PCAN_ERROR_OK && condition(usb_number(channel)) == PCAN_CHANNEL_OCCUPIED) {
    status = PCAN_ERROR_HWINUSE;
  }
#endif
  g_filter_ranges.clear();
  if (status == PCAN_ERROR_OK && bus_mode()) {
    if (sim_bus_device_count() == 0) {
      fake_world::attach_devices(settings());
    }
    sim_bus_set_tool_filter(filter_passes);
  }
  return status;
}

FAKE_EXPORT TPCANStatus PCAN_API CAN_Uninitialize(TPCANHandle channel) {
  g_calls.add("CAN_Uninitialize(0x%02X)", channel);
#if defined(FAKE_PCAN_LINUX)
  g_initialised.erase(std::remove(g_initialised.begin(), g_initialised.end(), channel),
                      g_initialised.end());
#endif
  return PCAN_ERROR_OK;
}

FAKE_EXPORT TPCANStatus PCAN_API CAN_Reset(TPCANHandle channel) {
  g_calls.add("CAN_Reset(0x%02X)", channel);
  return PCAN_ERROR_OK;
}

TPCANStatus read_failure() {
  return static_cast<TPCANStatus>(settings().number("read_fail", kGone));
}

// The bus_state setting in the library's words.
TPCANStatus bus_state_status() {
  const std::string state = settings().text("bus_state", "");
  if (state == "off") return PCAN_ERROR_BUSOFF;
  if (state == "passive") return kLinux ? PCAN_ERROR_BUSHEAVY : PCAN_ERROR_BUSPASSIVE;
  if (state == "warning") return kLinux ? PCAN_ERROR_BUSLIGHT : PCAN_ERROR_BUSHEAVY;
  return setting("status");
}

// Status queries are not recorded: the tool asks after every receive that brought nothing.
FAKE_EXPORT TPCANStatus PCAN_API CAN_GetStatus(TPCANHandle) {
  if (g_unplugged_at_us != 0) return kGone;
  return g_unplug.unplugged() ? read_failure() : bus_state_status();
}

// Reads are not recorded: a receive polls many times.
FAKE_EXPORT TPCANStatus PCAN_API CAN_Read(TPCANHandle, TPCANMsg* message, TPCANTimestamp* stamp) {
  std::memset(stamp, 0, sizeof *stamp);
  if (g_unplugged_at_us != 0) return kGone;
  if (g_unplug.read_fails(settings().number("read_fail_from", 0), now_us)) {
    signal_at(UINT64_MAX);
    event_fails();
    return read_failure();
  }
  if (g_pending_status > 0) {
    // A status message carries its status in the first four data bytes, most significant first.
    --g_pending_status;
    *message = TPCANMsg{0, PCAN_MESSAGE_STATUS, 4, {0, 0, 0, PCAN_ERROR_BUSLIGHT}};
    update_event(false);
    return PCAN_ERROR_OK;
  }
  if (bus_mode()) {
    uint8_t data[8];
    uint32_t id = 0;
    if (sim_bus_tool_try_receive(data, &id) != 0) {
      update_event(true);
      return PCAN_ERROR_QRCVEMPTY;
    }
    *message = TPCANMsg{id, PCAN_MESSAGE_EXTENDED, 8, {}};
    std::memcpy(message->DATA, data, 8);
    if (g_pending_overruns > 0) {
      --g_pending_overruns;
      const auto status = static_cast<uint32_t>(settings().number("overrun_status", 0x2));
      *message = TPCANMsg{0, PCAN_MESSAGE_STATUS, 4,
                          {static_cast<uint8_t>(status >> 24), static_cast<uint8_t>(status >> 16),
                           static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(status)}};
    }
    update_event(false);
    return PCAN_ERROR_OK;
  }
#if defined(FAKE_PCAN_LINUX)
  // The driver's filter list keeps back the data frames that no range of their kind holds.
  while (!g_messages.empty() && !g_filter_ranges.empty() &&
         !(g_messages.front().MSGTYPE & (PCAN_MESSAGE_STATUS | PCAN_MESSAGE_ERRFRAME))) {
    const TPCANMsg& next = g_messages.front();
    const bool extended = (next.MSGTYPE & PCAN_MESSAGE_EXTENDED) != 0;
    bool passes = false;
    for (size_t i = 0; i < g_filter_ranges.size(); ++i) {
      passes = passes || (g_filter_extended[i] == extended && next.ID >= g_filter_ranges[i].first &&
                          next.ID <= g_filter_ranges[i].second);
    }
    if (passes) break;
    g_messages.pop_front();
  }
#endif
  if (g_messages.empty()) {
    update_event(true);
    return PCAN_ERROR_QRCVEMPTY;
  }
  *message = g_messages.front();
  g_messages.pop_front();
  update_event(false);
  return PCAN_ERROR_OK;
}

FAKE_EXPORT TPCANStatus PCAN_API CAN_Write(TPCANHandle channel, TPCANMsg* message) {
  g_calls.add("CAN_Write(0x%02X, 0x%X, 0x%02X, %u, %02X %02X %02X %02X %02X %02X %02X %02X)",
              channel, message->ID, message->MSGTYPE, message->LEN, message->DATA[0],
              message->DATA[1], message->DATA[2], message->DATA[3], message->DATA[4],
              message->DATA[5], message->DATA[6], message->DATA[7]);
  if (g_unplugged_at_us != 0) return kGone;
  TPCANStatus status = setting("write");
  ++g_writes;
  const long long fail_from = settings().number("write_fail_from", 0);
  if (fail_from != 0 && g_writes >= fail_from) {
    status = static_cast<TPCANStatus>(settings().number("write_fail", PCAN_ERROR_ILLHW));
  }
  if (listed("overrun_after_write", 0, g_writes)) ++g_pending_overruns;
  if (listed("status_after_write", 0, g_writes)) {
    ++g_pending_status;
    signal_at(0);
  }
  if (status == PCAN_ERROR_OK && bus_mode() && sim_bus_tool_send(message->ID, message->DATA) != 0) {
    return 0x00001;  // PCAN_ERROR_XMTFULL
  }
  if (listed("unplug_after_write", 0, g_writes)) unplug();
  return status;
}

FAKE_EXPORT TPCANStatus PCAN_API CAN_FilterMessages(TPCANHandle channel, uint32_t from_id,
                                                    uint32_t to_id, TPCANMode mode) {
  g_calls.add("CAN_FilterMessages(0x%02X, 0x%X, 0x%X, 0x%02X)", channel, from_id, to_id, mode);
  char name[32];
  std::snprintf(name, sizeof name, "filter_mode_0x%02X", mode);
  // Modes other than the two this tool uses are refused, as a strict library would; PEAK's Linux
  // library takes every value.
  const bool taken = kLinux || mode == 0x23 || mode == 0x02;
  const TPCANStatus status = static_cast<TPCANStatus>(settings().number(name, taken ? 0 : 0x10000));
  if (status == PCAN_ERROR_OK) {
    g_filter_ranges.emplace_back(from_id, to_id);
#if defined(FAKE_PCAN_LINUX)
    g_filter_extended.push_back(mode == PCAN_MODE_EXTENDED);
#endif
  }
  return status;
}

FAKE_EXPORT TPCANStatus PCAN_API CAN_GetValue(TPCANHandle channel, TPCANParameter parameter,
                                              void* buffer, uint32_t length) {
  g_calls.add("CAN_GetValue(0x%02X, 0x%02X)", channel, parameter);
  if (parameter == PCAN_API_VERSION && channel == PCAN_NONEBUS) {
    const TPCANStatus status = setting("api_version_status");
    if (status != PCAN_ERROR_OK) return status;
    if (!buffer || length == 0) return PCAN_ERROR_ILLPARAMVAL;
    std::snprintf(static_cast<char*>(buffer), length, "%s",
                  settings().text("api_version", kVersion).c_str());
    return PCAN_ERROR_OK;
  }
  if ((parameter == PCAN_ATTACHED_CHANNELS_COUNT || parameter == PCAN_ATTACHED_CHANNELS) &&
      channel == PCAN_NONEBUS) {
#if defined(FAKE_PCAN_LINUX) && FAKE_PCAN_LINUX == 43
    // Neither parameter is known: 4.3 looks for an initialised channel PCAN_NONEBUS.
    return PCAN_ERROR_INITIALIZE;
#endif
    const TPCANStatus status = setting("attached_status");
    if (status != PCAN_ERROR_OK) return status;
    const std::vector<long long> numbers = attached_numbers();
    if (parameter == PCAN_ATTACHED_CHANNELS_COUNT) {
      return put_u32(buffer, length, static_cast<uint32_t>(numbers.size()));
    }
    if (!buffer || length < numbers.size() * sizeof(TPCANChannelInformation)) {
      return PCAN_ERROR_ILLPARAMVAL;
    }
    auto* info = static_cast<TPCANChannelInformation*>(buffer);
    for (size_t i = 0; i < numbers.size(); ++i) {
      info[i] = TPCANChannelInformation{};
      info[i].channel_handle = usb_handle(numbers[i]);
      info[i].device_type = PCAN_USB;
      std::snprintf(info[i].device_name, sizeof info[i].device_name, "PCAN-USB");
      info[i].device_id = device_id(numbers[i]);
      info[i].channel_condition = condition(numbers[i]);
    }
    return PCAN_ERROR_OK;
  }
  if (parameter == PCAN_CHANNEL_CONDITION) {
    const TPCANStatus status = setting("condition_status");
    if (status != PCAN_ERROR_OK) return status;
    return put_u32(buffer, length, condition(usb_number(channel)));
  }
#if !defined(_WIN32)
  if (parameter == PCAN_RECEIVE_EVENT) {
#if defined(FAKE_WITHOUT_RECEIVE_EVENT)
    return PCAN_ERROR_ILLPARAMTYPE;
#else
    if (!buffer || length < sizeof(int)) return PCAN_ERROR_ILLPARAMVAL;
    if (g_event_fd < 0) g_event_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (g_event_fd < 0) return PCAN_ERROR_ILLPARAMVAL;
    std::memcpy(buffer, &g_event_fd, sizeof(int));
    update_event(true);
    return PCAN_ERROR_OK;
#endif
  }
#endif
  if (parameter == PCAN_DEVICE_ID) {
    if (condition(usb_number(channel)) == PCAN_CHANNEL_UNAVAILABLE) return PCAN_ERROR_ILLHW;
#if defined(FAKE_PCAN_LINUX) && FAKE_PCAN_LINUX == 43
    if (!initialised_here(channel)) return PCAN_ERROR_INITIALIZE;
#endif
    return put_u32(buffer, length, device_id(usb_number(channel)));
  }
  return PCAN_ERROR_OK;
}

FAKE_EXPORT TPCANStatus PCAN_API CAN_SetValue(TPCANHandle channel, TPCANParameter parameter,
                                              void* buffer, uint32_t length) {
  g_calls.add("CAN_SetValue(0x%02X, 0x%02X)", channel, parameter);
#if defined(_WIN32)
  if (parameter == PCAN_RECEIVE_EVENT) {
#if defined(FAKE_WITHOUT_RECEIVE_EVENT)
    return PCAN_ERROR_ILLPARAMTYPE;
#else
    if (!buffer || length < sizeof(HANDLE)) return PCAN_ERROR_ILLPARAMVAL;
    std::memcpy(&g_tool_event, buffer, sizeof(HANDLE));
    update_event(true);
#endif
  }
#else
  (void)buffer;
  (void)length;
#endif
  return PCAN_ERROR_OK;
}

#ifndef FAKE_WITHOUT_CAN_GetErrorText
FAKE_EXPORT TPCANStatus PCAN_API CAN_GetErrorText(TPCANStatus error, uint16_t language,
                                                  char* buffer) {
  g_calls.add("CAN_GetErrorText(0x%X, %u)", error, language);
  if (error == PCAN_ERROR_HWINUSE) {
    std::snprintf(buffer, 256, "fake PCAN error 0x%X: the hardware is in use by another program",
                  error);
  } else {
    std::snprintf(buffer, 256, "fake PCAN error 0x%X", error);
  }
  return PCAN_ERROR_OK;
}
#endif

#if defined(FAKE_PCAN_LINUX)
// Never called: PEAK's build exports the driver library's functions, by which the tool knows it.
FAKE_EXPORT int pcanfd_open(const char*, unsigned long, ...) { return -1; }
#endif

UnplugRecord::~UnplugRecord() {
  if (g_unplugged_at_us != 0) {
    g_calls.add("unplugged for %llu ms when the process ended",
                static_cast<unsigned long long>((now_us() - g_unplugged_at_us) / 1000u));
  }
}

FAKE_EXPORT void fake_pcan_reset() {
  g_calls.clear();
  settings().clear();
  g_messages.clear();
  g_filter_ranges.clear();
#if defined(FAKE_PCAN_LINUX)
  g_filter_extended.clear();
  g_initialised.clear();
#endif
  g_unplugged_at_us = 0;
#if !defined(_WIN32)
  if (g_event_broken) {
    close(g_event_fd);
    g_event_fd = -1;
    g_event_broken = false;
  }
#endif
  g_writes = 0;
  g_pending_status = 0;
  g_pending_overruns = 0;
  g_unplug.clear();
  sim_bus_reset();
  sim_bus_record_frames(true);
  signal_at(UINT64_MAX);
}

FAKE_EXPORT void fake_pcan_configure(const char* text) { settings().parse(text); }

FAKE_EXPORT const char* fake_pcan_calls() { return g_calls.text(); }

FAKE_EXPORT void fake_pcan_push_message(uint32_t id, uint8_t type, uint8_t length,
                                        const uint8_t data[8]) {
  TPCANMsg message{id, type, length, {}};
  std::memcpy(message.DATA, data, 8);
  g_messages.push_back(message);
  signal_at(0);
}

// The bus inside this library runs on its own copy of the platform clock; a test in the same
// process hands it a clock that forwards to its own (virtual) one.
FAKE_EXPORT void fake_pcan_set_clock(const PlatformClock* clock) {
  platform_set_clock(clock);
  g_virtual_clock = clock != nullptr;
}

FAKE_EXPORT uint64_t fake_pcan_read_failed_at_us() { return g_unplug.failed_at_us(); }

FAKE_EXPORT uint64_t fake_pcan_unplugged_at_us() { return g_unplugged_at_us; }

FAKE_EXPORT size_t fake_pcan_bus_frame_count() {
  const SimBusFrame* frames = nullptr;
  return sim_bus_frames(&frames);
}
