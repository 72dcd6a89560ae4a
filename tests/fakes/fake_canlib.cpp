// A fake Kvaser CANlib library (libcanlib.so.1) with the vendor's ABI: it records every call with
// its arguments, offers the channels its settings describe, and reads frames from a queue that the
// test fills, or, in bus mode, carries the tool's frames over its own copy of the emulated bus and
// world, passing the tool only what the extended acceptance filter admits.
// Control functions (looked up with dlsym): fake_canlib_reset, fake_canlib_configure,
// fake_canlib_calls, fake_canlib_push_frame.
// Settings (also from RALVEX_FAKE_CANLIB at load; calls also go to the file
// RALVEX_FAKE_CANLIB_CALLS):
//   cards=T0:T1:...  card type per channel (default 48:48:1, two real channels and a virtual one;
//     type 1 is virtual and has canCHANNEL_CAP_VIRTUAL)
//   name@I=TEXT  ean@I=BCD  serial@I=N  chan_no@I=K  the device name, EAN, serial number and
//     number on its device of channel I (chan_no default 0)
//     (defaults: "Kvaser Leaf Light v2", 0x0007330130006850, 10001 + I for a real channel;
//     "Kvaser Virtual CAN Driver", 0, 0 for a virtual one)
//   item_status@ITEM=STATUS  canGetChannelData of item ITEM fails with STATUS (e.g. -32)
//   version_ex=0xMMmmLL  the product's version MM.mm with its letter LL (default 0x052900, 5.41):
//     canGetVersionEx answers as Kvaser's CANlib for Linux does, PRODVER with the product's
//     0xMMmm, PRODVER32 and VERSION with libcanlib's own version (major MM + 3: 8.41 for 5.41)
//   version=0xMMmm (canGetVersion, default libcanlib's own 0xMMmm); built with
//     FAKE_WITHOUT_canGetVersion it exports neither
//   error_frame_after_write=N1:N2:...  after the Nth canWrite, the next canRead brings an error
//     frame before anything else
//   channels=N       the count reported instead of the number of cards
//   channels_status=STATUS  channel_data_status=STATUS
//   open_fail=I0:I1:...  channel indexes whose canOpenChannel fails with canERR_NOTFOUND (-3)
//   open_elsewhere=I0:I1:...  channels that another program holds open exclusively: canOpenChannel
//     fails with canERR_NOCHANNELS (-5), as it does for a channel opened with canOPEN_EXCLUSIVE in
//     this process and not closed. A virtual channel opens only with canOPEN_ACCEPT_VIRTUAL (else
//     canERR_NOTFOUND), as in the real library.
//   bus_params=STATUS  standard_filter=STATUS  extended_filter=STATUS  bus_on=STATUS  write=STATUS
//   (each of these five also as name@I=STATUS for channel index I alone)
//   bus=1 (frames go over the emulated bus, from canBusOn on)
// canReadWait waits for real on the fake's platform clock: in bus mode until the next frame
// reaches the tool (looked ahead on the emulated bus) or the timeout; with a queue, until the
// timeout when the queue is empty. A test hands the fake its clock with fake_canlib_set_clock.
// Built with FAKE_WITHOUT_canReadWait it lacks that entry point, as an old library would.
//   overrun_after_write=N1:N2:...  after the Nth canWrite, the next frame of the bus for the tool is
//     lost, and the one after it carries overrun_flags=FLAGS (default canMSGERR_HW_OVERRUN)
//   status_flags=FLAGS  what canReadStatus gives (default canSTAT_ERROR_ACTIVE)
//   read_status=STATUS  what canReadStatus returns (default canOK)
//   write_fail_from=N  from the Nth canWrite on, it returns write_fail=STATUS (default
//     canERR_NOCARD, an unplugged adapter)
//   bus_off_after_write=N  after the Nth canWrite the channel is bus-off, as after canBusOff:
//     canWrite returns canERR_TXBUFOFL (-13), canReadStatus gives canSTAT_BUS_OFF, no frame comes
//   unplug_after_ms=MS  MS ms after canBusOn the board is removed, as Kvaser's driver tells it:
//     canRead, canReadWait (a wait under way returns then), canWrite and canReadStatus (flags 0)
//     return canERR_HARDWARE (-15), canBusOff canERR_INVHANDLE (-10); fake_canlib_unplugged_at_us
//     gives the time (0 before), and when the process ends the calls get "unplugged <ms> ms
//     before the process ended"
//   read_wait_tick_ms=MS  canReadWait waits as the Linux driver does, in whole timer ticks of MS ms
//     and one more: an empty wait of T ms returns after (ceil(T / MS) + 1) * MS ms (with 4, the
//     250 Hz tick: 1-4 ms take 8, 50 ms take 56); 0 (default) waits exactly T ms
//   read_fail_from=N  from the Nth canRead or canReadWait on, it returns read_fail=STATUS
//     (default canERR_NOCARD, an unplugged adapter), and so does canReadStatus. When the process
//     ends, the calls get "reads failed for <ms> ms when the process ended";
//     fake_canlib_read_failed_at_us gives the time of the first failing read.
#include <algorithm>
#include <cstdint>
#include <set>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "can/kvaser/canlib.h"
#include "can/sim/sim_bus.h"
#include "fakes/fake_support.h"
#include "fakes/fake_world.h"
#include "platform/platform.h"
#include "sim/world.h"

