#pragma once
// Small non-throwing helpers over Win32 handles and paths, shared by the
// Windows platform files.
#include <windows.h>

#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ovpre {

/// The attributes a program may set; the others (folder, link, compressed,
/// ...) belong to the file system.
inline constexpr DWORD kSettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

/// A user's disk quota is used up (ERROR_DISK_QUOTA_EXCEEDED, which
/// MinGW's headers lack).
inline constexpr DWORD kErrorDiskQuotaExceeded = 1295;

/// The system's own text for a Win32 error code, without the line break.
std::string SystemMessageText(DWORD error);

/// What an entry with `attributes` is. A junction or symbolic link (a
/// reparse point whose `reparse_tag` is a "name surrogate") is a link; other
/// reparse points (deduplicated or cloud files) are the file or folder itself.
EntryKind KindOfAttributes(DWORD attributes, DWORD reparse_tag);

/// The identity of what `path` names: the link itself, never what it
/// points to.
FsStatus IdentityAt(const std::string& path, FileId* id);

/// The identity in `info`.
FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info);

/// The reparse tag of the entry open as `handle` (with `attributes`); 0
/// for an entry that is no reparse point, and a link's tag when the tag
/// cannot be read, so that an unknown entry is never taken for a file.
DWORD ReparseTagOf(HANDLE handle, DWORD attributes);

/// What the entry open as `handle` (with `attributes`) is: a junction or
/// symbolic link is a link; a deduplicated, compressed, offline or cloud
/// file is a file.
EntryKind KindOfHandle(HANDLE handle, DWORD attributes);

/// The facts of the entry at `path` itself, never what a link points to,
/// through a handle that shares reading and deletion but not writing:
/// kInUse while a writer holds the file.
FsStatus ExamineEntry(const std::string& path, FileFacts* facts);

/// The facts of the open file or folder `entry`, as ExamineEntry gives them.
FsStatus FactsOfHandle(HANDLE entry, FileFacts* facts);

/// Passes `file` from its start to `block`, one large block at a time, up
/// to the length its handle reports, until `block` returns false. The file
/// is open without sharing writes, so that length is its real end; a length
/// that still changes (a writer through a mapping) is kInUse.
FsStatus ReadInBlocks(HANDLE file, const Folder::BlockReader& block);

/// kOk while `file` still reports the length `length`; kInUse otherwise.
FsStatus CheckLength(HANDLE file, uint64_t length);

/// A run of bytes in a file.
struct ByteRange {
  uint64_t offset;
  uint64_t size;
};

/// The ranges of `file`'s first `length` bytes that have storage, in
/// order; the rest are holes, which read as zeros. A file that is not
/// sparse has one range. Fails where the file system keeps no such account.
FsStatus AllocatedRanges(HANDLE file, uint64_t length, std::vector<ByteRange>* ranges);

/// Marks the new file `file` sparse, so that what is never written takes
/// no space; fails where its file system has no sparse files (FAT).
FsStatus MakeSparse(HANDLE file);

class ContentDigest;

/// Copies `range` of `in` to the same offsets of `out`, adding each byte to
/// `digest` (may be null). A file that ends before the range does has
/// changed while it was read: kInUse.
FsStatus CopyRange(HANDLE in, HANDLE out, const ByteRange& range, ContentDigest* digest);

/// Gives `file` the length `length`; what it grows by is a hole in a
/// sparse file.
FsStatus SetLength(HANDLE file, uint64_t length);

/// Renames the entry open as `handle` to `to`, never replacing anything.
FsStatus RenameByHandle(HANDLE handle, const std::string& to);

/// The largest file that the volume of `handle` holds: 4 GiB - 1 on FAT,
/// which keeps sizes in 32 bits; no limit elsewhere, or when unknown.
uint64_t LargestFileOn(HANDLE handle);

/// `time` moved into the years that FAT and exFAT can store (1980 to
/// 2107, in any time zone); zero, which leaves a time as it is, stays.
FILETIME StorableOnFat(FILETIME time);

/// Gives `file` these times. A target that cannot store one of them (FAT
/// and exFAT refuse times before 1980) gets the nearest time it can store.
FsStatus SetTimesStorably(HANDLE file, FILETIME created, FILETIME accessed, FILETIME written);

/// Runs `attempt` (a call that sets the last error when it fails) until it
/// succeeds, for about a second while `passing` says its error is one that
/// scanners and deletes still pending cause. Returns ERROR_SUCCESS or the
/// last error.
template <typename Attempt, typename Passing>
DWORD RetryBriefly(Attempt attempt, Passing passing) {
  constexpr int kRetries = 20;
  constexpr DWORD kPauseMs = 50;
  for (int i = 0;; ++i) {
    if (attempt()) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (i >= kRetries || !passing(error)) return error;
    Sleep(kPauseMs);
  }
}

