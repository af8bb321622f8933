// Ownership on POSIX systems. There is no FTP server control here, so the
// owner user, owner group and permissions become the file system's own:
// chown to the named user and group where they exist, chmod to the
// permission text where it is an octal mode.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "os/posix/io.h"
#include "platform/native.h"

namespace ovpre {

namespace {

std::optional<mode_t> OctalMode(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  mode_t mode = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + static_cast<mode_t>(c - '0');
  }
  return mode;
}

class PosixOwnership final : public OwnershipControl {
 public:
  bool SetOwnership(const std::string& perms, const std::string& user,
                    const std::string& group, const std::string& path,
                    OwnershipScope scope, std::string* cause) override {
    errno = 0;
    const bool done = Set(perms, user, group, path, scope);
    if (!done && cause) {
      const FsStatus status = StatusFromErrno(errno);
      *cause = std::to_string(status.os_error()) + " " + status.os_text();
    }
    return done;
  }

 private:

  bool Set(const std::string& perms, const std::string& user, const std::string& group,
           const std::string& path, OwnershipScope scope) {
    const uid_t uid = UserId(user);
    const gid_t gid = GroupId(group);
    const std::optional<mode_t> mode = OctalMode(perms);
    // Nothing to give (no known user or group, no octal mode): spare the
    // walk over a folder's entries, which would only look at each of them.
    if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1) && !mode) return true;
    if (scope == OwnershipScope::kEverythingInside) return ApplyInside(path, uid, gid, mode);
    return Apply(path, uid, gid, mode);
  }

  static bool Apply(const std::string& path, uid_t uid, gid_t gid,
                    std::optional<mode_t> mode) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    const bool change_owner = uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1);
    if (change_owner && lchown(path.c_str(), uid, gid) != 0) return false;
    // A link has no mode of its own, and chmod would reach through it.
    if (mode && !S_ISLNK(st.st_mode) && chmod(path.c_str(), *mode) != 0) return false;
    return true;
  }

  /// Every entry directly inside `folder`; nothing when it is not a folder.
  static bool ApplyInside(const std::string& folder, uid_t uid, gid_t gid,
                          std::optional<mode_t> mode) {
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
    DirHandle dir(opendir(folder.c_str()));
    if (!dir) return false;
    bool ok = true;
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      ok = Apply(folder + "/" + name, uid, gid, mode) && ok;
    }
    return ok;
  }

  uid_t UserId(const std::string& name) {
    if (name.empty()) return static_cast<uid_t>(-1);
    auto cached = users_.find(name);
    if (cached != users_.end()) return cached->second;
    const passwd* entry = getpwnam(name.c_str());
    const uid_t id = entry ? entry->pw_uid : static_cast<uid_t>(-1);
    users_[name] = id;
    return id;
  }

  gid_t GroupId(const std::string& name) {
    if (name.empty()) return static_cast<gid_t>(-1);
    auto cached = groups_.find(name);
    if (cached != groups_.end()) return cached->second;
    const group* entry = getgrnam(name.c_str());
    const gid_t id = entry ? entry->gr_gid : static_cast<gid_t>(-1);
    groups_[name] = id;
    return id;
  }

  std::map<std::string, uid_t> users_;
  std::map<std::string, gid_t> groups_;
};

class PosixOwnershipFactory final : public OwnershipControlFactory {
 public:
  std::unique_ptr<OwnershipControl> Create(std::string*) override {
    return std::make_unique<PosixOwnership>();
  }
};

}  // namespace

std::unique_ptr<OwnershipControlFactory> NewServerControlFactory() {
  return std::make_unique<PosixOwnershipFactory>();
}

}  // namespace ovpre
