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
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <sys/stat.h>
#include <timeapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/lock_rules.h"
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
  lock_release_all();
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
// The byte locked lies past every lock file's text, which others read for the holder's id.
constexpr DWORD kLockedByteHigh = 1;
// A name that names another file each time it is looked at (or stays pending deletion) is given
// up after this many tries, a millisecond apart.
constexpr int kLockTries = 100;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static_assert(LOCK_WIN_ATTRIBUTE_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY, "SDK value");
static_assert(LOCK_WIN_ATTRIBUTE_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT, "SDK value");
static_assert(LOCK_WIN_TYPE_DISK == FILE_TYPE_DISK, "SDK value");

// A lock this process holds: its handle and the path it was taken under.
struct HeldLock {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::wstring path;
};

struct LockState {
  char error[640] = "";
  std::vector<HeldLock> held;
};
LockState g_locks;

// The code page in which the file functions read a char path (the one argv and fopen use).
UINT file_code_page() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

bool to_file_wide(const char* text, std::wstring* wide) {
  const UINT page = file_code_page();
  const int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return false;
  wide->assign(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text, -1, &(*wide)[0], n) != n) return false;
  wide->resize(static_cast<size_t>(n - 1));
  return true;
}

// A wide path for the console, in the code page it prints paths given on the command line in.
std::string narrow(const std::wstring& wide) {
  const UINT page = file_code_page();
  const int n = WideCharToMultiByte(page, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string text(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(page, 0, wide.c_str(), -1, &text[0], n, nullptr, nullptr);
  text.resize(static_cast<size_t>(n - 1));
  return text;
}

int32_t lock_failed(int32_t result, const std::string& text) {
  std::snprintf(g_locks.error, sizeof g_locks.error, "%s", text.c_str());
  return result;
}

std::string error_text(const std::wstring& path, DWORD code) {
  return narrow(path) + ": error " + std::to_string(static_cast<unsigned long>(code));
}

std::wstring environment(const wchar_t* name) {
  const DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return std::wstring();
  std::wstring value(n, L'\0');
  const DWORD written = GetEnvironmentVariableW(name, &value[0], n);
  value.resize(written);
  return value;
}

// Whether `owner` is SYSTEM, the Administrators or the user this process runs as.
bool owner_trusted(PSID owner) {
  if (!owner) return false;
  if (IsWellKnownSid(owner, WinLocalSystemSid) ||
      IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return true;
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  char buffer[256];
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != 0;
  CloseHandle(token);
  return known && EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != 0;
}

// Whether the open file is owned by the user this process runs as, SYSTEM or the Administrators.
bool owner_of_trusted(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = owner_trusted(owner);
  LocalFree(descriptor);
  return trusted;
}

// The full path of what `file` is open on, as the system names it ("\\?\C:\...": long names,
// the case on disk); "" when it cannot tell.
std::wstring final_path(HANDLE file) {
  std::wstring path(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  path.resize(n > 0 && n < path.size() ? n : 0);
  return path;
}

// Checks the folder itself, never through a reparse point: 0 usable, -1 it cannot be used, -2
// refused.
int32_t check_folder(const std::wstring& folder, std::wstring* final_folder) {
  HANDLE handle = CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll,
                              nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return lock_failed(-1, error_text(folder, GetLastError()));
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  *final_folder = final_path(handle);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool owned = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                     nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
  const bool trusted = owned && owner_trusted(owner);
  if (descriptor) LocalFree(descriptor);
  CloseHandle(handle);
  if (!known) return lock_failed(-1, error_text(folder, GetLastError()));
  const bool directory =
      lock_entry_kind_windows(info.dwFileAttributes, LOCK_WIN_TYPE_DISK, false) ==
      LOCK_ENTRY_DIRECTORY;
  // Users' rights in the folder are its access list's: the one made here gives them none on
  // another's files; one that is there already is trusted by its owner.
  const std::string refusal =
      lock_folder_refusal(LockFolderFacts{directory, trusted, false, false});
  if (refusal.empty()) return 0;
  return lock_failed(-2, "lock folder " + narrow(folder) + " " + refusal +
                             ": remove it as an administrator, or set RALVEX_LOCK_DIR to a folder "
                             "of your own");
}

// The lock folder, made with its own access list when it is missing. 0 with *folder, -1 none can
// be used, -2 refused.
int32_t lock_folder(std::wstring* folder, std::wstring* final_folder) {
  *folder = environment(L"RALVEX_LOCK_DIR");
  if (folder->empty()) {
    *folder = environment(L"ProgramData");
    if (!folder->empty()) {
      *folder += L"\\ralvex-service-tool";
      SECURITY_ATTRIBUTES attributes{};
      attributes.nLength = sizeof attributes;
      std::wstring sddl;
      to_wide(LOCK_FOLDER_SDDL, &sddl);
      if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
              sddl.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        if (!CreateDirectoryW(folder->c_str(), &attributes) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
          folder->clear();
        }
        LocalFree(attributes.lpSecurityDescriptor);
      } else {
        // Without its access list the folder is not made at all.
        DWORD attributes_now = GetFileAttributesW(folder->c_str());
        if (attributes_now == INVALID_FILE_ATTRIBUTES) folder->clear();
      }
    }
    if (folder->empty()) *folder = environment(L"TEMP");
  }
  return check_folder(*folder, final_folder);
}

HANDLE open_lock(const std::wstring& path, DWORD access, DWORD disposition) {
  return CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Whether `path` still names the file `file` is open on.
bool still_named(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& opened) {
  HANDLE again = open_lock(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
  if (again == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool same = GetFileInformationByHandle(again, &info) != 0 && same_file(info, opened);
  CloseHandle(again);
  return same;
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

// What the open handle is; `final` is the full path it must be open on (a link that the system
// followed anyway, as wine does with a Unix symbolic link, opens another file).
LockEntryFacts entry_facts(HANDLE file, BY_HANDLE_FILE_INFORMATION* info, bool made,
                           const std::wstring& final) {
  if (!GetFileInformationByHandle(file, info)) return LockEntryFacts{LOCK_ENTRY_OTHER, 0, false, 0};
  const uint64_t size = (static_cast<uint64_t>(info->nFileSizeHigh) << 32) | info->nFileSizeLow;
  const std::wstring opened = final_path(file);
  const bool elsewhere = CompareStringOrdinal(opened.c_str(), -1, final.c_str(), -1, TRUE) !=
                         CSTR_EQUAL;
  return LockEntryFacts{
      lock_entry_kind_windows(info->dwFileAttributes, GetFileType(file), elsewhere),
      info->nNumberOfLinks, made || owner_of_trusted(file), size};
}

// One try: 0 taken (*file), 1 held by *holder, 2 try again, -1 it cannot be made, -2 refused.
int32_t try_lock(const std::wstring& path, const std::wstring& final, HANDLE* file,
                 int64_t* holder) {
  const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE;
  bool made = true;
  *file = open_lock(path, access, CREATE_NEW);
  if (*file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS && code != ERROR_ACCESS_DENIED) {
      return lock_failed(-1, error_text(path, code));
    }
    made = false;
    // Looked at before it is opened: a folder or a link there is never opened for writing.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      // Gone meanwhile, or a link that leads nowhere; or never there, in a folder this user may
      // not write.
      return code == ERROR_ACCESS_DENIED ? lock_failed(-1, error_text(path, code)) : 4;
    }
    const LockEntryKind kind = lock_entry_kind_windows(attributes, LOCK_WIN_TYPE_DISK, false);
    if (kind != LOCK_ENTRY_REGULAR) {
      const std::string refusal = lock_file_refusal(LockEntryFacts{kind, 1, true, 0});
      return lock_failed(-2, narrow(path) + " " + refusal + ", not a lock file of this tool: "
                                                             "remove it");
    }
    *file = open_lock(path, access, OPEN_EXISTING);
    if (*file == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return 2;
      // Pending deletion by its last holder, or another user's own file.
      if (error == ERROR_ACCESS_DENIED) return 3;
      return lock_failed(-1, error_text(path, error));
    }
  }
  BY_HANDLE_FILE_INFORMATION opened{};
  const LockEntryFacts facts = entry_facts(*file, &opened, made, final);
  const std::string refusal = lock_file_refusal(facts);
  if (!refusal.empty()) {
    CloseHandle(*file);
    return lock_failed(-2,
                       narrow(path) + " " + refusal + ", not a lock file of this tool: remove it");
  }
  if (!lock_byte(*file)) {
    *holder = written_holder(*file);
    CloseHandle(*file);
    return 1;
  }
  if (lock_file_foreign(facts)) {
    // Its owner could delete it from under this run (a folder made before its access list was).
    CloseHandle(*file);
    return lock_failed(-2, narrow(path) + " is another user's and no run holds it: that user's "
                                          "next run, or an administrator, removes it");
  }
  // Its last holder deletes it while still holding it: a lock taken on a file pending deletion, or
  // no longer under the name, keeps no run out.
  if (!still_named(path, opened)) {
    CloseHandle(*file);
    return 2;
  }
  char pid[24];
  const int n = std::snprintf(pid, sizeof pid, "%lu\r\n",
                              static_cast<unsigned long>(GetCurrentProcessId()));
  DWORD written = 0;
  SetFilePointer(*file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(*file);
  WriteFile(*file, pid, static_cast<DWORD>(n), &written, nullptr);
  FlushFileBuffers(*file);
  return 0;
}

bool held_here(const std::wstring& path) {
  for (const HeldLock& held : g_locks.held) {
    if (CompareStringOrdinal(held.path.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

std::wstring lock_file(const char* name) {
  std::wstring wide_name;
  to_wide(name, &wide_name);
  wide_name.resize(std::wcslen(wide_name.c_str()));
  return L"ralvex-service-tool." + wide_name + L".lock";
}
}  // namespace

int32_t lock_take(const char* name, PlatformLock* lock, int64_t* holder) {
  *lock = PLATFORM_NO_LOCK;
  *holder = 0;
  std::wstring folder;
  std::wstring final_folder;
  const int32_t usable = lock_folder(&folder, &final_folder);
  if (usable != 0) return usable;
  const std::wstring path = folder + L"\\" + lock_file(name);
  const std::wstring final = final_folder + L"\\" + lock_file(name);
  int denied = 0;
  int unseen = 0;
  for (int i = 0; i < kLockTries; ++i) {
    HANDLE file = INVALID_HANDLE_VALUE;
    const int32_t result = try_lock(path, final, &file, holder);
    if (result >= 2) {
      if (result == 3) ++denied;
      if (result == 4) ++unseen;
      Sleep(1);
      continue;
    }
    if (result != 0) return result;
    g_locks.held.push_back(HeldLock{file, path});
    *lock = reinterpret_cast<PlatformLock>(file);
    return 0;
  }
  if (unseen == kLockTries) {
    return lock_failed(-2, narrow(path) + " is there but cannot be looked at (a link that leads "
                                          "nowhere?), not a lock file of this tool: remove it");
  }
  if (denied == kLockTries) {
    return lock_failed(-2, narrow(path) + " is another user's: a run of theirs holds it, or left "
                                          "it when it was ended; an administrator may remove it");
  }
  return lock_failed(-2, narrow(path) + " was replaced " + std::to_string(kLockTries) +
                             " times while this run took it");
}

int64_t lock_holder(const char* name) {
  std::wstring folder;
  std::wstring final_folder;
  if (lock_folder(&folder, &final_folder) != 0) return 0;
  const std::wstring path = folder + L"\\" + lock_file(name);
  if (held_here(path)) return 0;
  HANDLE file = open_lock(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return 0;
  int64_t holder = 0;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!lock_file_refusal(entry_facts(file, &info, false, final_folder + L"\\" + lock_file(name)))
           .empty()) {
    holder = 0;
  } else if (lock_byte(file)) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockedByteHigh;
    UnlockFileEx(file, 0, 1, 0, &at);
  } else {
    holder = written_holder(file);
  }
  CloseHandle(file);
  return holder == static_cast<int64_t>(GetCurrentProcessId()) ? 0 : holder;
}

// As on POSIX: the file is marked for deletion while the lock is still held, and goes with the
// handle; the lock goes with it. A run that opened it before gets the lock on a file pending
// deletion, sees that the name no longer opens it and tries again.
void lock_release(PlatformLock lock) {
  if (lock == PLATFORM_NO_LOCK) return;
  HANDLE file = reinterpret_cast<HANDLE>(lock);
  for (size_t i = 0; i < g_locks.held.size(); ++i) {
    if (g_locks.held[i].file != file) continue;
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
    g_locks.held.erase(g_locks.held.begin() + static_cast<std::ptrdiff_t>(i));
    CloseHandle(file);
    return;
  }
  // Not held (released already, by lock_release_all too): the handle may be another's now.
}

void lock_release_all() {
  while (!g_locks.held.empty()) {
    lock_release(reinterpret_cast<PlatformLock>(g_locks.held.back().file));
  }
}

const char* lock_error() { return g_locks.error; }

int32_t file_identity(const char* path, char* identity, size_t size) {
  // The path as fopen reads it: in the file functions' code page, whatever its characters.
  std::wstring wide;
  if (!to_file_wide(path, &wide)) return -1;
  HANDLE file = CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
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
