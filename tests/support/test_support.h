// Test helpers: a virtual clock that counts requested sleeps, a scratch directory that becomes the
// working directory (so ZR4_BL_Log.txt lands there), console capture, a command line as main
// receives it, and small file helpers.
#pragma once

#include "can/target.h"
#include "ops/run_settings.h"
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// Installs itself as the platform clock while alive. Sleeps and waits advance time instantly;
// sleeps() counts the polling sleeps (sleep_ms) alone, elapsed_us() every advance.
class VirtualClock {
 public:
  VirtualClock();
  ~VirtualClock();
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  uint64_t sleeps() const;          // number of sleep_ms calls
  uint64_t slept_ms() const;        // sum of requested milliseconds
  uint64_t now_us() const;
  uint64_t elapsed_us() const;      // virtual time since construction or reset_counts
  uint64_t elapsed_ms() const;      // the same in whole milliseconds
  // Steps of `step_ms` begun in that time: a receive that took its answer 0.5 ms into its first
  // 5 ms step counts 1, one that found it waiting 0, a silent window of 12 tries 12.
  uint64_t elapsed_steps(uint32_t step_ms) const;
  void advance_us(uint64_t us);     // time passing without a sleep (work inside a call)
  void reset_counts();
};

// Creates a fresh directory under the system's temp dir and makes it the working directory, and a
// second one the lock folder of the runs in it (RALVEX_LOCK_DIR, so that tests running side by
// side never hold each other's interfaces or logs); restores both and removes the directories
// when destroyed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string previous_;
  std::string locks_;
  std::string previous_locks_;
  bool had_locks_ = false;
};

// Collects console_print output while alive.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

// Keeps argument strings alive and offers argc/argv as main receives them.
struct Args {
  explicit Args(std::vector<std::string> list) : strings(std::move(list)) {
    strings.insert(strings.begin(), "ralvex-service-tool");
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strings.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> strings;
  std::vector<char*> pointers;
};

// Another process that holds the lock `name` (platform lock_take in the current lock folder) from
// construction until destruction, as another run of the tool would.
class HeldElsewhere {
 public:
  explicit HeldElsewhere(const char* name);
  ~HeldElsewhere();
  HeldElsewhere(const HeldElsewhere&) = delete;
  HeldElsewhere& operator=(const HeldElsewhere&) = delete;
  long pid() const { return pid_; }

 private:
  long pid_ = -1;
  int release_ = -1;  // closing it lets the holder end
};

std::string read_file(const std::string& path);
std::vector<uint8_t> read_bytes(const std::string& path);
void write_file(const std::string& path, const std::string& content);
void write_bytes(const std::string& path, const std::vector<uint8_t>& content);
bool file_exists(const std::string& path);
// The names in the working directory, sorted.
std::vector<std::string> directory_names();

// Runs a command through the shell; returns the exit status (0-255) and its standard output.
int run_command(const std::string& command, std::string* output);

// Quotes a text for the shell.
std::string shell_quote(const std::string& text);

// Whether `text` holds `part` (EXPECT_TRUE(holds(...))); a failure shows the whole text.
inline ::testing::AssertionResult holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}
// Whether `text` begins with `start`.
inline ::testing::AssertionResult begins(const std::string& text, const std::string& start) {
  if (text.rfind(start, 0) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "not \"" << start << "\" first in:\n" << text;
}

// Names the rows of a table test after the rows' `name`.
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return info.param.name;
  }
};

// The target `-i name` names ("" for the default walk: PEAK, then Kvaser).
CanTarget target_of(const char* name);
// The settings of a run with `file` on the interface `-i interface` names (the emulated bus by
// default); sensor_job for a sensor node, verified for a restore read back (--verify).
RunSettings job(const std::string& file, const char* interface = "sim");
RunSettings sensor_job(const std::string& file, uint8_t node, bool force,
                       const char* interface = "sim");
RunSettings verified(RunSettings settings);

