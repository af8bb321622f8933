#include "fs/move_release.h"

#include <memory>

#include "fs/tree_snapshot.h"
#include "fs/work_entry.h"
#include "text/text.h"

namespace ovpre {

namespace {

/// Records a failure and its step in `report`; returns the status.
FsStatus Fail(MoveReport* report, const FsStatus& status, const char* step) {
  report->Note(status, step);
  return status;
}

/// One move in progress: the request, the destination's folder and name,
/// and the release's claimed work entry there.
class Mover {
 public:
  Mover(FileSystem& fs, Clock* clock, const MoveRequest& request, WorkEntry& entry,
        MoveReport* report)
      : fs_(fs), clock_(clock), request_(request), parent_(request.into), name_(request.into_name),
        entry_(entry), report_(report) {}

  /// The rename through the work entry; kCrossDevice in `renamed` when the
  /// volumes differ and the release has not moved.
  MoveOutcome Rename(FsStatus* renamed) {
    Folder& release = request_.release;
    *renamed = RetryWhileHeld(clock_, [&] {
      return release.MoveTo(entry_.folder(), WorkEntry::kTreeName);
    });
    if (*renamed == FsStatus::kSwapped) {
      // Whatever the name led to was handed back; when even that failed,
      // it stays in the work entry, which it is not this program's to clear.
      if (renamed->os_error() != 0) return LeaveInEntry(MoveOutcome::kSwapped);
      entry_.Finish();
      return MoveOutcome::kSwapped;
    }
    // Another volume: the release has not moved, and the entry serves
    // the copy.
    if (*renamed == FsStatus::kCrossDevice) return MoveOutcome::kNotMoved;
    if (!renamed->ok()) {
      Fail(report_, *renamed, "rename");
      return Abort(nullptr);
    }
    const FsStatus status = Publish(release);
    if (status.ok()) return Done(MoveOutcome::kMoved);
    Fail(report_, status, "publish");
    // The final name was taken meanwhile, or something holds the folder:
    // the release goes back where it came from.
    const FsStatus back = RetryWhileHeld(
        clock_, [&] { return release.MoveTo(request_.own, request_.name); });
    if (!back.ok()) return LeaveInEntry(MoveOutcome::kNotMoved);
    return Abort(nullptr);
  }

  /// The copy into the work entry, published when whole and unchanged.
  MoveOutcome Copy() {
    report_->copied = true;
    TreeSnapshot before;
    if (!Fail(report_, SnapshotOfSource(&before), "read source").ok()) return Abort(nullptr);
    std::unique_ptr<Folder> tree;
    if (!entry_.kept_fingerprint().empty()) {
      if (IsKeptCopyOf(before, &tree)) return PublishCopy(tree, before, before);
      tree.reset();
      if (!Fail(report_, entry_.Clear(), "clear work entry").ok()) return Abort(nullptr);
    }
    if (request_.may_copy && !request_.may_copy()) {
      report_->refused = true;
      report_->copied = false;
      return Abort(nullptr);
    }
    // A file the target's file system cannot hold would fail the copy
    // only after everything before it was copied.
    if (LargestFile(before) > parent_.MaxFileSize()) {
      Fail(report_, FsStatus(FsStatus::kTooLarge), "check size");
      return Abort(nullptr);
    }
    // Marked before the first byte is copied: a killed run's copy is then
    // known for what it is, and cleared by the next pre.
    FsStatus status = Fail(report_, entry_.Mark(WorkEntry::kPartial), "mark work entry");
    if (status.ok()) status = Fail(report_, entry_.folder().Make(WorkEntry::kTreeName, &tree), "copy");
    TreeSnapshot read;
    if (status.ok()) status = CopyTree(request_.release, *tree, report_, &read);
    // A source file replaced, or renamed away, after the listing named it.
    if (status == FsStatus::kSwapped || (status == FsStatus::kNotFound && report_->step == "copy")) {
      report_->changed_while_copying = true;
    }
    TreeSnapshot after;
    TreeSnapshot copied;
    if (status.ok()) status = Fail(report_, SnapshotOfSource(&after), "read source");
    // The copy itself must hold the tree that was checked: a folder swapped
    // for a link and back while it was being copied leaves the source as it
    // was, but the copy would carry the link.
    if (status.ok()) status = Fail(report_, TakeSnapshot(*tree, &copied), "read copy");
    if (status.ok() && (!SameFacts(before, after) || !SameShape(before, copied))) {
      // Another pre of the release may have published it meanwhile and
      // be removing the source: then the name is what stands in the way.
      FileId taken;
      if (parent_.IdentityOf(name_, &taken).ok()) {
        Fail(report_, FsStatus(FsStatus::kExists), "check destination");
      } else {
        report_->changed_while_copying = true;
      }
      return Abort(tree.get());
    }
    if (status.ok()) status = Fail(report_, request_.release.CopyOwnAttributesTo(*tree), "copy");
    if (status.ok()) status = Flush(*tree);
    if (!status.ok()) return Abort(tree.get());
    // Each source file goes only while it is still the file the copy read.
    return PublishCopy(tree, before, read);
  }

