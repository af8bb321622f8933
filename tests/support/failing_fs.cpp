#include "support/failing_fs.h"

namespace ovpre::test {

/// A folder opened through a FailingFileSystem: its operations count and
/// fail as the file system's own do ("Folder::CopyFileTo" and so on).
class FailingFolder final : public Folder {
 public:
  FailingFolder(FailingFileSystem& fs, std::unique_ptr<Folder> real)
      : fs_(fs), real_(std::move(real)) {}

  FsStatus List(std::vector<FolderItem>* items) override {
    return Fails("Folder::List") ? fs_.injected : real_->List(items);
  }
  FsStatus Open(const std::string& name, std::unique_ptr<Folder>* folder) override {
    return Fails("Folder::Open") ? fs_.injected : Wrap(real_->Open(name, folder), folder);
  }
  FsStatus Make(const std::string& name, std::unique_ptr<Folder>* folder) override {
    return Fails("Folder::Make") ? fs_.injected : Wrap(real_->Make(name, folder), folder);
  }
  FsStatus OpenOwnersFolder(const std::string& name, std::unique_ptr<Folder>* folder,
                            bool* made) override {
    return Fails("Folder::OpenOwnersFolder")
               ? fs_.injected
               : Wrap(real_->OpenOwnersFolder(name, folder, made), folder);
  }
  FsStatus CopyFileTo(const std::string& name, Folder& target, FileFacts* copied) override {
    return Fails("Folder::CopyFileTo") ? fs_.injected
                                       : real_->CopyFileTo(name, Real(target), copied);
  }
  FsStatus ReadBlocks(const std::string& name, const BlockReader& block) override {
    return Fails("Folder::ReadBlocks") ? fs_.injected : real_->ReadBlocks(name, block);
  }
  FsStatus CopyLinkTo(const std::string& name, Folder& target) override {
    return Fails("Folder::CopyLinkTo") ? fs_.injected : real_->CopyLinkTo(name, Real(target));
  }
  FsStatus CopyOwnAttributesTo(Folder& target) override {
    return Fails("Folder::CopyOwnAttributesTo") ? fs_.injected
                                                 : real_->CopyOwnAttributesTo(Real(target));
  }
  FsStatus RemoveFile(const std::string& name) override {
    return Fails("Folder::RemoveFile") ? fs_.injected : real_->RemoveFile(name);
  }
  FsStatus RemoveFileIfUnchanged(const FolderItem& expected) override {
    return Fails("Folder::RemoveFileIfUnchanged") ? fs_.injected
                                                  : real_->RemoveFileIfUnchanged(expected);
  }
  FsStatus RemoveSelf() override {
    return Fails("Folder::RemoveSelf") ? fs_.injected : real_->RemoveSelf();
  }
  FsStatus MoveTo(Folder& target, const std::string& new_name) override {
    return Fails("Folder::MoveTo") ? fs_.injected : real_->MoveTo(Real(target), new_name);
  }
  FsStatus Identity(FileId* id) override {
    return Fails("Folder::Identity") ? fs_.injected : real_->Identity(id);
  }
  FsStatus IdentityOf(const std::string& name, FileId* id) override {
    return Fails("Folder::IdentityOf") ? fs_.injected : real_->IdentityOf(name, id);
  }
  FsStatus SetHidden(bool hidden) override {
    return Fails("Folder::SetHidden") ? fs_.injected : real_->SetHidden(hidden);
  }
  FsStatus Flush() override { return Fails("Folder::Flush") ? fs_.injected : real_->Flush(); }
  FsStatus Examine(const std::string& name, FileFacts* facts) override {
    return Fails("Folder::Examine") ? fs_.injected : real_->Examine(name, facts);
  }
  uint64_t MaxFileSize() override { return real_->MaxFileSize(); }
  FsStatus OpenWorkFolder(const std::string& name, std::unique_ptr<Folder>* folder) override {
    return Fails("Folder::OpenWorkFolder") ? fs_.injected
                                           : Wrap(real_->OpenWorkFolder(name, folder), folder);
  }
  FsStatus OpenMark(const std::string& name, bool create,
                    std::unique_ptr<WorkMark>* mark) override {
    return Fails("Folder::OpenMark") ? fs_.injected : real_->OpenMark(name, create, mark);
  }

