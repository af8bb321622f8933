#include "fs/folder_ops.h"

#include <vector>

namespace ovpre {

namespace {

/// Counts and notes into a report that may be absent.
struct Tally {
  MoveReport* report;
  FsStatus Keep(FsStatus status, const char* step) const {
    if (report) report->Note(status, step);
    return status;
  }
  void Copied(const FolderItem& item) const {
    if (!report || item.kind != EntryKind::kFile) return;
    ++report->files;
    report->bytes += item.size;
  }
};

FsStatus CopyItems(FileSystem& fs, const std::string& from, const std::string& to,
                   const Tally& tally) {
  std::vector<FolderItem> items;
  FsStatus status = tally.Keep(fs.ReadFolder(from, &items), "copy");
  if (status != FsStatus::kOk) return status;
  for (const FolderItem& item : items) {
    const std::string source = from + fs.Separator() + item.name;
    const std::string target = to + fs.Separator() + item.name;
    switch (item.kind) {
      case EntryKind::kFile: status = tally.Keep(fs.CopyOneFile(source, target), "copy"); break;
      case EntryKind::kLink: status = tally.Keep(fs.CopyLink(source, target), "copy"); break;
      case EntryKind::kFolder:
        status = tally.Keep(fs.MakeFolder(target), "make folder");
        if (status == FsStatus::kOk) status = CopyItems(fs, source, target, tally);
        if (status == FsStatus::kOk) {
          status = tally.Keep(fs.CopyFolderAttributes(source, target), "copy");
        }
        break;
      default:
        // Devices, pipes and sockets cannot be carried across; refusing the
        // copy keeps the source whole instead of deleting them later.
        status = tally.Keep(FsStatus::kNotCopyable, "copy");
        break;
    }
    if (status != FsStatus::kOk) return status;
    tally.Copied(item);
  }
  return FsStatus::kOk;
}

void Note(FsStatus status, FsStatus* first_failure) {
  if (status != FsStatus::kOk && *first_failure == FsStatus::kOk) {
    *first_failure = status;
  }
}

}  // namespace

void MoveReport::Note(const FsStatus& status, const char* where) {
  if (status == FsStatus::kOk || failure != FsStatus::kOk) return;
  failure = status;
  step = where;
}

FsStatus CopyTree(FileSystem& fs, const std::string& source,
                  const std::string& destination, MoveReport* report) {
  const Tally tally{report};
  // Creating the top folder is also the check that the destination is free:
  // it fails when anything, even an empty folder, is already there.
  FsStatus status = tally.Keep(fs.MakeFolder(destination), "make folder");
  if (status != FsStatus::kOk) return status;
  status = CopyItems(fs, source, destination, tally);
  if (status == FsStatus::kOk) {
    status = tally.Keep(fs.CopyFolderAttributes(source, destination), "copy");
  }
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
                             const std::string& destination, bool copy_first,
                             MoveReport* report) {
  MoveReport unused;
  MoveReport& r = report ? *report : unused;
  if (fs.KindOf(destination) != EntryKind::kMissing) {
    r.Note(FsStatus::kExists, "check destination");
    return MoveOutcome::kNotMoved;
  }
  if (!copy_first) {
    const FsStatus renamed = fs.MoveNoReplace(source, destination);
    if (renamed == FsStatus::kOk) return MoveOutcome::kMoved;
    if (renamed != FsStatus::kCrossDevice) {
      r.Note(renamed, "rename");
      return MoveOutcome::kNotMoved;
    }
  }
  r.copied = true;
  if (CopyTree(fs, source, destination, &r) != FsStatus::kOk) return MoveOutcome::kNotMoved;
  const FsStatus deleted = DeleteTree(fs, source);
  r.Note(deleted, "delete source");
  return deleted == FsStatus::kOk ? MoveOutcome::kMoved : MoveOutcome::kMovedSourceLeft;
}

}  // namespace ovpre
