#pragma once
#include <string>

#include "config/settings.h"
#include "platform/file_system.h"

namespace ovpre {

/// The first line of every reply file.
inline constexpr const char* kReplyBanner =
    "---------------------------- [ OV's Pre Script V0.1 ]"
    "---------------------------";

/// True when `tag` can only name a file inside the server's "Output"
/// folder: not "..", and no "\", "/", ":" or control characters.
bool IsSafeReplyTag(const std::string& tag);

/// The reply file for `command` ("pre" or "preadd") and the server's `tag`:
/// the server folder, "Output", "site-" + command + "." + tag.
std::string ReplyPath(const Settings& settings, char separator,
                      const std::string& command, const std::string& tag);

/// Replaces the reply file with the banner line and `message` (which may
/// hold CR LF pairs), each line ending in CR LF. Returns false when the file
/// could not be written; the server folder is neither checked nor created.
bool WriteReply(FileSystem& fs, const Settings& settings, const std::string& tag,
                const std::string& command, const std::string& message);

}  // namespace ovpre
