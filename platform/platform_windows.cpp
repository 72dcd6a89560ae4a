// Windows implementation: Sleep, QueryPerformanceCounter, LoadLibraryA/GetProcAddress, and a 1 ms
// timer resolution for the run (the default 15.6 ms would triple every 5 ms poll).
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

uint64_t os_now_us() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<uint64_t>(counter.QuadPart / frequency.QuadPart) * 1000000u +
         static_cast<uint64_t>(counter.QuadPart % frequency.QuadPart) * 1000000u /
             static_cast<uint64_t>(frequency.QuadPart);
}

void platform_init() { g_period_set = timeBeginPeriod(1) == TIMERR_NOERROR; }

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