/// The one place where Win32 error codes become FsStatus.
FsStatus StatusFromWin32Error(DWORD error);

/// StatusFromWin32Error(GetLastError()).
FsStatus LastStatus();

/// The UTF-16 path for a Win32 call: always absolute with the "\\?\"
/// prefix, so that long release trees work and no name is reinterpreted
/// ("nul" is a file, "x." keeps its dot). The prefix turns off the API's own
/// tidying, so it is done here: "/" becomes "\", doubled "\" and "." names
/// go, ".." takes the name before it. A path that already has the prefix
/// (or is a "\\.\" device path) stays as written.
std::wstring Win32Path(const std::string& utf8);

/// The system's own (NT) name of `path`, "\\??\\C:\\..." or
/// "\\??\\UNC\\server\\share\\...", as a rename by handle needs it.
std::wstring NtPath(const std::string& utf8);

/// The identity of the open `handle`, as GetFileInformationByHandle gives it.
FsStatus ReadFileId(HANDLE handle, FileId* id);

/// True when the file system of `handle` keeps a file's ID through a rename
/// and never gives it to another entry at the same place: not FAT, FAT32 or
/// exFAT, whose IDs come from the parent folder and the entry's position.
bool IdsLastOn(HANDLE handle);

/// What a Win32 folder learns of the file system through functions it is
/// given, so that a test can show what Wine never does: IDs that change on
/// every rename, as FAT's do, or a rename that NTFS refuses.
struct Win32Hooks {
  std::function<FsStatus(HANDLE handle, FileId* id)> read_id = ReadFileId;
  std::function<bool(HANDLE handle)> ids_last = IdsLastOn;
  /// Renames the entry open as `handle` to `to`, never replacing anything.
  std::function<FsStatus(HANDLE handle, const std::string& to)> rename = RenameByHandle;
};

/// The file system with `hooks` in place of the Win32 calls they stand for.
std::unique_ptr<FileSystem> NewWin32FileSystem(const Win32Hooks& hooks);

/// Opens the folder at `path` itself (a link or junction is not a folder),
/// shared with everyone, for listing and attributes. A drive or volume root
/// keeps its final backslash: without it the path names the volume device.
FsStatus OpenFolderNoFollow(const std::string& path, std::shared_ptr<const Win32Hooks> hooks,
                            std::unique_ptr<Folder>* folder);

/// An ID that says nothing: zero, or all ones, which Windows gives where a
/// file's ID cannot be represented.
inline bool IsNoId(const FileId& id) { return id.file == 0 || id.file == FileId::kNoFile; }

/// The SHA-256 digest of a stream of bytes (CryptoAPI, Windows XP SP3 on).
class ContentDigest {
 public:
  ContentDigest();
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;
  void Add(const char* data, std::size_t size);
  /// Adds `count` zero bytes: a hole of a sparse file reads as zeros.
  void AddZeros(uint64_t count);
  /// The digest of everything added; empty when the system gave no hash,
  /// which never matches another digest.
  std::string Finish();

 private:
  uintptr_t provider_ = 0;
  uintptr_t hash_ = 0;
  bool failed_ = false;
};

/// The digest of the plain file open as `file`, read from its start to the
/// length its handle reports.
FsStatus DigestOf(HANDLE file, std::string* digest);

/// True for a path that names nothing to remove: the empty path and the
/// root of a drive or share, however it is spelled.
bool IsEmptyOrRoot(const std::string& utf8);

/// Owns a file handle and closes it.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  FileHandle& operator=(FileHandle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  /// Closes now; false (with the last error set) when closing failed.
  bool Close();

 private:
  HANDLE handle_;
};

/// Owns a directory search handle.
class SearchHandle {
 public:
  explicit SearchHandle(HANDLE handle) : handle_(handle) {}
  ~SearchHandle() { if (valid()) FindClose(handle_); }
  SearchHandle(const SearchHandle&) = delete;
  SearchHandle& operator=(const SearchHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

/// Starts a directory search for `pattern` that asks only for what the
/// listings use (no short names) and fetches in large batches.
HANDLE StartSearch(const std::string& pattern, WIN32_FIND_DATAW* found);

/// Reads everything from the current position of `file` to its end.
FsStatus ReadAll(HANDLE file, std::string* bytes);

/// Writes all of `bytes` at the current position of `file`.
FsStatus WriteAll(HANDLE file, const char* bytes, std::size_t size);
FsStatus WriteAll(HANDLE file, const std::string& bytes);

}  // namespace ovpre
