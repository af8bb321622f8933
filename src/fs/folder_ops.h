#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace ovpre {

/// How moving a release folder ended.
enum class MoveOutcome {
  kMoved,            // the tree is at the destination and gone from the source
  kMovedSourceLeft,  // the tree is whole at the destination; part of the
                     // source could not be deleted after the copy
  kNotMoved,         // nothing changed: the tree is whole at the source
                     // (the report says when the source changed meanwhile)
  kSwapped,          // the name no longer led to the folder that was checked;
                     // whatever was renamed has been put back
};

/// What one move did and, when something failed, where and why: for the
/// reply's reason line and the log.
struct MoveReport {
  bool copied = false;  // copied and deleted rather than renamed
  uint64_t files = 0;   // files copied (a rename copies none)
  uint64_t bytes = 0;   // bytes of the files copied
  FsStatus failure;     // the first failure; kOk when there was none
  std::string step;     // where it failed, for example "rename" or "copy file"
  bool changed_while_copying = false;  // the source changed during the copy

  /// Keeps `status` as the failure of `where` unless one came before.
  void Note(const FsStatus& status, const char* where);
};
/// The hidden name beside the destination under which a copy across
/// volumes is assembled before it is published under `release`.
std::string StagingName(const std::string& release);

/// Moves the opened folder `release` to `destination`, which must not exist;
/// no folder above `destination` is created. The rename is tried first (and
/// checked to have moved the very folder that was opened); only when the
/// volumes differ, or with `copy_first`, is the tree copied and the source
/// deleted. A copy is assembled under StagingName() beside the destination,
/// made durable, compared with the source (which must not have changed
/// meanwhile) and only then renamed to the destination, never replacing
/// anything; so the destination holds nothing or the whole release at every
/// moment. A staging folder left by a run that was killed is removed first,
/// unless a running pre still claims it.
MoveOutcome MoveRelease(FileSystem& fs, Folder& release, const std::string& destination,
                        bool copy_first, MoveReport* report);

/// Opens `source` and moves it as MoveRelease does; kNotMoved when it cannot
/// be opened as a folder.
MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first,
                             MoveReport* report = nullptr);

/// Copies everything inside `source` into the empty folder `target`: files,
/// folders, and links as links. Counts into `report`.
FsStatus CopyTree(Folder& source, Folder& target, MoveReport* report);

/// Deletes everything inside `folder` and then the folder itself, read-only
/// items included; links are removed themselves, never followed. Goes on
/// past items it cannot remove and reports the first failure.
FsStatus DeleteTree(Folder& folder);

/// The names, kinds, sizes and time stamps of everything under `folder`, one
/// line each, in a fixed order: two snapshots differ when anything inside
/// was added, removed, resized or rewritten in between. `shape`, when
/// given, gets the same without the time stamps, which a copy on another
/// file system may keep more coarsely; either output may be null.
FsStatus Snapshot(Folder& folder, std::string* snapshot, std::string* shape = nullptr);

}  // namespace ovpre
