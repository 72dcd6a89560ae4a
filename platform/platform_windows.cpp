// Windows implementation: Sleep, QueryPerformanceCounter, event objects and WaitForSingleObject,
// LoadLibraryExW/GetProcAddress/GetModuleFileNameW, a 1 ms timer resolution for the run (the
// default 15.6 ms would triple every 5 ms poll), and the console control handler (Ctrl-C as
// SIGINT; Ctrl-Break, closing the console, log-off, shutdown as SIGTERM), and the console
// (GetConsoleMode, GetConsoleScreenBufferInfo).
//
// DLLs come from the .exe's folder and the system folder only. The standard search order also
// takes the current folder (where a technician keeps the HEX files and the log, and where anyone
// may leave a PCANBasic.dll) and every folder on PATH, which often holds folders the user may
// write to. The vendors' driver packages install PCANBasic.dll and canlib32.dll into the system
// folder, so the tool needs neither of those two. The LOAD_LIBRARY_SEARCH flags need Windows 8,
// or Windows 7 with KB2533623.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <timeapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {
char g_lib_error[512] = "";
bool g_period_set = false;

// LoadLibraryExW looks in these two folders, for the DLL and for its dependencies, and in none of
// the standard search path's others.
constexpr DWORD kTrustedFolders =
    LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

void remember_last_error(const char* what, const char* name) {
  DWORD code = GetLastError();
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) text[--n] = '\0';
  std::snprintf(g_lib_error, sizeof g_lib_error, "%s %s: error %lu: %s", what, name,
                static_cast<unsigned long>(code), text);
}

// UTF-8 to UTF-16; false for text that is not UTF-8.
bool to_wide(const char* text, std::wstring* wide) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return false;
  wide->assign(static_cast<size_t>(n), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &(*wide)[0], n) == n;
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
  // The same folders for every later load that names no folders of its own, such as the DLLs a
  // vendor library loads at run time. lib_open passes them itself, so that a failure here leaves
  // the vendor libraries as safe.
  SetDefaultDllDirectories(kTrustedFolders);
  g_period_set = timeBeginPeriod(1) == TIMERR_NOERROR;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void platform_exit() {
  if (g_period_set) timeEndPeriod(1);
  g_period_set = false;
}

void* lib_open(const char* name) {
  std::wstring wide;
  if (!to_wide(name, &wide)) {
    std::snprintf(g_lib_error, sizeof g_lib_error, "%s: the name is not UTF-8", name);
    return nullptr;
  }
  HMODULE lib = LoadLibraryExW(wide.c_str(), nullptr, kTrustedFolders);
  if (!lib) remember_last_error("LoadLibraryExW", name);
  return reinterpret_cast<void*>(lib);
}

int32_t lib_path(void* lib, char* path, size_t size) {
  if (size == 0) return -1;
  path[0] = '\0';
  if (!lib) return -1;
  // GetModuleFileNameW cuts a path that does not fit without failing; 32767 characters is the
  // longest path Windows has.
  std::wstring wide(32768, L'\0');
  const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(lib), &wide[0],
                                     static_cast<DWORD>(wide.size()));
  if (n == 0 || n >= wide.size()) return -1;
  const int room = static_cast<int>(size - 1 < 0x7FFFFFFFu ? size - 1 : 0x7FFFFFFFu);
  const int bytes = room == 0 ? 0
                              : WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(n),
                                                    path, room, nullptr, nullptr);
  // A path that does not fit fails whole, but may have been written in part.
  if (bytes <= 0) {
    path[0] = '\0';
    return -1;
  }
  path[bytes] = '\0';
  return 0;
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

namespace {
char g_lock_error[320] = "";
// The byte locked lies past every lock file's text, which others read for the holder's id.
constexpr DWORD kLockedByteHigh = 1;

std::wstring environment(const wchar_t* name) {
  const DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return std::wstring();
  std::wstring value(n, L'\0');
  const DWORD written = GetEnvironmentVariableW(name, &value[0], n);
  value.resize(written);
  return value;
}

std::wstring lock_path(const char* name) {
  std::wstring folder = environment(L"RALVEX_LOCK_DIR");
  if (folder.empty()) {
    folder = environment(L"ProgramData");
    if (!folder.empty()) {
      folder += L"\\ralvex-service-tool";
      if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        folder.clear();
      }
    }
    if (folder.empty()) folder = environment(L"TEMP");
  }
  std::wstring wide_name;
  to_wide(name, &wide_name);
  return folder + L"\\ralvex-service-tool." + wide_name + L".lock";
}

HANDLE open_lock(const std::wstring& path, DWORD access, DWORD disposition) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool lock_byte(HANDLE file) {
  OVERLAPPED at{};
  at.OffsetHigh = kLockedByteHigh;
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

// The process id written at the start of the lock file, 0 when there is none.
int64_t written_holder(HANDLE file) {
  char text[24] = "";
  DWORD n = 0;
  OVERLAPPED at{};
  if (!ReadFile(file, text, sizeof text - 1, &n, &at)) return 0;
  text[n] = '\0';
  return std::strtoll(text, nullptr, 10);
}
}  // namespace

int32_t lock_take(const char* name, PlatformLock* lock, int64_t* holder) {
  *lock = PLATFORM_NO_LOCK;
  *holder = 0;
  const std::wstring path = lock_path(name);
  HANDLE file = open_lock(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) {
    std::snprintf(g_lock_error, sizeof g_lock_error, "lock file for %s: error %lu", name,
                  static_cast<unsigned long>(GetLastError()));
    return -1;
  }
  if (!lock_byte(file)) {
    *holder = written_holder(file);
    CloseHandle(file);
    return 1;
  }
  char pid[24];
  const int n = std::snprintf(pid, sizeof pid, "%lu\r\n",
                              static_cast<unsigned long>(GetCurrentProcessId()));
  DWORD written = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  WriteFile(file, pid, static_cast<DWORD>(n), &written, nullptr);
  FlushFileBuffers(file);
  *lock = reinterpret_cast<PlatformLock>(file);
  return 0;
}

int64_t lock_holder(const char* name) {
  HANDLE file = open_lock(lock_path(name), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 0;
  int64_t holder = 0;
  if (lock_byte(file)) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockedByteHigh;
    UnlockFileEx(file, 0, 1, 0, &at);
  } else {
    holder = written_holder(file);
  }
  CloseHandle(file);
  return holder == static_cast<int64_t>(GetCurrentProcessId()) ? 0 : holder;
}

void lock_release(PlatformLock lock) {
  if (lock != PLATFORM_NO_LOCK) CloseHandle(reinterpret_cast<HANDLE>(lock));
}

const char* lock_error() { return g_lock_error; }

int32_t file_identity(const char* path, char* identity, size_t size) {
  std::wstring wide;
  if (!to_wide(path, &wide)) return -1;
  HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return -1;
  std::snprintf(identity, size, "%lx-%lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  return 0;
}

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

// A pipe whose reader went away fails the write (EPIPE or EINVAL); Windows raises no signal.
int32_t file_write_flush(FILE* file, const void* data, size_t size) {
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = std::fflush(file) == 0 && ok;
  return ok ? 0 : -1;
}

// Only a console has a mode; a pipe, a file or a terminal emulator's pipe (mintty) has none.
bool stdout_interactive() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int32_t stdout_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}
