#include "commands/record_use.h"

#include "record/record_place.h"
#include "text/text.h"
#include "text/unicode.h"

namespace ovpre {

std::unique_ptr<PreRecord> OpenRecord(Platform& platform, const Settings& settings,
                                      std::string* why) {
  if (settings.PreDb.empty()) {
    *why = "no record is set";
    return nullptr;
  }
  // Every wait for the record comes out of the request's one budget.
  const RecordPause pause = [&platform](int tries) {
    return platform.lock_budget.Pause(platform.clock, tries);
  };
  return OpenSafeRecord(platform.fs, platform.privacy, settings.PreDb,
                        ReleaseFolders(settings), pause, why);
}

std::string FolderIdText(Folder& folder) {
  FileId id;
  if (!folder.Identity(&id).ok()) return "";
  return Hex16(id.volume) + ":" + Hex16(id.file);
}

namespace {

/// How many pres at once hold a run lock of the record; more pres than
/// that at once run without one, and their reservations last the hour.
constexpr int kRunSlots = 32;

/// The run lock `slot` of the record at `record`, in the record's folder.
std::string RunLockPath(const std::string& record, int slot) {
  return record + "-run-" + std::to_string(slot) + ".lock";
}

}  // namespace

PreRecording::PreRecording(Platform& platform, const Settings& settings, RequestRecord& log)
    : fs_(platform.fs), log_(log), path_(settings.PreDb) {
  if (settings.PreDb.empty()) return;
  std::string why;
  record_ = OpenRecord(platform, settings, &why);
  if (!record_) Note("not used: " + why);
}

PreRecording::~PreRecording() {
  std::string why;
  if (reserved_ != 0 && !record_->Drop(reserved_, &why)) Note(why);
}

void PreRecording::Note(const std::string& why) { log_.AddNote("record " + why); }

RunSlot PreRecording::TakeRunSlot() {
  RunSlot run;
  for (int slot = 0; slot < kRunSlots && run.slot < 0; ++slot) {
    const FsStatus taken = fs_.TryLock(RunLockPath(path_, slot), &run_lock_);
    if (taken.ok()) {
      run.slot = slot;
    } else if (taken != FsStatus::kInUse) {
      break;
    }
  }
  run.runs = [this](int slot) {
    // A run lock nobody holds belongs to a run that ended; one that cannot
    // be tried counts as held.
    std::unique_ptr<HeldLock> probe;
    return !fs_.TryLock(RunLockPath(path_, slot), &probe).ok();
  };
  return run;
}

std::optional<std::string> PreRecording::Reserve(const PreGroup& group,
                                                 const std::string& release,
                                                 const std::string& section,
                                                 const std::string& path) {
  if (!record_) return std::nullopt;
  const NewPre pre{release, FoldName(release), group.Name, section, path};
  RecordedPre found;
  std::string why;
  switch (record_->Reserve(pre, group.DupeDays, TakeRunSlot(), &found, &reserved_, &why)) {
    case Reservation::kReserved: return std::nullopt;
    case Reservation::kTaken:
      return "Dupe: " + release + " was already pre'd to:" + kCrlf + found.path;
    case Reservation::kFailed: break;
  }
  // The pre goes on without its row; the folders still tell dupes.
  Note("row missing: " + why);
  reserved_ = 0;
  record_.reset();
  return std::nullopt;
}

bool PreRecording::FoldersToo(const PreGroup& group) {
  if (group.DupeDays <= 0) return false;
  if (!record_) return true;
  std::string why;
  const std::optional<int64_t> age = record_->AgeMs(&why);
  return !age || *age < int64_t{group.DupeDays} * 24 * 60 * 60 * 1000;
}

void PreRecording::Complete(Folder& published, const RequestRecord& counts) {
  if (reserved_ == 0) return;
  std::optional<uint64_t> files;
  std::optional<uint64_t> bytes;
  if (counts.counted || counts.how == "copied") {
    files = counts.files;
    bytes = counts.bytes;
  }
  std::string why;
  if (record_->Complete(reserved_, FolderIdText(published), files, bytes, &why)) {
    reserved_ = 0;
    return;
  }
  Note("row missing: " + why);
}

}  // namespace ovpre
