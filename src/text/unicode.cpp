#include "text/unicode.h"

#include <algorithm>
#include <iterator>

#include "text/unicode_tables.h"

namespace ovpre {

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void AppendUtf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    *out += static_cast<char>(code_point);
    return;
  }
  if (code_point < 0x800) {
    *out += static_cast<char>(0xC0 | (code_point >> 6));
  } else {
    if (code_point < 0x10000) {
      *out += static_cast<char>(0xE0 | (code_point >> 12));
    } else {
      *out += static_cast<char>(0xF0 | (code_point >> 18));
      *out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    }
    *out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  }
  *out += static_cast<char>(0x80 | (code_point & 0x3F));
}

}  // namespace

std::size_t DecodeUtf8At(const std::string& text, std::size_t at, uint32_t* code_point) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  std::size_t length = 0;
  uint32_t value = 0;
  uint32_t smallest = 0;  // below it, the form is overlong
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    smallest = 0x10000;
  } else {
    return 0;  // a continuation byte, C0/C1 (always overlong) or F5..FF
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if (!IsContinuation(byte)) return 0;
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

bool IsDefaultIgnorable(uint32_t code_point) {
  using unicode_tables::kDefaultIgnorable;
  // The first range that ends at or after the code point.
  const auto* found = std::lower_bound(
      std::begin(kDefaultIgnorable), std::end(kDefaultIgnorable), code_point,
      [](const unicode_tables::Range& range, uint32_t value) { return range.last < value; });
  return found != std::end(kDefaultIgnorable) && found->first <= code_point;
}

bool IsHiddenCodePoint(uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F) ||
         IsDefaultIgnorable(code_point);
}

std::string FoldName(const std::string& text) {
  using unicode_tables::kSimpleFolds;
  std::string folded;
  folded.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    uint32_t code_point = 0;
    const std::size_t length = DecodeUtf8At(text, at, &code_point);
    if (length == 0) {
      folded += text[at++];
      continue;
    }
    const auto* fold = std::lower_bound(
        std::begin(kSimpleFolds), std::end(kSimpleFolds), code_point,
        [](const unicode_tables::Fold& entry, uint32_t value) { return entry.from < value; });
    if (fold != std::end(kSimpleFolds) && fold->from == code_point) code_point = fold->to;
    AppendUtf8(code_point, &folded);
    at += length;
  }
  return folded;
}

}  // namespace ovpre
