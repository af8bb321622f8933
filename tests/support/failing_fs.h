#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ovpre::test {

/// Passes every operation to another file system (the real one, or the
/// in-memory one), except that operation number `fail_at` (counting from 1;
/// 0 for none) fails, and so does every call of the operation named
/// `fail_op`; a failure returns `injected`. Counts operations, so a test can
/// first count them and then fail each one in turn.
class FailingFileSystem final : public FileSystem {
 public:
  FailingFileSystem(FileSystem& real, int fail_at) : real_(real), fail_at_(fail_at) {}
  int operations() const { return count_; }
  bool failed() const { return fail_at_ > 0 && count_ >= fail_at_; }

  std::string fail_op;                    // for example "FreeBytes"
  int fail_op_times = -1;                 // how often fail_op fails; -1: always
  std::optional<uint64_t> free_bytes;     // reported instead of the real figure
  std::optional<std::string> own_name;    // reported instead of the real name
  std::string unstorable;                 // texts holding it are not stored exactly
  FsStatus injected{FsStatus::kFailed, 0, "injected failure"};
  /// Called with each operation's number just before it runs: to change
  /// the tree at an exact moment, as a racing process would. `current_op`
  /// names that operation meanwhile.
  std::function<void(int operation)> before;
  std::string current_op;

  char Separator() const override { return real_.Separator(); }
  std::string FoldCase(const std::string& path) const override { return real_.FoldCase(path); }
  bool NamesIgnoreCase() const override { return real_.NamesIgnoreCase(); }
  EntryKind KindOf(const std::string& path) override;
  FsStatus IdentityOf(const std::string& path, FileId* id) override;
  FsStatus OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) override;
  FsStatus ResolveFolder(const std::string& path, std::string* resolved) override;
  bool VisibleFileExists(const std::string& path) override;
  FsStatus SearchFolder(const std::string& folder, std::vector<DirEntry>* entries) override;
  FsStatus FreeBytes(const std::string& path, uint64_t* bytes) override;
  FsStatus ReadTextFile(const std::string& path, std::string* text) override;
  FsStatus WriteTextFile(const std::string& path, const std::string& text) override;
  FsStatus OwnName(const std::string& path, std::string* name) override;
  bool StoresExactly(const std::string& text) override;
  FsStatus ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                              std::string* secret) override;
  FsStatus CreateTextFile(const std::string& path, const std::string& text) override;
  FsStatus TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) override;
  FsStatus AppendText(const std::string& path, const AppendDecision& decide) override;
  FsStatus AppendUtf8(const std::string& path, const AppendDecision& decide) override;
  FsStatus AppendByReplacing(const std::string& path, const AppendDecision& decide) override;

 private:
  friend class FailingFolder;
  /// Counts one operation; true when this one is to fail.
  bool Fails(const char* op) {
    current_op = op;
    if (before) before(count_ + 1);
    if (++count_ == fail_at_) return true;
    if (fail_op != op || fail_op_times == 0) return false;
    if (fail_op_times > 0) --fail_op_times;
    return true;
  }

  FileSystem& real_;
  int fail_at_;
  int count_ = 0;
};

}  // namespace ovpre::test
