#include "os/posix/io.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ovpre {

FsStatus StatusFromErrno(int error) {
  FsStatus::Code code = FsStatus::kFailed;
  switch (error) {
    case 0: return FsStatus::kOk;
    case ENOENT:
    case ENOTDIR: code = FsStatus::kNotFound; break;
    case EEXIST:
    case ENOTEMPTY: code = FsStatus::kExists; break;
    case EXDEV: code = FsStatus::kCrossDevice; break;
    case ENOSPC:
    case EDQUOT: code = FsStatus::kNoSpace; break;
    case EACCES:
    case EPERM:
    case EROFS: code = FsStatus::kDenied; break;
    case ETXTBSY: code = FsStatus::kInUse; break;
    case EMFILE:
    case ENFILE: code = FsStatus::kTooDeep; break;
    default: break;
  }
  return FsStatus(code, error, std::strerror(error));
}

EntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kFile;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

bool FileHandle::Close() {
  const int fd = fd_;
  fd_ = -1;
  return fd < 0 || ::close(fd) == 0;
}

FsStatus ReadAll(int fd, std::string* text) {
  text->clear();
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) return FsStatus::kOk;
    text->append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
}

FsStatus WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = write(fd, data + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return StatusFromErrno(wrote < 0 ? errno : EIO);
    done += static_cast<std::size_t>(wrote);
  }
  return FsStatus::kOk;
}

FsStatus WriteAll(int fd, const std::string& text) {
  return WriteAll(fd, text.data(), text.size());
}

namespace {

/// True for the errors by which the kernel says "not for this pair of
/// files", after which a slower means still works.
bool IsUnsupported(int error) {
  return error == EXDEV || error == ENOSYS || error == EOPNOTSUPP || error == EINVAL ||
         error == EBADF;
}

/// Writes all of `data` at `offset` of `fd`, resuming after short writes.
bool WriteAllAt(int fd, const char* data, std::size_t size, off_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t wrote = pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

/// Copies byte ranges of one file to the same offsets of another, with the
/// fastest means the kernel offers for the pair: copy_file_range, then
/// sendfile, then pread and pwrite. A means the kernel refuses before it
/// moved anything is given up for the next one, for the rest of the file.
class RangeCopier {
 public:
  /// The end of a range that runs to the real end of the input.
  static constexpr off_t kToTheEnd = -1;

  RangeCopier(int in, int out, const std::function<bool()>& go_on)
      : in_(in), out_(out), go_on_(go_on) {}

  /// Copies from `*at` up to `end`, or until the input ends, whichever
  /// comes first; `*at` is left where the copy stopped. With kToTheEnd the
  /// size the file had is no limit: a file that grows meanwhile is copied
  /// to its real end, and the change is found afterwards.
  FsStatus Copy(off_t* at, off_t end) {
    // Steps small enough that a stop asked for is heeded within a moment.
    constexpr off_t kChunk = off_t{64} << 20;
    while (end == kToTheEnd || *at < end) {
      if (go_on_ && !go_on_()) return FsStatus::kInUse;
      const off_t want = end == kToTheEnd ? kChunk : std::min(kChunk, end - *at);
      const ssize_t moved = Step(*at, static_cast<std::size_t>(want));
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0 && !any_ && means_ != kReadWrite && IsUnsupported(errno)) {
        means_ = means_ == kCopyRange ? kSendFile : kReadWrite;
        continue;
      }
      if (moved < 0) return StatusFromErrno(errno);
      if (moved == 0) break;
      any_ = true;
      *at += moved;
    }
    return FsStatus::kOk;
  }

 private:
  enum Means { kCopyRange, kSendFile, kReadWrite };

  /// Moves up to `size` bytes at `at`: how many, 0 at the end of the input,
  /// -1 with errno set.
  ssize_t Step(off_t at, std::size_t size) {
    off_t from = at;
    if (means_ == kCopyRange) {
      off_t to = at;
      return copy_file_range(in_, &from, out_, &to, size, 0);
    }
    if (means_ == kSendFile) {
      // sendfile writes at the output's own position.
      if (lseek(out_, at, SEEK_SET) < 0) return -1;
      return sendfile(out_, in_, &from, size);
    }
    buffer_.resize(1 << 20);
    const ssize_t got = pread(in_, buffer_.data(), std::min(size, buffer_.size()), at);
    if (got <= 0) return got;
    return WriteAllAt(out_, buffer_.data(), static_cast<std::size_t>(got), at) ? got : -1;
  }

  int in_;
  int out_;
  const std::function<bool()>& go_on_;
  Means means_ = kCopyRange;
  bool any_ = false;
  std::vector<char> buffer_;
};

/// Where the next data of `in` at or after `at` lies: [*data, *hole), or
/// *data -1 when only a hole, or nothing, follows `at`. Where the file
/// system cannot say where the holes are, all from `at` on is data (*hole
/// -1).
FsStatus NextData(int in, off_t at, off_t* data, off_t* hole) {
  *data = lseek(in, at, SEEK_DATA);
  *hole = *data < 0 ? -1 : lseek(in, *data, SEEK_HOLE);
  if (*data >= 0 && *hole >= 0) return FsStatus::kOk;
  // ENXIO: no data from `at` on, or the file has shrunk below it.
  if (errno == ENXIO) {
    *data = -1;
    return FsStatus::kOk;
  }
  if (!IsUnsupported(errno)) return StatusFromErrno(errno);
  *data = at;
  *hole = -1;
  return FsStatus::kOk;
}

}  // namespace

