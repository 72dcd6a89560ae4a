// The clock switch and the interrupt record shared by both operating-system implementations.
#include "platform/platform.h"

#include <atomic>

void os_sleep_ms(uint32_t ms);
uint64_t os_now_us();
void os_sleep_us(uint64_t us);
// 1 when `signal` is there now, 0 when not, -1 when it cannot be looked at.
int32_t os_signal_now(PlatformSignal signal);
int32_t os_wait_signal(PlatformSignal signal, uint64_t until_us);

namespace {
const PlatformClock* g_clock = nullptr;
// Written by a signal handler (POSIX) or the console handler's own thread (Windows): a lock-free
// atomic serves both.
std::atomic<int> g_interrupt{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
}  // namespace

int platform_interrupt() { return g_interrupt.load(); }

void platform_set_interrupt(int signal) { g_interrupt.store(signal); }

namespace {
std::atomic<bool> g_hangup{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
}  // namespace

bool platform_hangup() { return g_hangup.load(); }

void platform_set_hangup(bool hangup) { g_hangup.store(hangup); }

const char* platform_signal_name(int signal) {
  if (signal == PLATFORM_SIGINT) return "SIGINT";
  if (signal == PLATFORM_SIGTERM) return "SIGTERM";
  return "signal";
}

void platform_set_clock(const PlatformClock* clock) { g_clock = clock; }

void sleep_ms(uint32_t ms) {
  if (g_clock) {
    g_clock->sleep_ms(ms);
  } else {
    os_sleep_ms(ms);
  }
}

uint64_t now_us() { return g_clock ? g_clock->now_us() : os_now_us(); }

void sleep_until_us(uint64_t until_us) {
  const uint64_t now = now_us();
  if (until_us <= now) return;
  if (g_clock) {
    g_clock->sleep_us(until_us - now);
  } else {
    os_sleep_us(until_us - now);
  }
}

int32_t wait_signal(PlatformSignal signal, uint64_t until_us) {
  if (!g_clock) return os_wait_signal(signal, until_us);
  const int32_t there = os_signal_now(signal);
  if (there != 0) return there;
  sleep_until_us(until_us);
  return 0;
}
