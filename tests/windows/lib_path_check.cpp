// The platform layer's library loading on Windows, run by smoke.sh under wine from a folder of its
// own that holds a helper.dll: PCANBasic.dll is loaded from the .exe's folder, lib_path names that
// file in UTF-8 (written to lib-path.txt, which smoke.sh compares with the folder it made), the
// name opens the same module again, a buffer too small or no handle gives -1 and "", and after
// platform_init even a plain LoadLibraryW does not take helper.dll from the current folder.
// Prints "FAIL: ..." for each check that fails and then exits 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {
int g_failures = 0;

void check(bool passed, const char* what) {
  if (passed) return;
  std::printf("FAIL: %s\n", what);
  ++g_failures;
}
}  // namespace

int main() {
  platform_init();
  void* lib = lib_open("PCANBasic");
  if (!lib) {
    std::printf("FAIL: lib_open: %s\n", lib_error());
    return 1;
  }
  char path[4096];
  check(lib_path(lib, path, sizeof path) == 0, "lib_path gave no path");
  if (FILE* out = std::fopen("lib-path.txt", "wb")) {
    std::fputs(path, out);
    std::fclose(out);
  }
  check(lib_open(path) == lib, "the path named opened another module");

  const size_t length = std::strlen(path);
  struct Row {
    const char* name;
    size_t size;
    int32_t result;
  };
  const Row rows[] = {{"a buffer one byte short", length, -1}, {"an exact buffer", length + 1, 0}};
  for (const Row& row : rows) {
    std::string buffer(row.size, 'x');
    const int32_t result = lib_path(lib, &buffer[0], buffer.size());
    const bool right_text = row.result == 0 ? std::strcmp(buffer.c_str(), path) == 0
                                            : buffer[0] == '\0';
    check(result == row.result && right_text, row.name);
  }
  char none[8] = "x";
  check(lib_path(nullptr, none, sizeof none) == -1 && none[0] == '\0', "no handle");
  // What a vendor library may do at run time.
  check(LoadLibraryW(L"helper.dll") == nullptr,
        "LoadLibraryW took helper.dll from the current folder");
  platform_exit();
  return g_failures == 0 ? 0 : 1;
}
