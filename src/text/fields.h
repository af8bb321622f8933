#pragma once
#include <string>

namespace ovpre {

/// Returns field `index` (counting from 0) of `text` cut at the one-character
/// `delimiter`, or "" when that field is empty or beyond the last one.
/// A delimiter in the very last position does not close a field: it stays at
/// the end of the last field ("a|b|" gives "a", "b|" and nothing for index 2).
/// Nothing is trimmed and quotes mean nothing.
std::string GetField(const std::string& text, char delimiter, int index);

/// Returns the number of `delimiter` characters in `text`, plus one.
long CountFields(const std::string& text, char delimiter);

}  // namespace ovpre
