#pragma once
// The completeness check of a release against the .sfv files it carries:
// every file an sfv file lists must be in that sfv file's folder with the
// CRC-32 the sfv file gives.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ovpre {

/// One file an sfv file lists.
struct SfvEntry {
  std::string name;
  uint32_t crc = 0;
  bool operator==(const SfvEntry& other) const { return name == other.name && crc == other.crc; }
};

/// The entries of an sfv text, in its order. Lines end at CR LF or LF; a
/// line starting with ";" is a comment. The CRC is the last space-separated
/// token (8 hex digits, either case), the name everything before it, spaces
/// at either end of the line and before the CRC left out. Lines without a
/// name or a CRC of that shape list nothing.
std::vector<SfvEntry> ParseSfv(const std::string& text);

/// What the check found in a release.
struct SfvReport {
  bool sfv_found = false;  // at least one .sfv file listing a file
  uint64_t listed = 0;     // entries of all sfv files together
  uint64_t missing = 0;
  uint64_t bad = 0;
  /// "missing: " or "bad crc: " + the path inside the release, in the order
  /// of the sfv files and their lines.
  std::vector<std::string> problems;

  bool complete() const { return sfv_found && problems.empty(); }
};

/// Checks every folder of `release` that holds an .sfv file (the name ends
/// in ".sfv" in any case; one that lists no file counts as none): each listed file must be a plain file in that
/// folder, its name matched as `fs` matches names, with the listed CRC-32. A
/// file that cannot be read counts as bad. Folders and sfv files are taken
/// in name order, a folder's own sfv files before its subfolders; links are
/// never followed. Fails only when a folder or an sfv file cannot be read.
FsStatus CheckSfvFiles(const FileSystem& fs, Folder& release, SfvReport* report);

/// The count line: "M missing, B bad of L files." or, without any sfv
/// file, "no .sfv file found.".
std::string SfvSummary(const SfvReport& report);

/// The reply for a release that is not complete: the header, at most ten
/// problems, "... and N more" for the rest, and the count line, joined by
/// CR LF. Nothing when the release is complete.
std::optional<std::string> IncompleteReply(const SfvReport& report);

}  // namespace ovpre
