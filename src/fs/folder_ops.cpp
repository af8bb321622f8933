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

FsStatus CopyItem(Folder& source, Folder& target, const FolderItem& item,
                  MoveReport* report) {
  switch (item.kind) {
    case EntryKind::kFile: {
      const FsStatus status = source.CopyFileTo(item.name, target);
      if (status.ok()) {
        ++report->files;
        report->bytes += item.size;
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
      if (status.ok()) status = CopyTree(*from, *to, report);
      if (status.ok()) status = Fail(report, from->CopyOwnAttributesTo(*to), "copy");
      return status;
    }
    default:
      // Devices, pipes and sockets cannot be carried across; refusing the
      // copy keeps the source whole instead of deleting them later.
      return Fail(report, FsStatus(FsStatus::kNotCopyable), "copy");
  }
}

/// Makes the staging folder beside the destination and claims it. A
/// leftover of a killed run is removed first; one that a running pre claims
/// is left alone and refuses this move.
FsStatus MakeStaging(Folder& parent, const std::string& name, std::unique_ptr<Folder>* stage,
                     MoveReport* report) {
  FsStatus status = parent.Make(name, stage);
  if (status == FsStatus::kExists) {
    std::unique_ptr<Folder> leftover;
    status = parent.Open(name, &leftover);
    // Another pre of this release is copying it right now: its copy will
    // be the one at the destination.
    if (status == FsStatus::kInUse) status = FsStatus(FsStatus::kExists);
    if (status.ok()) status = DeleteTree(*leftover);
    if (!status.ok()) return Fail(report, status, "clear staging");
    leftover.reset();
    status = parent.Make(name, stage);
  }
  if (status.ok()) status = (*stage)->SetHidden(true);
  return Fail(report, status, "make staging");
}

/// Copies `release` beside the destination and publishes it there.
MoveOutcome CopyAcross(Folder& release, Folder& parent, const std::string& name,
                       MoveReport* report) {
  report->copied = true;
  std::string before;
  std::string shape;
  if (!Fail(report, Snapshot(release, &before, &shape), "read source").ok()) {
    return MoveOutcome::kNotMoved;
  }
  std::unique_ptr<Folder> stage;
  if (!MakeStaging(parent, StagingName(name), &stage, report).ok()) {
    return MoveOutcome::kNotMoved;
  }
  FsStatus status = CopyTree(release, *stage, report);
  std::string after;
  std::string copied;
  if (status.ok()) status = Fail(report, Snapshot(release, &after), "read source");
  // The copy itself must hold the tree that was checked: a folder swapped
  // for a link and back while it was being copied leaves the source as it
  // was, but the copy would carry the link.
  if (status.ok()) status = Fail(report, Snapshot(*stage, nullptr, &copied), "read copy");
  const bool changed = status.ok() && (after != before || copied != shape);
  // The copy takes the source folder's own attributes last: on Windows that
  // also lifts the staging folder's hidden mark, just before it is renamed.
  if (status.ok() && !changed) {
    status = Fail(report, release.CopyOwnAttributesTo(*stage), "copy");
  }
  if (status.ok() && !changed) status = Fail(report, stage->Flush(), "flush");
  if (status.ok() && !changed) status = Fail(report, stage->MoveTo(parent, name), "publish");
  if (!status.ok() || changed) {
    report->changed_while_copying = changed;
    DeleteTree(*stage);
    return MoveOutcome::kNotMoved;
  }
  // The rename itself must be on disk too before the source goes: were it
  // lost in a crash, the next pre would take the whole copy for a leftover.
  // Without that certainty the source stays, whole.
  if (!Fail(report, parent.Flush(), "flush").ok()) return MoveOutcome::kMovedSourceLeft;
  // The release is whole and durable at the destination; only now may the
  // source go.
  const FsStatus deleted = Fail(report, DeleteTree(release), "delete source");
  return deleted.ok() ? MoveOutcome::kMoved : MoveOutcome::kMovedSourceLeft;
}

/// Appends the snapshot lines of everything under `folder` to `out` and,
/// without the time stamps, to `shape`; either may be null.
FsStatus AppendSnapshot(Folder& folder, const std::string& prefix, std::string* out,
                        std::string* shape) {
  std::vector<FolderItem> items;
  FsStatus status = folder.List(&items);
  if (!status.ok()) return status;
  std::sort(items.begin(), items.end(),
            [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  for (const FolderItem& item : items) {
    const std::string path = prefix + item.name;
    const std::string line = path + '\0' + std::to_string(static_cast<int>(item.kind)) + '\0' +
                             std::to_string(item.size) + '\0';
    if (out) *out += line + std::to_string(item.modified) + '\n';
    if (shape) *shape += line + '\n';
    if (item.kind != EntryKind::kFolder) continue;
    std::unique_ptr<Folder> child;
    status = folder.Open(item.name, &child);
    if (status.ok()) status = AppendSnapshot(*child, path + '/', out, shape);
    if (!status.ok()) return status;
  }
  return FsStatus::kOk;
}

}  // namespace

void MoveReport::Note(const FsStatus& status, const char* where) {
  if (status.ok() || !failure.ok()) return;
  failure = status;
  step = where;
}

std::string StagingName(const std::string& release) {
  return "." + release + ".ovpre-staging";
}

FsStatus CopyTree(Folder& source, Folder& target, MoveReport* report) {
  std::vector<FolderItem> items;
  FsStatus status = Fail(report, source.List(&items), "copy");
  for (const FolderItem& item : items) {
    if (!status.ok()) break;
    status = CopyItem(source, target, item, report);
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

FsStatus Snapshot(Folder& folder, std::string* snapshot, std::string* shape) {
  if (snapshot) snapshot->clear();
  if (shape) shape->clear();
  return AppendSnapshot(folder, "", snapshot, shape);
}

MoveOutcome MoveRelease(FileSystem& fs, Folder& release, const std::string& destination,
                        bool copy_first, MoveReport* report) {
  MoveReport ignored;
  if (!report) report = &ignored;
  const std::string parent_path = FolderOf(destination, fs.Separator());
  const std::string name = FileNameOf(destination, fs.Separator());
  // Two pres of one release at once: the one that claims it first moves it,
  // the other finds it taken, as the destination will be.
  FsStatus claimed = FsStatus::kOk;
  if (claimed == FsStatus::kInUse) claimed = FsStatus(FsStatus::kExists);
  if (!Fail(report, claimed, "claim release").ok()) return MoveOutcome::kNotMoved;
  std::unique_ptr<Folder> parent;
  if (!Fail(report, fs.OpenFolder(parent_path, &parent), "open target").ok()) {
    return MoveOutcome::kNotMoved;
  }
  if (!copy_first) {
    const FsStatus renamed = release.MoveTo(*parent, name);
    if (renamed.ok()) return MoveOutcome::kMoved;
    if (renamed == FsStatus::kSwapped) return MoveOutcome::kSwapped;
    if (renamed != FsStatus::kCrossDevice) {
      Fail(report, renamed, "rename");
      return MoveOutcome::kNotMoved;
    }
  }
  // A copy never goes where something already is: the publish would refuse
  // it at the end anyway, but only after all the copying.
  FileId taken;
  if (parent->IdentityOf(name, &taken).ok()) {
    Fail(report, FsStatus(FsStatus::kExists), "check destination");
    return MoveOutcome::kNotMoved;
  }
  return CopyAcross(release, *parent, name, report);
}

MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first,
                             MoveReport* report) {
  std::unique_ptr<Folder> release;
  if (!fs.OpenFolder(source, &release).ok()) return MoveOutcome::kNotMoved;
  return MoveRelease(fs, *release, destination, copy_first, report);
}

}  // namespace ovpre
