// Ownership on POSIX systems. There is no FTP server control here, so the
// owner user, owner group and permissions become the file system's own:
// chown to the named user and group, chmod to the permission text read as
// an octal mode, with extended ACL entries removed. Everything is reached
// from the published release folder's own descriptor, never by a path, and
// changed through descriptors (no /proc needed): a link inside a release
// may point anywhere, a folder above it may be swapped, and a file may be
// hard-linked in from outside, yet nothing outside the release is re-owned.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

constexpr int kLook = O_PATH | O_NOFOLLOW | O_CLOEXEC;
// Opening for a change of mode never waits (a FIFO put in a file's place)
// and never makes a terminal ours.
constexpr int kOpenToChange = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

/// The system's error number and text, for a cause.
std::string ErrnoText(int error) {
  const FsStatus status = StatusFromErrno(error);
  return std::to_string(status.os_error()) + " " + status.os_text();
}

/// Removes the extended ACL entries of the file or folder open as `fd`, so
/// that its mode is the whole of its permissions; a folder also loses the
/// entries that what is made inside it later would inherit.
bool RemoveAcl(int fd, bool folder) {
  const auto remove = [fd](const char* name) {
    return fremovexattr(fd, name) == 0 || errno == ENODATA || errno == ENOTSUP ||
           errno == EOPNOTSUPP;
  };
  return remove("system.posix_acl_access") && (!folder || remove("system.posix_acl_default"));
}

/// Passes the name and listed type of every entry inside the folder open as
/// `folder` ("." and ".." left out) to `visit`; the cause of a failure to
/// list, or "".
std::string EachEntry(int folder,
                      const std::function<void(const std::string&, unsigned char)>& visit) {
  // A descriptor of its own for the stream, which closes it.
  const int copy = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DirHandle dir(copy < 0 ? nullptr : fdopendir(copy));
  if (!dir) {
    const int error = errno;
    if (copy >= 0) close(copy);
    return ErrnoText(error);
  }
  errno = 0;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") visit(name, entry->d_type);
    errno = 0;
  }
  return errno != 0 ? ErrnoText(errno) : "";
}

/// The names inside a folder, with the types the listing gave them.
using Names = std::vector<std::pair<std::string, unsigned char>>;

/// One folder on the way down a walk: which it is, its name in the folder
/// above, and what inside it is still to be given.
struct Level {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;
  Names entries;
  std::size_t next = 0;
};

/// One pass of a grant over entries reached only through descriptors,
/// relative to the release folder held open: no path is read again, and no
/// link is followed, so nothing swapped in can lead it outside the release.
/// It goes on past failures and keeps the first one's cause. However deep a
/// tree is, it holds only the folder it is in open and keeps the names still
/// to be given on a stack of its own; it climbs back through "..", which
/// must be the very folder it came down from.
class GrantWalk {
 public:
  explicit GrantWalk(const Grant& grant) : grant_(grant) {}
  bool ok() const { return cause_.empty(); }
  const std::string& cause() const { return cause_; }

  void Fail(const std::string& name, const std::string& why) {
    if (cause_.empty()) cause_ = name.empty() ? why : name + ": " + why;
  }

