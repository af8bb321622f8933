#pragma once
#include <string>

#include "platform/file_system.h"

namespace ovpre {

/// True when the file system of the folder at `path` refuses to flush a
/// folder (Windows documents the flush for files and volumes only): a copy
/// published there cannot be made durable, so a pre across drives into it
/// keeps the group's source, with the "Part of the release could not be
/// removed" note. `cause` gets the system's reason. False when it flushes,
/// or when the folder cannot be opened to try. For `ovpre check`, to name
/// such a target before a pre meets it.
bool RefusesFolderFlush(FileSystem& fs, const std::string& path, std::string* cause);

}  // namespace ovpre
