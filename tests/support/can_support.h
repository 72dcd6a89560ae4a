// Helpers for the CAN tests: a log that records everything, the control functions of the fake
// vendor libraries (looked up in the same loaded library that the back-ends use), and the table
// test of a vendor back-end's open.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "can/backend.h"
#include "can/listing.h"
#include "log/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

// Prints one back-end's `-l` records as the listing prints them.
inline void print_listing(void (*list)(CanListing*)) {
  CanListing listing;
  list(&listing);
  can_listing_print(listing);
}

// Opens ZR4_BL_Log.txt in a scratch directory at a level that lets every line through.
class RecordedLog {
 public:
  RecordedLog() {
    log_open();
    log_set_level(LOG_ALWAYS);
  }
  ~RecordedLog() { log_close(); }
  // Everything logged after the level line; closes the log.
  std::string text() {
    log_close();
    const std::string all = read_file(dir_.file("ZR4_BL_Log.txt"));
    const std::string level_line = "Logger level 65535\n";
    const size_t at = all.find(level_line);
    return at == std::string::npos ? all : all.substr(at + level_line.size());
  }

 private:
  ScratchDir dir_;
};

#ifdef RALVEX_FAKES_DIR
// A fake library's full path, and a one-name list for the back-ends' library-name hook. Once
// loaded, a fake also answers to its usual name (its soname). The search on the loader's path is
// tested through the tool's executable (LD_LIBRARY_PATH is read only when a process starts).
class FakeLibrary {
 public:
  explicit FakeLibrary(const char* file)
      : path_(std::string(RALVEX_FAKES_DIR) + "/" + file), names_{path_.c_str(), nullptr} {}
  FakeLibrary(const FakeLibrary&) = delete;
  FakeLibrary& operator=(const FakeLibrary&) = delete;
  const char* path() const { return path_.c_str(); }
  const char* const* names() const { return names_; }

 private:
  std::string path_;
  const char* names_[2];
};

