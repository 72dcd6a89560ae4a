// Log file and console output.
#include "log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace {
struct OutputState {
  FILE* log = nullptr;
  PlatformLock lock = PLATFORM_NO_LOCK;  // held while the log is written
  int32_t level = 0;
  std::string* capture = nullptr;  // where console text goes instead of stdout
  // The console line being printed and the last complete line that was not empty.
  std::string line;
  std::string last;
  bool status_drawn = false;  // a status line is drawn and not ended
  size_t status_width = 0;    // its characters
  ConsoleProblemSink problem_sink = nullptr;
  std::string first_problem;  // the first problem line since console_problem_mark
  // Why standard output was given up ("" while it is written); whether the log has said so.
  std::string console_gone;
  bool console_gone_logged = false;
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

namespace {
// Takes the lock of the existing log at `path`, named after the file itself (any path to it holds
// it). 0 taken, or no lock could be had (the file's own open then says what is wrong); -1 another
// run writes it, or what stands under the lock's name is refused, after the console line that
// says so.
int32_t lock_log(const char* path, PlatformLock* lock) {
  char identity[64];
  if (file_identity(path, identity, sizeof identity) != 0) return 0;
  int64_t holder = 0;
  const std::string name = std::string("log-") + identity;
  const int32_t taken = lock_take(name.c_str(), lock, &holder);
  if (taken == -2) {
    console_problem("Log file %s cannot be held against other runs: %s\n", path, lock_error());
    return -1;
  }
  if (taken != 1) return 0;
  console_problem("Log file %s is being written by process %lld (another run of this tool): give "
                  "this run a log of its own with --log FILE, or run it in another folder\n",
                  path, static_cast<long long>(holder));
  return -1;
}

// Creates the log at `path` (never emptied here) and takes its lock, as lock_log.
int32_t hold_log(const char* path) {
  FILE* probe = std::fopen(path, "a");
  if (!probe) return 0;
  std::fclose(probe);
  return lock_log(path, &g_out.lock);
}

// The earlier run's log is kept under log_kept_name, so that a run that follows a failed one
// (a -l, say) does not wipe what the failure left. Only a regular file is moved, and only while
// no other run writes it. 0, or -1 as lock_log.
int32_t keep_earlier_log(const char* path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return 0;
  PlatformLock lock = PLATFORM_NO_LOCK;
  if (lock_log(path, &lock) != 0) return -1;
  const std::string kept = log_kept_name(path);
  std::filesystem::rename(path, kept, error);
  lock_release(lock);
  if (error) {
    console_problem("The earlier log %s could not be kept as %s: %s\n", path, kept.c_str(),
                    error.message().c_str());
  }
  return 0;
}
}  // namespace

std::string log_kept_name(const char* path) {
  if (std::strcmp(path, LOG_FILE_DEFAULT) == 0) return "ZR4_BL_Log.1.txt";
  return std::string(path) + ".1";
}

int32_t log_open(const char* path) {
  console_print("\nLog system init\n");
  console_print("Log file: %s\n", path);
  g_out.level = 0;
  lock_release(g_out.lock);
  g_out.lock = PLATFORM_NO_LOCK;
  if (keep_earlier_log(path) != 0 || hold_log(path) != 0) return -1;
  g_out.log = std::fopen(path, "w");
  if (!g_out.log) {
    console_problem("Cannot open log files\n");
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
  lock_release(g_out.lock);
  g_out.lock = PLATFORM_NO_LOCK;
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

namespace {
// Standard output is given up for the rest of the run: the run goes on, and the log says why.
void give_up_console(const std::string& why) {
  g_out.console_gone = why;
  console_gone_log();
}

void write_console(const std::string& text) {
  if (!g_out.console_gone.empty()) return;
  if (platform_hangup()) {
    give_up_console("the console went away (SIGHUP)");
    return;
  }
  if (g_out.capture) {
    *g_out.capture += text;
    return;
  }
  errno = 0;
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::ferror(stdout)) {
    const int error = errno;
    give_up_console(error == EPIPE  ? "the console's reader went away (broken pipe)"
                    : error != 0    ? std::string("the console cannot be written: ") +
                                       std::strerror(error)
                                    : "the console cannot be written");
  }
}

// Prints the formatted text (kept in *text) after ending the status line; what vsnprintf returns.
int print_formatted(const char* format, va_list args, std::string* text) RALVEX_PRINTF(1, 0);
int print_formatted(const char* format, va_list args, std::string* text) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return n;
  text->assign(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&(*text)[0], text->size(), format, args);
  text->resize(static_cast<size_t>(n));
  console_status_end();
  note_console_text(text->data(), text->size());
  write_console(*text);
  return n;
}
}  // namespace

int console_print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text;
  const int n = print_formatted(format, args, &text);
  va_end(args);
  return n;
}

int console_problem(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text;
  const int n = print_formatted(format, args, &text);
  va_end(args);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      if (g_out.first_problem.empty()) g_out.first_problem = text.substr(start, end - start);
      if (g_out.problem_sink) g_out.problem_sink(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return n;
}

ConsoleProblemSink console_set_problem_sink(ConsoleProblemSink sink) {
  const ConsoleProblemSink previous = g_out.problem_sink;
  g_out.problem_sink = sink;
  return previous;
}

void console_status(const std::string& text) {
  std::string drawn = "\r" + text;
  if (g_out.status_width > text.size()) drawn.append(g_out.status_width - text.size(), ' ');
  g_out.status_width = text.size();
  g_out.status_drawn = true;
  write_console(drawn);
  // Standard output is line-buffered: a line without its end would wait there.
  if (!g_out.capture) std::fflush(stdout);
}

void console_status_end() {
  if (!g_out.status_drawn) return;
  g_out.status_drawn = false;
  g_out.status_width = 0;
  write_console("\n");
}

bool console_interactive() { return !g_out.capture && stdout_interactive(); }

int32_t console_columns() { return stdout_columns(); }

std::string console_last_line() { return g_out.last; }

std::string console_gone() { return g_out.console_gone; }

void console_gone_reset() {
  g_out.console_gone.clear();
  g_out.console_gone_logged = false;
}

void console_gone_log() {
  if (g_out.console_gone.empty() || g_out.console_gone_logged || !passes(LOG_ALWAYS)) return;
  g_out.console_gone_logged = true;
  std::fprintf(g_out.log, "Console given up: %s; the run goes on without it\n",
               g_out.console_gone.c_str());
}

void console_problem_mark() { g_out.first_problem.clear(); }

std::string console_first_problem() { return g_out.first_problem; }

std::string* console_set_capture(std::string* sink) {
  std::string* previous = g_out.capture;
  g_out.capture = sink;
  return previous;
}
