#include "text/text.h"

#include <cstddef>
#include <cstdio>

#include "text/unicode.h"

namespace ovpre {

namespace {

bool IsControlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

/// A decimal number taken apart without going through floating point, so
/// that halves are recognised exactly.
struct Decimal {
  bool negative = false;
  long magnitude = 0;        // integer part, saturated well above 16 bits
  bool fraction_nonzero = false;
  int fraction_vs_half = 0;  // -1 below .5, 0 exactly .5, +1 above
};

/// `text` with each byte that is not valid UTF-8 and each code point that
/// must not be shown raw (IsHiddenCodePoint) replaced by `control` when it
/// is a single-byte control (below 0x20, or 0x7F), else by "?".
std::string Visible(const std::string& text, char control) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    uint32_t code_point = 0;
    const std::size_t length = DecodeUtf8At(text, at, &code_point);
    if (length == 0) {
      shown += '?';
      ++at;
    } else if (!IsHiddenCodePoint(code_point)) {
      shown.append(text, at, length);
      at += length;
    } else {
      shown += length == 1 ? control : '?';
      at += length;
    }
  }
  return shown;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// True for "\\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\", the name
/// Windows gives each volume whatever drive letter or folder it is mounted
/// at: a folder below it is as absolute as one below "C:\". Without the
/// last "\" it names the volume device, not its root folder.
bool StartsWithVolumeGuid(const std::string& path) {
  const std::string prefix = "\\\\?\\volume{";
  constexpr std::size_t kGuid = 36;
  if (path.size() < prefix.size() + kGuid + 2) return false;
  if (LowerAscii(path.substr(0, prefix.size())) != prefix) return false;
  for (std::size_t i = 0; i < kGuid; ++i) {
    const char c = path[prefix.size() + i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !IsHexDigit(c)) return false;
  }
  return path.compare(prefix.size() + kGuid, 2, "}\\") == 0;
}

std::optional<Decimal> ParseDecimal(const std::string& text) {
  Decimal d;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    d.negative = text[i] == '-';
    ++i;
  }
  bool any_digit = false;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    any_digit = true;
    if (d.magnitude < 1000000) d.magnitude = d.magnitude * 10 + (text[i] - '0');
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    const std::size_t first = i;
    bool rest_nonzero = false;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      any_digit = true;
      if (text[i] != '0') d.fraction_nonzero = true;
      if (i > first && text[i] != '0') rest_nonzero = true;
    }
    if (i > first) {
      const char lead = text[first];
      if (lead > '5' || (lead == '5' && rest_nonzero)) d.fraction_vs_half = 1;
      else if (lead == '5') d.fraction_vs_half = 0;
      else d.fraction_vs_half = -1;
    } else {
      d.fraction_vs_half = -1;
    }
  } else {
    d.fraction_vs_half = -1;
  }
  if (!any_digit || i != text.size()) return std::nullopt;
  return d;
}

std::optional<int16_t> Fit16(bool negative, long magnitude) {
  const long value = negative ? -magnitude : magnitude;
  if (value < -32768 || value > 32767) return std::nullopt;
  return static_cast<int16_t>(value);
}

}  // namespace

std::string TrimSpaces(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string LowerAscii(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string FileNameOf(const std::string& path, char separator) {
  const std::size_t cut = path.rfind(separator);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string FolderOf(const std::string& path, char separator) {
  const std::size_t cut = path.rfind(separator);
  return cut == std::string::npos ? "" : path.substr(0, cut == 0 ? 1 : cut);
}

bool EndsInLineBreak(const std::string& text) {
  // Whatever ends a line for the loader: CR LF, a lone CR or a lone LF.
  return text.empty() || text.back() == '\r' || text.back() == '\n';
}

std::string OneLineField(const std::string& text) { return Visible(text, ' '); }

std::string ZeroPadded(int value, int width) {
  std::string text = std::to_string(value);
  if (static_cast<int>(text.size()) < width) {
    text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
  }
  return text;
}

uint64_t Fnv1a(const std::string& bytes, uint64_t hash) {
  for (const unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string JoinWithCrlf(std::initializer_list<std::string> lines) {
  std::string all;
  bool first = true;
  for (const std::string& line : lines) {
    if (!first) all += kCrlf;
    all += line;
    first = false;
  }
  return all;
}

bool HasControlChar(const std::string& text) {
  for (const char c : text) {
    if (IsControlByte(c)) return true;
  }
  return false;
}

bool HasHiddenText(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    uint32_t code_point = 0;
    const std::size_t length = DecodeUtf8At(text, at, &code_point);
    if (length == 0 || IsHiddenCodePoint(code_point)) return true;
    at += length;
  }
  return false;
}

std::string MaskControlChars(const std::string& text) { return Visible(text, '?'); }

bool IsAbsoluteFolder(const std::string& path, char separator) {
  if (separator == '/') return !path.empty() && path[0] == '/';
  const auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (path.size() >= 3 && is_letter(path[0]) && path.compare(1, 2, ":\\") == 0) return true;
  if (StartsWithVolumeGuid(path)) return true;
  // \\server\share\ : both names present. Any other "\\.\" or "\\?\"
  // path opens the device and raw name spaces, which are no place for a
  // group's folder.
  if (path.compare(0, 2, "\\\\") != 0) return false;
  const std::size_t server_end = path.find('\\', 2);
  if (server_end == std::string::npos || server_end == 2) return false;
  const std::string server = path.substr(2, server_end - 2);
  if (server == "." || server == "?") return false;
  const std::size_t share_end = path.find('\\', server_end + 1);
  return share_end != std::string::npos && share_end > server_end + 1;
}

std::optional<int16_t> RoundDecimalToInt16(const std::string& text) {
  const std::optional<Decimal> d = ParseDecimal(text);
  if (!d) return std::nullopt;
  long magnitude = d->magnitude;
  const bool odd = magnitude % 2 == 1;
  if (d->fraction_vs_half > 0 || (d->fraction_vs_half == 0 && odd)) ++magnitude;
  return Fit16(d->negative && magnitude != 0, magnitude);
}

std::optional<int16_t> FloorDecimalToInt16(const std::string& text) {
  const std::optional<Decimal> d = ParseDecimal(text);
  if (!d) return std::nullopt;
  long magnitude = d->magnitude;
  // Below zero, any fraction pushes the value one further down.
  if (d->negative && d->fraction_nonzero) ++magnitude;
  return Fit16(d->negative, magnitude);
}

}  // namespace ovpre
