// POSIX implementation: nanosleep, CLOCK_MONOTONIC, ppoll on a descriptor, open/fsync,
// dlopen/dlsym/dlerror/dlinfo, the SIGINT/SIGTERM handlers, and the terminal (isatty, TIOCGWINSZ).
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/lock_rules.h"
#include "platform/platform.h"

namespace {
char g_lib_error[512] = "";

void remember_dl_error() {
  const char* text = dlerror();
  std::snprintf(g_lib_error, sizeof g_lib_error, "%s", text ? text : "unknown loader error");
}
}  // namespace

void os_sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t os_now_us();

void os_sleep_us(uint64_t us) {
  timespec left{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int32_t os_signal_now(PlatformSignal signal) {
  pollfd entry{static_cast<int>(signal), POLLIN, 0};
  const int n = poll(&entry, 1, 0);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (n == 0) return 0;
  return (entry.revents & POLLIN) ? 1 : -1;
}

int32_t os_wait_signal(PlatformSignal signal, uint64_t until_us) {
  for (;;) {
    const uint64_t now = os_now_us();
    const uint64_t left = until_us > now ? until_us - now : 0;
    pollfd entry{static_cast<int>(signal), POLLIN, 0};
#if defined(__linux__)
    const timespec timeout{static_cast<time_t>(left / 1000000u),
                           static_cast<long>(left % 1000000u) * 1000L};
    const int n = ppoll(&entry, 1, &timeout, nullptr);
#else
    const int n = poll(&entry, 1, static_cast<int>((left + 999u) / 1000u));
#endif
    if (n < 0 && errno != EINTR) return -1;
    if (n > 0) return (entry.revents & POLLIN) ? 1 : -1;
    // Ctrl-C ends the wait at once: the channel then stops.
    if (left == 0 || (n < 0 && platform_interrupt() != 0)) return 0;
  }
}

uint64_t os_now_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

namespace {
// Async-signal-safe: records the number only. SA_RESETHAND lets a second signal end the process.
void on_signal(int signal) { platform_set_interrupt(signal); }
// The terminal went away: a flash, a backup or a restore stopped in the middle would leave the
// device worse than finishing it does, so the run goes on without its console.
void on_hangup(int) { platform_set_hangup(true); }
}  // namespace

void platform_init() {
  static_assert(SIGINT == PLATFORM_SIGINT && SIGTERM == PLATFORM_SIGTERM, "signal numbers");
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  struct sigaction hangup {};
  hangup.sa_handler = on_hangup;
  sigemptyset(&hangup.sa_mask);
  sigaction(SIGHUP, &hangup, nullptr);
  // A console that cannot be written fails its writes (EPIPE) and is given up; nothing ends.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void platform_exit() { lock_release_all(); }

// A bare name is looked for in the executable's RUNPATH, LD_LIBRARY_PATH, the loader's cache and
// the system folders, never in the working directory unless one of those lists holds an empty or
// relative entry: the tool's executable has none (its tests check).
void* lib_open(const char* name) {
  void* lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!lib) remember_dl_error();
  return lib;
}

int32_t lib_path(void* lib, char* path, size_t size) {
  if (size == 0) return -1;
  path[0] = '\0';
  link_map* map = nullptr;
  if (!lib || dlinfo(lib, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return -1;
  // The loader keeps the name it opened: whole when found through an absolute entry of its path,
  // relative to the working directory when given so (a relative LD_LIBRARY_PATH entry).
  const char* name = map->l_name;
  char whole[PATH_MAX];
  if (name[0] != '/') {
    if (!realpath(name, whole)) return -1;
    name = whole;
  }
  const size_t length = std::strlen(name);
  if (length >= size) return -1;
  std::memcpy(path, name, length + 1);
  return 0;
}

LibFunction lib_symbol(void* lib, const char* name) {
  dlerror();
  void* symbol = dlsym(lib, name);
  if (!symbol) {
    remember_dl_error();
    return nullptr;
  }
  // POSIX guarantees that a function's address survives the round trip through void*.
  LibFunction function;
  static_assert(sizeof function == sizeof symbol, "function and object pointers differ in size");
  std::memcpy(&function, &symbol, sizeof function);
  return function;
}

const char* lib_error() { return g_lib_error; }

namespace {
// A lock this process holds: its descriptor, the folder it lies in and its name there.
struct HeldLock {
  int fd = -1;
  int folder = -1;
  std::string file;
};

struct LockState {
  char error[PATH_MAX + 160] = "";
  std::vector<HeldLock> held;
};
LockState g_locks;

// A name that names another file each time it is looked at is given up after this many tries
// (runs that end and begin as fast as they can on one lock lose a try now and then, never a
// thousand in a row).
constexpr int kLockTries = 1000;

const char* lock_folder() {
  const char* folder = std::getenv("RALVEX_LOCK_DIR");
  if (!folder || !folder[0]) {
    folder = access("/run/lock", W_OK) == 0 ? "/run/lock" : std::getenv("TMPDIR");
    if (!folder || !folder[0]) folder = "/tmp";
  }
  return folder;
}

std::string lock_file(const char* name) {
  return std::string("ralvex-service-tool.") + name + ".lock";
}

LockEntryKind entry_kind(mode_t mode) {
  if (S_ISREG(mode)) return LOCK_ENTRY_REGULAR;
  if (S_ISLNK(mode)) return LOCK_ENTRY_SYMLINK;
  if (S_ISDIR(mode)) return LOCK_ENTRY_DIRECTORY;
  if (S_ISFIFO(mode)) return LOCK_ENTRY_FIFO;
  return LOCK_ENTRY_OTHER;
}

LockEntryFacts entry_facts(const struct stat& status) {
  return LockEntryFacts{entry_kind(status.st_mode), static_cast<uint64_t>(status.st_nlink),
                        status.st_uid == geteuid() || status.st_uid == 0,
                        static_cast<uint64_t>(status.st_size)};
}

std::string entry_refusal(const struct stat& status) {
  return lock_file_refusal(entry_facts(status));
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Says why the lock cannot be had; `result` is returned.
int32_t lock_failed(int32_t result, const std::string& text) {
  std::snprintf(g_locks.error, sizeof g_locks.error, "%s", text.c_str());
  return result;
}

// Opens the lock folder, refusing one where another user could remove or replace a held lock, or
// a link to it that another user made (as fs.protected_symlinks would in a sticky folder). 0 with
// *fd open, -1 it cannot be used, -2 refused.
int32_t open_folder(const char* folder, int* fd) {
  *fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status {};
  if (*fd < 0) {
    const int error = errno;
    if (lstat(folder, &status) == 0 && S_ISLNK(status.st_mode) &&
        (status.st_uid == 0 || status.st_uid == geteuid())) {
      *fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else if (lstat(folder, &status) == 0 && !S_ISDIR(status.st_mode)) {
      return lock_failed(-2, std::string("lock folder ") + folder + " " +
                                 (S_ISLNK(status.st_mode) ? "is another user's symbolic link"
                                                          : "is not a folder") +
                                 ": set RALVEX_LOCK_DIR to a folder of your own");
    }
    if (*fd < 0) return lock_failed(-1, std::string(folder) + ": " + std::strerror(error));
  }
  if (fstat(*fd, &status) != 0) {
    const int error = errno;
    close(*fd);
    return lock_failed(-1, std::string(folder) + ": " + std::strerror(error));
  }
  const std::string refusal = lock_folder_refusal(
      LockFolderFacts{true, status.st_uid == 0 || status.st_uid == geteuid(),
                      (status.st_mode & (S_IWGRP | S_IWOTH)) != 0,
                      (status.st_mode & S_ISVTX) != 0});
  if (refusal.empty()) return 0;
  close(*fd);
  return lock_failed(-2, std::string("lock folder ") + folder + " " + refusal +
                             ": set RALVEX_LOCK_DIR to a folder of your own");
}

// The process that holds a write lock on the open file, 0 for none.
int64_t holder_of(int fd) {
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &query) != 0 || query.l_type == F_UNLCK) return 0;
  return query.l_pid > 0 ? query.l_pid : 0;
}

bool held_here(const std::string& file, int folder) {
  struct stat wanted {};
  struct stat mine {};
  if (fstat(folder, &wanted) != 0) return false;
  for (const HeldLock& held : g_locks.held) {
    if (held.file == file && fstat(held.folder, &mine) == 0 && same_file(mine, wanted)) {
      return true;
    }
  }
  return false;
}

// One try at the lock file `file` in `folder`: 0 taken (*fd), 1 held by *holder, 2 the name went
// or changed meanwhile (try again), -1 it cannot be made, -2 refused.
int32_t try_lock(int folder, const std::string& file, const std::string& path, int* fd,
                 int64_t* holder) {
  // Made here: O_EXCL fails on any entry of that name, a dangling link too. Born with mode 0666
  // (the tool has one thread, so the mask is this call's alone): whoever comes next, under
  // another user, may take it once this run is gone, and never finds it half made. Only a file
  // made here is given that mode.
  const mode_t mask = umask(0);
  *fd = openat(folder, file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  umask(mask);
  bool writable = true;
  if (*fd < 0 && errno != EEXIST) {
    return lock_failed(-1, path + ": " + std::strerror(errno));
  }
  if (*fd < 0) {
    // Looked at before it is opened: a pipe or a device is never opened at all.
    struct stat named {};
    if (fstatat(folder, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? 2 : lock_failed(-1, path + ": " + std::strerror(errno));
    }
    if (named.st_nlink == 0) return 2;  // removed while it was looked at
    const std::string refusal = entry_refusal(named);
    if (!refusal.empty()) {
      return lock_failed(-2, path + " " + refusal + ", not a lock file of this tool: remove it");
    }
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    *fd = openat(folder, file.c_str(), O_RDWR | flags);
    if (*fd < 0 && errno == EACCES) {
      // A lock that this user may not write: it can still tell who holds it.
      writable = false;
      *fd = openat(folder, file.c_str(), O_RDONLY | flags);
    }
    if (*fd < 0 && errno == EACCES) {
      return lock_failed(-2, path + " is another user's and may not be read: that user, or root, "
                                    "removes it");
    }
    if (*fd < 0) {
      return errno == ENOENT ? 2 : lock_failed(-1, path + ": " + std::strerror(errno));
    }
  }
  struct stat opened {};
  if (fstat(*fd, &opened) != 0) {
    close(*fd);
    return lock_failed(-1, path + ": " + std::strerror(errno));
  }
  if (opened.st_nlink == 0) {
    // Its holder removed it between the look and the open.
    close(*fd);
    return 2;
  }
  const std::string refusal = entry_refusal(opened);
  if (!refusal.empty()) {
    close(*fd);
    return lock_failed(-2, path + " " + refusal + ", not a lock file of this tool: remove it");
  }
  const bool foreign = lock_file_foreign(entry_facts(opened));
  if (!writable || foreign) {
    *holder = holder_of(*fd);
    if (*holder != 0 || !writable || geteuid() != 0) {
      struct stat named {};
      const bool renamed = fstatat(folder, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                           !same_file(named, opened);
      close(*fd);
      if (*holder != 0) return 1;
      if (renamed) return 2;
      return lock_failed(-2, path + " is another user's and no run holds it: that user's next run, "
                                    "or root, removes it");
    }
    // Root takes another user's lock file over: removed while held, as its owner's run would.
  }
  struct flock request {};
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  if (fcntl(*fd, F_SETLK, &request) != 0) {
    const int error = errno;
    *holder = holder_of(*fd);
    close(*fd);
    if (error == EACCES || error == EAGAIN) return *holder != 0 ? 1 : 2;
    return lock_failed(-1, path + ": " + std::strerror(error));
  }
  // The holder before this run removes the name while it still holds the lock: a lock taken on a
  // file that lost its name meanwhile keeps no run out, and is given up for the name's new file.
  struct stat named {};
  if (fstatat(folder, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(named, opened)) {
    close(*fd);
    return 2;
  }
  if (foreign) {
    // Its owner could remove it from under this run: made anew, as this user's.
    unlinkat(folder, file.c_str(), 0);
    close(*fd);
    return 2;
  }
  if (opened.st_uid == geteuid()) {
    // Root's file, held by another user's run, keeps root's last text.
    char pid[24];
    const int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(*fd, 0) != 0 || pwrite(*fd, pid, static_cast<size_t>(n), 0) != n) {
      // The lock holds without the text: fcntl tells the holder anyway.
    }
  }
  return 0;
}
}  // namespace

// A record lock (fcntl) rather than flock: it tells who holds it, which flock cannot.
int32_t lock_take(const char* name, PlatformLock* lock, int64_t* holder) {
  *lock = PLATFORM_NO_LOCK;
  *holder = 0;
  const char* folder_path = lock_folder();
  const std::string file = lock_file(name);
  const std::string path = std::string(folder_path) + "/" + file;
  int folder = -1;
  const int32_t opened = open_folder(folder_path, &folder);
  if (opened != 0) return opened;
  for (int i = 0; i < kLockTries; ++i) {
    int fd = -1;
    const int32_t result = try_lock(folder, file, path, &fd, holder);
    if (result == 2) continue;
    if (result != 0) {
      close(folder);
      return result;
    }
    g_locks.held.push_back(HeldLock{fd, folder, file});
    *lock = fd;
    return 0;
  }
  close(folder);
  return lock_failed(-2, path + " was replaced " + std::to_string(kLockTries) +
                             " times while this run took it");
}

int64_t lock_holder(const char* name) {
  int folder = -1;
  if (open_folder(lock_folder(), &folder) != 0) return 0;
  const std::string file = lock_file(name);
  // Closing another descriptor of a file this process locks would drop the lock.
  int64_t holder = 0;
  if (!held_here(file, folder)) {
    const int fd = openat(folder, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                                    O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && entry_refusal(status).empty()) {
      holder = holder_of(fd);
    }
    if (fd >= 0) close(fd);
  }
  close(folder);
  return holder;
}

// The name goes first, while the lock is still held; then closing the file drops the lock. A run
// that opened the file before it lost its name gets the lock on a nameless file, sees that the
// name is gone and makes a new one, so no run ever holds a lock that another can take too. A file
// that cannot be removed (another user's in a sticky folder) stays for the next run to take over.
void lock_release(PlatformLock lock) {
  if (lock == PLATFORM_NO_LOCK) return;
  const int fd = static_cast<int>(lock);
  for (size_t i = 0; i < g_locks.held.size(); ++i) {
    const HeldLock held = g_locks.held[i];
    if (held.fd != fd) continue;
    struct stat mine {};
    struct stat named {};
    if (fstat(fd, &mine) == 0 &&
        fstatat(held.folder, held.file.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(mine, named)) {
      unlinkat(held.folder, held.file.c_str(), 0);
    }
    close(held.folder);
    g_locks.held.erase(g_locks.held.begin() + static_cast<std::ptrdiff_t>(i));
    close(fd);
    return;
  }
  // Not held (released already, by lock_release_all too): the number may be another file's now.
}

void lock_release_all() {
  while (!g_locks.held.empty()) lock_release(g_locks.held.back().fd);
}

const char* lock_error() { return g_locks.error; }

int32_t file_identity(const char* path, char* identity, size_t size) {
  struct stat status {};
  if (stat(path, &status) != 0) return -1;
  std::snprintf(identity, size, "%llx-%llu", static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino));
  return 0;
}

FILE* file_create_new(const char* path) {
  const int fd = open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    close(fd);
    unlink(path);
  }
  return file;
}

int file_sync(FILE* file) { return fsync(fileno(file)); }

void directory_sync(const char* directory) {
  const int fd = open(directory[0] ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

int32_t file_write_flush(FILE* file, const void* data, size_t size) {
  // The tool has one thread: the mask is the process's.
  sigset_t pipe_signal;
  sigset_t previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe_signal, &previous);
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = std::fflush(file) == 0 && ok;
  sigset_t pending;
  if (!ok && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
    // The write raised it: taken here, it is never delivered.
    const timespec now{};
    sigtimedwait(&pipe_signal, nullptr, &now);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return ok ? 0 : -1;
}

bool stdout_interactive() {
  if (!isatty(STDOUT_FILENO)) return false;
  // A terminal that cannot move the cursor back says so (Emacs' shell, some serial consoles).
  const char* term = std::getenv("TERM");
  return !(term && std::strcmp(term, "dumb") == 0);
}

int32_t stdout_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
