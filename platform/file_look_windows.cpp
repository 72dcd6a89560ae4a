// File kinds and identities from the handle of the opened path (its volume serial number and
// file index); names compared without case, as NTFS does.
#include "platform/file_look.h"

#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <string>

namespace {
bool wide_of(const std::string& text, std::wstring* wide) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return false;
  wide->assign(static_cast<size_t>(n), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, &(*wide)[0], n) ==
         n;
}

// Opens nothing for reading or writing: only what the path names is asked. False when it names
// nothing that can be opened.
bool look_at(const std::string& path, FileLook* look) {
  std::wstring wide;
  if (!wide_of(path, &wide)) return false;
  HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(file);
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL known = type == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (type == FILE_TYPE_PIPE) {
    look->kind = FILE_KIND_FIFO;
    look->identity = "pipe:" + path;
    return true;
  }
  if (!known) {
    look->kind = FILE_KIND_OTHER;
    look->identity = "device:" + path;
    return true;
  }
  look->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_KIND_DIRECTORY
                                                                  : FILE_KIND_REGULAR;
  char text[64];
  std::snprintf(text, sizeof text, "%lx-%lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  look->identity = text;
  return true;
}

std::string lower(const std::string& text) {
  std::wstring wide;
  if (!wide_of(text, &wide)) return text;
  for (wchar_t& c : wide) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  std::string folded;
  for (wchar_t c : wide) {
    if (c == L'\0') break;
    // Only for comparing: a code unit's hex digits keep every name apart.
    char unit[8];
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    folded += unit;
  }
  return folded;
}
}  // namespace

FileLook file_look(const char* path) {
  FileLook look;
  if (look_at(path, &look)) return look;
  const std::string whole(path);
  const size_t slash = whole.find_last_of("/\\:");
  const std::string folder = slash == std::string::npos ? "." : whole.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? whole : whole.substr(slash + 1);
  FileLook parent;
  look.kind = FILE_KIND_NONE;
  look.identity = look_at(folder, &parent) ? parent.identity + "/" + lower(name)
                                           : "missing folder/" + lower(whole);
  return look;
}
