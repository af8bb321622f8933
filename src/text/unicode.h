#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace ovpre {

/// Reads the UTF-8 sequence that starts at byte `at` of `text` (which must
/// be inside it): its code point goes into `code_point` and its length is
/// returned. Returns 0 when the byte there starts no valid sequence: a
/// stray continuation byte, a sequence cut short, an overlong form, a
/// surrogate, or a value beyond U+10FFFF.
std::size_t DecodeUtf8At(const std::string& text, std::size_t at, uint32_t* code_point);

/// True for a Default_Ignorable_Code_Point of the Unicode Character
/// Database: bidi controls, zero-width characters, variation selectors,
/// tags and the like, which a reader does not see but which change what a
/// line shows.
bool IsDefaultIgnorable(uint32_t code_point);

/// True for a code point that must never be shown raw: a C0 control, DEL,
/// a C1 control (U+0080 to U+009F) or a default-ignorable code point.
bool IsHiddenCodePoint(uint32_t code_point);

/// `text` with Unicode simple case folding (the C and S mappings of
/// CaseFolding.txt) applied to each code point: the one way names are
/// compared without regard to case, the same on every build. Bytes that
/// are not valid UTF-8 stay as they are.
std::string FoldName(const std::string& text);

}  // namespace ovpre
