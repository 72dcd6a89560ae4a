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

void platform_exit() {}

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
char g_lock_error[PATH_MAX + 128] = "";

void lock_path(const char* name, char* path, size_t size) {
  const char* folder = std::getenv("RALVEX_LOCK_DIR");
  if (!folder || !folder[0]) {
    folder = access("/run/lock", W_OK) == 0 ? "/run/lock" : std::getenv("TMPDIR");
    if (!folder || !folder[0]) folder = "/tmp";
  }
  std::snprintf(path, size, "%s/ralvex-service-tool.%s.lock", folder, name);
}

// The process that holds a write lock on the open file, 0 for none.
int64_t holder_of(int fd) {
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &query) != 0 || query.l_type == F_UNLCK) return 0;
  return query.l_pid > 0 ? query.l_pid : 0;
}
}  // namespace

// A record lock (fcntl) rather than flock: it tells who holds it, which flock cannot.
int32_t lock_take(const char* name, PlatformLock* lock, int64_t* holder) {
  *lock = PLATFORM_NO_LOCK;
  *holder = 0;
  char path[PATH_MAX];
  lock_path(name, path, sizeof path);
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::snprintf(g_lock_error, sizeof g_lock_error, "%s: %s", path, std::strerror(errno));
    // Another user's lock file: still tell who holds it.
    *holder = lock_holder(name);
    return *holder != 0 ? 1 : -1;
  }
  // Whoever comes next, under another user, may take it too.
  fchmod(fd, 0666);
  struct flock request {};
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &request) != 0) {
    const int error = errno;
    *holder = holder_of(fd);
    close(fd);
    if (error == EACCES || error == EAGAIN) return 1;
    std::snprintf(g_lock_error, sizeof g_lock_error, "%s: %s", path, std::strerror(error));
    return -1;
  }
  char pid[24];
  const int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, static_cast<size_t>(n), 0) != n) {
    // The lock holds without the text: fcntl tells the holder anyway.
  }
  *lock = fd;
  return 0;
}

int64_t lock_holder(const char* name) {
  char path[PATH_MAX];
  lock_path(name, path, sizeof path);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const int64_t holder = holder_of(fd);
  close(fd);
  return holder;
}

void lock_release(PlatformLock lock) {
  if (lock != PLATFORM_NO_LOCK) close(static_cast<int>(lock));
}

const char* lock_error() { return g_lock_error; }

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
