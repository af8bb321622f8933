// POSIX: a private file is the effective user's, with no bits for the group
// or others, in a folder of the same kind.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/native.h"

namespace ovpre {

namespace {

/// "" when `st` is of this user and shut to everyone else, else why not.
std::string WhyNotOwnAndShut(const struct stat& st, const std::string& what) {
  if (st.st_uid != geteuid()) return what + " belongs to another user";
  if ((st.st_mode & 077) != 0) return what + " is open to others (mode " +
                                      std::to_string((st.st_mode >> 6) & 7) +
                                      std::to_string((st.st_mode >> 3) & 7) +
                                      std::to_string(st.st_mode & 7) + ")";
  return "";
}

class PosixPrivacyCheck final : public PrivacyCheck {
 public:
  std::string WhyNotPrivate(const std::string& folder,
                            const std::vector<std::string>& names) override {
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0) return "the folder: " + std::string(strerror(errno));
    if (!S_ISDIR(st.st_mode)) return "the folder is a link or no folder";
    std::string why = WhyNotOwnAndShut(st, "the folder");
    if (!why.empty()) return why;
    for (const std::string& name : names) {
      const std::string path = folder + "/" + name;
      if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) continue;
        return name + ": " + strerror(errno);
      }
      if (!S_ISREG(st.st_mode)) return name + " is a link or no plain file";
      if (st.st_nlink != 1) return name + " has more than one link";
      why = WhyNotOwnAndShut(st, name);
      if (!why.empty()) return why;
    }
    return "";
  }

  std::string MakePrivateFolder(const std::string& folder) override {
    if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return "";
    return "the folder cannot be made: " + std::string(strerror(errno));
  }
};

}  // namespace

std::unique_ptr<PrivacyCheck> NewPrivacyCheck() { return std::make_unique<PosixPrivacyCheck>(); }

}  // namespace ovpre
