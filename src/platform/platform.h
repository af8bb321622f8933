#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/privacy.h"

namespace ovpre {

/// A calendar date in local time.
struct LocalDate {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
};

/// A local date with the time of day.
struct LocalDateTime {
  LocalDate date;
  int hour = 0;    // 0 to 23
  int minute = 0;  // 0 to 59
  int second = 0;  // 0 to 59 (60 in a leap second)
};

/// The clock, asked for today's local date, the local time, and a counter
/// of milliseconds for measuring how long something took.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalDate Today() = 0;
  virtual LocalDateTime Now() = 0;
  /// Milliseconds since some fixed moment; never goes back.
  virtual uint64_t Milliseconds() = 0;
  /// Waits `milliseconds` before a retry.
  virtual void Sleep(uint64_t milliseconds) = 0;
};

/// The time one request may spend waiting for locks, all its waits
/// together: whoever holds a lock, no request waits longer in all.
class LockBudget {
 public:
  static constexpr uint64_t kMilliseconds = 5000;

  /// Calls `attempt` until it gives anything but kInUse (the lock is held
  /// by another), pausing between tries for as long as the budget lasts.
  /// Returns the last result: kInUse once the budget is spent. A budget
  /// already spent still allows one try, without a pause.
  FsStatus Wait(Clock& clock, const std::function<FsStatus()>& attempt) {
    for (int tries = 0;; ++tries) {
      const FsStatus status = attempt();
      if (status != FsStatus::kInUse || !Pause(clock, tries)) return status;
    }
  }

  /// Pauses before try number `tries` + 2 at a lock another holds, longer
  /// the more tries came before; false, without a pause, once the budget
  /// is spent.
  bool Pause(Clock& clock, int tries) {
    if (spent_ >= kMilliseconds) return false;
    const uint64_t pause = tries >= 5 ? 100 : std::min<uint64_t>(uint64_t{5} << tries, 100);
    const uint64_t wait = std::min(pause, kMilliseconds - spent_);
    const uint64_t began = clock.Milliseconds();
    clock.Sleep(wait);
    // A clock that stands still (a test's) still uses up the budget.
    spent_ += std::max(clock.Milliseconds() - began, wait);
    return true;
  }

  /// Milliseconds still left to wait.
  uint64_t Left() const { return spent_ >= kMilliseconds ? 0 : kMilliseconds - spent_; }

 private:
  uint64_t spent_ = 0;
};

/// Facts about the running process.
class ProcessFacts {
 public:
  virtual ~ProcessFacts() = default;
  /// Everything after the program's own name, exactly as the server passed it.
  virtual std::string RawArguments() = 0;
  /// The folder that holds the executable, as the platform spells it.
  virtual std::string ExecutableFolder() = 0;
  /// The executable's file name without its extension.
  virtual std::string ExecutableStem() = 0;
};

/// Tells the person at the machine something and waits until they have read
/// it (a message box with an OK button where there is a desktop).
class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void ShowMessage(const std::string& text) = 0;
  /// Shows a report of several lines to whoever ran the program by hand
  /// and keeps it where they can read it again: standard output on POSIX;
  /// on Windows a message box and the file "<program folder>\<program
  /// name>-check.txt".
  virtual void ShowReport(const std::vector<std::string>& lines) = 0;
};

/// What one ownership call reaches.
enum class OwnershipScope {
  kItself,           // the path itself
  kEverythingInside, // the entries inside the folder at the path
};

/// What one ownership call gives: the owner user, owner group and
/// permissions as the group's settings spell them.
struct OwnershipGrant {
  std::string perms;
  std::string user;
  std::string group;
};

/// What one ownership call reaches: the published release, held open, or
/// one entry directly inside it. The control works through the open folder
/// where the platform can; the server's own control only takes paths.
struct OwnershipTarget {
  Folder& release;
  std::string release_path;  // the path the server knows the release by
  std::string entry;         // "" for the release itself, else a name inside it

  /// The path of the target: the release's path, then `separator` and the
  /// entry when there is one.
  std::string Path(char separator) const {
    return entry.empty() ? release_path : release_path + separator + entry;
  }
};

/// The FTP server's control that gives the release and what is in it an
/// owner user, an owner group and permissions.
class OwnershipControl {
 public:
  virtual ~OwnershipControl() = default;
  /// Gives `target` itself, or everything inside the folder it names, what
  /// `grant` says. Returns false when the call failed, or did not reach
  /// every entry, and then puts its cause (the system's error number and
  /// text) into `cause` when given; every entry it can reach is still done.
  virtual bool SetOwnership(const OwnershipGrant& grant, const OwnershipTarget& target,
                            OwnershipScope scope, std::string* cause) = 0;
};

/// Creates the ownership control; done at most once per run.
class OwnershipControlFactory {
 public:
  virtual ~OwnershipControlFactory() = default;
  /// Returns nothing when the control is not available, and then puts the
  /// cause into `cause` when given.
  virtual std::unique_ptr<OwnershipControl> Create(std::string* cause) = 0;
  /// False when `grant` is nothing the control may be given, with the
  /// reason in `cause`; then no control is created and no call is made.
  virtual bool Accepts(const OwnershipGrant& /*grant*/, std::string* /*cause*/) { return true; }
};

/// Everything outside the system that the commands talk to.
struct Platform {
  FileSystem& fs;
  Clock& clock;
  ProcessFacts& process;
  Notifier& notifier;
  OwnershipControlFactory& ownership;
  /// Where it is missing, no private file is trusted.
  PrivacyCheck* privacy = nullptr;
  /// The request's lock waits, which every lock of the run draws on.
  LockBudget lock_budget{};
};

}  // namespace ovpre
