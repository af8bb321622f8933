#pragma once
#include <functional>
#include <memory>
#include <string>

#include "fs/folder_ops.h"
#include "fs/work_key.h"
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
  Folder& target;           // the configured target folder, which holds the
                            // work folder
  std::string target_path;  // the path of `target`, for the log
  Folder& into;             // where it is published: `target` or a folder in it
  std::string into_name;    // its name there
  bool into_made = false;   // `into` was made by this pre: it is made durable
                            // before any source file is removed
  bool copy_first = false;  // copy even where a rename would do
  /// Asked before the release is copied (not before a rename, nor before
  /// a kept copy is published); false refuses the copy (report.refused).
  std::function<bool()> may_copy;
  WorkKey key;              // tells this program's work entries from others
};

/// Moves the release of `request` into `request.into` under `into_name`,
/// which must be free. Everything passes through the release's entry in the work
/// folder of the configured target (WorkEntry), so that the final name
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
/// MoveRelease does into the folder of `destination` (links on its way
/// followed), which serves as the target too; kNotMoved when either cannot
/// be opened. The work entries are told apart with `key`.
MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first,
                             MoveReport* report = nullptr, Clock* clock = nullptr,
                             const WorkKey& key = "0123456789abcdef");

}  // namespace ovpre
