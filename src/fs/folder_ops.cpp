#include "fs/folder_ops.h"

#include <vector>

namespace ovpre {

namespace {

FsStatus CopyItems(FileSystem& fs, const std::string& from, const std::string& to) {
  std::vector<FolderItem> items;
  FsStatus status = fs.ReadFolder(from, &items);
  if (status != FsStatus::kOk) return status;
  for (const FolderItem& item : items) {
    const std::string source = from + fs.Separator() + item.name;
    const std::string target = to + fs.Separator() + item.name;
    switch (item.kind) {
      case EntryKind::kFile: status = fs.CopyOneFile(source, target); break;
      case EntryKind::kLink: status = fs.CopyLink(source, target); break;
      case EntryKind::kFolder:
        status = fs.MakeFolder(target);
        if (status == FsStatus::kOk) status = CopyItems(fs, source, target);
        if (status == FsStatus::kOk) status = fs.CopyFolderAttributes(source, target);
        break;
      default:
        // Devices, pipes and sockets cannot be carried across; refusing the
        // copy keeps the source whole instead of deleting them later.
        status = FsStatus::kFailed;
        break;
    }
    if (status != FsStatus::kOk) return status;
  }
  return FsStatus::kOk;
}

void Note(FsStatus status, FsStatus* first_failure) {
  if (status != FsStatus::kOk && *first_failure == FsStatus::kOk) {
    *first_failure = status;
  }
}

}  // namespace

FsStatus CopyTree(FileSystem& fs, const std::string& source,
                  const std::string& destination) {
  // Creating the top folder is also the check that the destination is free:
  // it fails when anything, even an empty folder, is already there.
  FsStatus status = fs.MakeFolder(destination);
  if (status != FsStatus::kOk) return status;
  status = CopyItems(fs, source, destination);
  if (status == FsStatus::kOk) status = fs.CopyFolderAttributes(source, destination);
  if (status != FsStatus::kOk) DeleteTree(fs, destination);
  return status;
}

FsStatus DeleteTree(FileSystem& fs, const std::string& path) {
  FsStatus first_failure = FsStatus::kOk;
  std::vector<FolderItem> items;
  Note(fs.ReadFolder(path, &items), &first_failure);
  for (const FolderItem& item : items) {
    const std::string child = path + fs.Separator() + item.name;
    if (item.kind == EntryKind::kFolder) {
      Note(DeleteTree(fs, child), &first_failure);
    } else {
      Note(fs.RemoveFile(child), &first_failure);
    }
  }
  Note(fs.RemoveFolder(path), &first_failure);
  return first_failure;
}

MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first) {
  if (fs.KindOf(destination) != EntryKind::kMissing) return MoveOutcome::kNotMoved;
  if (!copy_first) {
    const FsStatus renamed = fs.MoveNoReplace(source, destination);
    if (renamed == FsStatus::kOk) return MoveOutcome::kMoved;
    if (renamed != FsStatus::kCrossDevice) return MoveOutcome::kNotMoved;
  }
  if (CopyTree(fs, source, destination) != FsStatus::kOk) return MoveOutcome::kNotMoved;
  return DeleteTree(fs, source) == FsStatus::kOk ? MoveOutcome::kMoved
                                                 : MoveOutcome::kMovedSourceLeft;
}

}  // namespace ovpre
