// A folder held open on Windows. Windows has no lookups relative to an open
// folder for ordinary programs; what keeps a path from being redirected is
// that a folder opened without FILE_SHARE_DELETE can be neither renamed nor
// deleted, nor replaced by a junction, while the handle is open. So every
// folder below the first is opened that way (with FILE_FLAG_OPEN_REPARSE_POINT,
// so a junction is seen as what it is), and the path through those held
// folders names the same thing until they are closed.
//
// Where file IDs last (NTFS), the held handles ask for no DELETE access: a
// handle with DELETE would make every other program's opening without
// FILE_SHARE_DELETE fail (an indexer, a scanner, a download). Renaming or
// deleting a folder needs DELETE, though, and no second handle can get it
// while our own held handle refuses to share deletion. So a rename or delete
// closes the held handle, opens the folder again by the same path with DELETE
// (still not sharing deletion, so nobody can take it meanwhile), checks that
// this is the very folder first opened (kSwapped otherwise), and acts. After a
// rename the folder is held again through that handle itself (ReOpenFile),
// never through its new path: what happened is reported as it happened.
//
// Where IDs do not last (FAT, FAT32, exFAT give an ID from the parent folder
// and the entry's place, so a rename changes it and another folder at the
// same place gets it; an ID of zero or all ones says nothing), an ID cannot
// tell that a path still leads to the same folder. There every folder below
// the first that may be renamed (a release in a configured folder, a folder
// this run made) is held with DELETE from its first opening and renamed and
// deleted through that very handle. After a rename it is held without
// DELETE again (others could not even list it otherwise), with the ID its
// new place gives it; a later rename takes DELETE again by its path as on
// NTFS, while the held handle has kept anyone from renaming it meanwhile.
// Where IDs say nothing at all, it keeps DELETE to the end.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/win32/folder_parts.h"
#include "os/win32/rights.h"
#include "os/win32/text.h"

