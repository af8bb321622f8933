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

/// `wide` in `code_page`; `lossy` (when given) tells whether a character
/// had to become the default one. Best-fit mapping is never used: it turns
/// a character into a different one that exists ("＼" into "\").
std::string BytesFrom(UINT code_page, const std::wstring& wide, bool* lossy = nullptr) {
  if (lossy) *lossy = false;
  if (wide.empty()) return std::string();
  // UTF-8 (also as a system code page) takes neither the flag nor the
  // default-character report, and represents everything anyway.
  const bool utf8 = code_page == CP_UTF8 || (code_page == CP_ACP && GetACP() == CP_UTF8);
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* report = utf8 ? nullptr : &used_default;
  const int length = CountOf(wide.size());
  const int needed =
      WideCharToMultiByte(code_page, flags, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    if (lossy) *lossy = true;
    return std::string();
  }
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(code_page, flags, wide.data(), length, &bytes[0], needed, nullptr, report);
  if (lossy) *lossy = used_default != FALSE;
  return bytes;
}

bool IsValidUtf8(const std::string& bytes) {
  return bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                              CountOf(bytes.size()), nullptr, 0) > 0;
}

bool HasNonAscii(const std::string& bytes) {
  for (const unsigned char c : bytes) {
    if (c >= 0x80) return true;
  }
  return false;
}

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";

}  // namespace

std::wstring WideFromUtf8(const std::string& utf8) { return WideFrom(CP_UTF8, utf8); }

std::string Utf8FromWide(const std::wstring& wide) { return BytesFrom(CP_UTF8, wide); }

std::string SystemCodePageFromUtf8(const std::string& utf8) {
  return BytesFrom(CP_ACP, WideFromUtf8(utf8));
}

std::string Utf8FromSystemCodePage(const std::string& bytes) {
  return Utf8FromWide(WideFrom(CP_ACP, bytes));
}

bool FitsSystemCodePage(const std::string& utf8) {
  const std::wstring wide = WideFromUtf8(utf8);
  bool lossy = false;
  const std::string bytes = BytesFrom(CP_ACP, wide, &lossy);
  // The way back catches what the default-character report cannot see.
  return !lossy && WideFrom(CP_ACP, bytes) == wide && Utf8FromWide(wide) == utf8;
}

StoredEncoding EncodingOf(const std::string& bytes) {
  if (bytes.compare(0, 3, kUtf8Mark) == 0) return StoredEncoding::kUtf8WithMark;
  if (HasNonAscii(bytes) && IsValidUtf8(bytes)) return StoredEncoding::kUtf8;
  return StoredEncoding::kSystemCodePage;
}

std::string Utf8FromStored(const std::string& bytes, StoredEncoding encoding) {
  switch (encoding) {
    case StoredEncoding::kUtf8WithMark: return Utf8FromWide(WideFromUtf8(bytes.substr(3)));
    case StoredEncoding::kUtf8: return bytes;
    case StoredEncoding::kSystemCodePage: break;
  }
  return Utf8FromSystemCodePage(bytes);
}

std::string StoredFromUtf8(const std::string& utf8, StoredEncoding encoding) {
  return encoding == StoredEncoding::kSystemCodePage ? SystemCodePageFromUtf8(utf8) : utf8;
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
