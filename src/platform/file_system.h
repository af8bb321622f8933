#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ovpre {

/// Outcome of one file-system operation: its kind, and for a failure the
/// operating system's own cause (errno or GetLastError, and its text), kept
/// so that whoever chooses a reply or a log line can say why. The platform
/// files map their native errors onto the kinds; the cause travels along.
class FsStatus {
 public:
  enum Code {
    kOk,
    kNotFound,     // the path or one of its parents does not exist
    kExists,       // the target already exists and the operation never replaces
    kCrossDevice,  // a rename refused because the target is on another volume
    kFailed,       // anything else (access denied, disk full, bad name, ...)
  };

  FsStatus(Code code = kOk) : code_(code) {}  // NOLINT: a bare kind converts
  FsStatus(Code code, long os_error, std::string os_text)
      : code_(code), os_error_(os_error), os_text_(std::move(os_text)) {}

  Code code() const { return code_; }
  bool ok() const { return code_ == kOk; }
  /// The native error number behind a failure; 0 when it has none.
  long os_error() const { return os_error_; }
  /// The system's text for os_error(); empty when it has none.
  const std::string& os_text() const { return os_text_; }

  friend bool operator==(const FsStatus& status, Code code) { return status.code_ == code; }
  friend bool operator==(Code code, const FsStatus& status) { return status.code_ == code; }
  friend bool operator!=(const FsStatus& status, Code code) { return status.code_ != code; }
  friend bool operator!=(Code code, const FsStatus& status) { return status.code_ != code; }

 private:
  Code code_;
  long os_error_ = 0;
  std::string os_text_;
};

/// What a path names, without following a symbolic link or junction.
enum class EntryKind { kMissing, kFile, kFolder, kLink, kOther };

/// What makes a file or folder itself, whatever path leads to it: the
/// volume and the file's number on it (device and inode; volume serial
/// number and file ID).
struct FileId {
  uint64_t volume = 0;
  uint64_t file = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && file == other.file;
  }
  bool operator!=(const FileId& other) const { return !(*this == other); }
};

/// One name inside a folder, as a full walk of the tree needs it.
struct FolderItem {
  std::string name;
  EntryKind kind = EntryKind::kOther;
  uint64_t size = 0;  // bytes, for files only
};

/// One result of a directory search, as the server-facing listing needs it.
struct DirEntry {
  std::string Name;
  double Modified = 0;      // days since 1899-12-30, local time
  uint32_t Attributes = 0;  // Windows attribute bits
};

/// Windows attribute bits, used on every platform.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrFolder = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;

/// The file system as the commands see it. Every operation reports failure
/// through its result and never throws. Paths are UTF-8 and use Separator().
/// Text files are held as UTF-8 here; the platform stores them in its own
/// 8-bit encoding (the system code page on Windows).
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// The character between folder names in a path: '\' or '/'.
  virtual char Separator() const = 0;

  /// Lower-cases `path` as the platform does when it compares folder names.
  virtual std::string FoldCase(const std::string& path) const = 0;

  /// What `path` names, without following links. kMissing when absent.
  virtual EntryKind KindOf(const std::string& path) = 0;

  /// The identity of what `path` names, without following links.
  virtual FsStatus IdentityOf(const std::string& path, FileId* id) = 0;

  /// True when `path` is an ordinary file that a directory search shows
  /// (not a folder, not hidden, not a system file).
  virtual bool VisibleFileExists(const std::string& path) = 0;

  /// Every name in `folder` except "." and "..", hidden ones included.
  virtual FsStatus ReadFolder(const std::string& folder,
                              std::vector<FolderItem>* items) = 0;

  /// A directory search for every name in `folder`, in the platform's
  /// order, "." and ".." included, hidden and system entries left out. An
  /// empty result is not a failure.
  virtual FsStatus SearchFolder(const std::string& folder,
                                std::vector<DirEntry>* entries) = 0;

  /// Free bytes of the volume that would hold `path`.
  virtual FsStatus FreeBytes(const std::string& path, uint64_t* bytes) = 0;

  /// Renames `from` to `to`, never replacing anything at `to`.
  virtual FsStatus MoveNoReplace(const std::string& from,
                                 const std::string& to) = 0;

  /// Creates one folder; kExists when anything is already at `path`.
  virtual FsStatus MakeFolder(const std::string& path) = 0;

  /// Copies one file's data, mode or attributes and times; never replaces.
  virtual FsStatus CopyOneFile(const std::string& from, const std::string& to) = 0;

  /// Recreates the symbolic link `from` at `to`, pointing where it points.
  virtual FsStatus CopyLink(const std::string& from, const std::string& to) = 0;

  /// Copies a folder's own mode or attributes and times onto `to`.
  virtual FsStatus CopyFolderAttributes(const std::string& from,
                                        const std::string& to) = 0;

  /// Removes a file or a link itself, read-only or not.
  virtual FsStatus RemoveFile(const std::string& path) = 0;

  /// Removes an empty folder, read-only or not.
  virtual FsStatus RemoveFolder(const std::string& path) = 0;

  /// Reads a whole text file.
  virtual FsStatus ReadTextFile(const std::string& path, std::string* text) = 0;

  /// Replaces the content of a text file (creating it) so that a reader sees
  /// either the old content or the new one, never a mix.
  virtual FsStatus WriteTextFile(const std::string& path,
                                 const std::string& text) = 0;

  /// The name the folder holding `path` keeps for that entry: its own long
  /// name, where a path may also reach it through a short 8.3 alias.
  virtual FsStatus OwnName(const std::string& path, std::string* name) = 0;

  /// True when `text` comes back unchanged from a text file for the server
  /// or the bot, which the platform stores in its own 8-bit encoding.
  virtual bool StoresExactly(const std::string& text) = 0;

  /// Creates a text file that must not exist yet; kExists when it does.
  virtual FsStatus CreateTextFile(const std::string& path,
                                  const std::string& text) = 0;

  /// Opens (creating) a text file, holds an exclusive lock on it, passes its
  /// whole current content to `decide`, and appends what `decide` returns
  /// (nothing when it returns nothing) before releasing the lock.
  using AppendDecision =
      std::function<std::optional<std::string>(const std::string& current)>;
  virtual FsStatus AppendTextLocked(const std::string& path,
                                    const AppendDecision& decide) = 0;
};

}  // namespace ovpre