namespace ovpre {

namespace {

constexpr DWORD kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;

/// How a folder is held open.
enum class Hold {
  kShared,      // shared with everyone: a configured folder, or one that
                // another program kept from being held otherwise
  kKeepName,    // without DELETE, not sharing deletion: the name stays
  kWithDelete,  // with DELETE, not sharing deletion: renamed and deleted
                // through this handle
};

/// A folder whose path no longer leads to it: nothing more is done there.
FsStatus Lost() { return FsStatus(FsStatus::kSwapped); }

/// What the folders opened from one first folder share.
struct Volume {
  std::shared_ptr<const Win32Hooks> hooks;
  bool ids_last = true;   // IDs here survive a rename and are no one else's
  bool ids_known = true;  // IDs here are neither zero nor all ones
};

class Win32Folder final : public Folder {
 public:
  Win32Folder(std::string path, FileHandle&& handle, Hold hold, FileId id,
              std::shared_ptr<const Volume> volume, std::shared_ptr<StagedFiles> staged)
      : path_(std::move(path)), hold_(hold), first_(hold == Hold::kShared), id_(id),
        volume_(std::move(volume)), staged_(std::move(staged)) {
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
    // What a configured folder holds may be a release, renamed next.
    return OpenChild(name, staged_, first_, folder);
  }

  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    if (lost_) return Lost();
    if (!CreateDirectoryW(Win32Path(Child(name)).c_str(), nullptr)) return LastStatus();
    // A folder this run made starts (or joins) an account of what it stages.
    std::shared_ptr<StagedFiles> staged = staged_ ? staged_ : std::make_shared<StagedFiles>();
    staged->folders.insert(Child(name));
    return OpenChild(name, staged, true, folder);
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
    auto& into = static_cast<Win32Folder&>(target);
    if (lost_ || into.lost_) return Lost();
    FileHandle in(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus opened = OpenPlainFile(name, &in, &info);
    if (!opened.ok()) return opened;
    const std::string to = into.Child(name);
    FileHandle out(CreateFileW(Win32Path(to).c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) return LastStatus();
    std::string digest;
    FsStatus status = CopyData(in.get(), info.dwFileAttributes, out.get(), &digest);
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
    if (status.ok() && into.staged_) into.staged_->digests[to] = digest;
    return status;
  }

  FsStatus ReadBlocks(const std::string& name, const BlockReader& block) override {
    if (lost_) return Lost();
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
    if (lost_) return Lost();
    // A file looked at last by Examine goes only while it is still what
    // that look showed, and a writer is never waited out: it keeps the file.
    const auto examined = examined_.find(name);
    if (examined != examined_.end()) {
      const FileFacts seen = examined->second;
      examined_.erase(examined);
      return RemoveThroughHandle(Child(name), &seen);
    }
    // This program's own files: a scanner may hold one for a moment.
    return RetryingWhileShared([&] { return RemoveThroughHandle(Child(name), nullptr); });
  }

  FsStatus RemoveSelf() override {
    FileHandle doomed(INVALID_HANDLE_VALUE);
    FsStatus status = FsStatus::kOk;
    if (hold_ == Hold::kWithDelete) {
      std::swap(doomed, handle_);
    } else {
      status = TakeForDelete(&doomed, true);
    }
    if (status.ok()) status = ClearReadOnly(doomed.get());
    if (status.ok()) {
      FILE_DISPOSITION_INFO disposition = {TRUE};
      status = StatusFromWin32Error(RetryBriefly(
          [&] {
            return SetFileInformationByHandle(doomed.get(), FileDispositionInfo, &disposition,
                                              sizeof disposition) != FALSE;
          },
          [](DWORD error) {
            return error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY ||
                   error == ERROR_ACCESS_DENIED;
          }));
    }
    // The folder goes when its last handle closes: now.
    return status;
  }

  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    if (lost_) return Lost();
    const std::string to = static_cast<Win32Folder&>(target).Child(new_name);
    if (staged_ && staged_->Made(path_)) {
      const FsStatus unchanged = CheckStagedTree(*this, path_, *staged_);
      if (!unchanged.ok()) return unchanged;
    }
    if (hold_ == Hold::kWithDelete) {
      const FsStatus status = Rename(handle_.get(), to);
      if (!status.ok()) return status;
      Renamed(to);
      // Held without DELETE again, so that others (a listing, the server)
      // may open it; where IDs say nothing, it could never be found again.
      if (!volume_->ids_known) return status;
      FileHandle mover(INVALID_HANDLE_VALUE);
      std::swap(mover, handle_);
      HoldThrough(std::move(mover));
      return status;
    }
    FileHandle mover(INVALID_HANDLE_VALUE);
    const FsStatus taken = TakeForDelete(&mover, false);
    if (!taken.ok()) {
      // Not renamed: held again as before, unless the name leads elsewhere.
      const FsStatus held = HoldAgain();
      return held == FsStatus::kSwapped ? held : taken;
    }
    const FsStatus status = Rename(mover.get(), to);
    if (status.ok()) Renamed(to);
    HoldThrough(std::move(mover));
    return status;
  }

  FsStatus Identity(FileId* id) override { return volume_->hooks->read_id(handle_.get(), id); }

