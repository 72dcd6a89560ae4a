// A fake Kvaser CANlib library (libcanlib.so.1) with the vendor's ABI: it records every call with
// its arguments, offers the channels its settings describe, and reads frames from a queue that the
// test fills, or, in bus mode, carries the tool's frames over its own copy of the emulated bus and
// world, passing the tool only what the extended acceptance filter admits.
// Control functions (looked up with dlsym): fake_canlib_reset, fake_canlib_configure,
// fake_canlib_calls, fake_canlib_push_frame.
// Settings (also from RALVEX_FAKE_CANLIB at load; calls also go to the file
// RALVEX_FAKE_CANLIB_CALLS):
//   cards=T0:T1:...  card type per channel (default one real channel, type 48)
//   channels=N       the count reported instead of the number of cards
//   channels_status=STATUS  channel_data_status=STATUS
//   open_fail=I0:I1:...  channel indexes whose canOpenChannel fails with canERR_NOTFOUND (-3)
//   bus_params=STATUS  standard_filter=STATUS  extended_filter=STATUS  bus_on=STATUS  write=STATUS
//   (each of these five also as name@I=STATUS for channel index I alone)
//   bus=1 (frames go over the emulated bus, from canBusOn on)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>

#include "can/kvaser/canlib.h"
#include "can/sim/sim_bus.h"
#include "fakes/fake_support.h"
#include "sim/world.h"

namespace {
constexpr long long kRealCardType = 48;
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
std::deque<Frame> g_frames;
// The extended acceptance filter: an identifier passes when it equals the code in every mask bit.
unsigned int g_extended_code = 0;
unsigned int g_extended_mask = 0;

bool extended_filter_passes(uint32_t id) {
  return (id & g_extended_mask) == (g_extended_code & g_extended_mask);
}

bool bus_mode() { return settings().number("bus", 0) != 0; }

std::vector<long long> card_types() {
  std::vector<long long> cards = settings().list("cards");
  if (cards.empty()) cards.push_back(kRealCardType);
  return cards;
}

canStatus setting(const char* name) {
  return static_cast<canStatus>(settings().number(name, canOK));
}

// A status for the channel behind `hnd`: name@INDEX when given, else name.
canStatus channel_setting(const char* name, CanHandle hnd) {
  const std::string own = std::string(name) + "@" + std::to_string(hnd - kFirstHandle);
  return static_cast<canStatus>(settings().number(own.c_str(), setting(name)));
}

}  // namespace

FAKE_EXPORT void CANLIBAPI canInitializeLibrary() { g_calls.add("canInitializeLibrary()"); }

FAKE_EXPORT canStatus CANLIBAPI canClose(CanHandle hnd) {
  g_calls.add("canClose(%d)", hnd);
  return canOK;
}

FAKE_EXPORT CanHandle CANLIBAPI canOpenChannel(int channel, int flags) {
  g_calls.add("canOpenChannel(%d, %d)", channel, flags);
  const std::vector<long long> failing = settings().list("open_fail");
  if (std::find(failing.begin(), failing.end(), channel) != failing.end()) return -3;
  return kFirstHandle + channel;
}

FAKE_EXPORT canStatus CANLIBAPI canGetErrorText(canStatus err, char* buf, unsigned int bufsiz) {
  g_calls.add("canGetErrorText(%d, %u)", err, bufsiz);
  if (err == canERR_NOMSG) {
    std::snprintf(buf, bufsiz, "No messages available");
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
  std::memcpy(buffer, &type, std::min(bufsize, sizeof type));
  return setting("channel_data_status");
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
  const canStatus status = channel_setting("bus_on", hnd);
  if (status == canOK && bus_mode()) {
    if (sim_bus_device_count() == 0) {
      for (const SimDevice* const* device = sim_world_devices(); *device; ++device) {
        sim_bus_attach(*device);
      }
    }
    sim_bus_set_tool_filter(extended_filter_passes);
  }
  return status;
}

// Reads are not recorded: a receive polls many times. The identifier is written as a whole long,
// as the real library does.
FAKE_EXPORT canStatus CANLIBAPI canRead(CanHandle, long* id, void* msg, unsigned int* dlc,
                                        unsigned int* flag, unsigned long* time) {
  if (bus_mode()) {
    uint8_t data[8];
    uint32_t bus_id = 0;
    if (sim_bus_tool_try_receive(data, &bus_id) != 0) return canERR_NOMSG;
    *id = static_cast<long>(bus_id);
    std::memcpy(msg, data, 8);
    *dlc = 8;
    *flag = canMSG_EXT;
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

#ifndef FAKE_WITHOUT_canWrite
FAKE_EXPORT canStatus CANLIBAPI canWrite(CanHandle hnd, long id, void* msg, unsigned int dlc,
                                         unsigned int flag) {
  const unsigned char* d = static_cast<const unsigned char*>(msg);
  g_calls.add("canWrite(%d, 0x%lX, %02X %02X %02X %02X %02X %02X %02X %02X, %u, 0x%X)", hnd, id,
              d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], dlc, flag);
  constexpr canStatus canERR_TXBUFOFL = -13;
  const canStatus status = channel_setting("write", hnd);
  if (status == canOK && bus_mode() &&
      sim_bus_tool_send(static_cast<uint32_t>(id), static_cast<const uint8_t*>(msg)) != 0) {
    return canERR_TXBUFOFL;
  }
  return status;
}
#endif

FAKE_EXPORT void fake_canlib_reset() {
  g_calls.clear();
  settings().clear();
  g_frames.clear();
  g_extended_code = 0;
  g_extended_mask = 0;
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
