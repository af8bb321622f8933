// The file system on Windows, through the ...W calls. Paths arrive as UTF-8
// and become UTF-16 (with the long-path prefix where needed) at each call;
// text files are stored in the system code page.
#include "os/win32/folder_parts.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "os/win32/text.h"
#include "platform/file_system.h"
#include "platform/native.h"
#include "text/text.h"

namespace ovpre {

namespace {


/// 100-nanosecond ticks per day, and days from 1601-01-01 (where FILETIME
/// counts from) to 1899-12-30 (where Windows dates count from).
constexpr double kTicksPerDay = 864000000000.0;
constexpr double kDaysFrom1601To1899 = 109205.0;

bool IsHiddenOrSystem(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

/// Days since 1899-12-30 in local time, with the time-zone rules of that
/// day (not of today), as Windows dates count.
double WindowsDate(const FILETIME& utc) {
  SYSTEMTIME universal = {};
  SYSTEMTIME local = {};
  FILETIME local_time = {};
  if (!FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) ||
      !SystemTimeToFileTime(&local, &local_time)) {
    return 0;
  }
  const uint64_t ticks =
      (static_cast<uint64_t>(local_time.dwHighDateTime) << 32) | local_time.dwLowDateTime;
  return static_cast<double>(ticks) / kTicksPerDay - kDaysFrom1601To1899;
}

/// True when `file` is an ordinary file on a disk: not a pipe, console or
/// other device, which a read could wait on forever, and not a folder.
bool IsDiskFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool EndsInSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

/// A search that failed at once: no match is an empty result, not an error.
FsStatus StatusOfEmptySearch(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return FsStatus::kOk;
  return StatusFromWin32Error(error);
}

/// The end of a search loop: running out of names is success.
FsStatus StatusOfFinishedSearch() {
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES ? FsStatus::kOk : StatusFromWin32Error(error);
}

/// The deepest folder of `path` that exists, with a trailing "\\": the
/// folder whose volume would hold `path`, also when a folder on the way is
/// a mount point or a junction to another volume.
std::wstring DeepestExistingFolder(const std::string& path) {
  std::wstring folder = Win32Path(path);
  // Up to "\\?\C:\" or "\\?\UNC\server\share\" at most.
  std::size_t root = folder.find(L'\\', 4);
  if (folder.compare(4, 4, L"UNC\\") == 0) root = folder.find(L'\\', folder.find(L'\\', 8) + 1);
  root = root == std::wstring::npos ? folder.size() : root + 1;
  while (folder.size() > root) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      break;
    }
    const std::size_t cut = folder.find_last_of(L'\\');
    folder.resize(cut < root ? root : cut);
  }
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return folder;
}

/// A name beside `path` for the new content before it replaces the old.
std::string TempNameBeside(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + "." + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter++) + ".tmp";
}

