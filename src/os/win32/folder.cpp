// A folder held open on Windows. Windows has no lookups relative to an open
// folder for ordinary programs; what keeps a path from being redirected is
// that a folder opened without FILE_SHARE_DELETE can be neither renamed nor
// deleted, nor replaced by a junction, while the handle is open. So every
// folder below the first is opened that way (with FILE_FLAG_OPEN_REPARSE_POINT,
// so a junction is seen as what it is), and the path through those held
// folders names the same thing until they are closed.
#include <cstring>
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

/// Bytes per read when a file is copied or its content passed on in blocks.
constexpr std::size_t kReadBlock = 1 << 20;

bool IsLink(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsReparseTagNameSurrogate(tag.ReparseTag);
}

/// Opens the folder at `path` itself; fails when it is a link or no folder.
FsStatus OpenFolderHandle(const std::string& path, DWORD access, DWORD share, FileHandle* out,
                          BY_HANDLE_FILE_INFORMATION* info) {
  FileHandle handle(CreateFileW(Win32Path(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                kOpenItself, nullptr));
  if (!handle.valid()) return LastStatus();
  if (!GetFileInformationByHandle(handle.get(), info)) return LastStatus();
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      IsLink(handle.get(), info->dwFileAttributes)) {
    return StatusFromWin32Error(ERROR_DIRECTORY);
  }
  std::swap(*out, handle);
  return FsStatus::kOk;
}

bool IsPassing(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY ||
         error == ERROR_ACCESS_DENIED;
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

/// Passes `file` from its current position to its real end to `block`, one
/// large block at a time, until `block` returns false.
FsStatus ReadInBlocks(HANDLE file, const Folder::BlockReader& block) {
  std::vector<char> buffer(kReadBlock);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      return LastStatus();
    }
    // Read to the real end: a file that grows meanwhile is found afterwards.
    if (got == 0 || !block(buffer.data(), got)) return FsStatus::kOk;
  }
}

