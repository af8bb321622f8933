#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ovpre {

/// Lists every name in `folder` as a directory search finds them.
/// The list always has at least one element: a search that finds nothing
/// gives one element with an empty name. "." and ".." are listed as the
/// platform returns them, ".." with Modified and Attributes left 0.
/// Returns nothing when the search fails.
std::optional<std::vector<DirEntry>> ListFolder(FileSystem& fs,
                                                const std::string& folder);

/// Megabytes (bytes / 1024 / 1024, not rounded) free on the volume that
/// would hold `path`; nothing when the volume cannot be asked.
std::optional<double> DriveFreeMB(FileSystem& fs, const std::string& path);

/// Megabytes of all files under the folder `path`, hidden ones included and
/// links not followed; nothing when the folder is missing, unreadable or
/// nested deeper than kMaxFolderDepth.
std::optional<double> FolderSizeMB(FileSystem& fs, const std::string& path);

/// Bytes of all files under the folder, as FolderSizeMB counts them; the
/// number of those files goes into `files` when given.
std::optional<uint64_t> FolderSizeBytes(FileSystem& fs, const std::string& path,
                                        uint64_t* files = nullptr);
std::optional<uint64_t> FolderSizeBytes(Folder& folder, uint64_t* files = nullptr);

/// Megabytes as the system counts them: bytes / 1024 / 1024, not rounded.
double ToMB(uint64_t bytes);

}  // namespace ovpre
