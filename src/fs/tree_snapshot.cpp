#include "fs/tree_snapshot.h"

#include <algorithm>
#include <memory>

#include "text/text.h"

namespace ovpre {

namespace {

bool SameItemShape(const FolderItem& a, const FolderItem& b) {
  return a.name == b.name && a.kind == b.kind && a.size == b.size && a.target == b.target;
}

bool SameItemFacts(const FolderItem& a, const FolderItem& b) {
  return SameItemShape(a, b) && a.modified == b.modified && a.changed == b.changed &&
         a.number == b.number;
}

template <typename SameItem>
bool SameTree(const TreeSnapshot& a, const TreeSnapshot& b, SameItem same_item) {
  if (a.items.size() != b.items.size() || a.folders.size() != b.folders.size()) return false;
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    if (!same_item(a.items[i], b.items[i])) return false;
  }
  for (std::size_t i = 0; i < a.folders.size(); ++i) {
    if (!SameTree(a.folders[i], b.folders[i], same_item)) return false;
  }
  return true;
}

/// Adds one field to `hash`, ended so that "ab","c" differs from "a","bc".
void Mix(uint64_t* hash, const std::string& bytes) {
  *hash = Fnv1a(std::string(1, '\xff'), Fnv1a(bytes, *hash));
}

void MixTree(uint64_t* hash, const TreeSnapshot& tree) {
  std::size_t folder = 0;
  Mix(hash, std::to_string(tree.self.changed) + ' ' + std::to_string(tree.self.number));
  for (const FolderItem& item : tree.items) {
    Mix(hash, item.name);
    Mix(hash, std::to_string(static_cast<int>(item.kind)) + ' ' + std::to_string(item.size) +
                  ' ' + std::to_string(item.modified) + ' ' + std::to_string(item.changed) +
                  ' ' + std::to_string(item.number));
    Mix(hash, item.target);
    if (item.kind == EntryKind::kFolder) MixTree(hash, tree.folders[folder++]);
  }
  Mix(hash, "end");
}

FsStatus TakeLevel(Folder& folder, TreeSnapshot* snapshot, int depth) {
  snapshot->items.clear();
  snapshot->folders.clear();
  FsStatus status = folder.List(&snapshot->items);
  if (!status.ok()) return status;
  std::sort(snapshot->items.begin(), snapshot->items.end(),
            [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  for (FolderItem& item : snapshot->items) {
    if (item.kind != EntryKind::kFolder && item.kind != EntryKind::kLink) continue;
    FileFacts facts;
    status = folder.Examine(item.name, &facts);
    if (!status.ok()) return status;
    item.changed = facts.changed;
    item.number = facts.number;
    if (item.kind != EntryKind::kFolder) continue;
    if (depth >= kMaxFolderDepth) return FsStatus::kTooDeep;
    std::unique_ptr<Folder> child;
    status = folder.Open(item.name, &child);
    snapshot->folders.emplace_back();
    if (status.ok()) status = TakeLevel(*child, &snapshot->folders.back(), depth + 1);
    if (!status.ok()) return status;
  }
  return FsStatus::kOk;
}

}  // namespace

FsStatus TakeSnapshot(Folder& folder, TreeSnapshot* snapshot) {
  return TakeLevel(folder, snapshot, 0);
}

bool SameShape(const TreeSnapshot& a, const TreeSnapshot& b) {
  return SameTree(a, b, SameItemShape);
}

bool SameFacts(const TreeSnapshot& a, const TreeSnapshot& b) {
  return a.self.changed == b.self.changed && a.self.number == b.self.number &&
         SameTree(a, b, SameItemFacts);
}

std::string Fingerprint(const TreeSnapshot& snapshot) {
  uint64_t hash = kFnvStart;
  MixTree(&hash, snapshot);
  return Hex16(hash);
}

uint64_t LargestFile(const TreeSnapshot& snapshot) {
  uint64_t largest = 0;
  for (const FolderItem& item : snapshot.items) {
    if (item.kind == EntryKind::kFile) largest = std::max(largest, item.size);
  }
  for (const TreeSnapshot& folder : snapshot.folders) {
    largest = std::max(largest, LargestFile(folder));
  }
  return largest;
}

bool SameFile(const FolderItem& item, const FileFacts& facts) {
  if (item.kind != facts.kind) return false;
  if (item.kind != EntryKind::kFile) return true;
  return item.size == facts.size && item.changed == facts.changed &&
         (item.number == 0 || facts.number == 0 || item.number == facts.number);
}

}  // namespace ovpre