  /// Wraps a folder that `status` says was opened.
  FsStatus Wrap(const FsStatus& status, std::unique_ptr<Folder>* folder) {
    if (status.ok()) *folder = std::make_unique<FailingFolder>(fs_, std::move(*folder));
    return status;
  }

 private:
  bool Fails(const char* op) { return fs_.Fails(op); }
  /// Every folder the wrapper hands out is a FailingFolder.
  static Folder& Real(Folder& folder) { return *static_cast<FailingFolder&>(folder).real_; }

  FailingFileSystem& fs_;
  std::unique_ptr<Folder> real_;
};

FsStatus FailingFileSystem::OpenFolder(const std::string& path, std::unique_ptr<Folder>* folder) {
  if (Fails("OpenFolder")) return injected;
  const FsStatus status = real_.OpenFolder(path, folder);
  if (status.ok()) *folder = std::make_unique<FailingFolder>(*this, std::move(*folder));
  return status;
}

EntryKind FailingFileSystem::KindOf(const std::string& path) {
  // A failed look-up cannot say "failed"; it says nothing is there.
  return Fails("KindOf") ? EntryKind::kMissing : real_.KindOf(path);
}
FsStatus FailingFileSystem::IdentityOf(const std::string& path, FileId* id) {
  return Fails("IdentityOf") ? injected : real_.IdentityOf(path, id);
}
FsStatus FailingFileSystem::ResolveFolder(const std::string& path, std::string* resolved) {
  return Fails("ResolveFolder") ? injected : real_.ResolveFolder(path, resolved);
}
bool FailingFileSystem::VisibleFileExists(const std::string& path) {
  return Fails("VisibleFileExists") ? false : real_.VisibleFileExists(path);
}
FsStatus FailingFileSystem::SearchFolder(const std::string& folder,
                                         std::vector<DirEntry>* entries) {
  return Fails("SearchFolder") ? injected : real_.SearchFolder(folder, entries);
}
FsStatus FailingFileSystem::FreeBytes(const std::string& path, uint64_t* bytes) {
  if (Fails("FreeBytes")) return injected;
  if (!free_bytes) return real_.FreeBytes(path, bytes);
  *bytes = *free_bytes;
  return FsStatus::kOk;
}
FsStatus FailingFileSystem::ReadTextFile(const std::string& path, std::string* text) {
  return Fails("ReadTextFile") ? injected : real_.ReadTextFile(path, text);
}
FsStatus FailingFileSystem::WriteTextFile(const std::string& path, const std::string& text) {
  return Fails("WriteTextFile") ? injected : real_.WriteTextFile(path, text);
}
FsStatus FailingFileSystem::OwnName(const std::string& path, std::string* name) {
  if (Fails("OwnName")) return injected;
  if (!own_name) return real_.OwnName(path, name);
  *name = *own_name;
  return FsStatus::kOk;
}
bool FailingFileSystem::StoresExactly(const std::string& text) {
  if (!unstorable.empty() && text.find(unstorable) != std::string::npos) return false;
  return real_.StoresExactly(text);
}
FsStatus FailingFileSystem::ReadOrCreateSecret(const std::string& path, const std::string& fresh,
                                               std::string* secret) {
  return Fails("ReadOrCreateSecret") ? injected : real_.ReadOrCreateSecret(path, fresh, secret);
}
FsStatus FailingFileSystem::CreateTextFile(const std::string& path, const std::string& text) {
  return Fails("CreateTextFile") ? injected : real_.CreateTextFile(path, text);
}
FsStatus FailingFileSystem::TryLock(const std::string& path, std::unique_ptr<HeldLock>* lock) {
  return Fails("TryLock") ? injected : real_.TryLock(path, lock);
}
FsStatus FailingFileSystem::AppendText(const std::string& path, const AppendDecision& decide) {
  return Fails("AppendText") ? injected : real_.AppendText(path, decide);
}
FsStatus FailingFileSystem::AppendUtf8(const std::string& path, const AppendDecision& decide) {
  return Fails("AppendUtf8") ? injected : real_.AppendUtf8(path, decide);
}
FsStatus FailingFileSystem::AppendByReplacing(const std::string& path,
                                              const AppendDecision& decide) {
  return Fails("AppendByReplacing") ? injected : real_.AppendByReplacing(path, decide);
}

}  // namespace ovpre::test
