#include "fs/folder_ops.h"

#include <vector>

#include "text/text.h"

namespace ovpre {

namespace {

/// Keeps the first failure of a run of steps.
void Note(const FsStatus& status, FsStatus* first_failure) {
  if (!status.ok() && first_failure->ok()) *first_failure = status;
}

/// Records a failure and its step in `report`; returns the status.
FsStatus Fail(MoveReport* report, const FsStatus& status, const char* step) {
  report->Note(status, step);
  return status;
}

FsStatus CopyItem(Folder& source, Folder& target, FolderItem& item, MoveReport* report,
                  TreeSnapshot* copied) {
  switch (item.kind) {
    case EntryKind::kFile: {
      FileFacts facts;
      const FsStatus status = source.CopyFileTo(item.name, target, &facts);
      if (status.ok()) {
        ++report->files;
        report->bytes += facts.size;
        item.size = facts.size;
        item.changed = facts.changed;
        item.number = facts.number;
      }
      return Fail(report, status, "copy");
    }
    case EntryKind::kLink:
      return Fail(report, source.CopyLinkTo(item.name, target), "copy");
    case EntryKind::kFolder: {
      std::unique_ptr<Folder> from;
      std::unique_ptr<Folder> to;
      FsStatus status = Fail(report, source.Open(item.name, &from), "copy");
      if (status.ok()) status = Fail(report, target.Make(item.name, &to), "make folder");
      if (copied) copied->folders.emplace_back();
      if (status.ok()) status = CopyTree(*from, *to, report, copied ? &copied->folders.back() : nullptr);
      if (status.ok()) status = Fail(report, from->CopyOwnAttributesTo(*to), "copy");
      return status;
    }
    default:
      // Devices, pipes and sockets cannot be carried across; refusing the
      // copy keeps the source whole instead of deleting them later.
      return Fail(report, FsStatus(FsStatus::kNotCopyable), "copy");
  }
}

}  // namespace

void MoveReport::Note(const FsStatus& status, const char* where) {
  if (status.ok() || !failure.ok()) return;
  failure = status;
  step = where;
}

FsStatus CopyTree(Folder& source, Folder& target, MoveReport* report, TreeSnapshot* copied) {
  std::vector<FolderItem> items;
  FsStatus status = Fail(report, source.List(&items), "copy");
  for (FolderItem& item : items) {
    if (!status.ok()) break;
    status = CopyItem(source, target, item, report, copied);
    if (copied) copied->items.push_back(item);
  }
  return status;
}

FsStatus DeleteTree(Folder& folder) {
  FsStatus first_failure = FsStatus::kOk;
  std::vector<FolderItem> items;
  Note(folder.List(&items), &first_failure);
  for (const FolderItem& item : items) {
    if (item.kind != EntryKind::kFolder) {
      Note(folder.RemoveFile(item.name), &first_failure);
      continue;
    }
    std::unique_ptr<Folder> child;
    const FsStatus opened = folder.Open(item.name, &child);
    Note(opened, &first_failure);
    if (opened.ok()) Note(DeleteTree(*child), &first_failure);
  }
  Note(folder.RemoveSelf(), &first_failure);
  return first_failure;
}

FsStatus RemoveCopiedSource(Folder& folder, const TreeSnapshot& copied) {
  std::size_t next_folder = 0;
  for (const FolderItem& item : copied.items) {
    if (item.kind == EntryKind::kFolder) {
      std::unique_ptr<Folder> child;
      FsStatus status = folder.Open(item.name, &child);
      if (status.ok()) status = RemoveCopiedSource(*child, copied.folders[next_folder]);
      ++next_folder;
      if (!status.ok()) return status;
      continue;
    }
    // Written to since it was copied: that write exists nowhere else.
    FileFacts now;
    FsStatus status = folder.Examine(item.name, &now);
    if (status.ok() && !SameFile(item, now)) status = FsStatus(FsStatus::kSwapped);
    if (status.ok()) status = folder.RemoveFile(item.name);
    if (!status.ok()) return status;
  }
  return folder.RemoveSelf();
}

}  // namespace ovpre
