#include "text/fields.h"

#include <algorithm>

namespace ovpre {

std::string GetField(const std::string& text, char delimiter, int index) {
  if (text.empty() || index < 0) return "";
  // Only delimiters before the last character close a field; the last
  // character always belongs to the last field, even when it is a delimiter.
  const std::size_t last = text.size() - 1;
  std::size_t start = 0;
  for (int field = 0; field < index; ++field) {
    const std::size_t cut = text.find(delimiter, start);
    if (cut == std::string::npos || cut >= last) return "";
    start = cut + 1;
  }
  std::size_t end = text.find(delimiter, start);
  if (end == std::string::npos || end >= last) end = text.size();
  return text.substr(start, end - start);
}

long CountFields(const std::string& text, char delimiter) {
  return static_cast<long>(std::count(text.begin(), text.end(), delimiter)) + 1;
}

}  // namespace ovpre
