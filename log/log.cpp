// Log file and console output.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>

namespace {
const char kLogFileName[] = "ZR4_BL_Log.txt";

struct OutputState {
  FILE* log = nullptr;
  int32_t level = 0;
  std::string* capture = nullptr;  // where console text goes instead of stdout
  // The console line being printed and the last complete line that was not empty.
  std::string line;
  std::string last;
};
OutputState g_out;

void note_console_text(const char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (text[i] != '\n') {
      g_out.line += text[i];
    } else if (!g_out.line.empty()) {
      g_out.last.swap(g_out.line);
      g_out.line.clear();
    }
  }
}

bool passes(int32_t mask) { return g_out.log != nullptr && (mask & g_out.level) != 0; }
}  // namespace

bool log_passes(int32_t mask) { return passes(mask); }

int32_t log_open() {
  console_print("\nLog system init\n");
  console_print("Log file: %s\n", kLogFileName);
  g_out.level = 0;
  g_out.log = std::fopen(kLogFileName, "w");
  if (!g_out.log) {
    console_print("Cannot open log files\n");
    return -1;
  }
  std::fputs("\n   ---------   ZR4_BL_Log   --------\n\n", g_out.log);
  return 0;
}

void log_set_level(int32_t level) {
  g_out.level = level;
  if (g_out.log) std::fprintf(g_out.log, "Logger level %d\n", level);
}

void log_write(const char* text, int32_t mask) {
  if (passes(mask)) std::fputs(text, g_out.log);
}

void log_newline(int32_t mask) {
  if (passes(mask)) std::fputc('\n', g_out.log);
}

void log_close() {
  if (g_out.log) std::fclose(g_out.log);
  g_out.log = nullptr;
}

void log_writef(int32_t mask, const char* format, ...) {
  if (!passes(mask)) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fputs(text, g_out.log);
}

void log_frame(uint32_t id, const uint8_t data[8]) {
  log_writef(LOG_CAN_FRAMES, "%08X %02X %02X %02X %02X %02X %02X %02X %02X\n", id, data[0], data[1],
             data[2], data[3], data[4], data[5], data[6], data[7]);
}

int console_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n > 0) {
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    note_console_text(text.data(), text.size());
    if (g_out.capture) {
      *g_out.capture += text;
    } else {
      std::fwrite(text.data(), 1, text.size(), stdout);
    }
  }
  va_end(args);
  return n;
}

std::string console_last_line() { return g_out.last; }

std::string* console_set_capture(std::string* sink) {
  std::string* previous = g_out.capture;
  g_out.capture = sink;
  return previous;
}
