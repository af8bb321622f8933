// Starts a program the way the FTP server does: CreateProcessW with a
// command line given exactly, character for character. Under Wine a test
// cannot hand a raw command line to a Windows program directly (Wine
// rebuilds and quotes it from the Linux arguments), so the line is read from
// a UTF-8 file instead.
//
// Usage: launch.exe PROGRAM COMMAND_LINE_FILE [TIMEOUT_SECONDS]
// Runs PROGRAM (a Windows path) with the file's content as its whole command
// line (program name included, no line end added or removed) in PROGRAM's
// folder, waits for it and exits with its exit code. Exit codes of its own:
// 120 bad usage, 121 unreadable file, 122 start failed, 124 timed out (the
// program is then ended).
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

constexpr int kBadUsage = 120;
constexpr int kUnreadableFile = 121;
constexpr int kStartFailed = 122;
constexpr int kTimedOut = 124;
constexpr DWORD kDefaultTimeoutSeconds = 60;

bool ReadWholeFile(const wchar_t* path, std::string* bytes) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE) && read > 0) {
    bytes->append(buffer, read);
  }
  CloseHandle(file);
  return ok;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return L"";
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t last = path.find_last_of(L"\\/");
  return last == std::wstring::npos ? L"." : path.substr(0, last);
}

int RunAndWait(const std::wstring& program, std::wstring command_line, DWORD timeout_ms) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  const std::wstring folder = FolderOf(program);
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    return kStartFailed;
  }
  CloseHandle(process.hThread);
  DWORD exit_code = kTimedOut;
  if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &exit_code);
  } else {
    TerminateProcess(process.hProcess, kTimedOut);
    WaitForSingleObject(process.hProcess, 5000);
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!args || count < 3) return kBadUsage;
  std::string bytes;
  if (!ReadWholeFile(args[2], &bytes)) return kUnreadableFile;
  DWORD timeout_seconds = kDefaultTimeoutSeconds;
  if (count > 3) timeout_seconds = static_cast<DWORD>(_wtoi(args[3]));
  const int result = RunAndWait(args[1], FromUtf8(bytes), timeout_seconds * 1000);
  LocalFree(args);
  return result;
}
