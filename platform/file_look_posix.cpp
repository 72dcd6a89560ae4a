// File kinds and identities from stat(2).
#include "platform/file_look.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace {
std::string identity_of(const struct stat& status) {
  char text[64];
  std::snprintf(text, sizeof text, "%llx-%llu", static_cast<unsigned long long>(status.st_dev),
                static_cast<unsigned long long>(status.st_ino));
  return text;
}
}  // namespace

FileLook file_look(const char* path) {
  FileLook look;
  struct stat status {};
  if (stat(path, &status) == 0) {
    look.identity = identity_of(status);
    if (S_ISREG(status.st_mode)) {
      look.kind = FILE_KIND_REGULAR;
    } else if (S_ISFIFO(status.st_mode)) {
      look.kind = FILE_KIND_FIFO;
    } else if (S_ISDIR(status.st_mode)) {
      look.kind = FILE_KIND_DIRECTORY;
    } else {
      look.kind = FILE_KIND_OTHER;
    }
    return look;
  }
  // Not there: the folder it would be made in, and its name in that folder.
  const std::string whole(path);
  const size_t slash = whole.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : whole.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
  struct stat folder_status {};
  look.identity = stat(folder.c_str(), &folder_status) == 0
                      ? identity_of(folder_status) + "/" + name
                      : "missing folder/" + whole;
  return look;
}
