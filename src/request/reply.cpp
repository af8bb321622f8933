#include "request/reply.h"

#include "text/text.h"

namespace ovpre {

bool IsSafeReplyTag(const std::string& tag) {
  // ":" would open an NTFS stream or name a drive on Windows.
  return tag != ".." && !HasControlChar(tag) && tag.find_first_of("\\/:") == std::string::npos;
}

std::string ReplyPath(const Settings& settings, char separator,
                      const std::string& command, const std::string& tag) {
  return settings.ReplyFolder(separator) + separator + "site-" + command + "." + tag;
}

bool WriteReply(FileSystem& fs, const Settings& settings, const std::string& tag,
                const std::string& command, const std::string& message) {
  const std::string text = std::string(kReplyBanner) + kCrlf + message + kCrlf;
  return fs.WriteTextFile(ReplyPath(settings, fs.Separator(), command, tag), text) ==
         FsStatus::kOk;
}

}  // namespace ovpre
