#include "os/win32/folder_parts.h"

#include <iterator>
#include <memory>
#include <vector>

namespace ovpre {

namespace {

/// Attributes of a file that some filter presents (deduplicated, cloud,
/// offline, WOF-compressed): the storage of its stub says nothing of its
/// data. The recall attributes are Windows 10's, never set on older systems.
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

/// True when `now` is the file that `seen` showed.
bool SameFacts(const FileFacts& seen, const FileFacts& now) {
  return seen.kind == now.kind && seen.size == now.size && seen.changed == now.changed &&
         (seen.number == 0 || now.number == 0 || seen.number == now.number);
}

/// Checks the staged folder `folder` at `path`; counts its files into `files`.
FsStatus CheckStagedFolder(Folder& folder, const std::string& path, const StagedFiles& staged,
                           std::size_t* files) {
  std::vector<FolderItem> items;
  FsStatus status = folder.List(&items);
  for (const FolderItem& item : items) {
    if (!status.ok()) break;
    const std::string child = ChildPath(path, item.name);
    if (item.kind == EntryKind::kFolder && staged.Made(child)) {
      std::unique_ptr<Folder> below;
      status = folder.Open(item.name, &below);
      if (status.ok()) status = CheckStagedFolder(*below, child, staged, files);
      continue;
    }
    const auto recorded = staged.digests.find(child);
    if (item.kind != EntryKind::kFile || recorded == staged.digests.end()) {
      return FsStatus(FsStatus::kSwapped);
    }
    FileHandle file(CreateFileW(Win32Path(child).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::string digest;
    // A writer holding it, or bytes other than those written: changed.
    if (!file.valid() || !DigestOf(file.get(), &digest).ok() || digest.empty() ||
        digest != recorded->second) {
      return FsStatus(FsStatus::kSwapped);
    }
    ++*files;
  }
  return status;
}

}  // namespace

FsStatus ClearReadOnly(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return LastStatus();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return FsStatus::kOk;
  return SetAttributes(handle, info.dwFileAttributes & kSettableAttributes &
                                   ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

FsStatus RemoveThroughHandle(const std::string& path, const FileFacts* seen) {
  FileHandle entry(CreateFileW(Win32Path(path).c_str(),
                               DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, kOpenItself, nullptr));
  if (!entry.valid()) return LastStatus();
  FileFacts now;
  FsStatus status = FactsOfHandle(entry.get(), &now);
  if (!status.ok()) return status;
  if (now.kind == EntryKind::kFolder) return StatusFromWin32Error(ERROR_DIRECTORY);
  if (seen && !SameFacts(*seen, now)) return FsStatus(FsStatus::kSwapped);
  if (seen && HasNamedStreams(entry.get())) {
    return FsStatus(FsStatus::kNotCopyable, ERROR_NOT_SUPPORTED,
                    "it has named streams, which a copy does not carry");
  }
  status = ClearReadOnly(entry.get());
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (status.ok() && !SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition,
                                                 sizeof disposition)) {
    status = LastStatus();
  }
  return status;
}

FsStatus CheckStagedTree(Folder& tree, const std::string& path, const StagedFiles& staged) {
  std::size_t files = 0;
  const FsStatus status = CheckStagedFolder(tree, path, staged, &files);
  if (!status.ok()) return status;
  return files == staged.FilesBelow(path) ? FsStatus::kOk : FsStatus(FsStatus::kSwapped);
}

FsStatus SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic = {};  // zero times: left as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) return FsStatus::kOk;
  return LastStatus();
}

FsStatus CopyData(HANDLE in, DWORD attributes, HANDLE out, std::string* digest) {
  LARGE_INTEGER length = {};
  if (!GetFileSizeEx(in, &length)) return LastStatus();
  const uint64_t size = static_cast<uint64_t>(length.QuadPart);
  bool sparse = false;
  ContentDigest content;
  uint64_t digested = 0;
  for (const ByteRange& range : RangesToCopy(in, attributes, size, out, &sparse)) {
    content.AddZeros(range.offset - digested);
    const FsStatus copied = CopyRange(in, out, range, &content);
    if (!copied.ok()) return copied;
    digested = range.offset + range.size;
  }
  content.AddZeros(size - digested);
  *digest = content.Finish();
  // A sparse copy ends in what was never written: a hole, if any.
  const FsStatus ended = sparse ? SetLength(out, size) : FsStatus();
  return ended.ok() ? CheckLength(in, size) : ended;
}

bool HasNamedStreams(HANDLE file) {
  std::vector<char> buffer(64 * 1024);
  if (!GetFileInformationByHandleEx(file, FileStreamInfo, buffer.data(),
                                    static_cast<DWORD>(buffer.size()))) {
    // A full buffer is many streams; any other refusal is a file system
    // without them.
    return GetLastError() == ERROR_MORE_DATA;
  }
  const std::wstring main_data = L"::$DATA";
  for (std::size_t offset = 0;;) {
    const auto* stream = reinterpret_cast<const FILE_STREAM_INFO*>(buffer.data() + offset);
    const std::wstring name(stream->StreamName, stream->StreamNameLength / sizeof(wchar_t));
    if (name != main_data) return true;
    if (stream->NextEntryOffset == 0) return false;
    offset += stream->NextEntryOffset;
  }
}

std::size_t StagedFiles::FilesBelow(const std::string& path) const {
  const std::string prefix = ChildPath(path, "");
  std::size_t count = 0;
  for (auto it = digests.lower_bound(prefix);
       it != digests.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    ++count;
  }
  return count;
}

void StagedFiles::ForgetBelow(const std::string& path) {
  const std::string prefix = ChildPath(path, "");
  const auto below = [&](const std::string& key) {
    return key == path || key.compare(0, prefix.size(), prefix) == 0;
  };
  for (auto it = digests.begin(); it != digests.end();) {
    it = below(it->first) ? digests.erase(it) : std::next(it);
  }
  for (auto it = folders.begin(); it != folders.end();) {
    it = below(*it) ? folders.erase(it) : std::next(it);
  }
}

FsStatus Win32Mark::Read(std::string* state) {
  const LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return LastStatus();
  return ReadAll(file_.get(), state);
}

FsStatus Win32Mark::Write(const std::string& state, bool durable) {
  const LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
    return LastStatus();
  }
  const FsStatus wrote = WriteAll(file_.get(), state);
  if (!wrote.ok()) return wrote;
  return !durable || FlushFileBuffers(file_.get()) ? FsStatus::kOk : LastStatus();
}

FsStatus Win32Mark::Remove() {
  // Gone when the handle closes, which the caller does next.
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition,
                                 sizeof disposition)) {
    return FsStatus::kOk;
  }
  return LastStatus();
}

FsStatus OpenFolderHandle(const std::string& path, DWORD access, DWORD share, FileHandle* out) {
  FileHandle handle(CreateFileW(Win32Path(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                kOpenItself, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) return LastStatus();
  if (KindOfHandle(handle.get(), info.dwFileAttributes) != EntryKind::kFolder) {
    return StatusFromWin32Error(ERROR_DIRECTORY);
  }
  std::swap(*out, handle);
  return FsStatus::kOk;
}

std::string ChildPath(const std::string& folder, const std::string& name) {
  const bool ends = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  return ends ? folder + name : folder + "\\" + name;
}

}  // namespace ovpre
