#include "support/memory_fs.h"

#include <algorithm>

#include "text/text.h"

namespace ovpre::test {

namespace {

constexpr char kSep = '\\';

/// The folder part of `path` (before its last separator), "" at the top.
std::string ParentOf(const std::string& path) {
  const std::size_t cut = path.rfind(kSep);
  return cut == std::string::npos ? "" : path.substr(0, cut);
}

std::string NameOf(const std::string& path) { return FileNameOf(path, kSep); }

bool IsInside(const std::string& key, const std::string& folder_key) {
  return key.size() > folder_key.size() && key[folder_key.size()] == kSep &&
         key.compare(0, folder_key.size(), folder_key) == 0;
}

class CountingControl final : public OwnershipControl {
 public:
  explicit CountingControl(int* calls) : calls_(calls) {}
  bool SetOwnership(const std::string&, const std::string&, const std::string&,
                    const std::string&, OwnershipScope, std::string*) override {
    ++*calls_;
    return true;
  }

 private:
  int* calls_;
};

}  // namespace

/// A folder of the in-memory file system, reached by its path: the fake has
/// no links, so there is nothing a path could be redirected through.
class MemoryFolder final : public Folder {
 public:
  MemoryFolder(MemoryFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  ~MemoryFolder() override {
    if (claimed_) fs_.claimed_.erase(fs_.FoldCase(path_));
  }

  FsStatus List(std::vector<FolderItem>* items) override { return fs_.ReadFolder(path_, items); }
  FsStatus Open(const std::string& name, std::unique_ptr<Folder>* folder) override {
    return fs_.OpenFolder(Child(name), folder);
  }
  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    const FsStatus made = fs_.MakeFolder(Child(name));
    return made.ok() ? Open(name, folder) : made;
  }
  FsStatus CopyFileTo(const std::string& name, Folder& target) override {
    return fs_.CopyOneFile(Child(name), PathOf(target) + kSep + name);
  }
  FsStatus ReadBlocks(const std::string& name, const BlockReader& block) override {
    const std::string* content = fs_.FileContent(Child(name));
    if (!content) return fs_.Find(Child(name)) ? FsStatus::kNotCopyable : FsStatus::kNotFound;
    // Small blocks, so that whoever reads sees a file in several pieces.
    constexpr std::size_t kBlock = 7;
    for (std::size_t at = 0; at < content->size(); at += kBlock) {
      if (!block(content->data() + at, std::min(kBlock, content->size() - at))) break;
    }
    return FsStatus::kOk;
  }
  FsStatus CopyLinkTo(const std::string& name, Folder& target) override {
    return fs_.CopyLink(Child(name), PathOf(target) + kSep + name);
  }
  FsStatus CopyOwnAttributesTo(Folder& target) override {
    return fs_.CopyFolderAttributes(path_, PathOf(target));
  }
  FsStatus RemoveFile(const std::string& name) override { return fs_.RemoveFile(Child(name)); }
  FsStatus RemoveSelf() override { return fs_.RemoveFolder(path_); }
  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    const std::string to = PathOf(target) + kSep + new_name;
    const FsStatus moved = fs_.MoveNoReplace(path_, to);
    if (!moved.ok()) return moved;
    if (claimed_) {
      fs_.claimed_.erase(fs_.FoldCase(path_));
      fs_.claimed_.insert(fs_.FoldCase(to));
    }
    path_ = to;
    return FsStatus::kOk;
  }
  FsStatus Identity(FileId* id) override { return fs_.IdentityOf(path_, id); }
  FsStatus IdentityOf(const std::string& name, FileId* id) override {
    return fs_.IdentityOf(Child(name), id);
  }
  FsStatus SetHidden(bool) override { return FsStatus::kOk; }
  FsStatus Flush() override { return FsStatus::kOk; }

  FsStatus Examine(const std::string&, FileFacts*) override { return FsStatus::kFailed; }
  uint64_t MaxFileSize() override { return UINT64_MAX; }
  FsStatus OpenWorkFolder(const std::string&, std::unique_ptr<Folder>*) override {
    return FsStatus::kFailed;
  }
  FsStatus OpenMark(const std::string&, bool, std::unique_ptr<WorkMark>*) override {
    return FsStatus::kFailed;
  }

 private:
  std::string Child(const std::string& name) const { return path_ + kSep + name; }
  static const std::string& PathOf(Folder& folder) {
    return static_cast<MemoryFolder&>(folder).path_;
  }

  MemoryFileSystem& fs_;
  std::string path_;
  bool claimed_ = false;
};