  /// The published copy, after a copy that was published.
  std::unique_ptr<Folder> published;

 private:
  FsStatus Publish(Folder& tree) {
    return RetryWhileHeld(clock_, [&] { return tree.MoveTo(parent_, name_); });
  }

  /// A flush; a refusal that the platform tolerates is only noted.
  FsStatus Flush(Folder& folder) {
    const FsStatus flushed = Fail(report_, folder.Flush(), "flush");
    if (flushed.ok() && flushed.os_error() != 0) {
      flush_refused_ = true;
      report_->notes.push_back("flush refused: " + std::to_string(flushed.os_error()) + " " +
                               flushed.os_text());
    }
    return flushed;
  }

  /// True when the work entry holds a whole copy of the source as it is
  /// now: its source has the fingerprint it had when the copy was checked.
  bool IsKeptCopyOf(const TreeSnapshot& source, std::unique_ptr<Folder>* tree) {
    TreeSnapshot kept;
    return Fingerprint(source) == entry_.kept_fingerprint() &&
           entry_.folder().Open(WorkEntry::kTreeName, tree).ok() &&
           TakeSnapshot(**tree, &kept).ok() && SameShape(source, kept);
  }

  /// Publishes the checked copy of `source`; then deletes the source files
  /// as `read` holds them.
  MoveOutcome PublishCopy(std::unique_ptr<Folder>& tree, const TreeSnapshot& source,
                          const TreeSnapshot& read) {
    const FsStatus status = Publish(*tree);
    if (!status.ok()) {
      Fail(report_, status, "publish");
      // The staged copy is no longer what was copied: it is never published.
      if (status == FsStatus::kSwapped) report_->changed_while_copying = true;
      // Held back by a scanner, an indexer or a download below it: the
      // whole, checked copy waits for the next pre instead of being lost.
      if (IsHeldBack(status) &&
          entry_.Mark(WorkEntry::kComplete + Fingerprint(source)).ok()) {
        report_->kept_copy = true;
        return MoveOutcome::kNotMoved;
      }
      return Abort(tree.get());
    }
    published = std::move(tree);
    FinishEntry();
    // The rename itself must be on disk too before the source goes, and the
    // folder it went into when this pre made it: were it lost in a crash,
    // only the source would be left to pre again. Where the target's file
    // system refuses to flush a folder, that cannot be known: the source
    // stays.
    if (!Flush(parent_).ok() || flush_refused_) return MoveOutcome::kMovedSourceLeft;
    if (request_.into_made && !Flush(request_.target).ok()) return MoveOutcome::kMovedSourceLeft;
    const FsStatus removed = RemoveCopiedSource(request_.release, read, report_);
    if (removed.ok()) return MoveOutcome::kMoved;
    Fail(report_, removed == FsStatus::kSwapped ? FsStatus(FsStatus::kInUse) : removed,
         "delete source");
    return MoveOutcome::kMovedSourceLeft;
  }

