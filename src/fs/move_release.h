#pragma once
#include <functional>
#include <memory>
#include <string>

#include "fs/folder_ops.h"
#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre {

/// How moving a release folder ended.
enum class MoveOutcome {
  kMoved,            // the tree is at the destination and gone from the source
  kMovedSourceLeft,  // the tree is whole at the destination; part of the
                     // source was not deleted after the copy (it could not
                     // be, or it was written to after it was copied)
  kNotMoved,         // nothing changed at the destination: the tree is whole
                     // at the source, or (report.kept_copy) a whole copy of
                     // it also waits in the work folder
  kSwapped,          // the name no longer led to the folder that was checked;
                     // whatever was renamed has been handed back, or, when
                     // that failed, left in the work folder (report.left_at)
};

/// A release to move: opened inside the folder that holds it.
struct MoveRequest {
  Folder& own;              // the folder the release is in
  Folder& release;          // the release, opened inside `own`
  std::string name;         // its name in `own`
  std::string destination;  // its new path
  bool copy_first = false;  // copy even where a rename would do
  /// Asked before the release is copied (not before a rename, nor before
  /// a kept copy is published); false refuses the copy (report.refused).
  std::function<bool()> may_copy;
};

/// Moves the release of `request` to its destination, which must not
/// exist; no folder above it is created. Everything passes through the release's entry in the work
/// folder of the destination's folder (WorkEntry), so that the final name
/// holds nothing or the whole release at every moment, and never anything
/// else:
/// - the rename into the entry is tried first and checked to have moved
///   the very folder that was opened; then the entry's tree is published
///   under the final name, never replacing anything;
/// - only when the volumes differ, or with copy_first, is the tree copied
///   into the entry, made durable, compared with the source (which must not
///   have changed meanwhile), published, and the source deleted file by
///   file, each looked at again first (RemoveCopiedSource). A publish that
///   something holds back keeps the whole copy for the next pre, which
///   publishes it when its source is still the same.
/// Renames that something else holds back are retried for a while; `clock`
/// (may be null: no waiting) paces that. After a published copy, `copy`
/// (when given) gets the published folder, held open; after a rename the
/// request's release is the published folder.
MoveOutcome MoveRelease(FileSystem& fs, Clock* clock, const MoveRequest& request,
                        MoveReport* report, std::unique_ptr<Folder>* copy = nullptr);

/// Opens the folder holding `source` and the release in it, and moves it as
/// MoveRelease does; kNotMoved when either cannot be opened.
MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first,
                             MoveReport* report = nullptr, Clock* clock = nullptr);

}  // namespace ovpre
