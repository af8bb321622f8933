#pragma once
// Small non-throwing helpers over POSIX descriptors, shared by the POSIX
// platform files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace ovpre {

/// What a file mode says an entry is.
EntryKind KindOfMode(mode_t mode);

/// The one place where errno values become FsStatus.
FsStatus StatusFromErrno(int error);

/// Owns a file descriptor and closes it.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() { if (fd_ >= 0) ::close(fd_); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  /// Closes what it holds and takes `fd` instead.
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  /// Gives up the descriptor without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  /// Closes now; false (with errno set) when the close reports an error,
  /// which for written files can be a late write failure.
  bool Close();

 private:
  int fd_;
};

/// Owns an open directory stream.
class DirHandle {
 public:
  explicit DirHandle(DIR* dir) : dir_(dir) {}
  ~DirHandle() { if (dir_) closedir(dir_); }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  explicit operator bool() const { return dir_ != nullptr; }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

/// Reads everything from the start of `fd`.
FsStatus ReadAll(int fd, std::string* text);

/// Writes all of `text` to `fd`, resuming after short writes.
FsStatus WriteAll(int fd, const char* data, std::size_t size);
FsStatus WriteAll(int fd, const std::string& text);

/// Copies all of `in` to its real end into the new, empty file `out`, each
/// byte at its own offset, with the fastest means the kernel offers for the
/// pair (copy_file_range, then sendfile, then pread/pwrite). Only the data
/// is copied: the holes of a sparse file stay holes in the copy, which ends
/// at the input's length. Where the file system cannot tell data from
/// holes, every byte is copied. `go_on`, when given, is asked before each
/// step of at most 64 MiB: when it says no, the copy stops with kInUse.
FsStatus CopyFileData(int in, int out, const std::function<bool()>& go_on = {});

/// Renames `from` in the folder `from_folder` to `to` in `to_folder`, never
/// replacing anything at `to`.
FsStatus RenameNoReplace(int from_folder, const std::string& from, int to_folder,
                         const std::string& to);

/// The directory descriptor of a folder this build opened, still owned by
/// the folder; -1 for a folder of any other kind.
int DescriptorOf(Folder& folder);

/// Opens the folder at `path` without following a link in its last part.
FsStatus OpenFolderNoFollow(const std::string& path, std::unique_ptr<Folder>* folder);

/// The path of `path` with every link on the way followed.
FsStatus ResolvePath(const std::string& path, std::string* resolved);

/// Writes `text` to a new file beside `path` and renames it over `path`, so
/// that a reader sees the old content or the new one, never part of it.
/// With `keep` (the file's facts as it was read), the new file gets its
/// owner and permission bits and is made durable before it takes the name;
/// without, the mode a plain create would give.
FsStatus ReplaceFileAtomically(const std::string& path, const std::string& text,
                               const struct stat* keep = nullptr);

}  // namespace ovpre
