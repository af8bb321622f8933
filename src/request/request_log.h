#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre {

/// How a request ended, in one word of the log.
enum class RequestOutcome {
  kOk,       // done as asked
  kRefused,  // turned down by a check; nothing was changed
  kFailed,   // something went wrong; the failures say what
};

/// What one command did, filled in by the command while it runs; the entry
/// writes it to the log afterwards, so that logging lives in one place.
struct RequestRecord {
  std::string command;  // "pre" or "preadd"
  std::string group;    // the caller's group
  std::string name;     // the release, or the new group's name
  RequestOutcome outcome = RequestOutcome::kRefused;
  std::string reply;    // the message of the last reply written; empty for none
  std::string note;     // for the log, after the reply's first line: "[note]"
  // Set by a pre: how the release went, and its counts once they are known.
  std::string how;      // "moved" or "copied"; empty when it did not go
  bool counted = false;  // files and bytes hold the release's counts
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t milliseconds = 0;  // how long the command took
  std::vector<std::string> failures;  // "step: cause", in the order they came

  /// Adds a failure of `step` with `cause`, and marks the request failed.
  void Fail(const std::string& step, const std::string& cause);
  /// Adds `text` to the note, after what it holds already.
  void AddNote(const std::string& text);
  /// Adds a file-system failure of `step`, its cause taken from `status`.
  void Fail(const std::string& step, const FsStatus& status);
};

/// Adds the failure to take the program's lock at `path`: "lock held:
/// <path>" when other runs held it for the whole budget, else the lock
/// file's own failure.
void FailLock(RequestRecord& record, const FsStatus& status, const std::string& path);

/// The cause a status carries: the system's error number and its text, or
/// the kind of failure when the system gave none.
std::string CauseText(const FsStatus& status);

/// The log line for `record` at `when`, without its line end: fields joined
/// by tabs: local time (ISO 8601), command, group, name, outcome ("ok",
/// "refused", "failed"), the first line of the reply (then " [note]" when
/// there is a note), "moved" or "copied" ("-" when the release did not
/// go), files and MB (two decimals; "-" each when not known),
/// milliseconds, then one field per failure. No field holds a tab or a
/// line break.
std::string LogLine(const RequestRecord& record, const LocalDateTime& when);

/// Appends the line for `record`, at the platform's time now, with CR LF
/// to the log file that `settings` names, in one append under the
/// program's lock (within what is left of the request's lock budget).
/// Does nothing without a log file; a failure to write, or a lock held
/// past the budget, is ignored, so the log never changes a reply or a
/// result.
void LogRequest(Platform& platform, const Settings& settings, const RequestRecord& record);

}  // namespace ovpre