/// Writes `bytes` into a new file at `path` and closes it.
FsStatus WriteNewFile(const std::string& path, const std::string& bytes) {
  FileHandle file(CreateFileW(Win32Path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return LastStatus();
  FsStatus status = WriteAll(file.get(), bytes);
  if (!file.Close() && status == FsStatus::kOk) status = LastStatus();
  // A half-written file must not stay behind as if it were whole.
  if (status != FsStatus::kOk) DeleteFileW(Win32Path(path).c_str());
  return status;
}

/// The errors of a file that another program holds open without sharing
/// deletion (or that a scanner holds for a moment).
bool IsHeldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

/// Writes `bytes` over the file at `path` and cuts it there, so that it
/// ends with exactly the new content.
FsStatus OverwriteInPlace(const std::string& path, const std::string& bytes) {
  FileHandle file(CreateFileW(Win32Path(path).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return LastStatus();
  FsStatus status = WriteAll(file.get(), bytes);
  if (status == FsStatus::kOk && !SetEndOfFile(file.get())) status = LastStatus();
  if (status == FsStatus::kOk && !FlushFileBuffers(file.get())) status = LastStatus();
  if (!file.Close() && status == FsStatus::kOk) status = LastStatus();
  return status;
}

FsStatus ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
  if (path.empty()) return FsStatus::kNotFound;
  std::string temp = TempNameBeside(path);
  FsStatus status = WriteNewFile(temp, bytes);
  for (int attempt = 0; status == FsStatus::kExists && attempt < 10; ++attempt) {
    temp = TempNameBeside(path);
    status = WriteNewFile(temp, bytes);
  }
  if (status != FsStatus::kOk) return status;
  const std::wstring from = Win32Path(temp);
  const std::wstring to = Win32Path(path);
  const DWORD error = RetryBriefly(
      [&] {
        return MoveFileExW(from.c_str(), to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      },
      IsHeldByAnother);
  if (error == ERROR_SUCCESS) return FsStatus::kOk;
  // The server or the bot holds the old file open without letting it be
  // replaced: the new content goes into it in place rather than nowhere.
  status = IsHeldByAnother(error) ? OverwriteInPlace(path, bytes) : StatusFromWin32Error(error);
  DeleteFileW(from.c_str());
  return status;
}

/// Reads the rest of `file` and hands it on as UTF-8, in whichever
/// encoding it was saved (Notepad saves UTF-8 today); `encoding` tells which.
FsStatus ReadStoredText(HANDLE file, std::string* text, StoredEncoding* encoding) {
  std::string bytes;
  const FsStatus status = ReadAll(file, &bytes);
  *encoding = EncodingOf(bytes);
  if (status == FsStatus::kOk) *text = Utf8FromStored(bytes, *encoding);
  return status;
}

/// The path that the open `handle` has, "\\?\"-prefixed, with the volume
/// named as `kind` says; empty (with the last error set) when there is
/// none of that kind.
std::wstring FinalPath(HANDLE handle, DWORD kind) {
  const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, kind);
  if (needed == 0) return L"";
  std::wstring path(needed, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(handle, &path[0], needed, kind);
  if (length == 0 || length >= needed) return L"";
  path.resize(length);
  return path;
}

class Win32FileSystem final : public FileSystem {
 public:
  explicit Win32FileSystem(const Win32Hooks& hooks)
      : hooks_(std::make_shared<const Win32Hooks>(hooks)) {}

  char Separator() const override { return '\\'; }

  std::string FoldCase(const std::string& path) const override { return LowerCaseUtf8(path); }
  bool NamesIgnoreCase() const override { return true; }

  EntryKind KindOf(const std::string& path) override {
    const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::kMissing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::kFolder;
      return (attributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EntryKind::kOther : EntryKind::kFile;
    }
    // Only a search result carries the reparse tag that tells links apart.
    WIN32_FIND_DATAW found;
    SearchHandle search(StartSearch(path, &found));
    // A search result keeps the reparse tag in dwReserved0.
    return search.valid() ? KindOfAttributes(found.dwFileAttributes, found.dwReserved0)
                          : EntryKind::kLink;
  }

  FsStatus IdentityOf(const std::string& path, FileId* id) override {
    return IdentityAt(path, id);
  }

  FsStatus OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) override {
    return OpenFolderNoFollow(path, hooks_, folder);
  }

  FsStatus ResolveFolder(const std::string& path, std::string* resolved) override {
    // Opened through every junction, symbolic link and mounted folder on
    // the way; the handle then tells the path it really has.
    FileHandle folder(CreateFileW(Win32Path(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.valid()) return LastStatus();
    std::wstring final_path;
    // A volume mounted only in a folder has no drive letter: its GUID path
    // serves as well.
    for (const DWORD kind : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
      final_path = FinalPath(folder.get(), kind);
      if (!final_path.empty()) break;
    }
    if (final_path.empty()) {
      // The folder is there, but the system cannot say where it is: never
      // "not found", which would tell a user that the folder is not theirs.
      const DWORD error = GetLastError();
      if (error == ERROR_SUCCESS) return FsStatus::kFailed;
      return FsStatus(FsStatus::kFailed, static_cast<long>(error), SystemMessageText(error));
    }
    *resolved = Utf8FromWide(final_path);
    return FsStatus::kOk;
  }

  bool VisibleFileExists(const std::string& path) override {
    WIN32_FIND_DATAW found;
    SearchHandle search(StartSearch(path, &found));
    if (!search.valid()) return false;
    const std::wstring name = WideFromUtf8(FileNameOf(path, Separator()));
    do {
      constexpr DWORD kNotOrdinary =
          FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
      if ((found.dwFileAttributes & kNotOrdinary) != 0) continue;
      return CompareStringOrdinal(found.cFileName, -1, name.c_str(), -1, TRUE) == CSTR_EQUAL;
    } while (FindNextFileW(search.get(), &found));
    return false;
  }

  FsStatus SearchFolder(const std::string& folder, std::vector<DirEntry>* entries) override {
    // "*.*" matches every name, with a dot or without, as the server's
    // own listings do.
    const std::string pattern = folder + (EndsInSeparator(folder) ? "*.*" : "\\*.*");
    WIN32_FIND_DATAW found;
    SearchHandle search(StartSearch(pattern, &found));
    if (!search.valid()) return StatusOfEmptySearch(GetLastError());
    do {
      if (IsHiddenOrSystem(found.dwFileAttributes)) continue;
      DirEntry entry;
      entry.Name = Utf8FromWide(found.cFileName);
      if (entry.Name != "..") {
        entry.Modified = WindowsDate(found.ftLastWriteTime);
        entry.Attributes = found.dwFileAttributes;
      }
      entries->push_back(std::move(entry));
    } while (FindNextFileW(search.get(), &found));
    return StatusOfFinishedSearch();
  }

  FsStatus FreeBytes(const std::string& path, uint64_t* bytes) override {
    ULARGE_INTEGER for_caller = {};
    // The bytes left to this program's user: below the volume's free space
    // where a disk quota holds the user.
    if (!GetDiskFreeSpaceExW(DeepestExistingFolder(path).c_str(), &for_caller, nullptr, nullptr)) {
      return LastStatus();
    }
    *bytes = for_caller.QuadPart;
    return FsStatus::kOk;
  }

  FsStatus ReadTextFile(const std::string& path, std::string* text) override {
    FileHandle file(CreateFileW(Win32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastStatus();
    if (!IsDiskFile(file.get())) return FsStatus::kFailed;
    // No lock: a group is added by putting a whole new file in place.
    StoredEncoding encoding;
    return ReadStoredText(file.get(), text, &encoding);
  }

  FsStatus WriteTextFile(const std::string& path, const std::string& text) override {
    return ReplaceFileAtomically(path, SystemCodePageFromUtf8(text));
  }

  FsStatus OwnName(const std::string& path, std::string* name) override {
    // A search returns the entry's long name even when the path reaches it
    // through its short alias.
    WIN32_FIND_DATAW found;
    SearchHandle search(StartSearch(path, &found));
    if (!search.valid()) return LastStatus();
    *name = Utf8FromWide(found.cFileName);
    return FsStatus::kOk;
  }

  bool StoresExactly(const std::string& text) override { return FitsSystemCodePage(text); }

  FsStatus CreateTextFile(const std::string& path, const std::string& text) override {
    return WriteNewFile(path, SystemCodePageFromUtf8(text));
  }

  FsStatus TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) override {
    // Shared with nobody: while the handle lives every other open fails,
    // and the lock ends with the handle, however the process ends.
    FileHandle file(CreateFileW(Win32Path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return LastStatus();  // a sharing violation is kInUse
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file.get(), &info)) return LastStatus();
    if (!IsDiskFile(file.get()) ||
        KindOfHandle(file.get(), info.dwFileAttributes) != EntryKind::kFile) {
      return FsStatus(FsStatus::kDenied, 0, "not a plain file");
    }
    *lock = std::make_unique<HandleLock>(std::move(file));
    return FsStatus::kOk;
  }

  FsStatus ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                              std::string* secret) override {
    // The server's account runs this program and every FTP user alike: the
    // file is kept beside the program, which FTP users cannot reach. It is
    // made whole under a name of its own and then moved to its name, never
    // over one that another run made meanwhile.
    for (int attempt = 0; attempt < 2; ++attempt) {
      FileHandle file(CreateFileW(Win32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (file.valid()) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(file.get(), &info)) return LastStatus();
        if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                0 ||
            !IsDiskFile(file.get())) {
          return FsStatus::kDenied;
        }
        return ReadAll(file.get(), secret);
      }
      if (GetLastError() != ERROR_FILE_NOT_FOUND) return LastStatus();
      const std::string temp = TempNameBeside(path);
      const FsStatus written = WriteNewFile(temp, fresh);
      if (!written.ok()) return written;
      const bool moved = MoveFileExW(Win32Path(temp).c_str(), Win32Path(path).c_str(),
                                     MOVEFILE_WRITE_THROUGH) != FALSE;
      if (!moved) DeleteFileW(Win32Path(temp).c_str());
    }
    return FsStatus::kFailed;
  }

  FsStatus AppendText(const std::string& path, const AppendDecision& decide) override {
    return AppendAtEnd(path, decide, false);
  }

  FsStatus AppendUtf8(const std::string& path, const AppendDecision& decide) override {
    return AppendAtEnd(path, decide, true);
  }

  FsStatus AppendByReplacing(const std::string& path, const AppendDecision& decide) override {
    std::string bytes;
    {
      FileHandle file(CreateFileW(Win32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!file.valid() && GetLastError() != ERROR_FILE_NOT_FOUND) return LastStatus();
      if (file.valid()) {
        const FsStatus plain = CheckPlainSingleFile(file.get());
        if (!plain.ok()) return plain;
        const FsStatus read = ReadAll(file.get(), &bytes);
        if (!read.ok()) return read;
      }
    }
    const StoredEncoding encoding = EncodingOf(bytes);
    const std::optional<std::string> addition = decide(Utf8FromStored(bytes, encoding));
    if (!addition) return FsStatus::kOk;
    return ReplaceFileAtomically(path, bytes + StoredFromUtf8(*addition, encoding));
  }

 private:
  /// The lock on a lock file: the handle, shared with nobody, holds it.
  class HandleLock final : public HeldLock {
   public:
    explicit HandleLock(FileHandle file) : file_(std::move(file)) {}

   private:
    FileHandle file_;
  };

  /// kOk for a plain file on a disk with one name; a link, a device or a
  /// file with another name (a hard link, which may be anybody's) is not
  /// written to.
  static FsStatus CheckPlainSingleFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return LastStatus();
    if (!IsDiskFile(file) || KindOfHandle(file, info.dwFileAttributes) != EntryKind::kFile) {
      return FsStatus::kFailed;
    }
    if (info.nNumberOfLinks > 1) {
      return FsStatus(FsStatus::kDenied, 0, "the file has more than one name (a hard link)");
    }
    return FsStatus::kOk;
  }

  /// Up to `size` bytes of `file` from `offset` on.
  static FsStatus ReadAt(HANDLE file, uint64_t offset, std::size_t size, std::string* bytes) {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return LastStatus();
    bytes->assign(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      DWORD got = 0;
      if (!ReadFile(file, &(*bytes)[done], static_cast<DWORD>(size - done), &got, nullptr)) {
        return LastStatus();
      }
      if (got == 0) break;
      done += got;
    }
    bytes->resize(done);
    return FsStatus::kOk;
  }

  /// The encoding `file` (of `length` bytes) is stored in, told from its
  /// first bytes (a byte-order mark) and its last 64 KiB, never the whole
  /// file: the program writes a file in one encoding, so its latest lines
  /// tell it.
  static FsStatus EncodingAtEnds(HANDLE file, uint64_t length, StoredEncoding* encoding) {
    std::string head;
    FsStatus status = ReadAt(file, 0, 3, &head);
    if (!status.ok()) return status;
    if (EncodingOf(head) == StoredEncoding::kUtf8WithMark) {
      *encoding = StoredEncoding::kUtf8WithMark;
      return FsStatus::kOk;
    }
    constexpr uint64_t kWindow = 64 * 1024;
    const uint64_t from = length > kWindow ? length - kWindow : 0;
    std::string window;
    status = ReadAt(file, from, static_cast<std::size_t>(length - from), &window);
    // The window may begin inside a character: its continuation bytes go.
    std::size_t start = 0;
    while (from > 0 && start < 3 && start < window.size() &&
           (static_cast<unsigned char>(window[start]) & 0xC0) == 0x80) {
      ++start;
    }
    *encoding = EncodingOf(window.substr(start));
    return status;
  }

  /// Appends at the end of the file, which `decide` knows only by its last
  /// bytes: in UTF-8 when `utf8`, else in the encoding the file is in.
  static FsStatus AppendAtEnd(const std::string& path, const AppendDecision& decide, bool utf8) {
    FileHandle file(INVALID_HANDLE_VALUE);
    FsStatus status = OpenForAppend(path, &file);
    if (status.ok()) status = CheckPlainSingleFile(file.get());
    LARGE_INTEGER size = {};
    if (status.ok() && !GetFileSizeEx(file.get(), &size)) status = LastStatus();
    if (!status.ok()) return status;
    const uint64_t length = static_cast<uint64_t>(size.QuadPart);
    StoredEncoding encoding = StoredEncoding::kUtf8;
    if (!utf8) status = EncodingAtEnds(file.get(), length, &encoding);
    constexpr uint64_t kTail = 16;
    const uint64_t from = length > kTail ? length - kTail : 0;
    std::string tail;
    if (status.ok()) status = ReadAt(file.get(), from, static_cast<std::size_t>(length - from), &tail);
    if (!status.ok()) return status;
    // Added in the file's own encoding, so that it stays one file.
    const std::optional<std::string> addition = decide(tail);
    if (addition) status = AppendBytes(file.get(), StoredFromUtf8(*addition, encoding));
    if (!file.Close() && status == FsStatus::kOk) status = LastStatus();
    return status;
  }

  /// Opens the regular file at `path`, creating it, for an append;
  /// never through a link or junction at its name, which would let a line
  /// written with the server's rights land in any file. A reparse point
  /// that only keeps the content elsewhere (deduplicated, cloud) is the
  /// file itself: it is opened again as usual and must be the same file.
  static FsStatus OpenForAppend(const std::string& path, FileHandle* file) {
    const std::wstring wide = Win32Path(path);
    const auto open = [&](DWORD flags) {
      return FileHandle(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | flags, nullptr));
    };
    FileHandle itself = open(FILE_FLAG_OPEN_REPARSE_POINT);
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    BY_HANDLE_FILE_INFORMATION seen = {};
    if (!itself.valid() ||
        !GetFileInformationByHandleEx(itself.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandle(itself.get(), &seen)) {
      return LastStatus();
    }
    if (KindOfAttributes(tag.FileAttributes, tag.ReparseTag) != EntryKind::kFile ||
        !IsDiskFile(itself.get())) {
      return FsStatus::kFailed;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      *file = std::move(itself);
      return FsStatus::kOk;
    }
    FileHandle plain = open(0);
    BY_HANDLE_FILE_INFORMATION now = {};
    if (!plain.valid() || !GetFileInformationByHandle(plain.get(), &now)) return LastStatus();
    if (IdOf(now) != IdOf(seen)) return FsStatus::kSwapped;
    *file = std::move(plain);
    return FsStatus::kOk;
  }

  static FsStatus AppendBytes(HANDLE file, const std::string& bytes) {
    const LARGE_INTEGER none = {};
    if (!SetFilePointerEx(file, none, nullptr, FILE_END)) return LastStatus();
    return WriteAll(file, bytes);
  }

  std::shared_ptr<const Win32Hooks> hooks_;
};

}  // namespace

std::unique_ptr<FileSystem> NewWin32FileSystem(const Win32Hooks& hooks) {
  return std::make_unique<Win32FileSystem>(hooks);
}

std::unique_ptr<FileSystem> NewNativeFileSystem() { return NewWin32FileSystem(Win32Hooks()); }

}  // namespace ovpre
