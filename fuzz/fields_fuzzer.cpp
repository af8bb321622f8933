// Fuzzes the field splitter against a character-by-character walk of the
// text, the way the splitting rules are stated: a delimiter closes a field,
// except in the very last position, where it belongs to the last field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "text/fields.h"

namespace {

std::string FieldByWalk(const std::string& text, char delimiter, int index) {
  int field = 0;
  std::string current;
  std::string result;
  for (std::size_t i = 0; i < text.size() && result.empty(); ++i) {
    const char c = text[i];
    const bool last = i + 1 == text.size();
    if (!last && c != delimiter) {
      current += c;
      continue;
    }
    if (last) current += c;
    if (field == index) result = current;
    ++field;
    current.clear();
  }
  return result;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

// Input: the delimiter, one byte of index, then the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const char delimiter = static_cast<char>(data[0]);
  const int chosen = static_cast<int8_t>(data[1]);
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  long delimiters = 0;
  for (const char c : text) delimiters += c == delimiter;
  const long count = ovpre::CountFields(text, delimiter);
  Check(count == delimiters + 1);

  Check(ovpre::GetField(text, delimiter, chosen) == FieldByWalk(text, delimiter, chosen));
  // Every field, and one past the last, agrees with the walk.
  const long last = count < 64 ? count : 64;
  for (int index = 0; index <= last; ++index) {
    Check(ovpre::GetField(text, delimiter, index) == FieldByWalk(text, delimiter, index));
  }
  return 0;
}
