#include "fs/folder_queries.h"

#include "fs/tree_snapshot.h"

namespace ovpre {

double ToMB(uint64_t bytes) { return static_cast<double>(bytes) / 1024.0 / 1024.0; }

std::optional<std::vector<DirEntry>> ListFolder(FileSystem& fs,
                                                const std::string& folder) {
  std::vector<DirEntry> found;
  if (fs.SearchFolder(folder, &found) != FsStatus::kOk) return std::nullopt;
  if (found.empty()) found.emplace_back();
  for (DirEntry& entry : found) {
    if (entry.Name == "..") {
      entry.Modified = 0;
      entry.Attributes = 0;
    }
  }
  return found;
}

std::optional<double> DriveFreeMB(FileSystem& fs, const std::string& path) {
  uint64_t bytes = 0;
  if (fs.FreeBytes(path, &bytes) != FsStatus::kOk) return std::nullopt;
  return ToMB(bytes);
}

namespace {

/// Adds the bytes and the number of the files under `folder`, `depth`
/// levels down.
bool AddSizes(Folder& folder, uint64_t* bytes, uint64_t* count, int depth) {
  std::vector<FolderItem> items;
  if (!folder.List(&items).ok()) return false;
  for (const FolderItem& item : items) {
    if (item.kind == EntryKind::kFile) {
      *bytes += item.size;
      ++*count;
    }
    if (item.kind != EntryKind::kFolder) continue;
    if (depth >= kMaxFolderDepth) return false;
    std::unique_ptr<Folder> child;
    if (!folder.Open(item.name, &child).ok() || !AddSizes(*child, bytes, count, depth + 1)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<uint64_t> FolderSizeBytes(Folder& folder, uint64_t* files) {
  uint64_t bytes = 0;
  uint64_t count = 0;
  if (!AddSizes(folder, &bytes, &count, 0)) return std::nullopt;
  if (files) *files = count;
  return bytes;
}

std::optional<uint64_t> FolderSizeBytes(FileSystem& fs, const std::string& path,
                                        uint64_t* files) {
  std::unique_ptr<Folder> folder;
  if (!fs.OpenFolder(path, &folder).ok()) return std::nullopt;
  return FolderSizeBytes(*folder, files);
}

std::optional<double> FolderSizeMB(FileSystem& fs, const std::string& path) {
  const std::optional<uint64_t> bytes = FolderSizeBytes(fs, path);
  if (!bytes) return std::nullopt;
  return ToMB(*bytes);
}

}  // namespace ovpre