FsStatus CopyData(HANDLE in, HANDLE out) {
  FsStatus wrote;
  const FsStatus read = ReadInBlocks(in, [&](const char* data, std::size_t size) {
    wrote = WriteAll(out, std::string(data, size));
    return wrote.ok();
  });
  return read.ok() ? wrote : read;
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

  FsStatus Write(const std::string& state) override {
    const LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(file_.get())) {
      return LastStatus();
    }
    const FsStatus wrote = WriteAll(file_.get(), state);
    if (!wrote.ok()) return wrote;
    return FlushFileBuffers(file_.get()) ? FsStatus::kOk : LastStatus();
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
  Win32Folder(std::string path, FileHandle&& handle, bool held)
      : path_(std::move(path)), held_(held) {
    std::swap(handle_, handle);
  }

  FsStatus List(std::vector<FolderItem>* items) override {
    // Through the handle itself: a search by path would open the folder
    // again, and neither the path nor a second opening is to be trusted.
    std::vector<char> buffer(64 * 1024);
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    for (;;) {
      if (!GetFileInformationByHandleEx(handle_.get(), kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size()))) {
        const DWORD error = GetLastError();
        return error == ERROR_NO_MORE_FILES ? FsStatus::kOk : StatusFromWin32Error(error);
      }
      kind = FileFullDirectoryInfo;
      for (std::size_t offset = 0;;) {
        const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer.data() + offset);
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
        OpenFolderHandle(Child(name), kFolderAccess | DELETE, kShareKeepName, &handle, &info);
    if (!status.ok()) return status;
    *folder = std::make_unique<Win32Folder>(Child(name), std::move(handle), true);
    return FsStatus::kOk;
  }

  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    if (!CreateDirectoryW(Win32Path(Child(name)).c_str(), nullptr)) return LastStatus();
    return Open(name, folder);
  }

  FsStatus CopyFileTo(const std::string& name, Folder& target) override {
    FileHandle in(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus opened = OpenPlainFile(name, &in, &info);
    if (!opened.ok()) return opened;
    const std::string to = static_cast<Win32Folder&>(target).Child(name);
    FileHandle out(CreateFileW(Win32Path(to).c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) return LastStatus();
    FsStatus status = CopyData(in.get(), out.get());
    if (status.ok() && !SetFileTime(out.get(), &info.ftCreationTime, &info.ftLastAccessTime,
                                    &info.ftLastWriteTime)) {
      status = LastStatus();
    }
    // On disk before the source can go.
    if (status.ok() && !FlushFileBuffers(out.get())) status = LastStatus();
    if (status.ok()) status = SetAttributes(out.get(), info.dwFileAttributes & kSettableAttributes);
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
    if (!SetFileTime(into, &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime)) {
      return LastStatus();
    }
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
    FsStatus status = Hold();
    BY_HANDLE_FILE_INFORMATION info;
    if (status.ok() && GetFileInformationByHandle(handle_.get(), &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      status = SetAttributes(handle_.get(), info.dwFileAttributes & kSettableAttributes &
                                                ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    if (status.ok()) {
      FILE_DISPOSITION_INFO disposition = {TRUE};
      status = Retrying([&] {
        return SetFileInformationByHandle(handle_.get(), FileDispositionInfo, &disposition,
                                          sizeof disposition);
      });
    }
    // The folder goes when its last handle closes: now.
    handle_.Close();
    return status;
  }

  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    FsStatus status = Hold();
    if (!status.ok()) return status;
    const std::string to = static_cast<Win32Folder&>(target).Child(new_name);
    const std::wstring name = NtPath(to);
    // FILE_RENAME_INFO ends in the name; the struct holds its first letter.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(handle_.get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
      return LastStatus();
    }
    path_ = to;
    return FsStatus::kOk;
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

  // Every copied file was flushed as it was written.
  FsStatus Flush() override { return FsStatus::kOk; }

  FsStatus Examine(const std::string&, FileFacts*) override { return FsStatus::kFailed; }
  uint64_t MaxFileSize() override { return UINT64_MAX; }
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

  /// Opens the plain file `name` inside for reading: a link or junction is
  /// opened as itself and refused, never followed.
  FsStatus OpenPlainFile(const std::string& name, FileHandle* in,
                         BY_HANDLE_FILE_INFORMATION* info) const {
    FileHandle handle(CreateFileW(Win32Path(Child(name)).c_str(), GENERIC_READ, kShareAll,
                                  nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr));
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), info)) return LastStatus();
    if ((info->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      return FsStatus(FsStatus::kNotCopyable);
    }
    std::swap(*in, handle);
    return FsStatus::kOk;
  }

  static void AddItem(const FILE_FULL_DIR_INFO& entry, std::vector<FolderItem>* items) {
    const std::wstring name(entry.FileName, entry.FileNameLength / sizeof(wchar_t));
    if (name == L"." || name == L"..") return;
    FolderItem item;
    item.name = Utf8FromWide(name);
    // For a reparse point, the extended-attribute size holds its tag.
    item.kind = KindOfAttributes(entry.FileAttributes, entry.EaSize);
    if (item.kind == EntryKind::kFile) {
      item.size = static_cast<uint64_t>(entry.EndOfFile.QuadPart);
      item.modified = entry.LastWriteTime.QuadPart;
    }
    items->push_back(std::move(item));
  }

  /// Makes sure this folder is held without FILE_SHARE_DELETE (and may be
  /// renamed or deleted through the handle): kInUse while another running
  /// program holds it so. The new handle must lead to the same folder.
  FsStatus Hold() {
    if (held_) return FsStatus::kOk;
    FileHandle handle(INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION info;
    const FsStatus status =
        OpenFolderHandle(path_, kFolderAccess | DELETE, kShareKeepName, &handle, &info);
    if (!status.ok()) return status;
    FileId mine;
    if (!Identity(&mine).ok() || mine != IdOf(info)) return FsStatus(FsStatus::kSwapped);
    std::swap(handle_, handle);
    held_ = true;
    return FsStatus::kOk;
  }

  std::string path_;
  FileHandle handle_{INVALID_HANDLE_VALUE};
  bool held_;
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
  *folder = std::make_unique<Win32Folder>(tidy, std::move(handle), false);
  return FsStatus::kOk;
}

}  // namespace ovpre
