// The two output channels of the tool: the console (standard output) for the operator, and the
// trace file (ZR4_BL_Log.txt in the working directory, or the file of --log), whose lines pass a
// category mask. While a run writes its log it holds a lock on it, so that a second run never
// writes the same file at the same time.
// Call order: log_open, log_set_level, any number of log_write/log_newline, log_close once.
// Nothing reaches the file before log_set_level (the level is 0) or after log_close.
// On the console, a line that names a problem is printed through console_problem, and the progress
// on a terminal is one status line redrawn in place (console_status) that the next line ends.
#pragma once

#include <cstdint>
#include <string>

// printf-style checking; mingw builds use the C99-conforming printf (see CMakeLists.txt).
#if defined(__MINGW32__)
#define RALVEX_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define RALVEX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Category bits of a log mask. A text passes when its mask and the level share a bit.
enum LogLevel : int32_t {
  LOG_HEX_RAW = 1,       // each raw Intel HEX line
  LOG_HEX_PARSED = 2,    // each decoded Intel HEX record
  LOG_CAN_FRAMES = 4,    // command names and frame trace lines
  LOG_ALWAYS = 0xFFFF,   // errors, adapter start-up, status lines
};

// The log file of a run that names none.
constexpr const char* LOG_FILE_DEFAULT = "ZR4_BL_Log.txt";

// Keeps an earlier log at `path` (a regular file no other run writes) as log_kept_name(path),
// replacing the one kept before, then creates `path` and writes its banner; 0 when open, -1 when
// not: it cannot be created, or another run is writing it (then the console names that run's
// process and the way out, and the file is left as it is).
int32_t log_open(const char* path = LOG_FILE_DEFAULT);
// Where log_open keeps the earlier log: "ZR4_BL_Log.1.txt" for ZR4_BL_Log.txt, else path + ".1".
std::string log_kept_name(const char* path);
// Stores the level (any integer, used as a mask) and logs "Logger level %d\n".
void log_set_level(int32_t level);
// Writes `text` unchanged when `mask` & level != 0; no line break is added.
void log_write(const char* text, int32_t mask);
// Whether a text under `mask` would reach the file now (lets callers skip formatting work).
bool log_passes(int32_t mask);
// Writes "\n" when `mask` & level != 0.
void log_newline(int32_t mask);
// Closes the file; later writes are dropped.
void log_close();

// printf-style formatting into a buffer, then log_write. Outside text goes in as an argument.
void log_writef(int32_t mask, const char* format, ...) RALVEX_PRINTF(2, 3);

// Frame trace line "%08X %02X %02X %02X %02X %02X %02X %02X %02X\n" under LOG_CAN_FRAMES.
void log_frame(uint32_t id, const uint8_t data[8]);

// printf-style output on standard output; returns what the formatted print returns.
int console_print(const char* format, ...) RALVEX_PRINTF(1, 2);
// A text that names a problem (an error, a warning, a refusal, an interruption, a loss), printed
// as console_print prints it; each of its lines also goes to the problem sink, if one is set. The
// code that prints a problem says so by calling this; no text is matched.
int console_problem(const char* format, ...) RALVEX_PRINTF(1, 2);
// Where problem lines go besides the console (--events); nullptr: nowhere. Returns the one before.
using ConsoleProblemSink = void (*)(const std::string& line);
ConsoleProblemSink console_set_problem_sink(ConsoleProblemSink sink);

// The status line: `text` drawn in place of the status line drawn before ("\r", the text, blanks
// over what the one before had more), with no line end, at once. It is no console line: the next
// console_print or console_problem ends it first with "\n", and console_last_line never returns it.
void console_status(const std::string& text);
// Ends a drawn status line with "\n"; nothing when none is drawn.
void console_status_end();
// Whether the console is a person's terminal (stdout_interactive) that no capture replaces.
bool console_interactive();
// The width of that terminal in columns, 0 when it cannot tell.
int32_t console_columns();

// Why standard output was given up ("" while it is written): a write failed (a pipe whose
// reader went away, as `| head` does) or SIGHUP said the terminal went away. From then on nothing
// is written there and the run goes on; the log says so once it can (console_gone_log).
std::string console_gone();
// Writes "Console given up: <why>; the run goes on without it\n" into the log, once per run, when
// the console was given up and the log is open.
void console_gone_log();
// Forgets a console given up (a new run in the same process; tests).
void console_gone_reset();

// The last line printed on the console that was not empty, without its line end ("" before one).
// The run report takes a failed run's message from it.
std::string console_last_line();

// The first line printed through console_problem since the last console_problem_mark, without its
// line end ("" when none was): what names the cause of a step that failed, where the lines after
// it ("CAN init error", "Erase flash error") name only the step.
void console_problem_mark();
std::string console_first_problem();

// While `sink` is set, console text is appended to it instead of going to stdout (tests; and the
// entry point, whose command line is read before the log's lines are printed). Its lines count
// for console_last_line all the same. Returns the sink set before (nullptr: stdout).
std::string* console_set_capture(std::string* sink);