  /// Gives the file or folder open as `fd` itself the grant: owner, then
  /// the mode as the whole permission (extended ACL entries removed).
  void Give(int fd, const std::string& name) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return Fail(name, ErrnoText(errno));
    Give(fd, name, st);
  }

  /// The same, for the file or folder open as `fd` whose facts are `st`.
  void Give(int fd, const std::string& name, const struct stat& st) {
    // A file that also has a name elsewhere may be anyone's file, linked
    // in by the uploader: it keeps its owner and mode.
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
      return Fail(name, "has " + std::to_string(st.st_nlink) + " links, left as it is");
    }
    if (grant_.ChangesOwner() && fchown(fd, grant_.uid, grant_.gid) != 0) {
      return Fail(name, ErrnoText(errno));
    }
    if (!grant_.mode) return;
    if (!RemoveAcl(fd, S_ISDIR(st.st_mode)) || fchmod(fd, ModeFor(st.st_mode, *grant_.mode)) != 0) {
      Fail(name, ErrnoText(errno));
    }
  }

  /// The entry `name` of the folder open as `parent`, with everything it
  /// holds when `descend` says so.
  void Entry(int parent, const std::string& name, bool descend, unsigned char type = DT_UNKNOWN) {
    struct stat st {};
    FileHandle folder(Visit(parent, name, type, descend, &st));
    if (folder.valid()) Descend(&folder, st, name, true);
  }

  /// Everything inside the entry `name` of `parent` when it is a folder.
  void InsideEntry(int parent, const std::string& name) {
    struct stat seen {};
    FileHandle look(openat(parent, name.c_str(), kLook));
    if (!look.valid() || fstat(look.get(), &seen) != 0) return Fail(name, ErrnoText(errno));
    if (!S_ISDIR(seen.st_mode)) return;
    FileHandle fd(OpenSame(parent, name, seen));
    if (fd.valid()) Descend(&fd, seen, name, false);
  }

 private:
  /// Gives the entry `name` of the folder open as `parent` its grant; a
  /// folder, with `descend`, is opened instead and returned (its content
  /// comes first, then the folder itself), -1 otherwise. A link, device or
  /// socket gets the owner only, never a mode; a FIFO also loses what its
  /// mode and ACL allow beyond the configured mode.
  int Visit(int parent, const std::string& name, unsigned char type, bool descend,
            struct stat* st) {
    // The listing says file or folder: opened for the change at once (never
    // through a link, never waiting), and what was opened is what counts.
    if (type == DT_REG || type == DT_DIR) {
      FileHandle fd(OpenToChange(parent, name, type == DT_REG));
      if (!fd.valid() || fstat(fd.get(), st) != 0) {
        Fail(name, ErrnoText(errno));
        return -1;
      }
      if (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)) {
        // Something else took the name meanwhile: its owner only.
        GiveOwnerOnly(fd.get(), name, *st);
        return -1;
      }
      if (descend && S_ISDIR(st->st_mode)) return fd.Release();
      Give(fd.get(), name, *st);
      return -1;
    }
    FileHandle look(openat(parent, name.c_str(), kLook));
    if (!look.valid() || fstat(look.get(), st) != 0) {
      Fail(name, ErrnoText(errno));
      return -1;
    }
    if (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode)) {
      GiveOwnerOnly(look.get(), name, *st);
      if (S_ISFIFO(st->st_mode)) NarrowFifo(parent, name, *st);
      return -1;
    }
    FileHandle fd(OpenSame(parent, name, *st));
    if (!fd.valid()) return -1;
    if (descend && S_ISDIR(st->st_mode)) return fd.Release();
    Give(fd.get(), name);
    return -1;
  }

  /// Gives everything inside the folder open as `*top` (whose facts are
  /// `st`), at any depth, then, with `give_top`, the folder itself. Each
  /// folder gets its own mode last, so that a mode without search
  /// permission for the running user does not lock the walk out of it.
  void Descend(FileHandle* top, const struct stat& st, const std::string& name, bool give_top) {
    std::vector<Level> levels;
    levels.push_back(LevelOf(top->get(), st, name));
    FileHandle current(top->Release());
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.next < level.entries.size()) {
        const auto [entry, type] = level.entries[level.next++];
        struct stat child {};
        const int folder = Visit(current.get(), entry, type, true, &child);
        if (folder < 0) continue;
        levels.push_back(LevelOf(folder, child, entry));
        current.Reset(folder);
        continue;
      }
      // Done inside: the folder above is opened before this one gets its
      // mode, which may be one the running user cannot search.
      FileHandle up(-1);
      if (levels.size() > 1) {
        up.Reset(openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const Level& above = levels[levels.size() - 2];
        struct stat seen {};
        if (!up.valid() || fstat(up.get(), &seen) != 0 || seen.st_dev != above.device ||
            seen.st_ino != above.inode) {
          // Moved elsewhere meanwhile: the way back up is lost, and with
          // it the rest of this walk.
          return Fail(level.name, "moved while it was being given its owner, left as it is");
        }
      }
      if (levels.size() > 1 || give_top) Give(current.get(), level.name);
      levels.pop_back();
      current.Reset(up.Release());
    }
  }

  /// The level of the folder open as `fd`, its names read in full now, so
  /// that no listing stays open while the walk goes down.
  Level LevelOf(int fd, const struct stat& st, const std::string& name) {
    Level level;
    level.device = st.st_dev;
    level.inode = st.st_ino;
    level.name = name;
    const std::string error = EachEntry(fd, [&](const std::string& entry, unsigned char type) {
      level.entries.emplace_back(entry, type);
    });
    if (!error.empty()) Fail(name, error);
    return level;
  }

  /// The owner, and nothing else, for the entry that the descriptor `fd`
  /// (O_PATH or not) holds: a link, device, FIFO or socket. One with more
  /// than one name may be anyone's, linked in: it is left as it is.
  void GiveOwnerOnly(int fd, const std::string& name, const struct stat& st) {
    if (!S_ISLNK(st.st_mode) && st.st_nlink > 1) {
      return Fail(name, "has " + std::to_string(st.st_nlink) + " links, left as it is");
    }
    if (grant_.ChangesOwner() &&
        fchownat(fd, "", grant_.uid, grant_.gid, AT_EMPTY_PATH) != 0) {
      Fail(name, ErrnoText(errno));
    }
  }

  /// A FIFO can be opened without waiting and without acting on it: its
  /// extended ACL entries go, and its mode keeps only what the configured
  /// mode allows, so that it grants nobody more than the files around it.
  /// Devices and sockets cannot be opened so; nobody but root makes the
  /// first, and the second grants only a connection.
  void NarrowFifo(int parent, const std::string& name, const struct stat& seen) {
    if (!grant_.mode || seen.st_nlink > 1) return;
    FileHandle fd(openat(parent, name.c_str(), O_RDONLY | kOpenToChange));
    struct stat now {};
    if (!fd.valid() || fstat(fd.get(), &now) != 0) return Fail(name, ErrnoText(errno));
    if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) {
      return Fail(name, "replaced while it was being given its owner, left as it is");
    }
    if (!RemoveAcl(fd.get(), false) || fchmod(fd.get(), now.st_mode & *grant_.mode) != 0) {
      Fail(name, ErrnoText(errno));
    }
  }

  /// Opens `name` in `parent` as a file or folder whose mode can be
  /// changed; -1 otherwise.
  static int OpenToChange(int parent, const std::string& name, bool file) {
    const int fd = openat(parent, name.c_str(), O_RDONLY | kOpenToChange);
    // A file that its owner may write but not read is still the release's.
    if (fd >= 0 || errno != EACCES || !file) return fd;
    return openat(parent, name.c_str(), O_WRONLY | kOpenToChange);
  }

  /// The same, only when it is still the entry `seen` showed; -1
  /// otherwise, with the failure noted.
  int OpenSame(int parent, const std::string& name, const struct stat& seen) {
    const int fd = OpenToChange(parent, name, S_ISREG(seen.st_mode));
    if (fd < 0) {
      Fail(name, ErrnoText(errno));
      return -1;
    }
    struct stat now {};
    if (fstat(fd, &now) == 0 && now.st_dev == seen.st_dev && now.st_ino == seen.st_ino) return fd;
    close(fd);
    Fail(name, "replaced while it was being given its owner, left as it is");
    return -1;
  }

  const Grant& grant_;
  std::string cause_;
};

