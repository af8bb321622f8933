// The file system on POSIX systems. Windows attribute bits and date values
// are produced here so that the commands see the same facts on every build.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "os/posix/io.h"
#include "platform/file_system.h"
#include "platform/native.h"
#include "text/text.h"

namespace ovpre {

namespace {

/// A name that Windows users would not see: dot files other than . and ..
bool IsHiddenName(const std::string& name) {
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

EntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kFile;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

/// Days since 1899-12-30 in local time, as Windows dates count.
double WindowsDate(time_t seconds) {
  struct tm local {};
  localtime_r(&seconds, &local);
  const double shifted = static_cast<double>(seconds) + static_cast<double>(local.tm_gmtoff);
  return shifted / 86400.0 + 25569.0;
}

uint32_t WindowsAttributes(const struct stat& st) {
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrFolder : kAttrArchive;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  return attributes;
}

std::string ParentOf(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

/// Runs a removal; when it is refused for lack of rights, makes the parent
/// folder writable (a forced delete also takes read-only folders) and tries
/// once more.
FsStatus RemoveForced(const std::string& path, int (*remove)(const char*)) {
  if (path.empty() || path == "/") return FsStatus::kFailed;
  if (remove(path.c_str()) == 0) return FsStatus::kOk;
  if (errno != EACCES && errno != EPERM) return StatusFromErrno(errno);
  const std::string parent = ParentOf(path);
  struct stat st {};
  if (lstat(parent.c_str(), &st) != 0) return StatusFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return StatusFromErrno(ENOTDIR);
  if (chmod(parent.c_str(), st.st_mode | S_IWUSR | S_IXUSR) != 0) return StatusFromErrno(errno);
  return remove(path.c_str()) == 0 ? FsStatus::kOk : StatusFromErrno(errno);
}

int RemoveDirectory(const char* path) { return rmdir(path); }
int RemoveNonDirectory(const char* path) { return unlink(path); }

FsStatus CopyTimesAndMode(const std::string& to, const struct stat& st, bool is_link) {
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  const int flags = is_link ? AT_SYMLINK_NOFOLLOW : 0;
  if (utimensat(AT_FDCWD, to.c_str(), times, flags) != 0) return StatusFromErrno(errno);
  if (!is_link && chmod(to.c_str(), st.st_mode & 07777) != 0) return StatusFromErrno(errno);
  return FsStatus::kOk;
}

class PosixFileSystem final : public FileSystem {
 public:
  char Separator() const override { return '/'; }

  std::string FoldCase(const std::string& path) const override { return LowerAscii(path); }

  EntryKind KindOf(const std::string& path) override {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return EntryKind::kMissing;
    return KindOfMode(st.st_mode);
  }

  FsStatus IdentityOf(const std::string& path, FileId* id) override {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return StatusFromErrno(errno);
    *id = FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return FsStatus::kOk;
  }

  bool VisibleFileExists(const std::string& path) override {
    struct stat st {};
    return !IsHiddenName(FileNameOf(path, '/')) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  FsStatus ReadFolder(const std::string& folder, std::vector<FolderItem>* items) override {
    DirHandle dir(opendir(folder.c_str()));
    if (!dir) return StatusFromErrno(errno);
    const int fd = dirfd(dir.get());
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      FolderItem item;
      item.name = name;
      struct stat st {};
      // The entry's type from the folder itself saves a stat call for
      // everything but files, whose size is needed.
      if (entry->d_type == DT_DIR) {
        item.kind = EntryKind::kFolder;
      } else if (entry->d_type == DT_LNK) {
        item.kind = EntryKind::kLink;
      } else {
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          return StatusFromErrno(errno);
        }
        item.kind = KindOfMode(st.st_mode);
        if (item.kind == EntryKind::kFile) item.size = static_cast<uint64_t>(st.st_size);
      }
      items->push_back(std::move(item));
      errno = 0;
    }
    return errno == 0 ? FsStatus::kOk : StatusFromErrno(errno);
  }

  FsStatus SearchFolder(const std::string& folder, std::vector<DirEntry>* entries) override {
    DirHandle dir(opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) return StatusFromErrno(errno);
    const int fd = dirfd(dir.get());
    errno = 0;
    while (const dirent* found = readdir(dir.get())) {
      DirEntry entry;
      entry.Name = found->d_name;
      if (IsHiddenName(entry.Name)) {
        errno = 0;
        continue;
      }
      if (entry.Name != "..") {
        struct stat st {};
        if (fstatat(fd, found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return StatusFromErrno(errno);
        entry.Modified = WindowsDate(st.st_mtime);
        entry.Attributes = WindowsAttributes(st);
      }
      entries->push_back(std::move(entry));
      errno = 0;
    }
    return errno == 0 ? FsStatus::kOk : StatusFromErrno(errno);
  }

  FsStatus FreeBytes(const std::string& path, uint64_t* bytes) override {
    // A path names no drive here: ask the file system that holds the
    // nearest folder that exists on the way up.
    std::string probe = path.empty() ? "." : path;
    struct statvfs vfs {};
    while (statvfs(probe.c_str(), &vfs) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return StatusFromErrno(errno);
      const std::string parent = ParentOf(probe);
      if (parent == probe) return FsStatus::kFailed;
      probe = parent;
    }
    *bytes = static_cast<uint64_t>(vfs.f_bfree) * static_cast<uint64_t>(vfs.f_frsize);
    return FsStatus::kOk;
  }

  FsStatus MoveNoReplace(const std::string& from, const std::string& to) override {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return FsStatus::kOk;
    }
    if (errno != EINVAL && errno != ENOSYS) return StatusFromErrno(errno);
    // The file system cannot refuse replacement by itself: check first.
    // Another process could still slip in between, which only an atomic
    // rename would rule out.
    if (KindOf(to) != EntryKind::kMissing) return FsStatus::kExists;
    return rename(from.c_str(), to.c_str()) == 0 ? FsStatus::kOk : StatusFromErrno(errno);
  }

  FsStatus MakeFolder(const std::string& path) override {
    return mkdir(path.c_str(), 0777) == 0 ? FsStatus::kOk : StatusFromErrno(errno);
  }

  FsStatus CopyOneFile(const std::string& from, const std::string& to) override {
    FileHandle in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!in.valid() || fstat(in.get(), &st) != 0) return StatusFromErrno(errno);
    FileHandle out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out.valid()) return StatusFromErrno(errno);
    FsStatus status = CopyFileData(in.get(), out.get(), static_cast<uint64_t>(st.st_size));
    if (status == FsStatus::kOk && !out.Close()) status = StatusFromErrno(errno);
    if (status == FsStatus::kOk) status = CopyTimesAndMode(to, st, false);
    if (status != FsStatus::kOk) unlink(to.c_str());
    return status;
  }

  FsStatus CopyLink(const std::string& from, const std::string& to) override {
    std::string target(4096, '\0');
    const ssize_t length = readlink(from.c_str(), &target[0], target.size());
    if (length < 0) return StatusFromErrno(errno);
    if (static_cast<std::size_t>(length) >= target.size()) return StatusFromErrno(ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(length));
    if (symlink(target.c_str(), to.c_str()) != 0) return StatusFromErrno(errno);
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) return StatusFromErrno(errno);
    return CopyTimesAndMode(to, st, true);
  }

