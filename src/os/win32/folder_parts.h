#pragma once
// The pieces of a Win32 folder that need no folder of their own: the copy of
// one file's data, the work mark, and the account of what a run staged.
#include <map>
#include <memory>
#include <set>
#include <string>

#include "os/win32/io.h"

namespace ovpre {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
/// Shared with everything but a rename or delete: the name stays.
inline constexpr DWORD kShareKeepName = FILE_SHARE_READ | FILE_SHARE_WRITE;
/// The entry itself, folder or not, never what a link points to.
inline constexpr DWORD kOpenItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

/// Gives the open `handle` these attributes (zero: none), its times left.
FsStatus SetAttributes(HANDLE handle, DWORD attributes);

/// Copies `in` (a file with `attributes`) into the new file `out`, up to the
/// length its handle reports: it is open without sharing writes, so that is
/// its real end, and a length that still changes is kInUse. `digest` gets
/// the digest of the whole content, holes read as zeros.
FsStatus CopyData(HANDLE in, DWORD attributes, HANDLE out, std::string* digest);

/// True when the file open as `file` has a named (alternate) data stream
/// beside its main data. A file system that keeps no account of streams
/// (FAT) has none.
bool HasNamedStreams(HANDLE file);

/// What one run copied into the work folder of a target: each file with the
/// digest of the bytes written, and each folder made, by full path. A staged
/// tree is published only while it holds exactly these, each file with its
/// bytes: a user who may write in the target (through the FTP server, which
/// runs as this program's account, so no ACL keeps them out) could
/// otherwise change a copy between its copying and its publishing.
struct StagedFiles {
  std::map<std::string, std::string> digests;
  std::set<std::string> folders;

  /// True when the folder at `path` was made by this run.
  bool Made(const std::string& path) const { return folders.count(path) != 0; }
  /// The number of files recorded below the folder `path`.
  std::size_t FilesBelow(const std::string& path) const;
  /// Forgets everything below and at the folder `path` (published now).
  void ForgetBelow(const std::string& path);
};

/// Runs `attempt` (an opening that returns its status) again for about a
/// second while it meets a sharing violation: a scanner or indexer that
/// holds a folder for a moment.
template <typename Attempt>
FsStatus RetryingWhileShared(Attempt attempt) {
  FsStatus status;
  RetryBriefly(
      [&] {
        status = attempt();
        SetLastError(static_cast<DWORD>(status.os_error()));
        return status.ok();
      },
      [](DWORD error) { return error == ERROR_SHARING_VIOLATION; });
  return status;
}

/// Clears the read-only attribute of the entry open as `handle`, which
/// Windows will not delete otherwise.
FsStatus ClearReadOnly(HANDLE handle);

/// Opens the entry at `path` once, with DELETE access and sharing reading
/// only: no writer holds it, and none can open it until it is gone. With
/// `seen`, removes it only while it is still what `seen` showed (a writer
/// changes its size or change time, a replacement its number), and keeps a
/// file with named streams, which a copy does not carry. A folder is
/// refused; a link is removed itself, never what it points to.
FsStatus RemoveThroughHandle(const std::string& path, const FileFacts* seen);

/// kOk when the staged tree `tree` at `path` holds exactly the files and
/// folders `staged` recorded below it, each file with the bytes written
/// (read through a handle that lets no writer in meanwhile); kSwapped
/// otherwise.
FsStatus CheckStagedTree(Folder& tree, const std::string& path, const StagedFiles& staged);

/// A work mark: its file, open without sharing.
class Win32Mark final : public WorkMark {
 public:
  explicit Win32Mark(FileHandle&& file) : file_(std::move(file)) {}
  FsStatus Read(std::string* state) override;
  FsStatus Write(const std::string& state, bool durable) override;
  FsStatus Remove() override;

 private:
  FileHandle file_;
};

/// Opens `path` itself (a link or junction is not a folder) with `access`
/// and `share`; fails when it is no folder.
FsStatus OpenFolderHandle(const std::string& path, DWORD access, DWORD share, FileHandle* out);

/// `folder` + "\" + `name`, where a root ("F:\", "\\?\Volume{...}\") has
/// its separator already.
std::string ChildPath(const std::string& folder, const std::string& name);

}  // namespace ovpre
