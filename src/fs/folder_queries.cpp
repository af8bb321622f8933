#include "fs/folder_queries.h"

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

std::optional<uint64_t> FolderSizeBytes(FileSystem& fs, const std::string& path,
                                        uint64_t* files) {
  // An explicit stack instead of recursion: release trees can be deep.
  std::vector<std::string> pending{path};
  std::vector<FolderItem> items;
  uint64_t total = 0;
  uint64_t count = 0;
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    items.clear();
    if (fs.ReadFolder(folder, &items) != FsStatus::kOk) return std::nullopt;
    for (const FolderItem& item : items) {
      if (item.kind == EntryKind::kFile) {
        total += item.size;
        ++count;
      }
      if (item.kind == EntryKind::kFolder) {
        pending.push_back(folder + fs.Separator() + item.name);
      }
    }
  }
  if (files) *files = count;
  return total;
}

std::optional<double> FolderSizeMB(FileSystem& fs, const std::string& path) {
  const std::optional<uint64_t> bytes = FolderSizeBytes(fs, path);
  if (!bytes) return std::nullopt;
  return ToMB(*bytes);
}

}  // namespace ovpre
