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
#include <cstring>
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

/// Opens `path` only when it is a regular file. The open itself never waits
/// (a FIFO would wait for a writer); once the kind is known the descriptor
/// goes back to blocking use. A FIFO, device or folder gives kFailed.
int OpenRegularFile(const std::string& path, int flags, FsStatus* status) {
  const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *status = StatusFromErrno(errno);
    return -1;
  }
  struct stat st {};
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else {
    const int current = fcntl(fd, F_GETFL);
    if (current < 0 || fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) error = errno;
  }
  if (error == 0) return fd;
  close(fd);
  *status = StatusFromErrno(error);
  return -1;
}

/// Reads the whole text file `fd`, without the UTF-8 byte-order mark that
/// some editors put first: the text is UTF-8 anyway, and the mark would
/// become part of the first line's key.
FsStatus ReadText(int fd, std::string* text) {
  const FsStatus status = ReadAll(fd, text);
  if (status.ok() && text->compare(0, 3, "\xEF\xBB\xBF") == 0) text->erase(0, 3);
  return status;
}

/// How many bytes of a file's end an append looks at: enough to tell how
/// its last line ends.
constexpr off_t kTailBytes = 16;

/// Refuses a file with more than one name: another name may be anybody's
/// (a hard link a user made to a file of theirs, or to one of the system's).
FsStatus CheckSingleName(const struct stat& st) {
  return st.st_nlink > 1 ? StatusFromErrno(EMLINK) : FsStatus(FsStatus::kOk);
}

/// The last bytes of the open file `fd` (all of it when it is shorter).
FsStatus ReadTail(int fd, off_t size, std::string* tail) {
  const off_t length = size < kTailBytes ? size : kTailBytes;
  tail->assign(static_cast<std::size_t>(length), '\0');
  off_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd, &(*tail)[static_cast<std::size_t>(done)],
                              static_cast<std::size_t>(length - done), size - length + done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) break;  // cut short meanwhile
    done += got;
  }
  tail->resize(static_cast<std::size_t>(done));
  return FsStatus::kOk;
}

/// The lock on a lock file: the open descriptor holds it.
class DescriptorLock final : public HeldLock {
 public:
  explicit DescriptorLock(int fd) : file_(fd) {}

 private:
  FileHandle file_;
};

class PosixFileSystem final : public FileSystem {
 public:
  char Separator() const override { return '/'; }

  std::string FoldCase(const std::string& path) const override { return LowerAscii(path); }
  bool NamesIgnoreCase() const override { return false; }

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