  /// Throws the copy away (when there is one) and ends the entry.
  MoveOutcome Abort(Folder* tree) {
    if (tree) DeleteTree(*tree);
    entry_.Finish();
    return MoveOutcome::kNotMoved;
  }

  MoveOutcome Done(MoveOutcome outcome) {
    FinishEntry();
    return outcome;
  }

  void FinishEntry() {
    const FsStatus finished = entry_.Finish();
    if (!finished.ok()) report_->notes.push_back("work entry stays: " + finished.os_text());
  }

  MoveOutcome LeaveInEntry(MoveOutcome outcome) {
    entry_.Abandon();
    const char sep = fs_.Separator();
    report_->left_at = request_.target_path + sep + entry_.work_name() + sep + entry_.name() +
                       sep + WorkEntry::kTreeName;
    return outcome;
  }

  /// The source as it is now, its own folder's facts included where they
  /// can be had.
  FsStatus SnapshotOfSource(TreeSnapshot* snapshot) {
    const FsStatus status = TakeSnapshot(request_.release, snapshot);
    if (status.ok() && !request_.own.Examine(request_.name, &snapshot->self).ok()) {
      snapshot->self = FileFacts();
    }
    return status;
  }

  FileSystem& fs_;
  Clock* clock_;
  const MoveRequest& request_;
  Folder& parent_;
  std::string name_;
  WorkEntry& entry_;
  MoveReport* report_;
  bool flush_refused_ = false;  // a folder's flush was refused
};

}  // namespace

MoveOutcome MoveRelease(FileSystem& fs, Clock* clock, const MoveRequest& request,
                        MoveReport* report, std::unique_ptr<Folder>* copy) {
  MoveReport ignored;
  if (!report) report = &ignored;
  // Nothing is moved or copied where something already is.
  const auto taken = [&] {
    FileId there;
    if (!request.into.IdentityOf(request.into_name, &there).ok()) return false;
    Fail(report, FsStatus(FsStatus::kExists), "check destination");
    return true;
  };
  if (taken()) return MoveOutcome::kNotMoved;
  // Two pres of one release at once: the one that claims its work entry
  // first moves it; the other finds it taken, as the destination will be.
  std::unique_ptr<WorkEntry> entry;
  FsStatus claimed = WorkEntry::Claim(request.target, request.into_name, request.key, &entry);
  if (claimed == FsStatus::kInUse) claimed = FsStatus(FsStatus::kExists);
  if (!Fail(report, claimed, "claim work entry").ok()) return MoveOutcome::kNotMoved;
  // The other may also have published it and let its entry go just
  // before this claim.
  if (taken()) {
    entry->Finish();
    return MoveOutcome::kNotMoved;
  }
  Mover mover(fs, clock, request, *entry, report);
  if (!request.copy_first && entry->kept_fingerprint().empty()) {
    FsStatus renamed;
    const MoveOutcome outcome = mover.Rename(&renamed);
    if (renamed != FsStatus::kCrossDevice) return outcome;
  }
  const MoveOutcome outcome = mover.Copy();
  if (copy) *copy = std::move(mover.published);
  return outcome;
}

MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first,
                             MoveReport* report, Clock* clock, const WorkKey& key) {
  const char sep = fs.Separator();
  std::unique_ptr<Folder> own;
  std::unique_ptr<Folder> release;
  std::unique_ptr<Folder> target;
  const std::string name = FileNameOf(source, sep);
  std::string target_path = FolderOf(destination, sep);
  std::string resolved;
  if (fs.ResolveFolder(target_path, &resolved).ok()) target_path = resolved;
  if (!fs.OpenFolder(FolderOf(source, sep), &own).ok() || !own->Open(name, &release).ok()) {
    return MoveOutcome::kNotMoved;
  }
  const FsStatus opened = fs.OpenFolder(target_path, &target);
  if (!opened.ok()) {
    if (report) report->Note(opened, "open target");
    return MoveOutcome::kNotMoved;
  }
  MoveRequest request{*own,    *release, name,       *target, target_path, *target,
                      FileNameOf(destination, sep), false, copy_first, nullptr, key};
  return MoveRelease(fs, clock, request, report);
}

}  // namespace ovpre