  FsStatus CopyFolderAttributes(const std::string& from, const std::string& to) override {
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) return StatusFromErrno(errno);
    return CopyTimesAndMode(to, st, false);
  }

  FsStatus RemoveFile(const std::string& path) override {
    return RemoveForced(path, RemoveNonDirectory);
  }

  FsStatus RemoveFolder(const std::string& path) override {
    return RemoveForced(path, RemoveDirectory);
  }

  FsStatus ReadTextFile(const std::string& path, std::string* text) override {
    FileHandle file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return StatusFromErrno(errno);
    // A shared lock waits for a group being appended at this moment.
    flock(file.get(), LOCK_SH);
    return ReadAll(file.get(), text);
  }

  FsStatus WriteTextFile(const std::string& path, const std::string& text) override {
    return ReplaceFileAtomically(path, text);
  }

  FsStatus OwnName(const std::string& path, std::string* name) override {
    // No aliases here: a name reaches its entry only as it is spelled.
    *name = FileNameOf(path, '/');
    return FsStatus::kOk;
  }

  bool StoresExactly(const std::string&) override { return true; }  // UTF-8 throughout

  FsStatus CreateTextFile(const std::string& path, const std::string& text) override {
    FileHandle file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file.valid()) return StatusFromErrno(errno);
    FsStatus status = WriteAll(file.get(), text);
    if (status == FsStatus::kOk && !file.Close()) status = StatusFromErrno(errno);
    // A half-written file would be loaded as the settings from then on.
    if (status != FsStatus::kOk) unlink(path.c_str());
    return status;
  }

  FsStatus AppendTextLocked(const std::string& path, const AppendDecision& decide) override {
    FileHandle file(open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!file.valid()) return StatusFromErrno(errno);
    if (flock(file.get(), LOCK_EX) != 0) return StatusFromErrno(errno);
    std::string current;
    FsStatus status = ReadAll(file.get(), &current);
    if (status != FsStatus::kOk) return status;
    const std::optional<std::string> addition = decide(current);
    if (addition) status = WriteAll(file.get(), *addition);
    if (status == FsStatus::kOk && !file.Close()) status = StatusFromErrno(errno);
    return status;
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewNativeFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace ovpre
