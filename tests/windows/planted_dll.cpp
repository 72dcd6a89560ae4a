// A DLL whose only work is to show that it was loaded, and from where: loading it creates
// planted-dll-loaded.txt in the DLL's own folder. smoke.sh plants it as PCANBasic.dll and
// canlib32.dll where the tool must not look (the current folder, a folder on PATH) and beside the
// .exe, where it must.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  // Only kernel32 calls: DllMain runs under the loader's lock.
  wchar_t path[MAX_PATH + 32];
  DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  while (n > 0 && path[n - 1] != L'\\') --n;
  lstrcpyW(path + n, L"planted-dll-loaded.txt");
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
