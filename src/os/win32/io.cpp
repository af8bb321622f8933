#include "os/win32/io.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <vector>

#include "os/win32/text.h"

namespace ovpre {

namespace {

/// Bytes per read or write of a whole file.
constexpr DWORD kChunk = 1u << 20;

FsStatus LengthChanged() {
  return FsStatus(FsStatus::kInUse, 0, "the file's length changed while it was read");
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

/// The number of non-empty names in `path` separated by "\".
std::size_t CountNames(const std::wstring& path) {
  std::size_t count = 0;
  bool in_name = false;
  for (const wchar_t c : path) {
    if (c == L'\\') {
      in_name = false;
    } else if (!in_name) {
      in_name = true;
      ++count;
    }
  }
  return count;
}

/// `names` ("a\\\\b\\.\\..\\c") as "\\a\\c": empty and "." names dropped,
/// ".." taking the name before it away (never one of the first `fixed`).
/// Every other name stays exactly as written: "nul" or "x." are names of
/// files here, not a device and not "x".
std::wstring TidyNames(const std::wstring& names, std::size_t fixed) {
  std::vector<std::wstring> kept;
  std::size_t at = 0;
  while (at <= names.size()) {
    std::size_t end = names.find(L'\\', at);
    if (end == std::wstring::npos) end = names.size();
    const std::wstring name = names.substr(at, end - at);
    if (name == L"..") {
      if (kept.size() > fixed) kept.pop_back();
    } else if (!name.empty() && name != L".") {
      kept.push_back(name);
    }
    at = end + 1;
  }
  std::wstring tidy;
  for (const std::wstring& name : kept) tidy += L"\\" + name;
  return tidy.empty() ? L"\\" : tidy;
}

}  // namespace

std::string SystemMessageText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
  if (buffer) LocalFree(buffer);
  // The system's texts end in a line break, which a reply or a log line
  // has no use for.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.pop_back();
  }
  return Utf8FromWide(text);
}

FsStatus StatusFromWin32Error(DWORD error) {
  FsStatus::Code code = FsStatus::kFailed;
  switch (error) {
    case ERROR_SUCCESS: return FsStatus::kOk;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY: code = FsStatus::kNotFound; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIR_NOT_EMPTY: code = FsStatus::kExists; break;
    case ERROR_NOT_SAME_DEVICE: code = FsStatus::kCrossDevice; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kErrorDiskQuotaExceeded: code = FsStatus::kNoSpace; break;
    // ERROR_NOT_ENOUGH_QUOTA is no disk quota: it means the process ran out
    // of a system resource (paged pool, working set), so it stays kFailed.
    case ERROR_FILE_TOO_LARGE: code = FsStatus::kTooLarge; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: code = FsStatus::kDenied; break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: code = FsStatus::kInUse; break;
    default: break;
  }
  return FsStatus(code, static_cast<long>(error), SystemMessageText(error));
}

EntryKind KindOfAttributes(DWORD attributes, DWORD reparse_tag) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparse_tag)) {
    return EntryKind::kLink;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::kFolder;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::kOther;
  return EntryKind::kFile;
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

DWORD ReparseTagOf(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return 0;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return IO_REPARSE_TAG_SYMLINK;
  }
  return tag.ReparseTag;
}

EntryKind KindOfHandle(HANDLE handle, DWORD attributes) {
  return KindOfAttributes(attributes, ReparseTagOf(handle, attributes));
}

FsStatus ExamineEntry(const std::string& path, FileFacts* facts) {
  // Read access, not only attributes: only data access meets the sharing
  // rules that tell a writer is there.
  FileHandle entry(CreateFileW(Win32Path(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry.valid()) return LastStatus();
  return FactsOfHandle(entry.get(), facts);
}

FsStatus FactsOfHandle(HANDLE entry, FileFacts* facts) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(entry, &info) ||
      !GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic)) {
    return LastStatus();
  }
  *facts = FileFacts();
  facts->kind = KindOfHandle(entry, info.dwFileAttributes);
  if (facts->kind == EntryKind::kFile) {
    facts->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  facts->changed = basic.ChangeTime.QuadPart;
  facts->number = IdOf(info).file;
  return FsStatus::kOk;
}

FsStatus ReadInBlocks(HANDLE file, const Folder::BlockReader& block) {
  LARGE_INTEGER length = {};
  if (!GetFileSizeEx(file, &length)) return LastStatus();
  std::vector<char> buffer(kChunk);
  uint64_t left = static_cast<uint64_t>(length.QuadPart);
  while (left > 0) {
    const DWORD step = left < buffer.size() ? static_cast<DWORD>(left) : kChunk;
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), step, &got, nullptr)) return LastStatus();
    if (got == 0) break;
    left -= got;
    if (!block(buffer.data(), got)) return FsStatus::kOk;
  }
  if (left != 0) return LengthChanged();
  return CheckLength(file, static_cast<uint64_t>(length.QuadPart));
}

