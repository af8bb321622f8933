#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ovpre {

/// The deepest a folder may lie below the folder a walk starts from. The
/// walks of a tree hold one folder open per level and go down by calling
/// themselves: a deeper tree is refused whole (kTooDeep) by the first walk,
/// before anything is moved, which keeps every walk within the descriptors
/// and the stack a process has.
inline constexpr int kMaxFolderDepth = 256;

/// Everything under one folder as it was at one moment: the entries of each
/// folder, sorted by name, with the same for each subfolder. Names are held
/// per folder, never as full paths, so a deep tree costs what its names do.
struct TreeSnapshot {
  std::vector<FolderItem> items;       // sorted by name
  std::vector<TreeSnapshot> folders;   // one per folder item, in item order
  FileFacts self;  // the folder's own facts, where the caller looked at them
};

/// Takes the snapshot of everything under `folder`, links never followed;
/// kTooDeep for a tree deeper than kMaxFolderDepth. Folders and links carry
/// their change time and number too: a folder's change time moves with its
/// mode and its set of entries, and a link pointed elsewhere is a new link.
FsStatus TakeSnapshot(Folder& folder, TreeSnapshot* snapshot);

/// True when both hold the same names, kinds, sizes and link targets: what a
/// copy on another file system, which may keep times more coarsely, must
/// show.
bool SameShape(const TreeSnapshot& a, const TreeSnapshot& b);

/// True when both also hold the same times and file numbers: nothing was
/// added, removed, resized or rewritten in between.
bool SameFacts(const TreeSnapshot& a, const TreeSnapshot& b);

/// A short text that changes whenever SameFacts would say false: kept with
/// a finished copy, to know later whether its source is still as copied.
std::string Fingerprint(const TreeSnapshot& snapshot);

/// The size of the largest file in the tree.
uint64_t LargestFile(const TreeSnapshot& snapshot);

/// True when `facts`, looked at now, show the same file as `item` did.
bool SameFile(const FolderItem& item, const FileFacts& facts);

}  // namespace ovpre
