// Shared by the fake vendor libraries: exported entry points, a call record, and settings given as
// text ("name=value,name=value"; values in C notation, lists as "1:2:3"), either from a test
// through an exported control function or from an environment variable when the tool itself runs.
// Only the vendor entry points and the control functions are exported; everything else, the
// emulated bus included, stays hidden so that it never interposes on the tool's own symbols.
// On Windows they are DLLs (PCANBasic.dll, canlib32.dll) exporting the same names.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#define FAKE_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#define FAKE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// The calls a fake received, one line each; also appended to the file named by `file_variable`
// when that environment variable is set (for runs of the tool's executable).
class FakeCallRecord {
 public:
  explicit FakeCallRecord(const char* file_variable) : file_variable_(file_variable) {}
  void clear() { text_.clear(); }
  const char* text() const { return text_.c_str(); }
  void add(const char* format, ...) FAKE_PRINTF(2, 3) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    text_ += line;
    text_ += '\n';
    if (const char* path = std::getenv(file_variable_)) {
      if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line);
        std::fclose(file);
      }
    }
  }

 private:
  const char* file_variable_;
  std::string text_;
};

// An adapter unplugged while the tool reads: from the nth read on (counted here) every read fails.
// Remembers when the first failing read came (on the fake's clock, which a test may drive) and,
// when the process ends, adds to the call record how long reads had been failing by then.
class FakeUnplug {
 public:
  explicit FakeUnplug(FakeCallRecord* calls) : calls_(calls) {}
  ~FakeUnplug() {
    if (failed_at_us_ != 0) {
      calls_->add("reads failed for %llu ms when the process ended",
                  static_cast<unsigned long long>((now_() - failed_at_us_) / 1000u));
    }
  }
  void clear() {
    reads_ = 0;
    failed_at_us_ = 0;
  }
  // Counts a read; true when it fails (fail_from 0: none does).
  bool read_fails(long long fail_from, uint64_t (*now)()) {
    now_ = now;
    ++reads_;
    if (fail_from == 0 || reads_ < fail_from) return false;
    if (failed_at_us_ == 0) failed_at_us_ = now();
    return true;
  }
  // Whether reads have started failing (status queries then fail too).
  bool unplugged() const { return failed_at_us_ != 0; }
  uint64_t failed_at_us() const { return failed_at_us_; }

 private:
  FakeCallRecord* calls_;
  uint64_t (*now_)() = nullptr;
  long long reads_ = 0;
  uint64_t failed_at_us_ = 0;
};

// Settings by name; a name not given reads as its default.
class FakeSettings {
 public:
  static FakeSettings from_environment(const char* variable) {
    FakeSettings settings;
    settings.parse(std::getenv(variable));
    return settings;
  }
  void clear() { values_.clear(); }
  // Adds "name=value,..." to the settings; later names replace earlier ones.
  void parse(const char* text) {
    if (!text) return;
    std::string all(text);
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find(',', start);
      if (end == std::string::npos) end = all.size();
      const std::string item = all.substr(start, end - start);
      const size_t equals = item.find('=');
      if (equals != std::string::npos) values_[item.substr(0, equals)] = item.substr(equals + 1);
      start = end + 1;
    }
  }
  long long number(const char* name, long long fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : std::strtoll(it->second.c_str(), nullptr, 0);
  }
  std::string text(const char* name, const char* fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
  }
  std::vector<long long> list(const char* name) const {
    std::vector<long long> items;
    auto it = values_.find(name);
    if (it == values_.end()) return items;
    const char* p = it->second.c_str();
    for (;;) {
      char* end = nullptr;
      const long long value = std::strtoll(p, &end, 0);
      if (end == p) break;
      items.push_back(value);
      if (*end != ':') break;
      p = end + 1;
    }
    return items;
  }

 private:
  std::map<std::string, std::string> values_;
};