namespace {
constexpr long long kRealCardType = 48;
constexpr long long kVirtualCardType = 1;
constexpr CanHandle kFirstHandle = 100;

struct Frame {
  long id;
  unsigned char data[8];
  unsigned int dlc;
  unsigned int flags;
};

// Starts with the settings of the environment (for runs of the tool's executable).
FakeSettings& settings() {
  static FakeSettings values = FakeSettings::from_environment("RALVEX_FAKE_CANLIB");
  return values;
}

FakeCallRecord g_calls("RALVEX_FAKE_CANLIB_CALLS");
FakeUnplug g_unplug(&g_calls);
std::deque<Frame> g_frames;
long long g_writes = 0;
int g_pending_error_frames = 0;
int g_pending_overruns = 0;
bool g_overrun_flag_next = false;
// The channels opened with canOPEN_EXCLUSIVE in this process and not closed yet.
std::set<int> g_exclusive;
// After bus_off_after_write: the channel is bus-off.
bool g_bus_off = false;
// When canBusOn was called, on the fake's clock (0 before).
uint64_t g_bus_on_at_us = 0;

// The board's removal (unplug_after_ms): when it happens, and what the call record says of it at
// the process end.
struct Removal {
  uint64_t at_us() const;  // 0 when no removal is set or the channel never went on bus
  bool happened() {
    const uint64_t at = at_us();
    if (at == 0 || now_us() < at) return false;
    seen_at_us = at;
    return true;
  }
  ~Removal();
  uint64_t seen_at_us = 0;  // the removal's time once a call met it (the settings may be gone)
};
Removal g_removal;

// The extended acceptance filter: an identifier passes when it equals the code in every mask bit.
unsigned int g_extended_code = 0;
unsigned int g_extended_mask = 0;

bool extended_filter_passes(uint32_t id) {
  return (id & g_extended_mask) == (g_extended_code & g_extended_mask);
}

bool bus_mode() { return settings().number("bus", 0) != 0; }

std::vector<long long> card_types() {
  std::vector<long long> cards = settings().list("cards");
  if (cards.empty()) cards = {kRealCardType, kRealCardType, kVirtualCardType};
  return cards;
}

// A per-channel setting "name@I", else `fallback`.
long long channel_number(const char* name, int channel, long long fallback) {
  const std::string own = std::string(name) + "@" + std::to_string(channel);
  return settings().number(own.c_str(), fallback);
}

// Copies `size` bytes of `value` into a canGetChannelData buffer, or canERR_PARAM when too small.
canStatus put(void* buffer, size_t bufsize, const void* value, size_t size) {
  if (!buffer || bufsize < size) return canERR_PARAM;
  std::memcpy(buffer, value, size);
  return canOK;
}

canStatus setting(const char* name) {
  return static_cast<canStatus>(settings().number(name, canOK));
}

canStatus read_failure() {
  return static_cast<canStatus>(settings().number("read_fail", canERR_NOCARD));
}

// One read as canRead and canReadWait make it, each counted once.
canStatus read_one(long* id, void* msg, unsigned int* dlc, unsigned int* flag,
                   unsigned long* time);

// A status for the channel behind `hnd`: name@INDEX when given, else name.
canStatus channel_setting(const char* name, CanHandle hnd) {
  const std::string own = std::string(name) + "@" + std::to_string(hnd - kFirstHandle);
  return static_cast<canStatus>(settings().number(own.c_str(), setting(name)));
}

}  // namespace

