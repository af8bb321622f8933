#include "fs/folder_ops.h"

#include <algorithm>
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

/// Says once in `report` that a file went without a check for writers,
/// when `status` carries the reason.
void NoteUnwatched(const FsStatus& status, MoveReport* report) {
  if (!status.ok() || status.os_error() == 0) return;
  const std::string note = "writer check not possible: " + std::to_string(status.os_error()) +
                           " " + status.os_text();
  std::vector<std::string>& notes = report->notes;
  if (std::find(notes.begin(), notes.end(), note) == notes.end()) notes.push_back(note);
}

FsStatus CopyLevel(Folder& source, Folder& target, MoveReport* report, TreeSnapshot* copied,
                   int depth);

FsStatus CopyItem(Folder& source, Folder& target, FolderItem& item, MoveReport* report,
                  TreeSnapshot* copied, int depth) {
  switch (item.kind) {
    case EntryKind::kFile: {
      FileFacts facts;
      const FsStatus status = source.CopyFileTo(item.name, target, &facts);
      NoteUnwatched(status, report);
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
      if (copied) copied->folders.emplace_back();
      if (depth >= kMaxFolderDepth) return Fail(report, FsStatus(FsStatus::kTooDeep), "copy");
      FsStatus status = Fail(report, source.Open(item.name, &from), "copy");
      if (status.ok()) status = Fail(report, target.Make(item.name, &to), "make folder");
      if (status.ok()) {
        status = CopyLevel(*from, *to, report, copied ? &copied->folders.back() : nullptr,
                           depth + 1);
      }
      if (status.ok()) status = Fail(report, from->CopyOwnAttributesTo(*to), "copy");
      return status;
    }
    default:
      // Devices, pipes and sockets cannot be carried across; refusing the
      // copy keeps the source whole instead of deleting them later.
      return Fail(report, FsStatus(FsStatus::kNotCopyable), "copy");
  }
}

FsStatus CopyLevel(Folder& source, Folder& target, MoveReport* report, TreeSnapshot* copied,
                   int depth) {
  std::vector<FolderItem> items;
  FsStatus status = Fail(report, source.List(&items), "copy");
  for (FolderItem& item : items) {
    if (!status.ok()) break;
    status = CopyItem(source, target, item, report, copied, depth);
    if (copied) copied->items.push_back(item);
  }
  return status;
}

FsStatus DeleteLevel(Folder& folder, int depth) {
  FsStatus first_failure = FsStatus::kOk;
  std::vector<FolderItem> items;
  Note(folder.List(&items), &first_failure);
  for (const FolderItem& item : items) {
    if (item.kind != EntryKind::kFolder) {
      Note(folder.RemoveFile(item.name), &first_failure);
      continue;
    }
    if (depth >= kMaxFolderDepth) {
      Note(FsStatus(FsStatus::kTooDeep), &first_failure);
      continue;
    }
    std::unique_ptr<Folder> child;
    const FsStatus opened = folder.Open(item.name, &child);
    Note(opened, &first_failure);
    if (opened.ok()) Note(DeleteLevel(*child, depth + 1), &first_failure);
  }
  Note(folder.RemoveSelf(), &first_failure);
  return first_failure;
}

}  // namespace

void MoveReport::Note(const FsStatus& status, const char* where) {
  if (status.ok() || !failure.ok()) return;
  failure = status;
  step = where;
}

FsStatus CopyTree(Folder& source, Folder& target, MoveReport* report, TreeSnapshot* copied) {
  return CopyLevel(source, target, report, copied, 0);
}

FsStatus DeleteTree(Folder& folder) { return DeleteLevel(folder, 0); }

FsStatus RemoveCopiedSource(Folder& folder, const TreeSnapshot& copied, MoveReport* report) {
  std::size_t next_folder = 0;
  for (const FolderItem& item : copied.items) {
    if (item.kind == EntryKind::kFolder) {
      std::unique_ptr<Folder> child;
      FsStatus status = folder.Open(item.name, &child);
      if (status.ok()) status = RemoveCopiedSource(*child, copied.folders[next_folder], report);
      ++next_folder;
      if (!status.ok()) return status;
      continue;
    }
    // Written to, re-pointed or held by a writer since it was copied: what
    // it holds now exists nowhere else.
    const FsStatus status = folder.RemoveFileIfUnchanged(item);
    NoteUnwatched(status, report);
    if (!status.ok()) return status;
  }
  return folder.RemoveSelf();
}

}  // namespace ovpre