FsStatus CheckLength(HANDLE file, uint64_t length) {
  LARGE_INTEGER now = {};
  if (!GetFileSizeEx(file, &now)) return LastStatus();
  return static_cast<uint64_t>(now.QuadPart) == length ? FsStatus::kOk : LengthChanged();
}

FsStatus AllocatedRanges(HANDLE file, uint64_t length, std::vector<ByteRange>* ranges) {
  ranges->clear();
  FILE_ALLOCATED_RANGE_BUFFER query = {};
  query.Length.QuadPart = static_cast<LONGLONG>(length);
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> found(1024);
  while (query.Length.QuadPart > 0) {
    const DWORD room = static_cast<DWORD>(found.size() * sizeof found[0]);
    DWORD bytes = 0;
    const BOOL all = DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query,
                                     found.data(), room, &bytes, nullptr);
    const std::size_t count = bytes / sizeof found[0];
    // ERROR_MORE_DATA: the buffer is full; ask again after its last range.
    if (!all && (GetLastError() != ERROR_MORE_DATA || count == 0)) return LastStatus();
    uint64_t end = 0;
    for (std::size_t i = 0; i < count; ++i) {
      // Storage is counted in clusters: none is read past the length.
      const uint64_t offset = static_cast<uint64_t>(found[i].FileOffset.QuadPart);
      end = offset + static_cast<uint64_t>(found[i].Length.QuadPart);
      if (offset < length) ranges->push_back({offset, std::min(end, length) - offset});
    }
    if (all) break;
    query.FileOffset.QuadPart = static_cast<LONGLONG>(end);
    query.Length.QuadPart = static_cast<LONGLONG>(end < length ? length - end : 0);
  }
  return FsStatus::kOk;
}

FsStatus MakeSparse(HANDLE file) {
  DWORD bytes = 0;
  if (DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr)) {
    return FsStatus::kOk;
  }
  return LastStatus();
}

FsStatus CopyRange(HANDLE in, HANDLE out, const ByteRange& range, ContentDigest* digest) {
  LARGE_INTEGER at = {};
  at.QuadPart = static_cast<LONGLONG>(range.offset);
  if (!SetFilePointerEx(in, at, nullptr, FILE_BEGIN) ||
      !SetFilePointerEx(out, at, nullptr, FILE_BEGIN)) {
    return LastStatus();
  }
  std::vector<char> buffer(range.size < kChunk ? static_cast<std::size_t>(range.size) : kChunk);
  for (uint64_t left = range.size; left > 0;) {
    const DWORD step = left < kChunk ? static_cast<DWORD>(left) : kChunk;
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), step, &got, nullptr)) return LastStatus();
    if (got == 0) return LengthChanged();
    if (digest) digest->Add(buffer.data(), got);
    const FsStatus wrote = WriteAll(out, buffer.data(), got);
    if (!wrote.ok()) return wrote;
    left -= got;
  }
  return FsStatus::kOk;
}

FsStatus SetLength(HANDLE file, uint64_t length) {
  LARGE_INTEGER end = {};
  end.QuadPart = static_cast<LONGLONG>(length);
  if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file)) return FsStatus::kOk;
  return LastStatus();
}

FsStatus RenameByHandle(HANDLE handle, const std::string& to) {
  const std::wstring name = NtPath(to);
  // FILE_RENAME_INFO ends in the name; the struct holds its first letter.
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::memcpy(rename->FileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  if (SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                 static_cast<DWORD>(buffer.size()))) {
    return FsStatus::kOk;
  }
  return LastStatus();
}

