// The frame trace in the can-utils log format.
#include "log/frame_trace.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {
FILE* g_trace = nullptr;
uint64_t g_start_us = 0;
char g_interface[32] = "can";
}  // namespace

int32_t frame_trace_open(const char* path) {
  frame_trace_close();
  g_trace = std::fopen(path, "w");
  if (!g_trace) return -1;
  g_start_us = now_us();
  std::snprintf(g_interface, sizeof g_interface, "%s", "can");
  return 0;
}

void frame_trace_set_interface(const char* name) {
  std::snprintf(g_interface, sizeof g_interface, "%s", name);
}

void frame_trace_frame(bool transmitted, uint32_t id, bool extended, bool remote,
                       const uint8_t data[8], uint8_t length) {
  if (!g_trace) return;
  const uint64_t t = now_us() - g_start_us;
  char frame[40];
  if (extended) {
    std::snprintf(frame, sizeof frame, "%08X#", static_cast<unsigned>(id & 0x1FFFFFFF));
  } else {
    std::snprintf(frame, sizeof frame, "%03X#", static_cast<unsigned>(id & 0x7FF));
  }
  char* end = frame + std::strlen(frame);
  const int bytes = length < 8 ? length : 8;
  if (remote && bytes > 0) {
    std::snprintf(end, 4, "R%d", bytes);
  } else if (remote) {
    std::snprintf(end, 4, "R");
  } else {
    for (int i = 0; i < bytes; ++i) std::snprintf(end + 2 * i, 3, "%02X", data[i]);
  }
  std::fprintf(g_trace, "(%llu.%06llu) %s %s %c\n",
               static_cast<unsigned long long>(t / 1000000),
               static_cast<unsigned long long>(t % 1000000), g_interface, frame,
               transmitted ? 'T' : 'R');
  std::fflush(g_trace);
}

bool frame_trace_active() { return g_trace != nullptr; }

void frame_trace_close() {
  if (g_trace) std::fclose(g_trace);
  g_trace = nullptr;
}