FAKE_EXPORT void CANLIBAPI canInitializeLibrary() { g_calls.add("canInitializeLibrary()"); }

FAKE_EXPORT canStatus CANLIBAPI canClose(CanHandle hnd) {
  g_calls.add("canClose(%d)", hnd);
  g_exclusive.erase(hnd - kFirstHandle);
  return canOK;
}

FAKE_EXPORT CanHandle CANLIBAPI canOpenChannel(int channel, int flags) {
  g_calls.add("canOpenChannel(%d, %d)", channel, flags);
  const std::vector<long long> failing = settings().list("open_fail");
  if (std::find(failing.begin(), failing.end(), channel) != failing.end()) return canERR_NOTFOUND;
  const std::vector<long long> elsewhere = settings().list("open_elsewhere");
  if (std::find(elsewhere.begin(), elsewhere.end(), channel) != elsewhere.end() ||
      g_exclusive.count(channel) != 0) {
    return canERR_NOCHANNELS;
  }
  // The driver tells a virtual channel by its capability, and refuses it unless accepted.
  const std::vector<long long> cards = card_types();
  if (channel >= 0 && static_cast<size_t>(channel) < cards.size() &&
      cards[static_cast<size_t>(channel)] == kVirtualCardType &&
      (flags & canOPEN_ACCEPT_VIRTUAL) == 0) {
    return canERR_NOTFOUND;
  }
  if (flags & canOPEN_EXCLUSIVE) g_exclusive.insert(channel);
  return kFirstHandle + channel;
}

FAKE_EXPORT canStatus CANLIBAPI canGetErrorText(canStatus err, char* buf, unsigned int bufsiz) {
  g_calls.add("canGetErrorText(%d, %u)", err, bufsiz);
  // The real library's texts for the statuses of an open and a write that it gives; the others
  // keep the fake's own, which the tests name.
  if (err == canERR_NOMSG) {
    std::snprintf(buf, bufsiz, "No messages available");
  } else if (err == canERR_NOCHANNELS) {
    std::snprintf(buf, bufsiz, "No channels available");
  } else if (err == canERR_TXBUFOFL) {
    std::snprintf(buf, bufsiz, "Transmit buffer overflow");
  } else {
    std::snprintf(buf, bufsiz, "Fake error %d", err);
  }
  return canOK;
}

FAKE_EXPORT canStatus CANLIBAPI canSetBusParams(CanHandle hnd, long freq, unsigned int tseg1,
                                                unsigned int tseg2, unsigned int sjw,
                                                unsigned int no_samp, unsigned int syncmode) {
  g_calls.add("canSetBusParams(%d, %ld, %u, %u, %u, %u, %u)", hnd, freq, tseg1, tseg2, sjw, no_samp,
              syncmode);
  return channel_setting("bus_params", hnd);
}

FAKE_EXPORT canStatus CANLIBAPI canGetNumberOfChannels(int* channel_count) {
  g_calls.add("canGetNumberOfChannels(%d)", *channel_count);
  *channel_count =
      static_cast<int>(settings().number("channels", static_cast<long long>(card_types().size())));
  return setting("channels_status");
}

