#include "support/memory_fs.h"

#include <algorithm>
#include <cstdint>

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
  bool SetOwnership(const OwnershipGrant&, const OwnershipTarget&, OwnershipScope,
                    std::string*) override {
    ++*calls_;
    return true;
  }

 private:
  int* calls_;
};

}  // namespace

/// A work mark of the in-memory file system: a file node, locked while the
/// object lives.
class MemoryMark final : public WorkMark {
 public:
  MemoryMark(MemoryFileSystem& fs, uint64_t number) : fs_(fs), number_(number) {
    fs_.locked_.insert(number_);
  }
  ~MemoryMark() override { fs_.locked_.erase(number_); }
  FsStatus Read(std::string* state) override {
    MemoryNode* node = fs_.NodeOf(number_);
    if (!node) return FsStatus::kNotFound;
    *state = node->content;
    return FsStatus::kOk;
  }
  FsStatus Write(const std::string& state, bool) override {
    MemoryNode* node = fs_.NodeOf(number_);
    if (!node) return FsStatus::kNotFound;
    node->content = state;
    ++node->changed;
    return FsStatus::kOk;
  }
  FsStatus Remove() override { return fs_.RemoveFile(fs_.PathOf(number_)); }

 private:
  MemoryFileSystem& fs_;
  uint64_t number_;
};

/// A folder of the in-memory file system, held as a handle is: it stays
/// the same node wherever that is renamed to, and what it holds is reached
/// through it. Like a folder on POSIX, it renames itself by its name in its
/// parent, a name that can lead elsewhere by then; the rename is checked.
class MemoryFolder final : public Folder {
 public:
  MemoryFolder(MemoryFileSystem& fs, uint64_t number, uint64_t parent, std::string name)
      : fs_(fs), number_(number), parent_(parent), name_(std::move(name)) {}

  FsStatus List(std::vector<FolderItem>* items) override {
    return fs_.ReadFolder(Path(), items);
  }
  FsStatus Open(const std::string& name, std::unique_ptr<Folder>* folder) override {
    const MemoryNode* node = fs_.Find(Child(name));
    if (!node) return FsStatus::kNotFound;
    if (node->kind != EntryKind::kFolder) return FsStatus::kFailed;
    *folder = std::make_unique<MemoryFolder>(fs_, node->number, number_, node->name);
    return FsStatus::kOk;
  }
  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    const FsStatus made = fs_.MakeFolder(Child(name));
    return made.ok() ? Open(name, folder) : made;
  }
  FsStatus OpenOwnersFolder(const std::string& name, std::unique_ptr<Folder>* folder,
                            bool* made) override {
    const MemoryNode* node = fs_.Find(Child(name));
    *made = !node;
    if (node && node->kind != EntryKind::kFolder) return FsStatus::kExists;
    return node ? Open(name, folder) : Make(name, folder);
  }
  FsStatus CopyFileTo(const std::string& name, Folder& target, FileFacts* copied) override {
    const FsStatus status = fs_.CopyOneFile(Child(name), Of(target).Child(name));
    return status.ok() ? Examine(name, copied) : status;
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
    return fs_.CopyLink(Child(name), Of(target).Child(name));
  }
  FsStatus CopyOwnAttributesTo(Folder& target) override {
    return fs_.CopyFolderAttributes(Path(), Of(target).Path());
  }
  FsStatus RemoveFile(const std::string& name) override { return fs_.RemoveFile(Child(name)); }
  FsStatus RemoveFileIfUnchanged(const FolderItem& expected) override {
    const MemoryNode* node = fs_.Find(Child(expected.name));
    if (!node) return FsStatus::kNotFound;
    const bool file = node->kind == EntryKind::kFile;
    if (node->kind != expected.kind || (expected.number != 0 && node->number != expected.number) ||
        (file && (node->content.size() != expected.size || node->changed != expected.changed))) {
      return FsStatus::kSwapped;
    }
    return fs_.RemoveFile(Child(expected.name));
  }
  FsStatus RemoveSelf() override { return fs_.RemoveFolder(Path()); }
  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    const std::string from = fs_.PathOf(parent_) + kSep + name_;
    const std::string to = Of(target).Child(new_name);
    const FsStatus moved = fs_.MoveNoReplace(from, to);
    if (!moved.ok()) return moved;
    const MemoryNode* arrived = fs_.Find(to);
    if (!arrived || arrived->number != number_) {
      // The name led elsewhere by now: that goes back where it came from.
      if (fs_.MoveNoReplace(to, from).ok()) return FsStatus(FsStatus::kSwapped);
      return FsStatus(FsStatus::kSwapped, 17, "the old name is taken");
    }
    parent_ = Of(target).number_;
    name_ = arrived->name;
    return FsStatus::kOk;
  }
  FsStatus Identity(FileId* id) override { return fs_.IdentityOf(Path(), id); }
  FsStatus IdentityOf(const std::string& name, FileId* id) override {
    return fs_.IdentityOf(Child(name), id);
  }
  FsStatus SetHidden(bool) override { return FsStatus::kOk; }
  FsStatus Flush() override { return FsStatus::kOk; }
  FsStatus Examine(const std::string& name, FileFacts* facts) override {
    const MemoryNode* node = fs_.Find(Child(name));
    if (!node) return FsStatus::kNotFound;
    *facts = FileFacts{node->kind, node->content.size(), node->changed, node->number};
    return FsStatus::kOk;
  }
  uint64_t MaxFileSize() override { return fs_.max_file_size; }
  FsStatus OpenWorkFolder(const std::string& name, std::unique_ptr<Folder>* folder) override {
    const MemoryNode* node = fs_.Find(Child(name));
    if (node && node->kind != EntryKind::kFolder) return FsStatus::kExists;
    return node ? Open(name, folder) : Make(name, folder);
  }
  FsStatus OpenMark(const std::string& name, bool create,
                    std::unique_ptr<WorkMark>* mark) override {
    if (create) {
      const FsStatus made = fs_.CreateTextFile(Child(name), "");
      if (!made.ok()) return made;
    }
    const MemoryNode* node = fs_.Find(Child(name));
    if (!node) return FsStatus::kNotFound;
    if (node->kind != EntryKind::kFile) return FsStatus::kNotCopyable;
    if (fs_.locked_.count(node->number)) return FsStatus::kInUse;
    *mark = std::make_unique<MemoryMark>(fs_, node->number);
    return FsStatus::kOk;
  }

  /// The folder's path now, wherever it was renamed to; "" once it is gone.
  std::string Path() const { return fs_.PathOf(number_); }
  uint64_t number() const { return number_; }

 private:
  std::string Child(const std::string& name) const { return Path() + kSep + name; }
  static MemoryFolder& Of(Folder& folder) { return static_cast<MemoryFolder&>(folder); }

  MemoryFileSystem& fs_;
  uint64_t number_;
  uint64_t parent_;  // 0 at the top
  std::string name_;
};

