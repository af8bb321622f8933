#pragma once
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

namespace ovpre {

/// The two characters that end every line the system writes.
inline constexpr const char* kCrlf = "\r\n";

/// Removes leading and trailing spaces (only spaces: tabs stay).
std::string TrimSpaces(const std::string& text);

/// Lower-cases the ASCII letters A-Z; every other byte stays as it is.
std::string LowerAscii(const std::string& text);

/// The text after the last `separator` of `path` (all of it without one).
std::string FileNameOf(const std::string& path, char separator);

/// The text before the last `separator` of `path` ("" without one); a
/// separator at the very start is kept, as the root it names.
std::string FolderOf(const std::string& path, char separator);

/// `value` in decimal, with "0"s in front up to `width` characters.
std::string ZeroPadded(int value, int width);

/// The 64-bit FNV-1a hash of `bytes`, going on from `hash` (start with
/// kFnvStart): enough to tell one text from another, not a secret.
inline constexpr uint64_t kFnvStart = 14695981039346656037ull;
uint64_t Fnv1a(const std::string& bytes, uint64_t hash = kFnvStart);

/// `value` as 16 lower-case hexadecimal digits.
std::string Hex16(uint64_t value);

/// Joins `lines` with CR LF between them (none after the last).
std::string JoinWithCrlf(std::initializer_list<std::string> lines);

/// True when `text` is empty or its last line is complete: it ends in CR LF
/// or in a lone CR (which ends a line for the settings loader too).
bool EndsInLineBreak(const std::string& text);

/// `text` with every byte below 0x20 and the byte 0x7F turned into a space,
/// so that it stays one field of one line, and every other code point that
/// must not be shown raw (C1 controls, default-ignorable code points) and
/// every byte that is not valid UTF-8 turned into "?".
std::string OneLineField(const std::string& text);

/// True when `text` holds a byte below 0x20 or the byte 0x7F.
bool HasControlChar(const std::string& text);

/// True when `text` holds a control character (C0, DEL or C1), a
/// default-ignorable code point (bidi controls, zero-width characters) or
/// a byte that is not valid UTF-8: text that would not show as it is.
bool HasHiddenText(const std::string& text);

/// `text` with each code point HasHiddenText finds, and each byte that is
/// not valid UTF-8, replaced by "?", fit to be shown in a reply.
std::string MaskControlChars(const std::string& text);

/// True when `path` is absolute on the platform whose separator is
/// `separator`: starting with "/" where it is "/"; otherwise a drive letter
/// followed by ":\", "\\server\share\" or a volume's own name
/// "\\?\Volume{GUID}\".
bool IsAbsoluteFolder(const std::string& path, char separator);

/// Reads `text` as a decimal number: optional sign, digits, optional "."
/// with a fractional part, at least one digit in all; no spaces inside.
/// Returns the value rounded to the nearest integer with halves going to
/// the even neighbour, or nothing when the text is not such a number or the
/// result does not fit a 16-bit integer.
std::optional<int16_t> RoundDecimalToInt16(const std::string& text);

/// Like RoundDecimalToInt16, but rounds towards minus infinity.
std::optional<int16_t> FloorDecimalToInt16(const std::string& text);

}  // namespace ovpre