FAKE_EXPORT canStatus CANLIBAPI canGetChannelData(int channel, int item, void* buffer,
                                                  size_t bufsize) {
  g_calls.add("canGetChannelData(%d, %d, %zu)", channel, item, bufsize);
  const std::vector<long long> cards = card_types();
  if (channel < 0 || static_cast<size_t>(channel) >= cards.size()) return -1;
  const uint32_t type = static_cast<uint32_t>(cards[static_cast<size_t>(channel)]);
  const bool is_virtual = type == kVirtualCardType;
  const std::string item_status = "item_status@" + std::to_string(item);
  const canStatus failed = static_cast<canStatus>(settings().number(item_status.c_str(), canOK));
  if (failed != canOK) return failed;
  switch (item) {
    case canCHANNELDATA_CARD_TYPE:
      std::memcpy(buffer, &type, std::min(bufsize, sizeof type));
      return setting("channel_data_status");
    case canCHANNELDATA_CHANNEL_CAP: {
      const uint32_t caps = is_virtual ? canCHANNEL_CAP_VIRTUAL : 0;
      return put(buffer, bufsize, &caps, sizeof caps);
    }
    case canCHANNELDATA_CARD_SERIAL_NO: {
      const uint64_t serial =
          static_cast<uint64_t>(channel_number("serial", channel, is_virtual ? 0 : 10001 + channel));
      return put(buffer, bufsize, &serial, sizeof serial);
    }
    case canCHANNELDATA_CHAN_NO_ON_CARD: {
      const uint32_t on_card = static_cast<uint32_t>(channel_number("chan_no", channel, 0));
      return put(buffer, bufsize, &on_card, sizeof on_card);
    }
    case canCHANNELDATA_CARD_UPC_NO: {
      const uint64_t ean = static_cast<uint64_t>(
          channel_number("ean", channel, is_virtual ? 0 : 0x0007330130006850LL));
      return put(buffer, bufsize, &ean, sizeof ean);
    }
    case canCHANNELDATA_DEVDESCR_ASCII: {
      const std::string own = "name@" + std::to_string(channel);
      const std::string name = settings().text(
          own.c_str(), is_virtual ? "Kvaser Virtual CAN Driver" : "Kvaser Leaf Light v2");
      if (!buffer || bufsize == 0) return canERR_PARAM;
      std::snprintf(static_cast<char*>(buffer), bufsize, "%s", name.c_str());
      return canOK;
    }
    default:
      return canERR_NOT_IMPLEMENTED;
  }
}

FAKE_EXPORT canStatus CANLIBAPI canSetAcceptanceFilter(CanHandle hnd, unsigned int code,
                                                       unsigned int mask, int is_extended) {
  g_calls.add("canSetAcceptanceFilter(%d, 0x%X, 0x%X, %d)", hnd, code, mask, is_extended);
  const canStatus status = channel_setting(is_extended ? "extended_filter" : "standard_filter", hnd);
  if (status == canOK && is_extended) {
    g_extended_code = code;
    g_extended_mask = mask;
  }
  return status;
}

FAKE_EXPORT canStatus CANLIBAPI canBusOn(CanHandle hnd) {
  g_calls.add("canBusOn(%d)", hnd);
  if (g_removal.happened()) return canERR_HARDWARE;
  const canStatus status = channel_setting("bus_on", hnd);
  if (status == canOK) {
    g_bus_on_at_us = now_us();
    g_bus_off = false;
  }
  if (status == canOK && bus_mode()) {
    if (sim_bus_device_count() == 0) {
      fake_world::attach_devices(settings());
    }
    sim_bus_set_tool_filter(extended_filter_passes);
  }
  return status;
}

namespace {
uint64_t Removal::at_us() const {
  const long long after_ms = settings().number("unplug_after_ms", -1);
  if (after_ms < 0 || g_bus_on_at_us == 0) return 0;
  return g_bus_on_at_us + static_cast<uint64_t>(after_ms) * 1000u;
}

Removal::~Removal() {
  if (seen_at_us != 0) {
    g_calls.add("unplugged %llu ms before the process ended",
                static_cast<unsigned long long>((now_us() - seen_at_us) / 1000u));
  }
}

canStatus read_one(long* id, void* msg, unsigned int* dlc, unsigned int* flag,
                   unsigned long* time) {
  if (g_bus_off) return canERR_NOMSG;
  if (g_pending_error_frames > 0) {
    --g_pending_error_frames;
    *id = 0;
    std::memset(msg, 0, 8);
    *dlc = 0;
    *flag = canMSG_ERROR_FRAME;
    *time = 0;
    return canOK;
  }
  if (bus_mode()) {
    uint8_t data[8];
    uint32_t bus_id = 0;
    if (g_pending_overruns > 0 && sim_bus_tool_try_receive(data, &bus_id) == 0) {
      --g_pending_overruns;
      g_overrun_flag_next = true;  // that frame is lost
    }
    if (sim_bus_tool_try_receive(data, &bus_id) != 0) return canERR_NOMSG;
    *id = static_cast<long>(bus_id);
    std::memcpy(msg, data, 8);
    *dlc = 8;
    *flag = canMSG_EXT;
    if (g_overrun_flag_next) {
      g_overrun_flag_next = false;
      *flag |= static_cast<unsigned int>(settings().number("overrun_flags", canMSGERR_HW_OVERRUN));
    }
    *time = 0;
    return canOK;
  }
  if (g_frames.empty()) return canERR_NOMSG;
  const Frame frame = g_frames.front();
  g_frames.pop_front();
  *id = frame.id;
  std::memcpy(msg, frame.data, std::min(frame.dlc, 8u));
  *dlc = frame.dlc;
  *flag = frame.flags;
  *time = 0;
  return canOK;
}
}  // namespace

