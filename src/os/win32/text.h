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
/// become its default character ("?"), never a look-alike ("Ł" is not "L").
std::string SystemCodePageFromUtf8(const std::string& utf8);

/// True when `utf8` survives the trip to the system code page and back.
bool FitsSystemCodePage(const std::string& utf8);

/// How a text file that a person may have saved is encoded.
enum class StoredEncoding {
  kSystemCodePage,  // ANSI: anything that is not the two below
  kUtf8,            // valid UTF-8 holding bytes beyond ASCII
  kUtf8WithMark,    // starts with the UTF-8 byte-order mark
};

/// The encoding `bytes` were saved in, as the settings file is read.
StoredEncoding EncodingOf(const std::string& bytes);

/// UTF-8 from a file's bytes in `encoding` (the mark left out).
std::string Utf8FromStored(const std::string& bytes, StoredEncoding encoding);

/// The bytes to add to a file in `encoding` (no mark: it starts the file).
std::string StoredFromUtf8(const std::string& utf8, StoredEncoding encoding);

/// UTF-8 from text in the system code page.
std::string Utf8FromSystemCodePage(const std::string& bytes);

/// Lower-cases every letter of `utf8`, non-ASCII ones included, with the
/// invariant locale's rules, as Windows folds file names for comparison.
std::string LowerCaseUtf8(const std::string& utf8);

}  // namespace ovpre
