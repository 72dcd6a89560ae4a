// Windows implementation: Sleep, QueryPerformanceCounter, event objects and WaitForSingleObject,
// LoadLibraryA/GetProcAddress, a 1 ms timer resolution for the run (the default 15.6 ms would
// triple every 5 ms poll), and the console control handler (Ctrl-C as SIGINT; Ctrl-Break, closing
// the console, log-off, shutdown as SIGTERM).
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <timeapi.h>

#include <cstdio>

#include "platform/platform.h"

namespace {
char g_lib_error[512] = "";
bool g_period_set = false;

void remember_last_error(const char* what, const char* name) {
  DWORD code = GetLastError();
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) text[--n] = '\0';
  std::snprintf(g_lib_error, sizeof g_lib_error, "%s %s: error %lu: %s", what, name,
                static_cast<unsigned long>(code), text);
}
}  // namespace

void os_sleep_ms(uint32_t ms) { Sleep(ms); }

uint64_t os_now_us();

// Sleep takes whole milliseconds: the part below one is waited out on the clock.
void os_sleep_us(uint64_t us) {
  const uint64_t until = os_now_us() + us;
  if (us >= 1000u) Sleep(static_cast<DWORD>(us / 1000u));
  while (os_now_us() < until) Sleep(0);
}

int32_t os_signal_now(PlatformSignal signal) {
  const DWORD result = WaitForSingleObject(reinterpret_cast<HANDLE>(signal), 0);
  if (result == WAIT_OBJECT_0) return 1;
  return result == WAIT_TIMEOUT ? 0 : -1;
}

// WaitForSingleObject takes whole milliseconds; it waits the remainder rounded up, so that the
// time up is never early.
int32_t os_wait_signal(PlatformSignal signal, uint64_t until_us) {
  for (;;) {
    const uint64_t now = os_now_us();
    const uint64_t left = until_us > now ? until_us - now : 0;
    const DWORD result = WaitForSingleObject(reinterpret_cast<HANDLE>(signal),
                                             static_cast<DWORD>((left + 999u) / 1000u));
    if (result == WAIT_OBJECT_0) return 1;
    if (result != WAIT_TIMEOUT) return -1;
    if (os_now_us() >= until_us) return 0;
  }
}

PlatformSignal event_create() {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return event ? reinterpret_cast<PlatformSignal>(event) : 0;
}

uint64_t os_now_us() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart / frequency.QuadPart) * 1000000u +
         static_cast<uint64_t>(counter.QuadPart % frequency.QuadPart) * 1000000u /
             static_cast<uint64_t>(frequency.QuadPart);
}

namespace {
// Runs on a thread of its own: records the event only. A second event is left to the system's
// handler, which ends the process.
BOOL WINAPI on_console_event(DWORD event) {
  if (platform_interrupt() != 0) return FALSE;
  platform_set_interrupt(event == CTRL_C_EVENT ? PLATFORM_SIGINT : PLATFORM_SIGTERM);
  // Closing the console, log-off and shut-down end the process as soon as this returns: give the
  // run time to close the adapter and say what the unit is left in (it stops within one window).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(3000);
  }
  return TRUE;
}
}  // namespace

void platform_init() {
  g_period_set = timeBeginPeriod(1) == TIMERR_NOERROR;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_exit() {
  if (g_period_set) timeEndPeriod(1);
  g_period_set = false;
}

void* lib_open(const char* name) {
  HMODULE lib = LoadLibraryA(name);
  if (!lib) remember_last_error("LoadLibraryA", name);
  return reinterpret_cast<void*>(lib);
}

LibFunction lib_symbol(void* lib, const char* name) {
  FARPROC symbol = GetProcAddress(static_cast<HMODULE>(lib), name);
  if (!symbol) {
    remember_last_error("GetProcAddress", name);
    return nullptr;
  }
  return reinterpret_cast<LibFunction>(symbol);
}

const char* lib_error() { return g_lib_error; }

FILE* file_create_new(const char* path) {
  const int fd = _open(path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* file = _fdopen(fd, "wb");
  if (!file) {
    _close(fd);
    std::remove(path);
  }
  return file;
}

int file_sync(FILE* file) { return _commit(_fileno(file)); }

// NTFS journals its directory entries; there is no directory handle to flush.
void directory_sync(const char*) {}
