// Holds files open as a reader that does not let them be deleted or
// replaced (read access, sharing read and write but not delete), as the FTP
// server or an IRC bot may hold a reply or the announce file; or, with
// --write, as an upload still being written (write access, sharing all);
// and prints a path's short 8.3 alias.
//
// Usage: holdopen.exe [--write] READY RELEASE FILE...
//                                             opens every FILE, creates the
//                                             file READY, waits until RELEASE
//                                             exists (at most 120 s), closes
//        holdopen.exe --short PATH            prints PATH's short form (UTF-8)
// Exits with 1 when a file cannot be opened.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!args || count < 3) return 2;
  if (std::wstring(args[1]) == L"--short") {
    wchar_t alias[MAX_PATH] = {};
    if (GetShortPathNameW(args[2], alias, MAX_PATH) == 0) return 1;
    char utf8[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, alias, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::printf("%s\n", utf8);
    return 0;
  }
  const bool write = std::wstring(args[1]) == L"--write";
  const int ready = write ? 2 : 1;  // READY, then RELEASE, then the files
  std::vector<HANDLE> held;
  for (int i = ready + 2; i < count; ++i) {
    const HANDLE file = CreateFileW(
        args[i], write ? GENERIC_WRITE : GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | (write ? FILE_SHARE_DELETE : 0), nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    held.push_back(file);
  }
  CloseHandle(CreateFileW(args[ready], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  for (int waited = 0; waited < 6000; ++waited) {
    if (GetFileAttributesW(args[ready + 1]) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(20);
  }
  for (const HANDLE file : held) CloseHandle(file);
  LocalFree(args);
  return 0;
}