// Reads are not recorded: a receive polls many times. The identifier is written as a whole long,
// as the real library does.
FAKE_EXPORT canStatus CANLIBAPI canRead(CanHandle, long* id, void* msg, unsigned int* dlc,
                                        unsigned int* flag, unsigned long* time) {
  if (g_removal.happened()) return canERR_HARDWARE;
  if (g_unplug.read_fails(settings().number("read_fail_from", 0), now_us)) return read_failure();
  return read_one(id, msg, dlc, flag, time);
}

#ifndef FAKE_WITHOUT_canReadWait
namespace {
// How long an empty canReadWait of `timeout` ms takes: exactly that, or in whole timer ticks and
// one more (read_wait_tick_ms), as the Linux driver's wait does.
uint64_t read_wait_us(unsigned long timeout) {
  const long long tick_ms = settings().number("read_wait_tick_ms", 0);
  if (tick_ms <= 0) return static_cast<uint64_t>(timeout) * 1000u;
  const unsigned long long tick = static_cast<unsigned long long>(tick_ms);
  return ((timeout + tick - 1) / tick + 1) * tick * 1000u;
}

}  // namespace

// Reads are not recorded, nor are their waits.
FAKE_EXPORT canStatus CANLIBAPI canReadWait(CanHandle, long* id, void* msg, unsigned int* dlc,
                                            unsigned int* flag, unsigned long* time,
                                            unsigned long timeout) {
  if (g_removal.happened()) return canERR_HARDWARE;
  if (g_unplug.read_fails(settings().number("read_fail_from", 0), now_us)) return read_failure();
  uint64_t until_us = now_us() + read_wait_us(timeout);
  // The driver wakes a waiting reader when the board goes.
  const uint64_t removal_us = g_removal.at_us();
  if (removal_us != 0 && removal_us < until_us) until_us = removal_us;
  if (bus_mode() && g_pending_error_frames == 0 && !g_bus_off) {
    uint64_t at_us = 0;
    if (sim_bus_next_tool_delivery(until_us, &at_us) == 0) sleep_until_us(at_us);
  }
  const canStatus status = read_one(id, msg, dlc, flag, time);
  if (status == canERR_NOMSG) sleep_until_us(until_us);
  if (status == canERR_NOMSG && g_removal.happened()) return canERR_HARDWARE;
  return status;
}
#endif

#ifndef FAKE_WITHOUT_canWrite
FAKE_EXPORT canStatus CANLIBAPI canWrite(CanHandle hnd, long id, void* msg, unsigned int dlc,
                                         unsigned int flag) {
  const unsigned char* d = static_cast<const unsigned char*>(msg);
  g_calls.add("canWrite(%d, 0x%lX, %02X %02X %02X %02X %02X %02X %02X %02X, %u, 0x%X)", hnd, id,
              d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], dlc, flag);
  if (g_removal.happened()) return canERR_HARDWARE;
  if (g_bus_off) return canERR_TXBUFOFL;
  canStatus status = channel_setting("write", hnd);
  ++g_writes;
  if (g_writes == settings().number("bus_off_after_write", 0)) g_bus_off = true;
  const long long fail_from = settings().number("write_fail_from", 0);
  if (fail_from != 0 && g_writes >= fail_from) {
    status = static_cast<canStatus>(settings().number("write_fail", canERR_NOCARD));
  }
  const std::vector<long long> overruns = settings().list("overrun_after_write");
  if (std::find(overruns.begin(), overruns.end(), g_writes) != overruns.end()) {
    ++g_pending_overruns;
  }
  const std::vector<long long> after = settings().list("error_frame_after_write");
  if (std::find(after.begin(), after.end(), g_writes) != after.end()) ++g_pending_error_frames;
  if (status == canOK && bus_mode() &&
      sim_bus_tool_send(static_cast<uint32_t>(id), static_cast<const uint8_t*>(msg)) != 0) {
    return canERR_TXBUFOFL;
  }
  return status;
}
#endif

