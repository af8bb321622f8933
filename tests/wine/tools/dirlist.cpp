// Prints what a Windows directory search returns, in its order, so that a
// test can compare the order in which a program visited a folder's entries.
//
// Usage: dirlist.exe PATTERN
// One line per name: the name (UTF-8), a tab, the attributes in hexadecimal.
// Exits with 1 when the search cannot start.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!args || count < 2) return 2;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(args[1], &found);
  LocalFree(args);
  if (search == INVALID_HANDLE_VALUE) return 1;
  do {
    std::printf("%s\t%lx\n", Utf8(found.cFileName).c_str(),
                static_cast<unsigned long>(found.dwFileAttributes));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return 0;
}
