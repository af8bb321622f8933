// A folder held open on POSIX systems: a directory descriptor opened with
// O_NOFOLLOW, and every name below it reached with the *at() calls relative
// to it, never by a path, and never through a symbolic link.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "os/posix/io.h"
#include "os/posix/lease.h"

namespace ovpre {

namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

/// Bytes per read when a file's content is passed on in blocks.
constexpr std::size_t kReadBlock = 1 << 20;

/// A descriptor shared by a folder and the folders opened from it, which
/// need their parent to rename or remove themselves.
using SharedFd = std::shared_ptr<FileHandle>;

SharedFd Share(int fd) { return std::make_shared<FileHandle>(fd); }

FsStatus Errno() { return StatusFromErrno(errno); }

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileFacts FactsOf(const struct stat& st) {
  FileFacts facts;
  facts.kind = KindOfMode(st.st_mode);
  facts.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  facts.changed = Nanoseconds(st.st_ctim);
  facts.number = static_cast<uint64_t>(st.st_ino);
  return facts;
}

FileId IdOf(const struct stat& st) {
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

/// Where the link `name` in the folder `folder` points ("" for the link
/// open as `folder` itself, an O_PATH descriptor).
FsStatus LinkTarget(int folder, const std::string& name, std::string* target) {
  std::string points_to(4096, '\0');
  const ssize_t length = readlinkat(folder, name.c_str(), &points_to[0], points_to.size());
  if (length < 0) return Errno();
  if (static_cast<std::size_t>(length) >= points_to.size()) return StatusFromErrno(ENAMETOOLONG);
  points_to.resize(static_cast<std::size_t>(length));
  *target = std::move(points_to);
  return FsStatus::kOk;
}

/// True when `st`, looked at now, shows the file or link `expected`.
bool SameEntry(const FolderItem& expected, const struct stat& st) {
  const FileFacts now = FactsOf(st);
  if (now.kind != expected.kind) return false;
  if (expected.number != 0 && expected.number != now.number) return false;
  return now.kind != EntryKind::kFile ||
         (now.size == expected.size && now.changed == expected.changed);
}

/// Runs `remove`; when it is refused for lack of rights, makes the folder
/// `parent` writable (a forced delete also takes read-only folders) and
/// tries once more.
template <typename Remove>
FsStatus RemoveForced(int parent, Remove remove) {
  if (remove() == 0) return FsStatus::kOk;
  if (errno != EACCES && errno != EPERM) return Errno();
  struct stat st {};
  if (fstat(parent, &st) != 0) return Errno();
  if (fchmod(parent, st.st_mode | S_IWUSR | S_IXUSR) != 0) return Errno();
  return remove() == 0 ? FsStatus::kOk : Errno();
}

/// Takes the write lock on the whole of the open file `fd` without
/// waiting: kInUse while another open file holds it. The lock belongs to
/// this open file (not to the process), so that two opens of one mark
/// exclude each other even within one run, and it ends when the file is
/// closed, however the run ends.
FsStatus LockWholeFile(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return FsStatus::kOk;
  int error = errno;
  // Kernels before 3.15 know no such locks; flock goes with the open file
  // as well.
  if (error == EINVAL) error = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  if (error == 0) return FsStatus::kOk;
  if (error == EAGAIN || error == EACCES || error == EWOULDBLOCK) {
    return FsStatus(FsStatus::kInUse, error, std::strerror(error));
  }
  return StatusFromErrno(error);
}

/// A work mark: its folder, its name, and its open, locked file.
class PosixMark final : public WorkMark {
 public:
  PosixMark(SharedFd folder, std::string name, int fd)
      : folder_(std::move(folder)), name_(std::move(name)), file_(fd) {}

  FsStatus Read(std::string* state) override { return ReadAll(file_.get(), state); }

  FsStatus Write(const std::string& state, bool durable) override {
    if (ftruncate(file_.get(), 0) != 0) return Errno();
    const ssize_t wrote = pwrite(file_.get(), state.data(), state.size(), 0);
    if (wrote < 0) return Errno();
    if (static_cast<std::size_t>(wrote) != state.size()) return StatusFromErrno(EIO);
    return !durable || fdatasync(file_.get()) == 0 ? FsStatus::kOk : Errno();
  }

  FsStatus Remove() override {
    return unlinkat(folder_->get(), name_.c_str(), 0) == 0 ? FsStatus::kOk : Errno();
  }

 private:
  SharedFd folder_;
  std::string name_;
  FileHandle file_;
};

class PosixFolder final : public Folder {
 public:
  PosixFolder(SharedFd parent, std::string name, int fd)
      : parent_(std::move(parent)), name_(std::move(name)), fd_(Share(fd)) {}

  /// The folder's own descriptor, still owned by the folder.
  int Descriptor() const { return fd_->get(); }

  FsStatus List(std::vector<FolderItem>* items) override {
    // A descriptor of its own for the stream, which closes it.
    const int copy = openat(fd_->get(), ".", kOpenFolder);
    if (copy < 0) return Errno();
    DirHandle dir(fdopendir(copy));
    if (!dir) {
      close(copy);
      return Errno();
    }
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      FolderItem item;
      item.name = name;
      if (entry->d_type == DT_DIR) {
        item.kind = EntryKind::kFolder;
      } else if (entry->d_type == DT_LNK) {
        item.kind = EntryKind::kLink;
        // Where it points is part of what was seen: a link re-pointed
        // since is another entry.
        const FsStatus read = LinkTarget(fd_->get(), name, &item.target);
        if (!read.ok()) return read;
      } else {
        // Files need their size and time; the folder's type saves a call
        // for everything else.
        struct stat st {};
        if (fstatat(fd_->get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
        item.kind = KindOfMode(st.st_mode);
        item.size = static_cast<uint64_t>(st.st_size);
        item.modified = Nanoseconds(st.st_mtim);
        item.changed = Nanoseconds(st.st_ctim);
        item.number = static_cast<uint64_t>(st.st_ino);
        if (item.kind == EntryKind::kLink) {
          const FsStatus read = LinkTarget(fd_->get(), name, &item.target);
          if (!read.ok()) return read;
        }
      }
      items->push_back(std::move(item));
      errno = 0;
    }
    return errno == 0 ? FsStatus::kOk : Errno();
  }

  FsStatus Open(const std::string& name, std::unique_ptr<Folder>* folder) override {
    const int fd = openat(fd_->get(), name.c_str(), kOpenFolder);
    if (fd < 0) return Errno();
    *folder = std::make_unique<PosixFolder>(fd_, name, fd);
    return FsStatus::kOk;
  }

  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    if (mkdirat(fd_->get(), name.c_str(), 0700) != 0) return Errno();
    return Open(name, folder);
  }

  FsStatus OpenOwnersFolder(const std::string& name, std::unique_ptr<Folder>* folder,
                            bool* made) override {
    struct stat own {};
    if (fstat(fd_->get(), &own) != 0) return Errno();
    // Made private, and given to the folder's owner only once it is known
    // to be the one just made: a user may swap the name in between.
    *made = mkdirat(fd_->get(), name.c_str(), 0700) == 0;
    if (!*made && errno != EEXIST) return Errno();
    const int fd = openat(fd_->get(), name.c_str(), kOpenFolder);
    if (fd < 0) return errno == ELOOP || errno == ENOTDIR ? FsStatus(FsStatus::kExists) : Errno();
    auto opened = std::make_unique<PosixFolder>(fd_, name, fd);
    struct stat st {};
    if (fstat(fd, &st) != 0) return Errno();
    if (*made && st.st_uid == geteuid() && st.st_uid != own.st_uid &&
        fchown(fd, own.st_uid, own.st_gid) != 0) {
      const FsStatus refused = Errno();
      unlinkat(fd_->get(), name.c_str(), AT_REMOVEDIR);
      return refused;
    }
    if (*made && st.st_uid == geteuid() && fchmod(fd, own.st_mode & (0777 | S_ISGID)) != 0) {
      return Errno();
    }
    if (fstat(fd, &st) != 0) return Errno();
    if (st.st_uid != own.st_uid) return FsStatus::kExists;
    *folder = std::move(opened);
    return FsStatus::kOk;
  }

  FsStatus CopyFileTo(const std::string& name, Folder& target, FileFacts* copied) override {
    FileHandle in(-1);
    struct stat st {};
    const FsStatus opened = OpenPlainFile(name, &in, &st);
    if (!opened.ok()) return opened;
    // Held from before the first byte is read until the last: a writer
    // that has the file open, or opens it meanwhile, refuses the copy.
    ReadLease lease(in.get());
    if (!lease.taken().ok()) return lease.taken();
    const int into = Fd(target);
    FileHandle out(openat(into, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out.valid()) return Errno();
    FsStatus status = CopyFileData(in.get(), out.get(), [&] { return Unwatched(lease); });
    struct stat now {};
    if (status.ok() && fstat(in.get(), &now) != 0) status = Errno();
    if (status.ok() && !Unwatched(lease)) status = FsStatus::kInUse;
    lease.Release();
    if (status.ok()) *copied = FactsOf(now);
    if (status.ok()) status = CopyModeAndTimes(out.get(), st);
    if (status.ok() && !out.Close()) status = Errno();
    if (!status.ok()) unlinkat(into, name.c_str(), 0);
    return status.ok() ? lease.taken() : status;
  }

  FsStatus ReadBlocks(const std::string& name, const BlockReader& block) override {
    FileHandle in(-1);
    struct stat st {};
    const FsStatus opened = OpenPlainFile(name, &in, &st);
    if (!opened.ok()) return opened;
    posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<char> buffer(kReadBlock);
    for (;;) {
      const ssize_t got = read(in.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return Errno();
      if (got == 0 || !block(buffer.data(), static_cast<std::size_t>(got))) return FsStatus::kOk;
    }
  }

  FsStatus CopyLinkTo(const std::string& name, Folder& target) override {
    std::string points_to;
    const FsStatus read = LinkTarget(fd_->get(), name, &points_to);
    if (!read.ok()) return read;
    struct stat st {};
    if (fstatat(fd_->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
    const int into = Fd(target);
    if (symlinkat(points_to.c_str(), into, name.c_str()) != 0) return Errno();
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(into, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
    return FsStatus::kOk;
  }

  FsStatus CopyOwnAttributesTo(Folder& target) override {
    struct stat st {};
    if (fstat(fd_->get(), &st) != 0) return Errno();
    return CopyModeAndTimes(Fd(target), st);
  }

  FsStatus RemoveFile(const std::string& name) override {
    const int fd = fd_->get();
    return RemoveForced(fd, [&] { return unlinkat(fd, name.c_str(), 0); });
  }

  FsStatus RemoveFileIfUnchanged(const FolderItem& expected) override {
    if (expected.kind == EntryKind::kLink) return RemoveLinkIfUnchanged(expected);
    // Only what is still a plain file is opened: never a device or a pipe
    // put at its name.
    struct stat st {};
    if (fstatat(fd_->get(), expected.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
    if (!SameEntry(expected, st)) return FsStatus::kSwapped;
    FileHandle file(openat(fd_->get(), expected.name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.valid()) return errno == ELOOP ? FsStatus(FsStatus::kSwapped) : Errno();
    // Taken before the look through the handle: from here on no writer can
    // open the file without the lease saying so.
    ReadLease lease(file.get());
    if (!lease.taken().ok()) return lease.taken();
    if (fstat(file.get(), &st) != 0) return Errno();
    if (!SameEntry(expected, st)) return FsStatus::kSwapped;
    const FsStatus removed = RemoveIfStill(expected.name, st, [&] {
      if (Unwatched(lease)) return true;
      errno = EAGAIN;
      return false;
    });
    // A writer waiting at the lease goes on now, to the removed file or,
    // when it was kept, to the file at its place.
    lease.Release();
    if (removed.ok()) return lease.taken();
    return removed.os_error() == EAGAIN ? FsStatus(FsStatus::kInUse) : removed;
  }

  FsStatus RemoveSelf() override {
    const int parent = parent_->get();
    return RemoveForced(parent, [&] { return unlinkat(parent, name_.c_str(), AT_REMOVEDIR); });
  }

  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    const int into = Fd(target);
    FsStatus status = RenameNoReplace(parent_->get(), name_, into, new_name);
    if (!status.ok()) return status;
    // The name was looked up again for the rename: it must have led to this
    // very folder. Whatever else was there goes back where it came from;
    // when its old name has been taken meanwhile, it stays where it is now.
    FileId mine;
    FileId moved;
    if (!Identity(&mine).ok() || !IdAt(into, new_name, &moved).ok() || mine != moved) {
      const FsStatus back = RenameNoReplace(into, new_name, parent_->get(), name_);
      if (back.ok()) return FsStatus(FsStatus::kSwapped);
      return FsStatus(FsStatus::kSwapped, back.os_error(), back.os_text());
    }
    parent_ = static_cast<PosixFolder&>(target).fd_;
    name_ = new_name;
    return FsStatus::kOk;
  }

  FsStatus Identity(FileId* id) override {
    struct stat st {};
    if (fstat(fd_->get(), &st) != 0) return Errno();
    *id = IdOf(st);
    return FsStatus::kOk;
  }

  FsStatus IdentityOf(const std::string& name, FileId* id) override {
    return IdAt(fd_->get(), name, id);
  }

  FsStatus SetHidden(bool) override { return FsStatus::kOk; }  // the "." does it

  FsStatus Flush() override { return syncfs(fd_->get()) == 0 ? FsStatus::kOk : Errno(); }

  FsStatus Examine(const std::string& name, FileFacts* facts) override {
    struct stat st {};
    if (fstatat(fd_->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
    *facts = FactsOf(st);
    return FsStatus::kOk;
  }

  uint64_t MaxFileSize() override {
    // Only FAT has a limit a release can reach; the C library's guess of
    // the file-size bits is no help (32 for tmpfs).
    constexpr long kFatMagic = 0x4d44;
    struct statfs volume {};
    if (fstatfs(fd_->get(), &volume) == 0 && static_cast<long>(volume.f_type) == kFatMagic) {
      return 0xFFFFFFFFull;
    }
    return UINT64_MAX;
  }

  FsStatus OpenWorkFolder(const std::string& name, std::unique_ptr<Folder>* folder) override {
    if (mkdirat(fd_->get(), name.c_str(), 0700) != 0 && errno != EEXIST) return Errno();
    const int fd = openat(fd_->get(), name.c_str(), kOpenFolder);
    if (fd < 0) return errno == ELOOP || errno == ENOTDIR ? FsStatus(FsStatus::kExists) : Errno();
    auto opened = std::make_unique<PosixFolder>(fd_, name, fd);
    struct stat st {};
    if (fstat(fd, &st) != 0) return Errno();
    // Nobody else may enter it: whatever is staged there is nobody's yet.
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) return FsStatus::kExists;
    *folder = std::move(opened);
    return FsStatus::kOk;
  }

  FsStatus OpenMark(const std::string& name, bool create,
                    std::unique_ptr<WorkMark>* mark) override {
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    FileHandle file(openat(fd_->get(), name.c_str(), create ? flags | O_CREAT | O_EXCL : flags,
                           0600));
    if (!file.valid()) return errno == ELOOP ? FsStatus(FsStatus::kNotCopyable) : Errno();
    struct stat st {};
    if (fstat(file.get(), &st) != 0) return Errno();
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) return FsStatus::kNotCopyable;
    const FsStatus locked = LockWholeFile(file.get());
    if (!locked.ok()) return locked;
    *mark = std::make_unique<PosixMark>(fd_, name, file.Release());
    return FsStatus::kOk;
  }

 private:
  /// Every folder here comes from this file, so the cast is safe.
  static int Fd(Folder& folder) { return static_cast<PosixFolder&>(folder).fd_->get(); }

  /// Opens the plain file `name` inside for reading, never through a link.
  /// Non-blocking, so that a pipe put in a file's place cannot hold the run.
  FsStatus OpenPlainFile(const std::string& name, FileHandle* in, struct stat* st) {
    const int fd = openat(fd_->get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Errno();
    in->Reset(fd);
    if (fstat(fd, st) != 0) return Errno();
    return S_ISREG(st->st_mode) ? FsStatus::kOk : FsStatus(FsStatus::kNotCopyable);
  }

  /// True while nobody has asked to write to the file that `lease` is on,
  /// or when that cannot be known.
  static bool Unwatched(const ReadLease& lease) {
    return lease.taken().os_error() != 0 || lease.Intact();
  }

  FsStatus RemoveLinkIfUnchanged(const FolderItem& expected) {
    FileHandle link(openat(fd_->get(), expected.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!link.valid()) return Errno();
    struct stat st {};
    if (fstat(link.get(), &st) != 0) return Errno();
    std::string target;
    if (!SameEntry(expected, st) || !LinkTarget(link.get(), "", &target).ok() ||
        target != expected.target) {
      return FsStatus::kSwapped;
    }
    return RemoveIfStill(expected.name, st, [] { return true; });
  }

  /// Removes `name` when it still leads to the entry `seen` and `still`
  /// says yes (else errno tells why not); the name is looked at last, just
  /// before it goes, as the system removes only by name.
  template <typename Still>
  FsStatus RemoveIfStill(const std::string& name, const struct stat& seen, Still still) {
    const int fd = fd_->get();
    const FsStatus removed = RemoveForced(fd, [&] {
      struct stat now {};
      if (fstatat(fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return -1;
      if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) {
        errno = ESTALE;
        return -1;
      }
      return still() ? unlinkat(fd, name.c_str(), 0) : -1;
    });
    return removed.os_error() == ESTALE ? FsStatus(FsStatus::kSwapped) : removed;
  }

  static FsStatus IdAt(int folder, const std::string& name, FileId* id) {
    struct stat st {};
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
    *id = IdOf(st);
    return FsStatus::kOk;
  }

  static FsStatus CopyModeAndTimes(int fd, const struct stat& st) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    // Never setuid, setgid or sticky: as root, a user's setuid program
    // copied with its bits would run as root.
    if (fchmod(fd, st.st_mode & 0777) != 0) return Errno();
    if (futimens(fd, times) != 0) return Errno();
    return FsStatus::kOk;
  }

  SharedFd parent_;
  std::string name_;
  SharedFd fd_;
};

}  // namespace

int DescriptorOf(Folder& folder) {
  const auto* posix = dynamic_cast<const PosixFolder*>(&folder);
  return posix ? posix->Descriptor() : -1;
}

FsStatus RenameNoReplace(int from_folder, const std::string& from, int to_folder,
                         const std::string& to) {
  if (renameat2(from_folder, from.c_str(), to_folder, to.c_str(), RENAME_NOREPLACE) == 0) {
    return FsStatus::kOk;
  }
  if (errno != EINVAL && errno != ENOSYS) return Errno();
  // The file system cannot refuse replacement by itself: check first.
  // Another process could still slip in between, which only an atomic
  // rename would rule out.
  struct stat st {};
  if (fstatat(to_folder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return StatusFromErrno(EEXIST);
  return renameat(from_folder, from.c_str(), to_folder, to.c_str()) == 0 ? FsStatus::kOk : Errno();
}

FsStatus ResolvePath(const std::string& path, std::string* resolved) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return Errno();
  *resolved = real;
  free(real);
  return FsStatus::kOk;
}

FsStatus OpenFolderNoFollow(const std::string& path, std::unique_ptr<Folder>* folder) {
  std::string tidy = path;
  while (tidy.size() > 1 && tidy.back() == '/') tidy.pop_back();
  if (tidy.empty()) return StatusFromErrno(ENOENT);
  if (tidy == "/") tidy = "/.";
  const std::size_t cut = tidy.find_last_of('/');
  const std::string above = cut == std::string::npos ? "." : (cut == 0 ? "/" : tidy.substr(0, cut));
  const std::string name = cut == std::string::npos ? tidy : tidy.substr(cut + 1);
  if (name == "..") return StatusFromErrno(EINVAL);
  const int parent = open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return Errno();
  SharedFd shared = Share(parent);
  const int fd = openat(parent, name.c_str(), kOpenFolder);
  if (fd < 0) return Errno();
  *folder = std::make_unique<PosixFolder>(shared, name, fd);
  return FsStatus::kOk;
}

}  // namespace ovpre
