#include "support/fakes.h"

#include "app/reply.h"
#include "platform/native.h"
#include "support/temp_folder.h"

namespace ovpre::test {

namespace {

class RecordingControl final : public OwnershipControl {
 public:
  explicit RecordingControl(RecordingOwnership& owner) : owner_(owner) {}
  bool SetOwnership(const std::string& perms, const std::string& user,
                    const std::string& group, const std::string& path) override {
    const int index = static_cast<int>(owner_.calls.size());
    owner_.calls.push_back({perms, user, group, path});
    return index != owner_.fail_call;
  }

 private:
  RecordingOwnership& owner_;
};

}  // namespace

std::string ExpectedReply(const std::string& message) {
  return std::string(kReplyBanner) + "\r\n" + message + "\r\n";
}

std::unique_ptr<OwnershipControl> RecordingOwnership::Create() {
  ++created;
  if (!available) return nullptr;
  return std::make_unique<RecordingControl>(*this);
}

EntryKind FailingFileSystem::KindOf(const std::string& path) {
  // A failed look-up cannot say "failed"; it says nothing is there.
  return Fails("KindOf") ? EntryKind::kMissing : real_.KindOf(path);
}
bool FailingFileSystem::VisibleFileExists(const std::string& path) {
  return Fails("VisibleFileExists") ? false : real_.VisibleFileExists(path);
}
FsStatus FailingFileSystem::ReadFolder(const std::string& folder,
                                       std::vector<FolderItem>* items) {
  return Fails("ReadFolder") ? FsStatus::kFailed : real_.ReadFolder(folder, items);
}
FsStatus FailingFileSystem::Search(const std::string& pattern, std::vector<DirEntry>* entries) {
  return Fails("Search") ? FsStatus::kFailed : real_.Search(pattern, entries);
}
FsStatus FailingFileSystem::FreeBytes(const std::string& path, uint64_t* bytes) {
  if (Fails("FreeBytes")) return FsStatus::kFailed;
  if (!free_bytes) return real_.FreeBytes(path, bytes);
  *bytes = *free_bytes;
  return FsStatus::kOk;
}
FsStatus FailingFileSystem::MoveNoReplace(const std::string& from, const std::string& to) {
  return Fails("MoveNoReplace") ? FsStatus::kFailed : real_.MoveNoReplace(from, to);
}
FsStatus FailingFileSystem::MakeFolder(const std::string& path) {
  return Fails("MakeFolder") ? FsStatus::kFailed : real_.MakeFolder(path);
}
FsStatus FailingFileSystem::CopyFile(const std::string& from, const std::string& to) {
  return Fails("CopyFile") ? FsStatus::kFailed : real_.CopyFile(from, to);
}
FsStatus FailingFileSystem::CopyLink(const std::string& from, const std::string& to) {
  return Fails("CopyLink") ? FsStatus::kFailed : real_.CopyLink(from, to);
}
FsStatus FailingFileSystem::CopyFolderAttributes(const std::string& from,
                                                 const std::string& to) {
  return Fails("CopyFolderAttributes") ? FsStatus::kFailed : real_.CopyFolderAttributes(from, to);
}
FsStatus FailingFileSystem::RemoveFile(const std::string& path) {
  return Fails("RemoveFile") ? FsStatus::kFailed : real_.RemoveFile(path);
}
FsStatus FailingFileSystem::RemoveFolder(const std::string& path) {
  return Fails("RemoveFolder") ? FsStatus::kFailed : real_.RemoveFolder(path);
}
FsStatus FailingFileSystem::ReadTextFile(const std::string& path, std::string* text) {
  return Fails("ReadTextFile") ? FsStatus::kFailed : real_.ReadTextFile(path, text);
}
FsStatus FailingFileSystem::WriteTextFile(const std::string& path, const std::string& text) {
  return Fails("WriteTextFile") ? FsStatus::kFailed : real_.WriteTextFile(path, text);
}
FsStatus FailingFileSystem::CreateTextFile(const std::string& path, const std::string& text) {
  return Fails("CreateTextFile") ? FsStatus::kFailed : real_.CreateTextFile(path, text);
}
FsStatus FailingFileSystem::AppendTextLocked(const std::string& path,
                                             const AppendDecision& decide) {
  return Fails("AppendTextLocked") ? FsStatus::kFailed : real_.AppendTextLocked(path, decide);
}

SiteFixture::SiteFixture(const std::string& base)
    : root(base),
      exe_dir(Join(base, "bin")),
      raiden_dir(Join(base, "raiden")),
      own_dir(Join(base, "pre" + Sep() + "GRP")),
      to_dir(Join(base, "mp3")),
      announce(Join(base, "announce.dat")),
      fs(NewNativeFileSystem()),
      platform{*fs, clock, process, notifier, ownership} {
  MakeFolders(exe_dir);
  MakeFolders(Join(raiden_dir, "Output"));
  MakeFolders(own_dir);
  MakeFolders(to_dir);
  process.folder = exe_dir;
}

void SiteFixture::WriteSettings(const std::string& own, const std::string& to, int dated,
                                const std::string& owner, const std::string& perms) {
  WriteFile(SettingsPath(), "sitename=TestSite\r\nraidendir=" + raiden_dir +
                                "\r\nannouncefile=" + announce + "\r\ngroup=GRP\r\nowndir=" +
                                own + "\r\ntodir=" + to + "\r\ndated=" +
                                std::to_string(dated) + "\r\nnewowner=" + owner +
                                "\r\nnewperms=" + perms + "\r\n");
}

void SiteFixture::Request(const std::string& group, int access,
                          const std::string& current_dir, const std::string& command) {
  process.raw = "x|" + group + "|" + std::to_string(access) + "|17|" + current_dir + "|" +
                command;
}

std::string SiteFixture::Reply(const std::string& command) const {
  return ReadFile(Join(Join(raiden_dir, "Output"), "site-" + command + ".17"));
}

std::string SiteFixture::SettingsPath() const { return Join(exe_dir, "ovpre.ini"); }

}  // namespace ovpre::test
