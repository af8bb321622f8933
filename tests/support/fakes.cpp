#include "support/fakes.h"

#include "platform/native.h"
#include "request/reply.h"
#include "support/temp_folder.h"

namespace ovpre::test {

namespace {

class RecordingControl final : public OwnershipControl {
 public:
  explicit RecordingControl(RecordingOwnership& owner) : owner_(owner) {}
  bool SetOwnership(const OwnershipGrant& grant, const OwnershipTarget& target,
                    OwnershipScope scope, std::string* cause) override {
    const int index = static_cast<int>(owner_.calls.size());
    owner_.calls.push_back({grant.perms, grant.user, grant.group, target.Path(Sep()[0]), scope});
    if (index != owner_.fail_call) return true;
    *cause = owner_.cause;
    return false;
  }

 private:
  RecordingOwnership& owner_;
};

}  // namespace

std::string ExpectedReply(const std::string& message) {
  return std::string(kReplyBanner) + "\r\n" + message + "\r\n";
}

std::unique_ptr<OwnershipControl> RecordingOwnership::Create(std::string* failure) {
  ++created;
  if (!available) {
    *failure = cause;
    return nullptr;
  }
  return std::make_unique<RecordingControl>(*this);
}

SiteFixture::SiteFixture(const std::string& base)
    : root(base),
      exe_dir(Join(base, "bin")),
      raiden_dir(Join(base, "raiden")),
      own_dir(Join(base, "pre" + Sep() + "GRP")),
      to_dir(Join(base, "mp3")),
      announce(Join(base, "announce.dat")),
      fs(NewNativeFileSystem()),
      privacy(NewPrivacyCheck()),
      platform{*fs, clock, process, notifier, ownership, privacy.get()} {
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