// Status queries are not recorded: the tool asks after every receive that brought nothing.
FAKE_EXPORT canStatus CANLIBAPI canReadStatus(CanHandle, unsigned long* flags) {
  if (g_removal.happened()) {
    *flags = 0;
    return canERR_HARDWARE;
  }
  if (g_unplug.unplugged()) return read_failure();
  *flags = g_bus_off ? canSTAT_BUS_OFF
                     : static_cast<unsigned long>(
                           settings().number("status_flags", canSTAT_ERROR_ACTIVE));
  return setting("read_status");
}

FAKE_EXPORT canStatus CANLIBAPI canBusOff(CanHandle hnd) {
  g_calls.add("canBusOff(%d)", hnd);
  return g_removal.happened() ? canERR_INVHANDLE : canOK;
}

#ifndef FAKE_WITHOUT_canGetVersion
namespace {
// The product's version 0xMMmmLL, and libcanlib's own (its major is the product's plus 3, as in
// linuxcan's canlib_version.h: CANLIB_PRODUCT_MAJOR_VERSION is (8 - 3)).
unsigned int product_version() {
  return static_cast<unsigned int>(settings().number("version_ex", 0x052900));
}
unsigned int library_version() { return product_version() + (3u << 16); }
}  // namespace

FAKE_EXPORT unsigned short CANLIBAPI canGetVersion() {
  g_calls.add("canGetVersion()");
  return static_cast<unsigned short>(settings().number("version", library_version() >> 8));
}

FAKE_EXPORT unsigned int CANLIBAPI canGetVersionEx(unsigned int item_code) {
  g_calls.add("canGetVersionEx(%u)", item_code);
  switch (item_code) {
    case canVERSION_CANLIB32_VERSION:
      return library_version() >> 8;
    case canVERSION_CANLIB32_PRODVER:
      return product_version() >> 8;
    case canVERSION_CANLIB32_PRODVER32:
      return library_version();
    default:
      return 0;
  }
}
#endif

FAKE_EXPORT void fake_canlib_reset() {
  g_calls.clear();
  settings().clear();
  g_frames.clear();
  g_extended_code = 0;
  g_extended_mask = 0;
  g_writes = 0;
  g_pending_error_frames = 0;
  g_pending_overruns = 0;
  g_overrun_flag_next = false;
  g_unplug.clear();
  g_exclusive.clear();
  g_bus_off = false;
  g_bus_on_at_us = 0;
  g_removal.seen_at_us = 0;
  sim_bus_reset();
}

FAKE_EXPORT void fake_canlib_configure(const char* text) { settings().parse(text); }

FAKE_EXPORT const char* fake_canlib_calls() { return g_calls.text(); }

FAKE_EXPORT void fake_canlib_push_frame(long id, const unsigned char data[8], unsigned int dlc,
                                        unsigned int flags) {
  Frame frame{id, {}, dlc, flags};
  std::memcpy(frame.data, data, 8);
  g_frames.push_back(frame);
}

// The bus and the waits inside this library run on its own copy of the platform clock; a test in
// the same process hands it a clock that forwards to its own (virtual) one.
FAKE_EXPORT void fake_canlib_set_clock(const PlatformClock* clock) { platform_set_clock(clock); }

FAKE_EXPORT uint64_t fake_canlib_read_failed_at_us() { return g_unplug.failed_at_us(); }

FAKE_EXPORT uint64_t fake_canlib_unplugged_at_us() { return g_removal.at_us(); }