namespace {

/// True when the file system of `handle` is one of `names` (any case).
bool FileSystemIsOneOf(HANDLE handle, std::initializer_list<const wchar_t*> names) {
  wchar_t system[MAX_PATH + 1] = {};
  if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, system,
                                     MAX_PATH + 1)) {
    return false;
  }
  for (const wchar_t* name : names) {
    if (CompareStringOrdinal(system, -1, name, -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

}  // namespace

uint64_t LargestFileOn(HANDLE handle) {
  // "FAT" (FAT12 and FAT16) and "FAT32"; exFAT has 64-bit sizes.
  return FileSystemIsOneOf(handle, {L"FAT", L"FAT32"}) ? 0xFFFFFFFFull : UINT64_MAX;
}

bool IdsLastOn(HANDLE handle) {
  // The file system's name is the only documented sign (Windows Vista on);
  // where it cannot be read, the IDs are taken at their word, and an ID of
  // zero or all ones still says they do not last.
  return !FileSystemIsOneOf(handle, {L"FAT", L"FAT32", L"exFAT"});
}

FsStatus ReadFileId(HANDLE handle, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return LastStatus();
  *id = IdOf(info);
  return FsStatus::kOk;
}

FILETIME StorableOnFat(FILETIME time) {
  // FAT keeps local dates from 1980-01-01 to 2107-12-31; a day's margin on
  // each side keeps the bounds inside in every time zone.
  constexpr uint64_t kLowest = 119600928000000000ull;   // 1980-01-02 00:00 UTC
  constexpr uint64_t kHighest = 159991200000000000ull;  // 2107-12-30 00:00 UTC
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  if (ticks == 0) return time;
  ticks = ticks < kLowest ? kLowest : ticks > kHighest ? kHighest : ticks;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FsStatus SetTimesStorably(HANDLE file, FILETIME created, FILETIME accessed, FILETIME written) {
  if (SetFileTime(file, &created, &accessed, &written)) return FsStatus::kOk;
  const DWORD error = GetLastError();
  const FILETIME given[] = {created, accessed, written};
  FILETIME storable[3];
  bool moved = false;
  for (int i = 0; i < 3; ++i) {
    storable[i] = StorableOnFat(given[i]);
    moved = moved || CompareFileTime(&storable[i], &given[i]) != 0;
  }
  // FAT's driver refuses a time it cannot convert; when every time was
  // storable already, that was not the cause.
  if (!moved) return StatusFromWin32Error(error);
  if (SetFileTime(file, &storable[0], &storable[1], &storable[2])) return FsStatus::kOk;
  return LastStatus();
}

FsStatus IdentityAt(const std::string& path, FileId* id) {
  FileHandle file(CreateFileW(Win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return LastStatus();
  *id = IdOf(info);
  return FsStatus::kOk;
}

FsStatus LastStatus() { return StatusFromWin32Error(GetLastError()); }

std::wstring Win32Path(const std::string& utf8) {
  std::wstring path = WideFromUtf8(utf8);
  if (path.empty() || StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) {
    return path;
  }
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  std::wstring anchor;  // what the names hang from, prefix included
  std::size_t fixed = 0;  // leading names that ".." cannot take away
  if (StartsWith(path, L"\\\\")) {
    anchor = L"\\\\?\\UNC";
    path = path.substr(2);
    fixed = 2;  // server and share
  } else if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
    anchor = L"\\\\?\\" + path.substr(0, 2);
    path = path.substr(3);
  } else {
    // Relative or drive-relative: only the system knows the current folder.
    // Server paths are never of this kind.
    const std::wstring full = FullPath(path);
    return StartsWith(full, L"\\\\") || full.size() < 3 || full[1] != L':'
               ? full : Win32Path(Utf8FromWide(full));
  }
  return anchor + TidyNames(path, fixed);
}

std::wstring NtPath(const std::string& utf8) {
  // The same tidied, prefixed path as every other call gets, so that a name
  // is never reinterpreted ("nul", "x.") on its way to the rename.
  const std::wstring full = Win32Path(utf8);
  if (StartsWith(full, L"\\\\?\\")) return L"\\??\\" + full.substr(4);
  if (StartsWith(full, L"\\\\")) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

bool IsEmptyOrRoot(const std::string& utf8) {
  if (utf8.empty()) return true;
  std::wstring full = Win32Path(utf8);
  bool network = false;
  if (StartsWith(full, L"\\\\?\\UNC\\")) {
    full = full.substr(8);
    network = true;
  } else if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) {
    full = full.substr(4);
  } else if (StartsWith(full, L"\\\\")) {
    full = full.substr(2);
    network = true;
  }
  if (network) return CountNames(full) <= 2;  // server and share
  if (full.size() >= 2 && full[1] == L':') return CountNames(full.substr(2)) == 0;
  return CountNames(full) <= 1;  // a volume named some other way
}

bool FileHandle::Close() {
  const HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return true;
  return CloseHandle(handle) != FALSE;
}

HANDLE StartSearch(const std::string& pattern, WIN32_FIND_DATAW* found) {
  return FindFirstFileExW(Win32Path(pattern).c_str(), FindExInfoBasic, found,
                          FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
}

FsStatus ReadAll(HANDLE file, std::string* bytes) {
  bytes->clear();
  std::vector<char> buffer(kChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), kChunk, &got, nullptr)) return LastStatus();
    if (got == 0) return FsStatus::kOk;
    bytes->append(buffer.data(), got);
  }
}

FsStatus WriteAll(HANDLE file, const char* bytes, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t left = size - done;
    const DWORD step = left < kChunk ? static_cast<DWORD>(left) : kChunk;
    DWORD wrote = 0;
    if (!WriteFile(file, bytes + done, step, &wrote, nullptr)) return LastStatus();
    if (wrote == 0) return FsStatus::kFailed;
    done += wrote;
  }
  return FsStatus::kOk;
}

FsStatus WriteAll(HANDLE file, const std::string& bytes) {
  return WriteAll(file, bytes.data(), bytes.size());
}

}  // namespace ovpre
