#include "os/win32/text.h"

#include <windows.h>

#include <climits>

namespace ovpre {

namespace {

/// The length of `text` as the Win32 calls count it; text longer than an
/// int can count is not something a path or a settings file holds.
int CountOf(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

std::wstring WideFrom(UINT code_page, const std::string& bytes) {
  if (bytes.empty()) return std::wstring();
  const int length = CountOf(bytes.size());
  const int needed = MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), length, &wide[0], needed);
  return wide;
}

std::string BytesFrom(UINT code_page, const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length = CountOf(wide.size());
  const int needed =
      WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), length, &bytes[0], needed, nullptr, nullptr);
  return bytes;
}

}  // namespace

std::wstring WideFromUtf8(const std::string& utf8) { return WideFrom(CP_UTF8, utf8); }

std::string Utf8FromWide(const std::wstring& wide) { return BytesFrom(CP_UTF8, wide); }

std::string SystemCodePageFromUtf8(const std::string& utf8) {
  return BytesFrom(CP_ACP, WideFromUtf8(utf8));
}

std::string Utf8FromSystemCodePage(const std::string& bytes) {
  return Utf8FromWide(WideFrom(CP_ACP, bytes));
}

std::string LowerCaseUtf8(const std::string& utf8) {
  const std::wstring wide = WideFromUtf8(utf8);
  if (wide.empty()) return utf8;
  const int length = CountOf(wide.size());
  const int needed = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), length,
                                   nullptr, 0, nullptr, nullptr, 0);
  if (needed <= 0) return utf8;
  std::wstring lower(static_cast<std::size_t>(needed), L'\0');
  LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide.data(), length, &lower[0], needed,
                nullptr, nullptr, 0);
  return Utf8FromWide(lower);
}

}  // namespace ovpre
