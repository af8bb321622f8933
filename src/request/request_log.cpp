#include "request/request_log.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "config/settings_file.h"
#include "text/text.h"

namespace ovpre {

namespace {

const char* KindText(FsStatus::Code code) {
  switch (code) {
    case FsStatus::kOk: return "no error";
    case FsStatus::kNotFound: return "not found";
    case FsStatus::kExists: return "already exists";
    case FsStatus::kCrossDevice: return "on another drive";
    case FsStatus::kNoSpace: return "no space";
    case FsStatus::kDenied: return "access denied";
    case FsStatus::kInUse: return "in use";
    case FsStatus::kNotCopyable: return "cannot be copied to another drive";
    case FsStatus::kSwapped: return "replaced since it was opened";
    case FsStatus::kTooLarge: return "too large for the target drive";
    case FsStatus::kTooDeep: return "nested deeper than the program may open";
    case FsStatus::kFailed: break;
  }
  return "failed";
}

const char* OutcomeText(RequestOutcome outcome) {
  switch (outcome) {
    case RequestOutcome::kOk: return "ok";
    case RequestOutcome::kRefused: return "refused";
    case RequestOutcome::kFailed: break;
  }
  return "failed";
}

std::string IsoTime(const LocalDateTime& when) {
  return ZeroPadded(when.date.year, 4) + "-" + ZeroPadded(when.date.month, 2) + "-" +
         ZeroPadded(when.date.day, 2) + "T" + ZeroPadded(when.hour, 2) + ":" +
         ZeroPadded(when.minute, 2) + ":" + ZeroPadded(when.second, 2);
}

std::string Megabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(bytes) / 1024.0 / 1024.0);
  return text;
}

}  // namespace

void RequestRecord::Fail(const std::string& step, const std::string& cause) {
  outcome = RequestOutcome::kFailed;
  failures.push_back(cause.empty() ? step : step + ": " + cause);
}

void RequestRecord::AddNote(const std::string& text) {
  note += (note.empty() ? "" : "; ") + text;
}

void RequestRecord::Fail(const std::string& step, const FsStatus& status) {
  Fail(step, CauseText(status));
}

void FailLock(RequestRecord& record, const FsStatus& status, const std::string& path) {
  if (status == FsStatus::kInUse) return record.Fail("lock held", path);
  record.Fail("lock file " + path, status);
}

std::string CauseText(const FsStatus& status) {
  if (status.os_error() == 0 && status.os_text().empty()) return KindText(status.code());
  return std::to_string(status.os_error()) + " " + status.os_text();
}

std::string LogLine(const RequestRecord& record, const LocalDateTime& when) {
  const std::string unknown = "-";
  std::vector<std::string> fields = {
      IsoTime(when),
      record.command,
      record.group,
      record.name,
      OutcomeText(record.outcome),
      record.reply.substr(0, record.reply.find('\r')) +
          (record.note.empty() ? "" : " [" + record.note + "]"),
      record.how.empty() ? unknown : record.how,
      record.counted ? std::to_string(record.files) : unknown,
      record.counted ? Megabytes(record.bytes) : unknown,
      std::to_string(record.milliseconds),
  };
  // A control that refuses every call would fail twice per entry of the
  // release; the first few failures say enough.
  constexpr std::size_t kMostFailures = 10;
  const std::size_t listed = std::min(record.failures.size(), kMostFailures);
  fields.insert(fields.end(), record.failures.begin(), record.failures.begin() + listed);
  if (listed < record.failures.size()) {
    fields.push_back(std::to_string(record.failures.size() - listed) + " more failures");
  }
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    line += OneLineField(fields[i]);
  }
  return line;
}

void LogRequest(Platform& platform, const Settings& settings, const RequestRecord& record) {
  if (settings.LogFile.empty()) return;
  const std::string line = LogLine(record, platform.clock.Now()) + kCrlf;
  std::unique_ptr<HeldLock> lock;
  if (!TakeProgramLock(platform, &lock).ok()) return;
  // A line cut short by an earlier failure would otherwise swallow this one.
  platform.fs.AppendText(settings.LogFile,
                         [&](const std::string& tail) -> std::optional<std::string> {
                           return (EndsInLineBreak(tail) ? "" : kCrlf) + line;
                         });
}

}  // namespace ovpre
