#pragma once
// Text at the edge of the Win32 API. The core holds UTF-8 in std::string;
// wide strings exist only around the ...W calls, and files the server or a
// siteop reads are 8-bit text in the system code page.
#include <string>

namespace ovpre {

/// UTF-16 for a Win32 call. Invalid UTF-8 sequences become U+FFFD.
std::wstring WideFromUtf8(const std::string& utf8);

/// UTF-8 from a Win32 result. Unpaired surrogates become U+FFFD.
std::string Utf8FromWide(const std::wstring& wide);

/// The system code page (CP_ACP) form of UTF-8 text, as the files written
/// for the server and the bot are stored. Characters the code page lacks
/// become its default character ("?").
std::string SystemCodePageFromUtf8(const std::string& utf8);

/// UTF-8 from text in the system code page.
std::string Utf8FromSystemCodePage(const std::string& bytes);

/// Lower-cases every letter of `utf8`, non-ASCII ones included, with the
/// invariant locale's rules, as Windows folds file names for comparison.
std::string LowerCaseUtf8(const std::string& utf8);

}  // namespace ovpre
