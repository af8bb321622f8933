#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/platform.h"
#include "support/failing_fs.h"

namespace ovpre::test {

/// The reply file a message gives: the banner, then the message, each
/// line ending in CR LF.
std::string ExpectedReply(const std::string& message);

/// A clock stopped at one date, at 12:34:56; its millisecond counter moves
/// on by `step` with every reading.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(LocalDate date = {2003, 1, 2}) : date_(date) {}
  LocalDate Today() override { return date_; }
  LocalDateTime Now() override { return {date_, 12, 34, 56}; }
  uint64_t Milliseconds() override { return millis_ += step; }
  /// Time passes at once: nothing waits.
  void Sleep(uint64_t milliseconds) override {
    millis_ += milliseconds;
    slept += milliseconds;
  }
  uint64_t slept = 0;
  void Set(LocalDate date) { date_ = date; }
  uint64_t step = 250;

 private:
  LocalDate date_;
  uint64_t millis_ = 0;
};

/// Process facts as the test says they are.
class FakeProcess final : public ProcessFacts {
 public:
  std::string raw;
  std::string folder;
  std::string stem = "ovpre";
  std::string RawArguments() override { return raw; }
  std::string ExecutableFolder() override { return folder; }
  std::string ExecutableStem() override { return stem; }
};

/// Keeps every message and the last report instead of showing them.
class RecordingNotifier final : public Notifier {
 public:
  std::vector<std::string> messages;
  std::vector<std::string> report;
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowReport(const std::vector<std::string>& lines) override { report = lines; }
};

/// One call of the ownership control.
struct OwnershipCall {
  std::string perms, user, group, path;
  OwnershipScope scope = OwnershipScope::kItself;
  bool operator==(const OwnershipCall& other) const {
    return perms == other.perms && user == other.user && group == other.group &&
           path == other.path && scope == other.scope;
  }
};

/// A stand-in for the FTP server's control that records its calls. It can be
/// told to be missing or to fail one call, each with `cause`.
class RecordingOwnership final : public OwnershipControlFactory {
 public:
  std::vector<OwnershipCall> calls;
  int created = 0;
  bool available = true;
  int fail_call = -1;  // index of the call that fails, -1 for none
  std::string cause = "HRESULT 0x80040154 Class not registered";
  std::string refusal;  // when set, every grant is refused with it

  std::unique_ptr<OwnershipControl> Create(std::string* cause) override;
  bool Accepts(const OwnershipGrant&, std::string* why) override {
    *why = refusal;
    return refusal.empty();
  }
};

/// An owner setting that leaves the owner as it is: on POSIX the real
/// control refuses the default "admin:admins", which names nobody there.
inline constexpr const char* kKeepOwner = "";

/// A throwaway site in a temporary folder: the executable's folder with its
/// settings file, the server folder with "Output", a group's upload folder
/// and its target folder, wired to the real file system and fake outsiders.
struct SiteFixture {
  explicit SiteFixture(const std::string& base);

  /// Writes a settings file with one group "GRP" whose folders are
  /// `own_dir` and `to_dir`.
  void WriteSettings(const std::string& own_dir, const std::string& to_dir, int dated = 0,
                     const std::string& owner = "admin:admins",
                     const std::string& perms = "666");
  /// Sets the raw command line as the server would build it.
  void Request(const std::string& group, int access, const std::string& current_dir,
               const std::string& command);
  std::string Reply(const std::string& command) const;
  /// The same outsiders with another file system in front.
  Platform With(FileSystem& other) {
    return Platform{other, clock, process, notifier, ownership, privacy.get()};
  }
  std::string SettingsPath() const;

  std::string root;
  std::string exe_dir, raiden_dir, own_dir, to_dir, announce;
  std::unique_ptr<FileSystem> fs;
  FakeClock clock;
  FakeProcess process;
  RecordingNotifier notifier;
  RecordingOwnership ownership;
  std::unique_ptr<PrivacyCheck> privacy;
  Platform platform;
};

}  // namespace ovpre::test
