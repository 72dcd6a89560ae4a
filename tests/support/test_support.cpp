#include "support/test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "log/log.h"
#include "platform/platform.h"

namespace {
uint64_t g_now_us = 1000000;
uint64_t g_sleeps = 0;
uint64_t g_slept_ms = 0;
uint64_t g_since_us = 0;

void virtual_sleep(uint32_t ms) {
  ++g_sleeps;
  g_slept_ms += ms;
  g_now_us += static_cast<uint64_t>(ms) * 1000u;
}
uint64_t virtual_now() { return g_now_us; }
void virtual_sleep_us(uint64_t us) { g_now_us += us; }
const PlatformClock kVirtualClock{virtual_sleep, virtual_now, virtual_sleep_us};
}  // namespace

VirtualClock::VirtualClock() {
  g_sleeps = 0;
  g_slept_ms = 0;
  g_since_us = g_now_us;
  platform_set_clock(&kVirtualClock);
}
VirtualClock::~VirtualClock() { platform_set_clock(nullptr); }
uint64_t VirtualClock::sleeps() const { return g_sleeps; }
uint64_t VirtualClock::slept_ms() const { return g_slept_ms; }
uint64_t VirtualClock::now_us() const { return g_now_us; }
void VirtualClock::advance_us(uint64_t us) { g_now_us += us; }
uint64_t VirtualClock::elapsed_us() const { return g_now_us - g_since_us; }
uint64_t VirtualClock::elapsed_ms() const { return elapsed_us() / 1000u; }
uint64_t VirtualClock::elapsed_steps(uint32_t step_ms) const {
  const uint64_t step_us = static_cast<uint64_t>(step_ms) * 1000u;
  return (elapsed_us() + step_us - 1) / step_us;
}
void VirtualClock::reset_counts() {
  g_sleeps = 0;
  g_slept_ms = 0;
  g_since_us = g_now_us;
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ralvex-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(path_);
  if (const char* locks = std::getenv("RALVEX_LOCK_DIR")) {
    previous_locks_ = locks;
    had_locks_ = true;
  }
  std::string locks = (std::filesystem::temp_directory_path() / "ralvex-locks-XXXXXX").string();
  if (!mkdtemp(locks.data())) throw std::runtime_error("mkdtemp failed");
  locks_ = locks;
  setenv("RALVEX_LOCK_DIR", locks_.c_str(), 1);
}

ScratchDir::~ScratchDir() {
  if (had_locks_) {
    setenv("RALVEX_LOCK_DIR", previous_locks_.c_str(), 1);
  } else {
    unsetenv("RALVEX_LOCK_DIR");
  }
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
  std::filesystem::remove_all(locks_, ignored);
}

HeldElsewhere::HeldElsewhere(const char* name) {
  int release[2];
  int ready[2];
  if (pipe(release) != 0 || pipe(ready) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    close(release[1]);
    PlatformLock lock = PLATFORM_NO_LOCK;
    int64_t holder = 0;
    const char taken = lock_take(name, &lock, &holder) == 0 ? 'y' : 'n';
    if (write(ready[1], &taken, 1) != 1) _exit(2);
    char byte = 0;
    while (read(release[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(release[0]);
  close(ready[1]);
  char taken = 'n';
  const bool told = read(ready[0], &taken, 1) == 1;
  close(ready[0]);
  pid_ = child;
  release_ = release[1];
  if (!told || taken != 'y') throw std::runtime_error(std::string("lock not taken: ") + name);
}

HeldElsewhere::~HeldElsewhere() {
  close(release_);
  int status = 0;
  waitpid(static_cast<pid_t>(pid_), &status, 0);
}

ConsoleCapture::ConsoleCapture() { console_set_capture(&text_); }
ConsoleCapture::~ConsoleCapture() { console_set_capture(nullptr); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::string text = read_file(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& content) {
  write_file(path, std::string(content.begin(), content.end()));
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> directory_names() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

int run_command(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

CanTarget target_of(const char* name) {
  CanTarget target;
  char why[128];
  if (name[0] != '\0') {
    EXPECT_EQ(can_parse_target(name, &target, why, sizeof why), CAN_TARGET_OK) << name;
  }
  return target;
}

RunSettings job(const std::string& file, const char* interface) {
  RunSettings settings;
  std::snprintf(settings.file_name, sizeof settings.file_name, "%s", file.c_str());
  std::snprintf(settings.interface_name, sizeof settings.interface_name, "%s", interface);
  settings.target = target_of(interface);
  return settings;
}

RunSettings sensor_job(const std::string& file, uint8_t node, bool force, const char* interface) {
  RunSettings settings = job(file, interface);
  settings.node_id = node;
  settings.force = force;
  return settings;
}

RunSettings verified(RunSettings settings) {
  settings.verify = true;
  return settings;
}

