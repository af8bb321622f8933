#include "os/posix/io.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

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

enum class FastCopy { kDone, kUnsupported, kFailed };

/// Runs `step` until it reports the end of the input (0). The size read
/// when the file was opened is no limit: a file that grows meanwhile is
/// copied to its real end, and the change is found afterwards.
template <typename Step>
FastCopy CopyWith(Step step, bool* any) {
  constexpr std::size_t kChunk = 1u << 30;
  for (;;) {
    const ssize_t moved = step(kChunk);
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0 && !*any && IsUnsupported(errno)) return FastCopy::kUnsupported;
    if (moved < 0) return FastCopy::kFailed;
    if (moved == 0) return FastCopy::kDone;
    *any = true;
  }
}

FsStatus CopyByReadWrite(int in, int out) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) return FsStatus::kOk;
    const FsStatus wrote = WriteAll(out, buffer.data(), static_cast<std::size_t>(got));
    if (wrote != FsStatus::kOk) return wrote;
  }
}

}  // namespace

FsStatus CopyFileData(int in, int out) {
  bool any = false;
  FastCopy result = CopyWith(
      [&](std::size_t chunk) { return copy_file_range(in, nullptr, out, nullptr, chunk, 0); },
      &any);
  if (result == FastCopy::kUnsupported) {
    result = CopyWith([&](std::size_t chunk) { return sendfile(out, in, nullptr, chunk); }, &any);
  }
  if (result == FastCopy::kFailed) return StatusFromErrno(errno);
  if (result == FastCopy::kUnsupported) return CopyByReadWrite(in, out);
  return FsStatus::kOk;
}

FsStatus ReplaceFileAtomically(const std::string& path, const std::string& text) {
  if (path.empty()) return FsStatus::kNotFound;
  std::string temp = path + ".XXXXXX";
  FileHandle file(mkstemp(&temp[0]));
  if (!file.valid()) return StatusFromErrno(errno);
  // mkstemp makes the file private; give it the mode a plain create would.
  const mode_t mask = umask(0);
  umask(mask);
  FsStatus status = fchmod(file.get(), 0666 & ~mask) == 0 ? FsStatus::kOk : StatusFromErrno(errno);
  if (status == FsStatus::kOk) status = WriteAll(file.get(), text);
  if (status == FsStatus::kOk && !file.Close()) status = StatusFromErrno(errno);
  if (status == FsStatus::kOk && rename(temp.c_str(), path.c_str()) != 0) {
    status = StatusFromErrno(errno);
  }
  if (status != FsStatus::kOk) unlink(temp.c_str());
  return status;
}

}  // namespace ovpre