FsStatus MemoryFileSystem::OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) {
  const MemoryNode* node = Find(path);
  if (!node) return FsStatus::kNotFound;
  if (node->kind != EntryKind::kFolder) return FsStatus::kFailed;
  const MemoryNode* parent = Find(ParentOf(path));
  *folder = std::make_unique<MemoryFolder>(*this, node->number, parent ? parent->number : 0,
                                           node->name);
  return FsStatus::kOk;
}

std::string MemoryFileSystem::PathOf(uint64_t number) const {
  for (const auto& [key, node] : nodes_) {
    if (node.number == number) return key;
  }
  return "";
}

MemoryNode* MemoryFileSystem::NodeOf(uint64_t number) {
  for (auto& [key, node] : nodes_) {
    if (node.number == number) return &node;
  }
  return nullptr;
}

uint64_t MemoryFileSystem::NumberOf(Folder& folder) {
  return static_cast<MemoryFolder&>(folder).number();
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
  MemoryNode& node = nodes_[FoldCase(path)];
  if (node.number == 0 || node.kind != EntryKind::kFile) {
    node = MemoryNode{EntryKind::kFile, NameOf(path), "", ++last_number_};
  }
  // Written to as an upload writes: the same file, changed.
  node.content = content;
  ++node.changed;
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
    const bool file = child.kind == EntryKind::kFile;
    items->push_back(FolderItem{child.name, child.kind, child.content.size(), 0,
                                file ? child.changed : 0, file ? child.number : 0});
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
  if (after_move) after_move();
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

FsStatus MemoryFileSystem::ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                                              std::string* secret) {
  if (!Find(path)) {
    const FsStatus made = CreateTextFile(path, fresh);
    if (!made.ok()) return made;
  }
  return ReadTextFile(path, secret);
}

FsStatus MemoryFileSystem::CreateTextFile(const std::string& path, const std::string& text) {
  const FsStatus room = CheckNewEntry(path);
  if (room != FsStatus::kOk) return room;
  nodes_[FoldCase(path)] = MemoryNode{EntryKind::kFile, NameOf(path), text, ++last_number_};
  return FsStatus::kOk;
}

namespace {

/// A held lock of the in-memory file system: released when it goes.
class MemoryLock final : public HeldLock {
 public:
  MemoryLock(std::set<std::string>& held, std::string key) : held_(held), key_(std::move(key)) {}
  ~MemoryLock() override { held_.erase(key_); }

 private:
  std::set<std::string>& held_;
  std::string key_;
};

}  // namespace

FsStatus MemoryFileSystem::TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) {
  const FsStatus target = CheckFileTarget(path);
  if (target != FsStatus::kOk) return target == FsStatus::kFailed ? FsStatus::kDenied : target;
  const std::string key = FoldCase(path);
  if (!Find(path)) nodes_[key] = MemoryNode{EntryKind::kFile, NameOf(path), "", ++last_number_};
  if (!held_locks_.insert(key).second) return FsStatus::kInUse;
  *lock = std::make_unique<MemoryLock>(held_locks_, key);
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::Append(const std::string& path, const AppendDecision& decide,
                                  bool whole) {
  const FsStatus target = CheckFileTarget(path);
  if (target != FsStatus::kOk) return target;
  MemoryNode& file = nodes_[FoldCase(path)];
  file.kind = EntryKind::kFile;
  file.name = NameOf(path);
  if (file.number == 0) file.number = ++last_number_;
  // As the real ones: an append sees the file's last bytes only.
  constexpr std::size_t kTail = 16;
  const std::size_t from = whole || file.content.size() < kTail ? 0 : file.content.size() - kTail;
  if (const std::optional<std::string> addition = decide(file.content.substr(from))) {
    file.content += *addition;
  }
  return FsStatus::kOk;
}

FsStatus MemoryFileSystem::AppendText(const std::string& path, const AppendDecision& decide) {
  return Append(path, decide, false);
}

FsStatus MemoryFileSystem::AppendUtf8(const std::string& path, const AppendDecision& decide) {
  return Append(path, decide, false);
}

FsStatus MemoryFileSystem::AppendByReplacing(const std::string& path,
                                             const AppendDecision& decide) {
  return Append(path, decide, true);
}

}  // namespace ovpre::test
