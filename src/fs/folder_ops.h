#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fs/tree_snapshot.h"
#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre {

/// What one move did and, when something failed, where and why: for the
/// reply's reason line and the log.
struct MoveReport {
  bool copied = false;  // copied and deleted rather than renamed
  uint64_t files = 0;   // files copied (a rename copies none)
  uint64_t bytes = 0;   // bytes of the files copied
  FsStatus failure;     // the first failure; kOk when there was none
  std::string step;     // where it failed, for example "rename" or "copy file"
  bool changed_while_copying = false;  // the source changed during the copy
  bool refused = false;    // the copy was refused before it began
  bool kept_copy = false;  // a whole copy stays in the work folder, to be
                           // published by the next pre of the release
  std::string left_at;  // where something that is not the release was left
  std::vector<std::string> notes;  // what went wrong but changed nothing

  /// Keeps `status` as the failure of `where` unless one came before.
  void Note(const FsStatus& status, const char* where);
};

/// Copies everything inside `source` into the empty folder `target`: files,
/// folders, and links as links; kInUse for a file that a writer holds.
/// Counts into `report`. A tree deeper than kMaxFolderDepth is kTooDeep. `copied` (may be null)
/// gets the tree as it was copied, each file with the facts that the
/// handle which read it showed at the end.
FsStatus CopyTree(Folder& source, Folder& target, MoveReport* report,
                  TreeSnapshot* copied = nullptr);

/// Deletes everything inside `folder` and then the folder itself, read-only
/// items included; links are removed themselves, never followed. Goes on
/// past items it cannot remove and reports the first failure.
FsStatus DeleteTree(Folder& folder);

/// Deletes the source of a published copy, as `copied` holds it: each file
/// or link goes only while it is still the one copied (same file, size and
/// change time; same link target) and no writer holds it, looked at in the
/// one operation that removes it. The first that is not stops the
/// deletion, so that it and everything not yet removed stays. Anything new
/// keeps its folder too. kOk only when the whole folder is gone. Files
/// removed without a check for writers are noted in `report`.
FsStatus RemoveCopiedSource(Folder& folder, const TreeSnapshot& copied, MoveReport* report);

/// True when something else holds what an operation needed (kInUse, or
/// kDenied, as Windows says of a folder with open files below): a moment
/// later it may be free.
inline bool IsHeldBack(const FsStatus& status) {
  return status == FsStatus::kInUse || status == FsStatus::kDenied;
}

/// Runs `attempt` again while it fails because something else holds what
/// it needs (kInUse, or kDenied, as Windows says of a folder with open
/// files below), for about five seconds with growing pauses. Without a
/// clock it runs once.
template <typename Attempt>
FsStatus RetryWhileHeld(Clock* clock, Attempt attempt) {
  constexpr uint64_t kPatienceMs = 5000;
  uint64_t pause = 50;
  uint64_t waited = 0;
  for (;;) {
    const FsStatus status = attempt();
    if (!IsHeldBack(status) || !clock || waited >= kPatienceMs) return status;
    clock->Sleep(pause);
    waited += pause;
    pause = pause * 2 > 1000 ? 1000 : pause * 2;
  }
}

}  // namespace ovpre
