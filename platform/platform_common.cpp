// The clock switch shared by both operating-system implementations.
#include "platform/platform.h"

void os_sleep_ms(uint32_t ms);
uint64_t os_now_us();

namespace {
const PlatformClock* g_clock = nullptr;
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