class PosixOwnership final : public OwnershipControl {
 public:
  bool SetOwnership(const OwnershipGrant& setting, const OwnershipTarget& target,
                    OwnershipScope scope, std::string* cause) override {
    const std::optional<Grant> grant = Resolve(setting.perms, setting.user, setting.group);
    // A name that does not exist or a mode that is not octal is a setup
    // fault: nothing is given, and the caller says so.
    if (!grant) {
      if (cause) *cause = "no such user or group, or permissions that are not 1 to 4 octal digits";
      return false;
    }
    if (!grant->ChangesAnything()) return true;
    GrantWalk walk(*grant);
    const int release = DescriptorOf(target.release);
    const std::string& entry = target.entry;
    const bool inside = scope == OwnershipScope::kEverythingInside;
    const std::string key = ReleaseKey(release, setting);
    if (release < 0) {
      walk.Fail("", "the release is not a folder held open here");
    } else if (entry.find('/') != std::string::npos || entry == "." || entry == "..") {
      walk.Fail(entry, "not a name inside the release");
    } else if (entry.empty() && inside) {
      return GiveEverythingInside(release, *grant, key, cause);
    } else if (entry.empty()) {
      walk.Give(release, "");
    } else if (const auto done = given_.find(key + '/' + entry); done != given_.end()) {
      // Given already, with everything inside the release: each entry
      // gets its owner and mode once, whatever the calls repeat.
      if (!done->second.empty() && cause) *cause = done->second;
      return done->second.empty();
    } else {
      inside ? walk.InsideEntry(release, entry) : walk.Entry(release, entry, false);
    }
    if (!walk.ok() && cause) *cause = walk.cause();
    return walk.ok();
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

  /// Everything inside the release, each top-level entry with all it
  /// holds; what became of each top-level entry is kept for the calls that
  /// name it later.
  bool GiveEverythingInside(int release, const Grant& grant, const std::string& key,
                            std::string* cause) {
    std::vector<std::pair<std::string, unsigned char>> names;
    const std::string listed = EachEntry(release, [&](const std::string& name, unsigned char type) {
      names.emplace_back(name, type);
    });
    bool ok = listed.empty();
    if (!ok && cause) *cause = listed;
    for (const auto& [name, type] : names) {
      GrantWalk walk(grant);
      walk.Entry(release, name, true, type);
      given_[key + '/' + name] = walk.cause();
      if (!walk.ok() && ok && cause) *cause = walk.cause();
      ok = ok && walk.ok();
    }
    return ok;
  }

  /// What tells one release and one setting from another.
  static std::string ReleaseKey(int release, const OwnershipGrant& setting) {
    struct stat st {};
    if (release < 0 || fstat(release, &st) != 0) return "";
    return std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + '\0' + setting.perms +
           '\0' + setting.user + '\0' + setting.group;
  }

  std::map<std::string, std::optional<Grant>> grants_;
  std::map<std::string, std::string> given_;  // release key/entry: its failure, "" for none
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