FsStatus MemoryFileSystem::OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) {
  const MemoryNode* node = Find(path);
  if (!node) return FsStatus::kNotFound;
  if (node->kind != EntryKind::kFolder) return FsStatus::kFailed;
  *folder = std::make_unique<MemoryFolder>(*this, path);
  return FsStatus::kOk;
}

std::unique_ptr<OwnershipControl> MemoryOutsiders::Create(std::string*) {
  return std::make_unique<CountingControl>(&ownership_calls);
}

FsStatus MemoryFileSystem::ResolveFolder(const std::string& path, std::string* resolved) {
  *resolved = path;
  return FsStatus::kOk;
}

std::string MemoryFileSystem::FoldCase(const std::string& path) const {
  return LowerAscii(path);
}

void MemoryFileSystem::AddFolder(const std::string& path) {
  if (path.empty() || Find(path)) return;
  AddFolder(ParentOf(path));
  nodes_[FoldCase(path)] = MemoryNode{EntryKind::kFolder, NameOf(path), "", ++last_number_};
}

void MemoryFileSystem::AddFile(const std::string& path, const std::string& content) {
  AddFolder(ParentOf(path));
  nodes_[FoldCase(path)] = MemoryNode{EntryKind::kFile, NameOf(path), content, ++last_number_};
}

std::vector<std::pair<std::string, std::string>> MemoryFileSystem::Files() const {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& [key, node] : nodes_) {
    if (node.kind == EntryKind::kFile) files.emplace_back(key, node.content);
  }
  return files;
}

const std::string* MemoryFileSystem::FileContent(const std::string& path) const {
  const MemoryNode* node = Find(path);
  return node && node->kind == EntryKind::kFile ? &node->content : nullptr;
}

const MemoryNode* MemoryFileSystem::Find(const std::string& path) const {
  const auto found = nodes_.find(FoldCase(path));
  return found == nodes_.end() ? nullptr : &found->second;
}

bool MemoryFileSystem::HasChildren(const std::string& key) const {
  // Children sort right after key + separator; "key-x" and the like sort
  // elsewhere, so the search starts there and not at the key itself.
  const auto next = nodes_.lower_bound(key + kSep);
  return next != nodes_.end() && IsInside(next->first, key);
}

FsStatus MemoryFileSystem::CheckNewEntry(const std::string& path) const {
  if (path.empty() || path.size() > kMaxPath) return FsStatus::kFailed;
  if (Find(path)) return FsStatus::kExists;
  const std::string parent = ParentOf(path);
  // A name without a separator is a drive, which always has room.
  if (parent.empty() && path.find(kSep) == std::string::npos) return FsStatus::kOk;
  const MemoryNode* folder = Find(parent);
  return folder && folder->kind == EntryKind::kFolder ? FsStatus::kOk : FsStatus::kNotFound;
}

EntryKind MemoryFileSystem::KindOf(const std::string& path) {
  const MemoryNode* node = Find(path);
  return node ? node->kind : EntryKind::kMissing;
}

FsStatus MemoryFileSystem::IdentityOf(const std::string& path, FileId* id) {
  const MemoryNode* node = Find(path);
  if (!node) return FsStatus::kNotFound;
  *id = FileId{1, node->number};
  return FsStatus::kOk;
}

bool MemoryFileSystem::VisibleFileExists(const std::string& path) {
  const MemoryNode* node = Find(path);
  return node && node->kind == EntryKind::kFile;
}