// An exported function of a fake library (the same loaded copy that the back-end uses).
template <typename F>
F fake_function(const FakeLibrary& library, const char* name) {
  void* handle = dlopen(library.path(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
  void* symbol = dlsym(handle, name);
  if (!symbol) throw std::runtime_error(std::string("dlsym: ") + name);
  return reinterpret_cast<F>(symbol);
}

// A clock for a fake's own copy of the platform layer that follows this process's clock.
inline void forward_sleep(uint32_t ms) { sleep_ms(ms); }
inline uint64_t forward_now() { return now_us(); }
inline void forward_sleep_us(uint64_t us) { sleep_until_us(now_us() + us); }
inline const PlatformClock kForwardClock{forward_sleep, forward_now, forward_sleep_us};

namespace fake_pcan {
// The libraries the fake stands for: PCAN-Basic as its header describes it (""), and PEAK's own
// for Linux, 4.3.1.3 ("linux43") and that of 2022 ("linux2022"), each in a folder of its own under
// the same name. The tests of the PEAK back-end use the one RALVEX_FAKE_PCAN_VARIANT names (CTest
// runs them against each), or the one a test chooses with use().
inline std::string& variant() {
  static std::string name = std::getenv("RALVEX_FAKE_PCAN_VARIANT")
                                ? std::getenv("RALVEX_FAKE_PCAN_VARIANT")
                                : "";
  return name;
}
inline bool linux_variant() { return !variant().empty(); }
inline void use(const std::string& name) { variant() = name; }
// The folder of the variant in use (for LD_LIBRARY_PATH).
inline std::string dir() {
  return variant().empty() ? std::string(RALVEX_FAKES_DIR)
                           : std::string(RALVEX_FAKES_DIR) + "/" + variant();
}
// The tool's loader path: the variant's folder, then the other fakes'.
inline std::string loader_path() {
  return variant().empty() ? dir() : dir() + ":" + RALVEX_FAKES_DIR;
}
inline const FakeLibrary& library() {
  static const FakeLibrary fake("libpcanbasic.so");
  static const FakeLibrary linux43("linux43/libpcanbasic.so");
  static const FakeLibrary linux2022("linux2022/libpcanbasic.so");
  if (variant() == "linux43") return linux43;
  if (variant() == "linux2022") return linux2022;
  return fake;
}
inline void reset() { fake_function<void (*)()>(library(), "fake_pcan_reset")(); }
inline void configure(const char* settings) {
  fake_function<void (*)(const char*)>(library(), "fake_pcan_configure")(settings);
}
inline std::string calls() {
  return fake_function<const char* (*)()>(library(), "fake_pcan_calls")();
}
inline void push_message(uint32_t id, uint8_t type, uint8_t length, const uint8_t data[8]) {
  fake_function<void (*)(uint32_t, uint8_t, uint8_t, const uint8_t*)>(
      library(), "fake_pcan_push_message")(id, type, length, data);
}
// Lets the fake's bus and receive event run on this process's clock; nullptr: its own.
inline void set_clock(const PlatformClock* clock) {
  fake_function<void (*)(const PlatformClock*)>(library(), "fake_pcan_set_clock")(clock);
}
// When the first read failed (read_fail_from), on the fake's clock; 0 while none did.
inline uint64_t read_failed_at_us() {
  return fake_function<uint64_t (*)()>(library(), "fake_pcan_read_failed_at_us")();
}
// When the adapter went (unplug_after_write), on the fake's clock; 0 while it is there.
inline uint64_t unplugged_at_us() {
  return fake_function<uint64_t (*)()>(library(), "fake_pcan_unplugged_at_us")();
}
}  // namespace fake_pcan

namespace fake_canlib {
inline const FakeLibrary& library() {
  static const FakeLibrary fake("libcanlib.so.1");
  return fake;
}
inline void reset() { fake_function<void (*)()>(library(), "fake_canlib_reset")(); }
inline void configure(const char* settings) {
  fake_function<void (*)(const char*)>(library(), "fake_canlib_configure")(settings);
}
inline std::string calls() {
  return fake_function<const char* (*)()>(library(), "fake_canlib_calls")();
}
inline void push_frame(long id, const uint8_t data[8], unsigned int dlc = 8,
                       unsigned int flags = 4) {
  fake_function<void (*)(long, const uint8_t*, unsigned int, unsigned int)>(
      library(), "fake_canlib_push_frame")(id, data, dlc, flags);
}
// Lets the fake's waits (canReadWait) run on this process's clock; nullptr: its own.
inline void set_clock(const PlatformClock* clock) {
  fake_function<void (*)(const PlatformClock*)>(library(), "fake_canlib_set_clock")(clock);
}
// When the first read failed (read_fail_from), on the fake's clock; 0 while none did.
inline uint64_t read_failed_at_us() {
  return fake_function<uint64_t (*)()>(library(), "fake_canlib_read_failed_at_us")();
}
}  // namespace fake_canlib
#endif

// One row of a vendor back-end's open table: the library names to try (nullptr: the fake), the
// fake's settings, and what the open returns, logs and, when given, calls in the library.
struct VendorOpenRow {
  const char* name;
  const char* const* library_names;
  const char* settings;
  int32_t result;
  std::string log;
  std::optional<std::string> calls = std::nullopt;
};

// How the open table reaches one back-end and its fake.
struct VendorOpen {
  void (*reset)(const char* const* names);  // the back-end back to "not loaded"
  const char* const* fake_names;
  void (*configure)(const char* settings);  // the fake's
  std::string (*calls)();                   // the fake's call record
  int32_t (*open)(const CanTarget* target, CanOpenFailure* failure);
};

// A back-end's open with a failure record of its own (for tests that look only at the result).
inline int32_t open_backend(int32_t (*open)(const CanTarget*, CanOpenFailure*),
                            const CanTarget* target) {
  CanOpenFailure failure{};
  return open(target, &failure);
}

// Opens the back-end's default channel as the row sets it up and checks what the row expects.
inline void expect_open_row(const VendorOpen& backend, const VendorOpenRow& row, RecordedLog* log) {
  backend.reset(row.library_names ? row.library_names : backend.fake_names);
  backend.configure(row.settings);
  const CanTarget first{CAN_DEFAULT_CHANNEL, "", false};
  EXPECT_EQ(open_backend(backend.open, &first), row.result);
  if (row.calls) {
    EXPECT_EQ(backend.calls(), *row.calls);
  }
  EXPECT_EQ(log->text(), row.log);
}