FsStatus CopyFileData(int in, int out, const std::function<bool()>& go_on) {
  struct stat st {};
  if (fstat(in, &st) != 0) return StatusFromErrno(errno);
  RangeCopier copier(in, out, go_on);
  off_t at = 0;
  for (;;) {
    off_t data = 0;
    off_t hole = 0;
    const FsStatus looked = NextData(in, at, &data, &hole);
    if (!looked.ok()) return looked;
    if (data < 0) break;
    // The last data before the end the file had (all of a dense file) is
    // copied to the real end, which spares a further look for data.
    const bool last = hole < 0 || hole >= st.st_size;
    at = data;
    const FsStatus copied = copier.Copy(&at, last ? RangeCopier::kToTheEnd : hole);
    if (!copied.ok() || last) return copied;
    if (at == data) break;  // the file ended where this data was to begin
  }
  // The file ends in a hole (or is empty): the copy gets its length,
  // without writing the hole.
  if (fstat(in, &st) != 0) return StatusFromErrno(errno);
  if (at < st.st_size && ftruncate(out, st.st_size) != 0) return StatusFromErrno(errno);
  return FsStatus::kOk;
}

namespace {

/// Gives the new file `fd` the owner and permission bits of `keep`, or
/// without it the mode a plain create would give (mkstemp makes it private).
FsStatus GiveModeAndOwner(int fd, const struct stat* keep) {
  if (keep) {
    struct stat now {};
    if (fstat(fd, &now) != 0) return StatusFromErrno(errno);
    // Only what differs is changed: a run that is not root can still keep
    // a file of its own.
    if ((now.st_uid != keep->st_uid || now.st_gid != keep->st_gid) &&
        fchown(fd, keep->st_uid, keep->st_gid) != 0) {
      return StatusFromErrno(errno);
    }
    return fchmod(fd, keep->st_mode & 0777) == 0 ? FsStatus::kOk : StatusFromErrno(errno);
  }
  const mode_t mask = umask(0);
  umask(mask);
  return fchmod(fd, 0666 & ~mask) == 0 ? FsStatus::kOk : StatusFromErrno(errno);
}

}  // namespace

FsStatus ReplaceFileAtomically(const std::string& path, const std::string& text,
                               const struct stat* keep) {
  if (path.empty()) return FsStatus::kNotFound;
  std::string temp = path + ".XXXXXX";
  FileHandle file(mkstemp(&temp[0]));
  if (!file.valid()) return StatusFromErrno(errno);
  FsStatus status = GiveModeAndOwner(file.get(), keep);
  if (status == FsStatus::kOk) status = WriteAll(file.get(), text);
  // A file kept for good (the settings) must not turn up empty after a
  // crash in place of the old one.
  if (status == FsStatus::kOk && keep && fsync(file.get()) != 0) status = StatusFromErrno(errno);
  if (status == FsStatus::kOk && !file.Close()) status = StatusFromErrno(errno);
  if (status == FsStatus::kOk && rename(temp.c_str(), path.c_str()) != 0) {
    status = StatusFromErrno(errno);
  }
  if (status != FsStatus::kOk) unlink(temp.c_str());
  return status;
}

}  // namespace ovpre