FsStatus MemoryFileSystem::Children(const std::string& folder,
                                    std::vector<FolderItem>* items) const {
  const MemoryNode* node = Find(folder);
  if (!node || node->kind != EntryKind::kFolder) return FsStatus::kNotFound;
  const std::string key = FoldCase(folder);
  for (auto it = nodes_.lower_bound(key + kSep);
       it != nodes_.end() && IsInside(it->first, key); ++it) {
    if (it->first.find(kSep, key.size() + 1) != std::string::npos) continue;
    const MemoryNode& child = it->second;
    items->push_back(FolderItem{child.name, child.kind, child.content.size()});
  }
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::ReadFolder(const std::string& folder,
                                      std::vector<FolderItem>* items) {
  return Children(folder, items);
}

FsStatus MemoryFileSystem::SearchFolder(const std::string& folder,
                                        std::vector<DirEntry>* entries) {
  std::vector<FolderItem> items;
  const FsStatus listed = Children(folder, &items);
  if (listed != FsStatus::kOk) return listed;
  // Like Windows, a folder below the top lists "." and ".." first.
  if (folder.find(kSep) != std::string::npos) items.insert(items.begin(), {{"."}, {".."}});
  for (const FolderItem& item : items) {
    const bool is_folder = item.kind == EntryKind::kFolder || item.name == ".";
    entries->push_back(DirEntry{item.name, 37623.0, is_folder ? kAttrFolder : kAttrArchive});
  }
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::FreeBytes(const std::string&, uint64_t* bytes) {
  *bytes = free_bytes;
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::MoveNoReplace(const std::string& from, const std::string& to) {
  if (!Find(from)) return FsStatus::kNotFound;
  const FsStatus room = CheckNewEntry(to);
  if (room != FsStatus::kOk) return room;
  const std::string from_key = FoldCase(from);
  const std::string to_key = FoldCase(to);
  // A rename never crosses drives, and a folder cannot go inside itself.
  if (from_key[0] != to_key[0]) return FsStatus::kCrossDevice;
  if (IsInside(to_key, from_key)) return FsStatus::kFailed;
  std::map<std::string, MemoryNode> moved;
  for (auto it = nodes_.lower_bound(from_key + kSep);
       it != nodes_.end() && IsInside(it->first, from_key);) {
    moved[to_key + it->first.substr(from_key.size())] = std::move(it->second);
    it = nodes_.erase(it);
  }
  moved[to_key] = std::move(nodes_[from_key]);
  moved[to_key].name = NameOf(to);
  nodes_.erase(from_key);
  nodes_.merge(moved);
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::MakeFolder(const std::string& path) {
  const FsStatus room = CheckNewEntry(path);
  if (room != FsStatus::kOk) return room;
  nodes_[FoldCase(path)] = MemoryNode{EntryKind::kFolder, NameOf(path), "", ++last_number_};
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::CopyOneFile(const std::string& from, const std::string& to) {
  const MemoryNode* source = Find(from);
  if (!source || source->kind != EntryKind::kFile) return FsStatus::kNotFound;
  const FsStatus room = CheckNewEntry(to);
  if (room != FsStatus::kOk) return room;
  const std::string content = source->content;
  nodes_[FoldCase(to)] = MemoryNode{EntryKind::kFile, NameOf(to), content, ++last_number_};
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::CopyLink(const std::string&, const std::string&) {
  // The fake holds no links, so there is never one to copy.
  return FsStatus::kNotFound;
}

FsStatus MemoryFileSystem::CopyFolderAttributes(const std::string& from,
                                                const std::string& to) {
  return Find(from) && Find(to) ? FsStatus::kOk : FsStatus::kNotFound;
}

FsStatus MemoryFileSystem::RemoveFile(const std::string& path) {
  const MemoryNode* node = Find(path);
  if (!node) return FsStatus::kNotFound;
  if (node->kind == EntryKind::kFolder) return FsStatus::kFailed;
  nodes_.erase(FoldCase(path));
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::RemoveFolder(const std::string& path) {
  const MemoryNode* node = Find(path);
  if (!node) return FsStatus::kNotFound;
  if (node->kind != EntryKind::kFolder) return FsStatus::kFailed;
  if (HasChildren(FoldCase(path))) return FsStatus::kExists;
  nodes_.erase(FoldCase(path));
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::CheckFileTarget(const std::string& path) const {
  const MemoryNode* node = Find(path);
  if (!node) return CheckNewEntry(path);
  return node->kind == EntryKind::kFile ? FsStatus::kOk : FsStatus::kFailed;
}

FsStatus MemoryFileSystem::ReadTextFile(const std::string& path, std::string* text) {
  const std::string* content = FileContent(path);
  if (!content) return FsStatus::kNotFound;
  *text = *content;
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::WriteTextFile(const std::string& path, const std::string& text) {
  const FsStatus target = CheckFileTarget(path);
  if (target != FsStatus::kOk) return target;
  nodes_[FoldCase(path)] = MemoryNode{EntryKind::kFile, NameOf(path), text, ++last_number_};
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::OwnName(const std::string& path, std::string* name) {
  const MemoryNode* node = Find(path);
  if (!node) return FsStatus::kNotFound;
  *name = node->name;
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::CreateTextFile(const std::string& path, const std::string& text) {
  const FsStatus room = CheckNewEntry(path);
  if (room != FsStatus::kOk) return room;
  nodes_[FoldCase(path)] = MemoryNode{EntryKind::kFile, NameOf(path), text, ++last_number_};
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::AppendTextLocked(const std::string& path,
                                            const AppendDecision& decide) {
  const FsStatus target = CheckFileTarget(path);
  if (target != FsStatus::kOk) return target;
  MemoryNode& file = nodes_[FoldCase(path)];
  file.kind = EntryKind::kFile;
  file.name = NameOf(path);
  if (const std::optional<std::string> addition = decide(file.content)) {
    file.content += *addition;
  }
  return FsStatus::kOk;
}

}  // namespace ovpre::test
