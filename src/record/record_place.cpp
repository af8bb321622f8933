#include "record/record_place.h"

#include "text/text.h"

namespace ovpre {

namespace {

/// True when `path` is `folder` or lies below it, names compared as the
/// file system compares them.
bool IsInside(FileSystem& fs, const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  const char sep = fs.Separator();
  std::string top = fs.FoldCase(folder);
  if (top.back() != sep) top += sep;
  const std::string mine = fs.FoldCase(path) + sep;
  return mine.compare(0, top.size(), top) == 0;
}

/// `path` with every link on the way to its folder followed; "" when the
/// folder cannot be resolved.
std::string Resolved(FileSystem& fs, const std::string& folder) {
  std::string resolved;
  return fs.ResolveFolder(folder, &resolved).ok() ? resolved : "";
}

}  // namespace

std::string WhyRecordUnsafe(FileSystem& fs, PrivacyCheck* privacy, const std::string& path,
                            const std::vector<std::string>& release_folders) {
  const char sep = fs.Separator();
  const std::string folder = FolderOf(path, sep);
  const std::string name = FileNameOf(path, sep);
  if (folder.empty() || name.empty()) return "it names no file in a folder";
  const std::string real_folder = Resolved(fs, folder);
  for (const std::string& release_folder : release_folders) {
    const std::string real = Resolved(fs, release_folder);
    if (IsInside(fs, path, release_folder) ||
        (!real.empty() && !real_folder.empty() && IsInside(fs, real_folder, real))) {
      return "it lies inside the release folder " + release_folder;
    }
  }
  if (!privacy) return "its privacy cannot be checked";
  // The first use makes it, private.
  if (fs.KindOf(folder) == EntryKind::kMissing &&
      fs.KindOf(FolderOf(folder, sep)) == EntryKind::kFolder) {
    return "";
  }
  return privacy->WhyNotPrivate(folder,
                                {name, name + "-wal", name + "-shm", name + "-journal"});
}

std::unique_ptr<PreRecord> OpenSafeRecord(FileSystem& fs, PrivacyCheck* privacy,
                                          const std::string& path,
                                          const std::vector<std::string>& release_folders,
                                          RecordPause pause, std::string* why) {
  const std::string folder = FolderOf(path, fs.Separator());
  if (privacy && !folder.empty() && fs.KindOf(folder) == EntryKind::kMissing) {
    // Made private from the start: nothing of the folder above flows in.
    *why = privacy->MakePrivateFolder(folder);
    if (!why->empty()) return nullptr;
  }
  *why = WhyRecordUnsafe(fs, privacy, path, release_folders);
  if (!why->empty()) return nullptr;
  return PreRecord::Open(path, std::move(pause), why);
}

}  // namespace ovpre
