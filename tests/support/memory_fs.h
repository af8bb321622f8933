#pragma once
// A file system held in memory, for the fuzz targets and for tests that need
// what no real disk gives on demand: whole requests run without touching the
// disk. Faults are injected by putting a FailingFileSystem in front. Paths are Windows-like
// ("C:\pre\GRP"), compared without regard to case as Windows does.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre::test {

/// One file or folder held by MemoryFileSystem.
struct MemoryNode {
  EntryKind kind = EntryKind::kFile;
  std::string name;     // as it was created, case kept
  std::string content;  // files only
  uint64_t number = 0;  // unique per node, kept by a rename
  int64_t changed = 0;  // counts the changes of a file's content
};

class MemoryFileSystem final : public FileSystem {
 public:
  /// The longest path the fake accepts, as a real platform has one; a copy
  /// of a folder into itself ends here instead of running forever.
  static constexpr std::size_t kMaxPath = 260;

  /// Free bytes every volume reports.
  uint64_t free_bytes = 1ull << 30;
  /// The largest file every volume holds.
  uint64_t max_file_size = UINT64_MAX;
  /// Called after every rename: to change the tree at that moment.
  std::function<void()> after_move;

  /// Creates `path` and every missing folder above it.
  void AddFolder(const std::string& path);
  /// Creates or replaces a file, with the folders above it.
  void AddFile(const std::string& path, const std::string& content);
  /// All files as (path, content), in the fake's key order.
  std::vector<std::pair<std::string, std::string>> Files() const;
  /// The content of a file, or nullptr when there is none.
  const std::string* FileContent(const std::string& path) const;
  /// The path (folded) of the node numbered `number`; "" when it is gone.
  std::string PathOf(uint64_t number) const;
  /// The node that an open folder of this file system holds.
  static uint64_t NumberOf(Folder& folder);

  char Separator() const override { return '\\'; }
  std::string FoldCase(const std::string& path) const override;
  bool NamesIgnoreCase() const override { return true; }
  EntryKind KindOf(const std::string& path) override;
  FsStatus IdentityOf(const std::string& path, FileId* id) override;
  FsStatus OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) override;
  FsStatus ResolveFolder(const std::string& path, std::string* resolved) override;
  bool VisibleFileExists(const std::string& path) override;
  FsStatus ReadFolder(const std::string& folder, std::vector<FolderItem>* items);
  FsStatus SearchFolder(const std::string& folder, std::vector<DirEntry>* entries) override;
  FsStatus FreeBytes(const std::string& path, uint64_t* bytes) override;
  FsStatus MoveNoReplace(const std::string& from, const std::string& to);
  FsStatus MakeFolder(const std::string& path);
  FsStatus CopyOneFile(const std::string& from, const std::string& to);
  FsStatus CopyLink(const std::string& from, const std::string& to);
  FsStatus CopyFolderAttributes(const std::string& from, const std::string& to);
  FsStatus RemoveFile(const std::string& path);
  FsStatus RemoveFolder(const std::string& path);
  FsStatus ReadTextFile(const std::string& path, std::string* text) override;
  FsStatus WriteTextFile(const std::string& path, const std::string& text) override;
  /// The name as it was created.
  FsStatus OwnName(const std::string& path, std::string* name) override;
  bool StoresExactly(const std::string&) override { return true; }
  FsStatus ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                              std::string* secret) override;
  FsStatus CreateTextFile(const std::string& path, const std::string& text) override;
  /// Locks are held per path, by this process's handles as by another's.
  FsStatus TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) override;
  FsStatus AppendText(const std::string& path, const AppendDecision& decide) override;
  FsStatus AppendUtf8(const std::string& path, const AppendDecision& decide) override;
  FsStatus AppendByReplacing(const std::string& path, const AppendDecision& decide) override;

 private:
  /// Why a new entry cannot be made at `path`, or kOk when it can.
  FsStatus CheckNewEntry(const std::string& path) const;
  /// kOk when `path` is a file already or a file may be made there.
  FsStatus CheckFileTarget(const std::string& path) const;
  const MemoryNode* Find(const std::string& path) const;
  /// The entries directly inside `folder`, without counting an operation.
  FsStatus Children(const std::string& folder, std::vector<FolderItem>* items) const;
  bool HasChildren(const std::string& key) const;

  std::map<std::string, MemoryNode> nodes_;  // keyed by folded path
  uint64_t last_number_ = 0;
  MemoryNode* NodeOf(uint64_t number);

  std::set<uint64_t> locked_;  // numbers of the locked work marks
  std::set<std::string> held_locks_;  // folded paths of the held lock files
  /// Appends what `decide` says, given `shown` of the file's content.
  FsStatus Append(const std::string& path, const AppendDecision& decide, bool whole);
  friend class MemoryFolder;
  friend class MemoryMark;
};

/// The outsiders of a run, all in memory: a stopped clock, fixed process
/// facts (the executable is C:\ovpre\ovpre.exe), a silent notifier and an
/// ownership control that always succeeds.
class MemoryOutsiders final : public Clock,
                              public ProcessFacts,
                              public Notifier,
                              public OwnershipControlFactory {
 public:
  std::string raw_arguments;
  int ownership_calls = 0;

  LocalDate Today() override { return {2003, 1, 2}; }
  LocalDateTime Now() override { return {Today(), 12, 0, 0}; }
  uint64_t Milliseconds() override { return 0; }
  void Sleep(uint64_t) override {}
  std::string RawArguments() override { return raw_arguments; }
  std::string ExecutableFolder() override { return "C:\\ovpre"; }
  std::string ExecutableStem() override { return "ovpre"; }
  void ShowMessage(const std::string&) override {}
  void ShowReport(const std::vector<std::string>&) override {}
  std::unique_ptr<OwnershipControl> Create(std::string* cause) override;
};

/// A whole platform in memory.
struct MemoryPlatform {
  MemoryFileSystem fs;
  MemoryOutsiders outsiders;
  Platform platform{fs, outsiders, outsiders, outsiders, outsiders};
};

}  // namespace ovpre::test
