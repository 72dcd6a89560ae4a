// The only operating-system code of the tool: sleeping, a monotonic clock, waiting for a signal
// from an adapter's library (a descriptor or an event object) until a time, loading shared
// libraries by name from trusted places only (never the working directory) and naming the file
// loaded, noticing Ctrl-C / SIGTERM, and whether standard output is a person's terminal. POSIX
// (dlopen) and Windows (LoadLibraryExW) implementations sit side by side; everything else stays
// portable. Tests replace the clock with a virtual one so that waits of seconds run instantly
// while every requested sleep is still counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Sleeps at least `ms` milliseconds (or advances the installed virtual clock).
void sleep_ms(uint32_t ms);

// Monotonic time in microseconds since an arbitrary start.
uint64_t now_us();

// Sleeps until now_us() reaches `until_us` (at once when it has); a virtual clock jumps there.
void sleep_until_us(uint64_t until_us);

// What a vendor library signals when frames arrive: a file descriptor that becomes readable
// (POSIX) or an event object's HANDLE (Windows), held as an integer.
using PlatformSignal = intptr_t;
// Waits until `signal` is readable or set, or now_us() reaches `until_us`. 1 signalled (an
// auto-reset event is reset by the wait), 0 time up, -1 the wait failed. With a virtual clock the
// signal is looked at once and, when it is not there, the clock jumps to `until_us`.
int32_t wait_signal(PlatformSignal signal, uint64_t until_us);
#if defined(_WIN32)
// An auto-reset event object, not set, for a library to set; 0 when none can be made.
PlatformSignal event_create();
#endif

// A replacement clock. All three functions must be set.
struct PlatformClock {
  void (*sleep_ms)(uint32_t ms);
  uint64_t (*now_us)();
  void (*sleep_us)(uint64_t us);  // what sleep_until_us and a wait that is not signalled request
};

// Installs `clock` for all later sleep_ms/now_us calls; nullptr restores the operating system's.
void platform_set_clock(const PlatformClock* clock);

// Process-wide set-up and tear-down (on Windows: 1 ms timer resolution for the run, and the DLLs
// loaded later, a vendor library's own ones too, searched only in the .exe's folder and the system
// folder). platform_init also installs the interrupt handlers: SIGINT and SIGTERM (POSIX),
// Ctrl-C, Ctrl-Break and closing the console (Windows). A handler only records the signal; a
// second one ends the process at once.
void platform_init();
void platform_exit();

// Signal numbers as shells report them: exit status 128 + number.
constexpr int PLATFORM_SIGINT = 2;
constexpr int PLATFORM_SIGTERM = 15;
// The signal that asked the tool to stop (PLATFORM_SIGINT or PLATFORM_SIGTERM), 0 while none did.
// Safe to call from any loop: it only reads the recorded number.
int platform_interrupt();
// Records `signal` as if it had arrived (0 forgets one); for tests and for the handlers.
void platform_set_interrupt(int signal);
// Whether SIGHUP said that the terminal went away (POSIX; never on Windows). It stops no run: the
// console is given up and the job goes on. SIGPIPE is ignored, so a console whose reader went
// away fails its writes instead of ending the process.
bool platform_hangup();
// Records a hangup as if SIGHUP had arrived (false forgets it); for tests and the handler.
void platform_set_hangup(bool hangup);
// "SIGINT" or "SIGTERM" for the numbers above, "signal" otherwise.
const char* platform_signal_name(int signal);

// Creates `path` for binary writing only if it does not exist yet (errno EEXIST when it does);
// nullptr on failure.
FILE* file_create_new(const char* path);
// Forces what was written to `file` onto the disk. 0 on success.
int file_sync(FILE* file);
// Forces the entries of `directory` ("" for the working directory), such as a rename, onto the
// disk; best effort.
void directory_sync(const char* directory);
// Writes `size` bytes to `file` and flushes them. 0 when all went out; -1 otherwise, also when
// the reader at the other end of a named pipe went away: that ends a write, never the process
// (POSIX holds SIGPIPE back during the write and takes it).
int32_t file_write_flush(FILE* file, const void* data, size_t size);

// Whether standard output is a person's terminal: a terminal whose TERM is not "dumb" (POSIX), a
// console (Windows). A pipe or a file is not.
bool stdout_interactive();
// The width of standard output's terminal or console window in columns, 0 when it has none.
int32_t stdout_columns();

// Locks that keep two runs apart (two runs on one interface, or writing one log): an advisory lock
// on a file in the machine's lock folder that carries the holder's process id. The system releases
// it when the process ends, however it ends; the file goes when the lock is released (or at
// platform_exit), and one left by a process that was killed is taken over by the next run. The
// folder: RALVEX_LOCK_DIR when set; else /run/lock when it may be written, else TMPDIR or /tmp
// (POSIX); %ProgramData%\ralvex-service-tool, else %TEMP% (Windows). Nothing under a lock's name
// is used but a regular file with one link (platform/lock_rules.h): a link there is never
// followed, and nothing outside the folder is ever created, emptied, written or given a mode.
// Example: lock_take("socketcan-can0", &lock, &holder) takes the lock of the file
// /run/lock/ralvex-service-tool.socketcan-can0.lock and writes this process's id into it.
using PlatformLock = intptr_t;
constexpr PlatformLock PLATFORM_NO_LOCK = -1;
// Takes the lock `name` (letters, digits, '-', '_', '.'). 0 taken (*lock holds it); 1 another
// process holds it (*holder its id, 0 when it cannot be told); -1 the lock file cannot be made
// (the folder is missing or may not be written); -2 refused: something else stands under the
// lock's name, or the folder is one where other users could move a held lock away. lock_error
// says why, naming the file or folder.
int32_t lock_take(const char* name, PlatformLock* lock, int64_t* holder);
// The id of the process that holds `name`, 0 when none does (this process's own locks included).
int64_t lock_holder(const char* name);
// Removes the lock's file while the lock is still held, then releases it; a lock released already
// is left alone.
void lock_release(PlatformLock lock);
// Releases every lock this process holds, as lock_release does (platform_exit calls it).
void lock_release_all();
// Why the last lock_take failed.
const char* lock_error();
// A name for the file at `path` that is the same for every path to it ("fd01-1835017" from its
// device and inode; its volume serial number and file index on Windows). 0, or -1 when the file
// cannot be opened.
int32_t file_identity(const char* path, char* identity, size_t size);

// A generic function pointer; callers cast it to the entry point's exact type.
using LibFunction = void (*)();

// Loads a shared library by file name (UTF-8) through the system's loader; nullptr on failure.
// A bare name is never looked for in the working directory: on Windows only the .exe's folder and
// the system folder are searched (not PATH), on POSIX the loader's own path.
void* lib_open(const char* name);
// Writes the full path (UTF-8) of the file that `lib` was loaded from into `path`, such as
// C:\Windows\System32\PCANBasic.dll. 0 on success; -1, with `path` "", when the loader cannot
// tell or the path does not fit into `size` bytes.
int32_t lib_path(void* lib, char* path, size_t size);
// Looks up an exported function by name; nullptr when missing.
LibFunction lib_symbol(void* lib, const char* name);
// The operating system's text for the last failed lib_open or lib_symbol ("" when none).
const char* lib_error();
