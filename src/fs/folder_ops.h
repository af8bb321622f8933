#pragma once
#include <cstdint>
#include <string>

#include "platform/file_system.h"

namespace ovpre {

/// How moving a release folder ended.
enum class MoveOutcome {
  kMoved,           // the tree is at the destination and gone from the source
  kMovedSourceLeft, // the tree is whole at the destination; deleting part of
                    // the source after the copy failed
  kNotMoved,        // nothing changed: the tree is whole at the source
};

/// What one move did and, when something failed, where and why: for the
/// reply's reason line and the log.
struct MoveReport {
  bool copied = false;  // copied and deleted rather than renamed
  uint64_t files = 0;   // files copied (a rename copies none)
  uint64_t bytes = 0;   // bytes of the files copied
  FsStatus failure;     // the first failure; kOk when there was none
  std::string step;     // where it failed: "check destination", "rename",
                        // "make folder", "copy", "delete source"
  bool changed_while_copying = false;  // the source changed during the copy

  /// Keeps `status` as the failure of `where` unless one came before.
  void Note(const FsStatus& status, const char* where);
};

/// Moves the folder `source` to `destination`, which must not exist; no
/// folder above `destination` is created. With `copy_first` (the two are on
/// different drives) the tree is copied and the source deleted; otherwise it
/// is renamed, falling back to copy-and-delete when the platform refuses the
/// rename across devices. A copy that fails part way is removed again, so the
/// destination never holds part of a release. `report`, when given, says
/// how it went.
MoveOutcome MoveFolderSafely(FileSystem& fs, const std::string& source,
                             const std::string& destination, bool copy_first,
                             MoveReport* report = nullptr);

/// Copies the tree `source` to `destination` (which must not exist): files,
/// folders, and links as links. On failure, whatever this call created is
/// removed again. `report`, when given, counts what was copied and keeps
/// the failing step.
FsStatus CopyTree(FileSystem& fs, const std::string& source,
                  const std::string& destination, MoveReport* report = nullptr);

/// Deletes the tree `path` with everything in it, read-only items included.
/// A link is removed itself; what it points to is never touched. Goes on past
/// items it cannot remove and reports the first failure.
FsStatus DeleteTree(FileSystem& fs, const std::string& path);

}  // namespace ovpre