  FsStatus IdentityOf(const std::string& name, FileId* id) override {
    if (lost_) return Lost();
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
    // folder's own entries, flushed through a handle to this very folder
    // (never its path, which for a root could name the volume device).
    // Windows documents FlushFileBuffers for files and volumes only: a file
    // system that refuses a folder says so, and that refusal is reported
    // with the result, which stays ok.
    FileHandle folder(ReOpenFile(handle_.get(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, kShareAll,
                                 kOpenItself));
    const DWORD error = !folder.valid()                  ? GetLastError()
                        : FlushFileBuffers(folder.get()) ? ERROR_SUCCESS
                                                         : GetLastError();
    if (error == ERROR_SUCCESS) return FsStatus::kOk;
    return FsStatus(FsStatus::kOk, static_cast<long>(error), SystemMessageText(error));
  }

  FsStatus Examine(const std::string& name, FileFacts* facts) override {
    if (lost_) return Lost();
    const FsStatus status = ExamineEntry(Child(name), facts);
    if (status.ok()) examined_[name] = *facts;
    return status;
  }

  FsStatus RemoveFileIfUnchanged(const FolderItem& expected) override {
    if (lost_) return Lost();
    // Looked at and removed through one handle that shares reading only: a
    // writer that holds the file, or tries to open it meanwhile, keeps it.
    FileFacts seen;
    seen.kind = expected.kind;
    seen.size = expected.size;
    seen.changed = expected.changed;
    seen.number = expected.number;
    return RemoveThroughHandle(Child(expected.name), &seen);
  }

  uint64_t MaxFileSize() override { return LargestFileOn(handle_.get()); }

  FsStatus OpenWorkFolder(const std::string& name, std::unique_ptr<Folder>* folder) override {
    if (lost_) return Lost();
    // Private to this program's account, while what is made inside gets
    // the target's rights, as if made there.
    NewRights rights;
    rights.MakeForWorkFolder(handle_.get());
    const bool made = CreateDirectoryW(Win32Path(Child(name)).c_str(), rights.get()) != FALSE;
    if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return LastStatus();
    // Never renamed, and shared by every pre into this target.
    FsStatus status = OpenChild(name, staged_, false, folder);
    // A file or a junction at the name: not a folder this program may use.
    if (!made && status == FsStatus::kNotFound) return FsStatus::kExists;
    if (status.ok()) status = (*folder)->SetHidden(true);
    return status;
  }

  FsStatus OpenMark(const std::string& name, bool create,
                    std::unique_ptr<WorkMark>* mark) override {
    if (lost_) return Lost();
    // Shared with nobody: while this handle is open, no other run can open
    // the mark, which is the claim; DELETE lets the holder remove it. A new
    // one is private to this program's user.
    NewRights private_to_user;
    if (create) private_to_user.MakePrivate(false);
    FileHandle file(CreateFileW(Win32Path(Child(name)).c_str(),
                                GENERIC_READ | GENERIC_WRITE | DELETE, 0, private_to_user.get(),
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
  std::string Child(const std::string& name) const { return ChildPath(path_, name); }

  /// Opens the folder `name` inside; `renamed` when it may be renamed next
  /// (a release, or a folder this run made).
  FsStatus OpenChild(const std::string& name, std::shared_ptr<StagedFiles> staged, bool renamed,
                     std::unique_ptr<Folder>* folder) {
    if (lost_) return Lost();
    // Held without FILE_SHARE_DELETE: nobody renames it or swaps it for a
    // junction while this run works below it.
    const Hold hold = volume_->ids_last || !renamed ? Hold::kKeepName : Hold::kWithDelete;
    const DWORD access = hold == Hold::kWithDelete ? kFolderAccess | DELETE : kFolderAccess;
    FileHandle handle(INVALID_HANDLE_VALUE);
    FsStatus status = OpenFolderHandle(Child(name), access, kShareKeepName, &handle);
    FileId id;
    if (status.ok()) status = volume_->hooks->read_id(handle.get(), &id);
    if (!status.ok()) return status;
    *folder = std::make_unique<Win32Folder>(Child(name), std::move(handle), hold, id, volume_,
                                            std::move(staged));
    return FsStatus::kOk;
  }

  /// Renames the folder open as `handle` (with DELETE) to `to`. The folder
  /// is held with DELETE and its new parent is one this run writes in: what
  /// NTFS denies then is a folder with files below it open (Wine never
  /// refuses that), which is what the user is told.
  FsStatus Rename(HANDLE handle, const std::string& to) {
    const FsStatus status = volume_->hooks->rename(handle, to);
    if (status != FsStatus::kDenied) return status;
    return FsStatus(FsStatus::kInUse, status.os_error(), status.os_text());
  }

  /// After a rename: the folder's new path.
  void Renamed(const std::string& to) {
    path_ = to;
    listed_.clear();
  }

  /// The ID the folder held as `handle` has now: on FAT a rename changes it.
  void RefreshId(HANDLE handle) {
    FileId id;
    if (volume_->hooks->read_id(handle, &id).ok()) id_ = id;
  }

  /// Holds the folder that `mover` holds with DELETE again without it,
  /// through the handle itself and never its path: first a handle that
  /// shares deletion (the mover's DELETE allows no other), then, with the
  /// mover closed, one that does not. Another program that opens the folder
  /// with DELETE in that moment keeps it shared; nothing that happened is
  /// undone or reported otherwise.
  void HoldThrough(FileHandle mover) {
    FileHandle shared(ReOpenFile(mover.get(), kFolderAccess, kShareAll, kOpenItself));
    if (!shared.valid()) {
      std::swap(handle_, mover);
      hold_ = Hold::kWithDelete;
      RefreshId(handle_.get());
      return;
    }
    mover.Close();
    RefreshId(shared.get());
    FileHandle kept(ReOpenFile(shared.get(), kFolderAccess, kShareKeepName, kOpenItself));
    hold_ = kept.valid() ? Hold::kKeepName : Hold::kShared;
    std::swap(handle_, kept.valid() ? kept : shared);
    // Renamed by someone else in the moment it was shared: the path no
    // longer leads here, and nothing is done through it.
    FileId there;
    if (hold_ == Hold::kKeepName && (!IdentityAtPath(&there).ok() || there != id_)) lost_ = true;
  }

  /// The ID of what this folder's path leads to now.
  FsStatus IdentityAtPath(FileId* id) const {
    FileHandle now(CreateFileW(Win32Path(path_).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, kOpenItself, nullptr));
    if (!now.valid()) return LastStatus();
    return volume_->hooks->read_id(now.get(), id);
  }

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
    FileHandle handle(INVALID_HANDLE_VALUE);
    FsStatus status = OpenFolderHandle(path_, access, share, &handle);
    FileId id;
    if (status.ok()) status = volume_->hooks->read_id(handle.get(), &id);
    if (!status.ok()) return status;
    if (id != id_ || IsNoId(id)) return FsStatus(FsStatus::kSwapped);
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

  /// Holds the folder again by its path after a rename that did not take
  /// place, as it was held before: without DELETE access and without
  /// sharing deletion, or, where it was shared, shared again.
  FsStatus HoldAgain() {
    if (hold_ == Hold::kShared) return Reopen(kFolderAccess, kShareAll, &handle_);
    return RetryingWhileShared([&] { return Reopen(kFolderAccess, kShareKeepName, &handle_); });
  }

  std::string path_;
  FileHandle handle_{INVALID_HANDLE_VALUE};
  Hold hold_;
  bool first_;  // a configured folder, opened by its path
  FileId id_;    // the folder first opened, as its last rename left it
  bool lost_ = false;  // its path no longer leads to it
  std::shared_ptr<const Volume> volume_;
  std::shared_ptr<StagedFiles> staged_;  // null where this run staged nothing
  std::map<std::string, uint64_t> listed_;   // file numbers of the last listing
  std::map<std::string, FileFacts> examined_;  // what Examine saw last, by name
};

}  // namespace

FsStatus OpenFolderNoFollow(const std::string& path, std::shared_ptr<const Win32Hooks> hooks,
                            std::unique_ptr<Folder>* folder) {
  // A root keeps its final "\": "\\?\F:" is the volume device, not its
  // root folder; any other folder loses it.
  std::string tidy = path;
  const bool root = IsEmptyOrRoot(path);
  while (!root && tidy.size() > 3 && (tidy.back() == '\\' || tidy.back() == '/')) tidy.pop_back();
  if (root && !tidy.empty() && tidy.back() != '\\' && tidy.back() != '/') tidy += '\\';
  FileHandle handle(INVALID_HANDLE_VALUE);
  // Shared with everyone: a target folder stays usable for other runs.
  FsStatus status = OpenFolderHandle(tidy, kFolderAccess, kShareAll, &handle);
  FileId id;
  if (status.ok()) status = hooks->read_id(handle.get(), &id);
  if (!status.ok()) return status;
  auto volume = std::make_shared<Volume>();
  volume->ids_known = !IsNoId(id);
  volume->ids_last = hooks->ids_last(handle.get()) && volume->ids_known;
  volume->hooks = std::move(hooks);
  *folder = std::make_unique<Win32Folder>(tidy, std::move(handle), Hold::kShared, id,
                                          std::move(volume), nullptr);
  return FsStatus::kOk;
}

}  // namespace ovpre