  FsStatus OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) override {
    return OpenFolderNoFollow(path, folder);
  }

  FsStatus ResolveFolder(const std::string& path, std::string* resolved) override {
    return ResolvePath(path, resolved);
  }

  bool VisibleFileExists(const std::string& path) override {
    struct stat st {};
    return !IsHiddenName(FileNameOf(path, '/')) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
      std::string parent = FolderOf(probe, '/');
      if (parent.empty()) parent = ".";
      if (parent == probe) return FsStatus::kFailed;
      probe = parent;
    }
    *bytes = static_cast<uint64_t>(vfs.f_bfree) * static_cast<uint64_t>(vfs.f_frsize);
    return FsStatus::kOk;
  }

  FsStatus ReadTextFile(const std::string& path, std::string* text) override {
    FsStatus status;
    FileHandle file(OpenRegularFile(path, O_RDONLY, &status));
    if (!file.valid()) return status;
    // No lock: a group is added by putting a whole new file in place.
    return ReadText(file.get(), text);
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

  FsStatus ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                              std::string* secret) override {
    for (int attempt = 0; attempt < 2; ++attempt) {
      FileHandle file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (file.valid()) {
        struct stat st {};
        if (fstat(file.get(), &st) != 0) return StatusFromErrno(errno);
        // A secret others could read, write or link elsewhere is none.
        if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0 ||
            st.st_nlink != 1) {
          return FsStatus(FsStatus::kDenied, 0, "not a private file of the program's user");
        }
        return ReadAll(file.get(), secret);
      }
      if (errno == ELOOP) return StatusFromErrno(EACCES);
      if (errno != ENOENT) return StatusFromErrno(errno);
      // Written whole under a name of its own (mkstemp makes it 0600), then
      // linked to its name, which never replaces what another run linked.
      std::string temp = path + ".XXXXXX";
      FileHandle made(mkstemp(&temp[0]));
      if (!made.valid()) return StatusFromErrno(errno);
      FsStatus status = WriteAll(made.get(), fresh);
      if (status.ok() && fsync(made.get()) != 0) status = StatusFromErrno(errno);
      if (status.ok() && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
        status = StatusFromErrno(errno);
      }
      unlink(temp.c_str());
      if (!status.ok()) return status;
    }
    return FsStatus::kFailed;
  }

  FsStatus CreateTextFile(const std::string& path, const std::string& text) override {
    FileHandle file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!file.valid()) return StatusFromErrno(errno);
    FsStatus status = WriteAll(file.get(), text);
    if (status == FsStatus::kOk && !file.Close()) status = StatusFromErrno(errno);
    // A half-written file would be loaded as the settings from then on.
    if (status != FsStatus::kOk) unlink(path.c_str());
    return status;
  }

  FsStatus TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) override {
    // Never through a link; the open itself never waits (a FIFO).
    FileHandle file(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                         0600));
    if (!file.valid()) {
      return errno == ELOOP ? FsStatus(FsStatus::kDenied, errno, std::strerror(errno))
                            : StatusFromErrno(errno);
    }
    struct stat st {};
    if (fstat(file.get(), &st) != 0) return StatusFromErrno(errno);
    // Anyone else who could open it could hold it for good.
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
      return FsStatus(FsStatus::kDenied, 0,
                      "not a file only this program's user may open");
    }
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EWOULDBLOCK) return FsStatus(FsStatus::kInUse, error, std::strerror(error));
      return StatusFromErrno(error);
    }
    *lock = std::make_unique<DescriptorLock>(file.Release());
    return FsStatus::kOk;
  }

  FsStatus AppendText(const std::string& path, const AppendDecision& decide) override {
    FsStatus status;
    // Never through a link at the file's name: appended as root, a line
    // would land in whatever file the link names.
    FileHandle file(OpenRegularFile(path, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW, &status));
    if (!file.valid()) return status;
    struct stat st {};
    if (fstat(file.get(), &st) != 0) return StatusFromErrno(errno);
    status = CheckSingleName(st);
    std::string tail;
    if (status.ok()) status = ReadTail(file.get(), st.st_size, &tail);
    if (!status.ok()) return status;
    const std::optional<std::string> addition = decide(tail);
    if (addition) status = WriteAll(file.get(), *addition);
    if (status == FsStatus::kOk && !file.Close()) status = StatusFromErrno(errno);
    return status;
  }

  FsStatus AppendUtf8(const std::string& path, const AppendDecision& decide) override {
    return AppendText(path, decide);  // text files are UTF-8 here
  }

  FsStatus AppendByReplacing(const std::string& path, const AppendDecision& decide) override {
    FsStatus status;
    FileHandle file(OpenRegularFile(path, O_RDONLY | O_NOFOLLOW, &status));
    if (!file.valid() && status != FsStatus::kNotFound) return status;
    std::string bytes;
    struct stat st {};
    if (file.valid()) {
      if (fstat(file.get(), &st) != 0) return StatusFromErrno(errno);
      status = CheckSingleName(st);
      if (status.ok()) status = ReadAll(file.get(), &bytes);
      if (!status.ok()) return status;
    }
    // The text without the byte-order mark, as it is loaded; the mark
    // stays in the file.
    const bool marked = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    const std::optional<std::string> addition = decide(marked ? bytes.substr(3) : bytes);
    if (!addition) return FsStatus::kOk;
    return ReplaceFileAtomically(path, bytes + *addition, file.valid() ? &st : nullptr);
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewNativeFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace ovpre
