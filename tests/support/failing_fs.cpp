#include "support/failing_fs.h"

namespace ovpre::test {

EntryKind FailingFileSystem::KindOf(const std::string& path) {
  // A failed look-up cannot say "failed"; it says nothing is there.
  return Fails("KindOf") ? EntryKind::kMissing : real_.KindOf(path);
}
FsStatus FailingFileSystem::IdentityOf(const std::string& path, FileId* id) {
  return Fails("IdentityOf") ? injected : real_.IdentityOf(path, id);
}
bool FailingFileSystem::VisibleFileExists(const std::string& path) {
  return Fails("VisibleFileExists") ? false : real_.VisibleFileExists(path);
}
FsStatus FailingFileSystem::ReadFolder(const std::string& folder,
                                       std::vector<FolderItem>* items) {
  return Fails("ReadFolder") ? injected : real_.ReadFolder(folder, items);
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
FsStatus FailingFileSystem::MoveNoReplace(const std::string& from, const std::string& to) {
  return Fails("MoveNoReplace") ? injected : real_.MoveNoReplace(from, to);
}
FsStatus FailingFileSystem::MakeFolder(const std::string& path) {
  return Fails("MakeFolder") ? injected : real_.MakeFolder(path);
}
FsStatus FailingFileSystem::CopyOneFile(const std::string& from, const std::string& to) {
  return Fails("CopyOneFile") ? injected : real_.CopyOneFile(from, to);
}
FsStatus FailingFileSystem::CopyLink(const std::string& from, const std::string& to) {
  return Fails("CopyLink") ? injected : real_.CopyLink(from, to);
}
FsStatus FailingFileSystem::CopyFolderAttributes(const std::string& from,
                                                 const std::string& to) {
  return Fails("CopyFolderAttributes") ? injected : real_.CopyFolderAttributes(from, to);
}
FsStatus FailingFileSystem::RemoveFile(const std::string& path) {
  return Fails("RemoveFile") ? injected : real_.RemoveFile(path);
}
FsStatus FailingFileSystem::RemoveFolder(const std::string& path) {
  return Fails("RemoveFolder") ? injected : real_.RemoveFolder(path);
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
FsStatus FailingFileSystem::CreateTextFile(const std::string& path, const std::string& text) {
  return Fails("CreateTextFile") ? injected : real_.CreateTextFile(path, text);
}
FsStatus FailingFileSystem::AppendTextLocked(const std::string& path,
                                             const AppendDecision& decide) {
  return Fails("AppendTextLocked") ? injected : real_.AppendTextLocked(path, decide);
}

}  // namespace ovpre::test
