// A folder held open on Windows. Windows has no lookups relative to an open
// folder for ordinary programs; what keeps a path from being redirected is
// that a folder opened without FILE_SHARE_DELETE can be neither renamed nor
// deleted, nor replaced by a junction, while the handle is open. So every
// folder below the first is opened that way (with FILE_FLAG_OPEN_REPARSE_POINT,
// so a junction is seen as what it is), and the path through those held
// folders names the same thing until they are closed.
//
// The held handles ask for no DELETE access: a handle with DELETE would make
// every other program's opening without FILE_SHARE_DELETE fail (an indexer, a
// scanner, a download). Renaming or deleting a folder needs DELETE, though,
// and no second handle can get it while our own held handle refuses to share
// deletion. So a rename or delete closes the held handle, opens the folder
// again by the same path with DELETE (still not sharing deletion, so nobody
// can take it meanwhile), checks that this is the very folder first opened
// (kSwapped otherwise), acts, and holds the folder again without DELETE. The
// path stays trustworthy in that moment: the folders above are held, and a
// swap of this one is caught by its file ID.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/win32/io.h"
#include "os/win32/text.h"

namespace ovpre {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kShareKeepName = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kOpenItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

/// Opens the folder at `path` itself; fails when it is a link or no folder.
FsStatus OpenFolderHandle(const std::string& path, DWORD access, DWORD share, FileHandle* out,
                          BY_HANDLE_FILE_INFORMATION* info) {
  FileHandle handle(CreateFileW(Win32Path(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                kOpenItself, nullptr));
  if (!handle.valid()) return LastStatus();
  if (!GetFileInformationByHandle(handle.get(), info)) return LastStatus();
  if (KindOfHandle(handle.get(), info->dwFileAttributes) != EntryKind::kFolder) {
    return StatusFromWin32Error(ERROR_DIRECTORY);
  }
  std::swap(*out, handle);
  return FsStatus::kOk;
}

bool IsPassing(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY ||
         error == ERROR_ACCESS_DENIED;
}

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

/// Runs a delete, retrying briefly on passing errors.
template <typename Attempt>
FsStatus Retrying(Attempt attempt) {
  return StatusFromWin32Error(RetryBriefly([&] { return attempt() != FALSE; }, IsPassing));
}

FsStatus SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic = {};  // zero times: left as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) return FsStatus::kOk;
  return LastStatus();
}

/// Attributes of a file that some filter presents (deduplicated, cloud,
/// offline, WOF-compressed): the storage of its stub says nothing of its
/// data.
/// The recall attributes are Windows 10's, never set on older systems.
constexpr DWORD kPresented = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE |
                             0x00040000 /* recall on open */ | 0x00400000 /* on data access */;

/// The ranges of `in` (a file with `attributes`, `length` long) to copy
/// into the new file `out`: only those with storage where `in` is sparse
/// and `out` can be made sparse too, so that holes stay holes; all of it
/// where either refuses (a FAT target, an error), or where what is stored
/// is a stub.
std::vector<ByteRange> RangesToCopy(HANDLE in, DWORD attributes, uint64_t length, HANDLE out,
                                    bool* sparse) {
  std::vector<ByteRange> ranges;
  *sparse = (attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0 && (attributes & kPresented) == 0 &&
            AllocatedRanges(in, length, &ranges).ok() && MakeSparse(out).ok();
  if (!*sparse) ranges.assign(1, ByteRange{0, length});
  return ranges;
}

/// Copies `in` (a file with `attributes`) into the new file `out`, up to
/// the length its handle reports: it is open without sharing writes, so
/// that is its real end, and a length that still changes is kInUse.
FsStatus CopyData(HANDLE in, DWORD attributes, HANDLE out) {
  LARGE_INTEGER length = {};
  if (!GetFileSizeEx(in, &length)) return LastStatus();
  const uint64_t size = static_cast<uint64_t>(length.QuadPart);
  bool sparse = false;
  for (const ByteRange& range : RangesToCopy(in, attributes, size, out, &sparse)) {
    const FsStatus copied = CopyRange(in, out, range);
    if (!copied.ok()) return copied;
  }
  // A sparse copy ends in what was never written: a hole, if any.
  const FsStatus ended = sparse ? SetLength(out, size) : FsStatus();
  return ended.ok() ? CheckLength(in, size) : ended;
}

/// A work mark: its file, open without sharing.
class Win32Mark final : public WorkMark {
 public:
  explicit Win32Mark(FileHandle&& file) : file_(std::move(file)) {}

  FsStatus Read(std::string* state) override {
    const LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return LastStatus();
    return ReadAll(file_.get(), state);
  }

  FsStatus Write(const std::string& state, bool durable) override {
    const LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(file_.get())) {
      return LastStatus();
    }
    const FsStatus wrote = WriteAll(file_.get(), state);
    if (!wrote.ok()) return wrote;
    return !durable || FlushFileBuffers(file_.get()) ? FsStatus::kOk : LastStatus();
  }

  FsStatus Remove() override {
    // Gone when the handle closes, which the caller does next.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition,
                                   sizeof disposition)) {
      return FsStatus::kOk;
    }
    return LastStatus();
  }

 private:
  FileHandle file_;
};

