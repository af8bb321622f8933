// Ownership on POSIX systems. There is no FTP server control here, so the
// owner user, owner group and permissions become the file system's own:
// chown to the named user and group, chmod to the permission text read as
// an octal mode. Links are never followed: a link inside a release may
// point anywhere, and nothing outside the release is ever re-owned.
#include <dirent.h>
#include <fcntl.h>
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

constexpr uid_t kKeepUser = static_cast<uid_t>(-1);
constexpr gid_t kKeepGroup = static_cast<gid_t>(-1);

/// What one call gives: an owner (-1 keeps that part) and a mode.
struct Grant {
  uid_t uid = kKeepUser;
  gid_t gid = kKeepGroup;
  std::optional<mode_t> mode;

  bool ChangesOwner() const { return uid != kKeepUser || gid != kKeepGroup; }
  bool ChangesAnything() const { return ChangesOwner() || mode.has_value(); }
};

/// The permission text read as octal: 1 to 4 digits, masked to the nine
/// permission bits, so setuid, setgid and sticky are never given.
std::optional<mode_t> OctalMode(const std::string& text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  mode_t mode = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    mode = mode * 8 + static_cast<mode_t>(c - '0');
  }
  return mode & 0777;
}

/// A folder also gets search permission for each class that may read it:
/// a readable folder that cannot be entered is of no use to anyone.
mode_t ModeFor(mode_t kind, mode_t mode) {
  return S_ISDIR(kind) ? mode | ((mode & 0444) >> 2) : mode;
}

/// Gives the mode to a non-link entry without following a link that took
/// its place since it was looked at.
bool ChangeMode(int dir, const char* name, mode_t mode) {
  if (fchmodat(dir, name, mode, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOTSUP) return false;
  // Either the C library cannot refuse to follow here, or the entry is a
  // link by now: look again, and leave a link alone.
  struct stat st {};
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISLNK(st.st_mode) || fchmodat(dir, name, mode, 0) == 0;
}

class PosixOwnership final : public OwnershipControl {
 public:
  bool SetOwnership(const std::string& perms, const std::string& user,
                    const std::string& group, const std::string& path,
                    OwnershipScope scope, std::string* cause) override {
    const std::optional<Grant> grant = Resolve(perms, user, group);
    // A name that does not exist or a mode that is not octal is a setup
    // fault: nothing is given, and the caller says so.
    if (!grant) {
      if (cause) *cause = "no such user or group, or permissions that are not 1 to 4 octal digits";
      return false;
    }
    if (!grant->ChangesAnything()) return true;
    errno = 0;
    const bool done = scope == OwnershipScope::kEverythingInside
                          ? ApplyInside(path, *grant)
                          : Apply(AT_FDCWD, path.c_str(), *grant);
    if (!done && cause) {
      const FsStatus status = StatusFromErrno(errno);
      *cause = std::to_string(status.os_error()) + " " + status.os_text();
    }
    return done;
  }

 private:
  /// The grant for one setting, looked up once per run: a pre makes two
  /// calls per top-level entry, all with the same setting.
  std::optional<Grant> Resolve(const std::string& perms, const std::string& user,
                               const std::string& group) {
    const std::string key = perms + '\0' + user + '\0' + group;
    const auto cached = grants_.find(key);
    if (cached != grants_.end()) return cached->second;
    return grants_[key] = ResolveNow(perms, user, group);
  }

  static std::optional<Grant> ResolveNow(const std::string& perms, const std::string& user,
                                         const std::string& group) {
    Grant grant;
    if (!user.empty()) {
      const passwd* entry = getpwnam(user.c_str());
      if (!entry) return std::nullopt;
      grant.uid = entry->pw_uid;
    }
    if (!group.empty()) {
      const struct group* entry = getgrnam(group.c_str());
      if (!entry) return std::nullopt;
      grant.gid = entry->gr_gid;
    }
    if (!perms.empty() && !(grant.mode = OctalMode(perms))) return std::nullopt;
    return grant;
  }

  /// One entry of `dir`, and for a folder everything below it. The folder's
  /// own mode comes last, so that a mode without search permission for the
  /// running user does not lock the walk out of it.
  static bool Apply(int dir, const char* name, const Grant& grant) {
    struct stat st {};
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    bool ok = true;
    if (grant.ChangesOwner()) {
      ok = fchownat(dir, name, grant.uid, grant.gid, AT_SYMLINK_NOFOLLOW) == 0;
    }
    if (S_ISLNK(st.st_mode)) return ok;  // a link has no mode of its own
    if (grant.mode) ok = ChangeMode(dir, name, ModeFor(st.st_mode, *grant.mode)) && ok;
    return ok;
  }

  /// Every entry inside the folder at `path`, at any depth, dot entries
  /// included. Nothing to do when `path` is not a folder.
  static bool ApplyInside(const std::string& path, const Grant& grant) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
    return ApplyBelow(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                      grant);
  }

  /// Walks the folder open as `fd` (taking it over), entering subfolders
  /// through the folder itself so that no link on the way is followed.
  static bool ApplyBelow(int fd, const Grant& grant) {
    if (fd < 0) return false;
    DirHandle dir(fdopendir(fd));
    if (!dir) {
      close(fd);
      return false;
    }
    bool ok = true;
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ok = ApplyBelow(child, grant) && ok;
      }
      ok = Apply(fd, name.c_str(), grant) && ok;
      errno = 0;
    }
    return errno == 0 && ok;
  }

  std::map<std::string, std::optional<Grant>> grants_;
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
