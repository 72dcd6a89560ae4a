// The frame trace in the can-utils log format.
#include "log/frame_trace.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {
struct TraceState {
  FILE* file = nullptr;
  uint64_t start_us = 0;       // the timestamps count from here
  char interface[32] = "can";  // as can-utils spells it
  bool failed = false;         // a line could not be written (a full disk, a reader gone)
};
TraceState g_trace;
}  // namespace

int32_t frame_trace_open(const char* path) {
  frame_trace_close();
  g_trace.failed = false;
  g_trace.file = std::fopen(path, "w");
  if (!g_trace.file) return -1;
  g_trace.start_us = now_us();
  std::snprintf(g_trace.interface, sizeof g_trace.interface, "%s", "can");
  return 0;
}

void frame_trace_set_interface(const char* name) {
  std::snprintf(g_trace.interface, sizeof g_trace.interface, "%s", name);
}

void frame_trace_frame(bool transmitted, uint32_t id, bool extended, bool remote,
                       const uint8_t data[8], uint8_t length) {
  if (!g_trace.file) return;
  const uint64_t t = now_us() - g_trace.start_us;
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
    for (int i = 0; i < bytes; ++i) {
      std::snprintf(end + 2 * static_cast<size_t>(i), 3, "%02X", data[i]);
    }
  }
  char text[96];
  const int size = std::snprintf(text, sizeof text, "(%llu.%06llu) %s %s %c\n",
                                 static_cast<unsigned long long>(t / 1000000),
                                 static_cast<unsigned long long>(t % 1000000), g_trace.interface,
                                 frame, transmitted ? 'T' : 'R');
  if (size <= 0 || file_write_flush(g_trace.file, text, static_cast<size_t>(size)) != 0) {
    g_trace.failed = true;
  }
}


int32_t frame_trace_close() {
  if (g_trace.file && std::fclose(g_trace.file) != 0) g_trace.failed = true;
  g_trace.file = nullptr;
  const bool failed = g_trace.failed;
  g_trace.failed = false;
  return failed ? -1 : 0;
}