class Win32Folder final : public Folder {
 public:
  Win32Folder(std::string path, FileHandle&& handle, bool held, FileId id)
      : path_(std::move(path)), held_(held), id_(id) {
    std::swap(handle_, handle);
  }

  FsStatus List(std::vector<FolderItem>* items) override {
    // Through the handle itself: a search by path would open the folder
    // again, and neither the path nor a second opening is to be trusted.
    // The classes are those of Windows Vista; the "full directory" ones
    // came only with Windows 8.
    listed_.clear();
    std::vector<char> buffer(64 * 1024);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
      if (!GetFileInformationByHandleEx(handle_.get(), kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size()))) {
        const DWORD error = GetLastError();
        return error == ERROR_NO_MORE_FILES ? FsStatus::kOk : StatusFromWin32Error(error);
      }
      kind = FileIdBothDirectoryInfo;
      for (std::size_t offset = 0;;) {
        const auto* entry =
            reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
        AddItem(*entry, items);
        if (entry->NextEntryOffset == 0) break;
        offset += entry->NextEntryOffset;
      }
    }
  }

  FsStatus Open(const std::string& name, std::unique_ptr<Folder>* folder) override {
    // Held without FILE_SHARE_DELETE: nobody renames it or swaps it for a
    // junction while this run works below it.
    FileHandle handle(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus status =
        OpenFolderHandle(Child(name), kFolderAccess, kShareKeepName, &handle, &info);
    if (!status.ok()) return status;
    *folder = std::make_unique<Win32Folder>(Child(name), std::move(handle), true, IdOf(info));
    return FsStatus::kOk;
  }

  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    if (!CreateDirectoryW(Win32Path(Child(name)).c_str(), nullptr)) return LastStatus();
    return Open(name, folder);
  }

  FsStatus OpenOwnersFolder(const std::string& name, std::unique_ptr<Folder>* folder,
                            bool* made) override {
    // One account owns everything the server makes: what matters here is
    // that the name holds a folder, not a junction or a file.
    *made = CreateDirectoryW(Win32Path(Child(name)).c_str(), nullptr) != FALSE;
    if (!*made && GetLastError() != ERROR_ALREADY_EXISTS) return LastStatus();
    const FsStatus status = Open(name, folder);
    if (!*made && (status == FsStatus::kNotFound || status == FsStatus::kFailed)) {
      return FsStatus::kExists;
    }
    return status;
  }

  FsStatus CopyFileTo(const std::string& name, Folder& target, FileFacts* copied) override {
    FileHandle in(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus opened = OpenPlainFile(name, &in, &info);
    if (!opened.ok()) return opened;
    const std::string to = static_cast<Win32Folder&>(target).Child(name);
    FileHandle out(CreateFileW(Win32Path(to).c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) return LastStatus();
    FsStatus status = CopyData(in.get(), info.dwFileAttributes, out.get());
    if (status.ok()) status = FactsOfHandle(in.get(), copied);
    if (status.ok()) {
      status = SetTimesStorably(out.get(), info.ftCreationTime, info.ftLastAccessTime,
                                info.ftLastWriteTime);
    }
    // On disk before the source can go.
    if (status.ok() && !FlushFileBuffers(out.get())) status = LastStatus();
    // The copy holds all its data: an offline mark would be false on it.
    const DWORD offline = FILE_ATTRIBUTE_OFFLINE;
    const DWORD attributes = info.dwFileAttributes & kSettableAttributes & ~offline;
    if (status.ok()) status = SetAttributes(out.get(), attributes);
    if (!out.Close() && status.ok()) status = LastStatus();
    if (!status.ok()) DeleteFileW(Win32Path(to).c_str());
    return status;
  }

  FsStatus ReadBlocks(const std::string& name, const BlockReader& block) override {
    FileHandle in(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus opened = OpenPlainFile(name, &in, &info);
    if (!opened.ok()) return opened;
    return ReadInBlocks(in.get(), block);
  }

  FsStatus CopyLinkTo(const std::string&, Folder&) override {
    // Creating a symbolic link needs a privilege that the server's account
    // normally lacks. Refusing keeps the source whole: a release holding a
    // link can only be pre'd on its own drive, where it is renamed.
    return FsStatus(FsStatus::kNotCopyable, ERROR_NOT_SUPPORTED,
                    SystemMessageText(ERROR_NOT_SUPPORTED));
  }

  FsStatus CopyOwnAttributesTo(Folder& target) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_.get(), &info)) return LastStatus();
    const HANDLE into = static_cast<Win32Folder&>(target).handle_.get();
    const FsStatus timed =
        SetTimesStorably(into, info.ftCreationTime, info.ftLastAccessTime, info.ftLastWriteTime);
    if (!timed.ok()) return timed;
    return SetAttributes(into, info.dwFileAttributes & kSettableAttributes);
  }

  FsStatus RemoveFile(const std::string& name) override {
    const std::wstring wide = Win32Path(Child(name));
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastStatus();
    const bool folder_entry = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (folder_entry && !link) return StatusFromWin32Error(ERROR_DIRECTORY);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) ClearReadOnly(Child(name));
    // A link to a folder is a folder entry itself: removing it as a folder
    // removes the link and never anything it points to.
    return Retrying([&] {
      return folder_entry ? RemoveDirectoryW(wide.c_str()) : DeleteFileW(wide.c_str());
    });
  }

  FsStatus RemoveSelf() override {
    FileHandle doomed(INVALID_HANDLE_VALUE);
    FsStatus status = TakeForDelete(&doomed, true);
    BY_HANDLE_FILE_INFORMATION info;
    if (status.ok() && GetFileInformationByHandle(doomed.get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      status = SetAttributes(doomed.get(), info.dwFileAttributes & kSettableAttributes &
                                               ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (status.ok()) {
      FILE_DISPOSITION_INFO disposition = {TRUE};
      status = Retrying([&] {
        return SetFileInformationByHandle(doomed.get(), FileDispositionInfo, &disposition,
                                          sizeof disposition);
      });
    }
    // The folder goes when its last handle closes: now.
    return status;
  }

  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    const std::string to = static_cast<Win32Folder&>(target).Child(new_name);
    FileHandle mover(INVALID_HANDLE_VALUE);
    FsStatus status = TakeForDelete(&mover, false);
    if (status.ok()) status = RenameByHandle(mover.get(), to);
    mover.Close();
    if (status.ok()) path_ = to;
    const FsStatus held = HoldAgain();
    // A failed rename says why, unless the folder is not even ours now.
    if (!status.ok() && held != FsStatus::kSwapped) return status;
    // Renamed, and at once something else stands at the new name: nothing
    // of this run's to hand back, and that something is not ours to touch.
    if (status.ok() && held == FsStatus::kSwapped) {
      const DWORD error = ERROR_FILE_INVALID;
      return FsStatus(FsStatus::kSwapped, static_cast<long>(error), SystemMessageText(error));
    }
    return held;
  }

  FsStatus Identity(FileId* id) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_.get(), &info)) return LastStatus();
    *id = IdOf(info);
    return FsStatus::kOk;
  }

  FsStatus IdentityOf(const std::string& name, FileId* id) override {
    return IdentityAt(Child(name), id);
  }

  FsStatus SetHidden(bool hidden) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_.get(), &info)) return LastStatus();
    DWORD attributes = info.dwFileAttributes & kSettableAttributes;
    attributes = hidden ? attributes | FILE_ATTRIBUTE_HIDDEN
                        : attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN);
    return SetAttributes(handle_.get(), attributes);
  }

  FsStatus Flush() override {
    // Every copied file was flushed as it was written; what is left is the
    // folder's own entries. Windows documents FlushFileBuffers for files and
    // volumes only: a file system that refuses a folder says so, and that
    // refusal is reported, not taken for a failure.
    FileHandle folder(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus opened =
        OpenFolderHandle(path_, GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll, &folder, &info);
    if (opened.ok() && IdOf(info) != id_) return FsStatus(FsStatus::kSwapped);
    const DWORD error = !opened.ok()                       ? static_cast<DWORD>(opened.os_error())
                        : FlushFileBuffers(folder.get()) ? ERROR_SUCCESS
                                                         : GetLastError();
    if (error == ERROR_SUCCESS) return FsStatus::kOk;
    return FsStatus(FsStatus::kOk, static_cast<long>(error), SystemMessageText(error));
  }

  FsStatus Examine(const std::string& name, FileFacts* facts) override {
    return ExamineEntry(Child(name), facts);
  }
  uint64_t MaxFileSize() override { return LargestFileOn(handle_.get()); }
  FsStatus OpenWorkFolder(const std::string& name, std::unique_ptr<Folder>* folder) override {
    const bool made = CreateDirectoryW(Win32Path(Child(name)).c_str(), nullptr) != FALSE;
    if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return LastStatus();
    FsStatus status = Open(name, folder);
    // A file or a junction at the name: not a folder this program may use.
    if (!made && status == FsStatus::kNotFound) return FsStatus::kExists;
    if (status.ok()) status = (*folder)->SetHidden(true);
    return status;
  }

  FsStatus OpenMark(const std::string& name, bool create,
                    std::unique_ptr<WorkMark>* mark) override {
    // Shared with nobody: while this handle is open, no other run can open
    // the mark, which is the claim; DELETE lets the holder remove it.
    FileHandle file(CreateFileW(Win32Path(Child(name)).c_str(),
                                GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                create ? CREATE_NEW : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return LastStatus();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) return LastStatus();
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        GetFileType(file.get()) != FILE_TYPE_DISK) {
      return FsStatus::kNotCopyable;
    }
    *mark = std::make_unique<Win32Mark>(std::move(file));
    return FsStatus::kOk;
  }

 private:
  std::string Child(const std::string& name) const { return path_ + "\\" + name; }

  /// Opens the plain file `name` inside for reading, sharing reading only:
  /// kInUse while a writer holds it, and nobody writes, renames or deletes
  /// it while it is open. The entry is opened as itself first, so a link or
  /// junction is refused, never followed. Any other reparse point (a
  /// deduplicated, compressed, offline or cloud file) is opened once more
  /// through its filter, to read what it presents; the entry, held all the
  /// while, must be what that opening reached, and the file the listing
  /// showed under that name (kSwapped otherwise).
  FsStatus OpenPlainFile(const std::string& name, FileHandle* in,
                         BY_HANDLE_FILE_INFORMATION* info) const {
    const std::wstring path = Win32Path(Child(name));
    const auto open = [&](DWORD flags) {
      return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         flags | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    };
    FileHandle entry(open(FILE_FLAG_OPEN_REPARSE_POINT));
    if (!entry.valid() || !GetFileInformationByHandle(entry.get(), info)) return LastStatus();
    if (KindOfHandle(entry.get(), info->dwFileAttributes) != EntryKind::kFile) {
      return FsStatus(FsStatus::kNotCopyable);
    }
    const FileId itself = IdOf(*info);
    if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      FileHandle presented(open(0));
      if (!presented.valid() || !GetFileInformationByHandle(presented.get(), info)) {
        return LastStatus();
      }
      if (IdOf(*info) != itself) return FsStatus(FsStatus::kSwapped);
      std::swap(entry, presented);
    }
    const auto listed = listed_.find(name);
    if (listed != listed_.end() && listed->second != 0 && listed->second != itself.file) {
      return FsStatus(FsStatus::kSwapped);
    }
    std::swap(*in, entry);
    return FsStatus::kOk;
  }

  void AddItem(const FILE_ID_BOTH_DIR_INFO& entry, std::vector<FolderItem>* items) {
    const std::wstring name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
    if (name == L"." || name == L"..") return;
    FolderItem item;
    item.name = Utf8FromWide(name);
    // For a reparse point, the extended-attribute size holds its tag.
    item.kind = KindOfAttributes(entry.FileAttributes, entry.EaSize);
    if (item.kind == EntryKind::kFile) {
      item.size = static_cast<uint64_t>(entry.EndOfFile.QuadPart);
      item.modified = entry.LastWriteTime.QuadPart;
      item.changed = entry.ChangeTime.QuadPart;
      item.number = static_cast<uint64_t>(entry.FileId.QuadPart);
      listed_[item.name] = item.number;
    }
    items->push_back(std::move(item));
  }

  /// Opens this folder again by its path, with `access`, and makes sure it
  /// is still the folder first opened: kSwapped otherwise.
  FsStatus Reopen(DWORD access, DWORD share, FileHandle* out) const {
    BY_HANDLE_FILE_INFORMATION info;
    FileHandle handle(INVALID_HANDLE_VALUE);
    const FsStatus status = OpenFolderHandle(path_, access, share, &handle, &info);
    if (!status.ok()) return status;
    if (IdOf(info) != id_) return FsStatus(FsStatus::kSwapped);
    std::swap(*out, handle);
    return FsStatus::kOk;
  }

  /// Trades the held handle for one with DELETE access, not sharing
  /// deletion (see the top of this file); with `patient`, waits briefly for
  /// a scanner that holds the folder for a moment.
  FsStatus TakeForDelete(FileHandle* out, bool patient) {
    handle_.Close();
    const auto reopen = [&] { return Reopen(kFolderAccess | DELETE, kShareKeepName, out); };
    return patient ? RetryingWhileShared(reopen) : reopen();
  }

  /// Holds the folder again after a rename or delete attempt, without
  /// DELETE access and without sharing deletion. Only the first folder,
  /// which was never held so, may stay shared with everyone when another
  /// program keeps it from that.
  FsStatus HoldAgain() {
    FsStatus status =
        RetryingWhileShared([&] { return Reopen(kFolderAccess, kShareKeepName, &handle_); });
    if (status.ok()) held_ = true;
    if (status == FsStatus::kInUse && !held_) status = Reopen(kFolderAccess, kShareAll, &handle_);
    return status;
  }

  std::string path_;
  FileHandle handle_{INVALID_HANDLE_VALUE};
  bool held_;  // held without FILE_SHARE_DELETE
  FileId id_;  // the folder first opened
  std::map<std::string, uint64_t> listed_;  // file numbers of the last listing
};

}  // namespace

FsStatus OpenFolderNoFollow(const std::string& path, std::unique_ptr<Folder>* folder) {
  FileHandle handle(INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info;
  // Shared with everyone: a target folder stays usable for other runs.
  const FsStatus status = OpenFolderHandle(path, kFolderAccess, kShareAll, &handle, &info);
  if (!status.ok()) return status;
  std::string tidy = path;
  while (tidy.size() > 3 && (tidy.back() == '\\' || tidy.back() == '/')) tidy.pop_back();
  *folder = std::make_unique<Win32Folder>(tidy, std::move(handle), false, IdOf(info));
  return FsStatus::kOk;
}

}  // namespace ovpre
