// Process facts, the clock and the first-run message on Windows.
#include "os/win32/process.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "os/win32/text.h"
#include "platform/native.h"

namespace ovpre {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

/// The full path of the running program, however long it is.
std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    // A full buffer means the name was cut short.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

class SystemClock final : public Clock {
 public:
  LocalDate Today() override { return Now().date; }

  LocalDateTime Now() override {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    LocalDateTime result;
    result.date = LocalDate{now.wYear, now.wMonth, now.wDay};
    result.hour = now.wHour;
    result.minute = now.wMinute;
    result.second = now.wSecond;
    return result;
  }

  uint64_t Milliseconds() override { return GetTickCount64(); }
  void Sleep(uint64_t milliseconds) override { ::Sleep(static_cast<DWORD>(milliseconds)); }
};

class MessageBoxNotifier final : public Notifier {
 public:
  void ShowMessage(const std::string& text) override {
    MessageBoxW(nullptr, WideFromUtf8(text).c_str(), L"ovpre",
                MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
  }

  /// The report is kept in "<program folder>\<program name>-check.txt",
  /// where it stays to be read again after the box is closed.
  void ShowReport(const std::vector<std::string>& lines) override {
    std::wstring folder;
    std::wstring stem;
    SplitModulePath(ModulePath(), &folder, &stem);
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    const std::string path = Utf8FromWide(folder + stem + L"-check.txt");
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    const FsStatus saved = NewNativeFileSystem()->WriteTextFile(path, text);
    ShowMessage(text + "\r\n" + (saved.ok() ? "Saved in " + path
                                          : "Could not be saved in " + path + ": " +
                                                saved.os_text()));
  }
};

}  // namespace

std::wstring ArgumentsOf(const std::wstring& command_line) {
  // A server may start the program with the six fields alone: an unquoted
  // first word with a "|" (which no file name holds) is not a program name.
  const std::wstring first_word = command_line.substr(0, command_line.find_first_of(L" \t"));
  if (first_word.find(L'|') != std::wstring::npos && command_line[0] != L'"') {
    return command_line;
  }
  std::size_t at = 0;
  if (!command_line.empty() && command_line[0] == L'"') {
    // As the C runtime reads it: the quoted name ends at the closing quote,
    // even when something follows without a space.
    const std::size_t closing = command_line.find(L'"', 1);
    if (closing == std::wstring::npos) return std::wstring();
    at = closing + 1;
  } else {
    while (at < command_line.size() && !IsBlank(command_line[at])) ++at;
  }
  while (at < command_line.size() && IsBlank(command_line[at])) ++at;
  return command_line.substr(at);
}

void SplitModulePath(const std::wstring& module_path, std::wstring* folder,
                     std::wstring* stem) {
  const std::size_t cut = module_path.find_last_of(L"\\/");
  const std::wstring name = cut == std::wstring::npos ? module_path : module_path.substr(cut + 1);
  if (cut == std::wstring::npos) {
    *folder = L".";
  } else {
    // "C:\" stays whole: "C:" alone would mean the current folder of drive C.
    const bool drive_root = cut == 2 && module_path[1] == L':';
    *folder = module_path.substr(0, drive_root ? cut + 1 : cut);
  }
  const std::size_t dot = name.find_last_of(L'.');
  *stem = dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot);
}

Win32ProcessFacts::Win32ProcessFacts() {
  raw_ = Utf8FromWide(ArgumentsOf(GetCommandLineW()));
  std::wstring folder;
  std::wstring stem;
  SplitModulePath(ModulePath(), &folder, &stem);
  folder_ = Utf8FromWide(folder);
  stem_ = Utf8FromWide(stem);
}

std::unique_ptr<Clock> NewSystemClock() { return std::make_unique<SystemClock>(); }

std::unique_ptr<Notifier> NewNativeNotifier() {
  return std::make_unique<MessageBoxNotifier>();
}

}  // namespace ovpre
