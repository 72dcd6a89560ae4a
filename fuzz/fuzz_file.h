// Shared by the HEX fuzz targets: a private working directory (so ZR4_BL_Log.txt and the input file
// land there), and each input written to a file, since the reader reads only from a path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/log.h"

inline const char* fuzz_input_path() { return "fuzz-input.hex"; }

inline std::string& fuzz_console() {
  static std::string text;
  return text;
}

inline std::string& fuzz_directory() {
  static std::string path;
  return path;
}

// Once per process: a fresh temp directory as working directory (removed at exit), and console
// text kept out of the fuzzer's output.
// Memory-backed when /dev/shm exists: every run rewrites the input and the log, and a disk file
// system flushes a truncated file when it is closed, which costs most of a run's time.
inline void fuzz_init() {
  std::error_code no_shm;
  std::string pattern = std::filesystem::is_directory("/dev/shm", no_shm) ? "/dev/shm" : "/tmp";
  pattern += "/ralvex-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data()) || chdir(pattern.c_str()) != 0) {
    std::perror("fuzz working directory");
    std::abort();
  }
  fuzz_directory() = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(fuzz_directory(), ignored);
  });
  console_set_capture(&fuzz_console());
}

// Writes the input to the file and opens the log at `level`.
inline void fuzz_start(const uint8_t* data, size_t size, int32_t level) {
  FILE* file = std::fopen(fuzz_input_path(), "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
    std::perror(fuzz_input_path());
    std::abort();
  }
  fuzz_console().clear();
  if (log_open() != 0) std::abort();
  log_set_level(level);
}
