// What a path names before a run writes to it: nothing, a regular file, a named pipe, a folder or
// another special file (a device), and a name for it that every spelling of the same file shares.
// The run's records (log, report, trace, events) are checked against each other and against the
// run's input and backup file with it, so that no record is ever written over one of them.
// Example: "out.bin" and "./out.bin" look the same whether the file exists yet or not;
// "/dev/full" is FILE_KIND_OTHER.
#pragma once

#include <cstdint>
#include <string>

enum FileKind : int32_t {
  FILE_KIND_NONE = 0,  // nothing there yet (or its folder is missing)
  FILE_KIND_REGULAR,
  FILE_KIND_FIFO,
  FILE_KIND_DIRECTORY,
  FILE_KIND_OTHER,  // a device or another special file
};

struct FileLook {
  FileKind kind = FILE_KIND_NONE;
  // The same for every path to one file: its device and inode (volume serial number and file
  // index on Windows); for a file not there yet, its folder's and its own name.
  std::string identity;
};

// Follows links, as opening the path would.
FileLook file_look(const char* path);
