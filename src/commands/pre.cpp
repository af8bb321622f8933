#include "commands/pre.h"

#include <optional>
#include <vector>

#include "commands/pre_target.h"
#include "commands/record_use.h"
#include "commands/sfv_check.h"
#include "config/settings_file.h"
#include "fs/move_release.h"
#include "fs/work_entry.h"
#include "fs/work_key.h"
#include "fs/folder_queries.h"
#include "request/reply.h"
#include "request/request_log.h"
#include "text/fields.h"
#include "text/text.h"

namespace ovpre {

namespace {

constexpr const char* kMoveFailed =
    "Error moving folder -- the destination path probably\r\nalready exists.";
constexpr const char* kOwnershipFailed =
    "Owner and permissions could not be set, please notify a siteop.";
constexpr const char* kSourceLeft =
    "Part of the release could not be removed from your folder, please notify a siteop.";
constexpr const char* kReleaseChanged =
    "The release changed while it was being copied; try again when the upload has finished.";

/// Where the release comes from and goes to.
struct PrePaths {
  std::string release;
  std::string source;
  std::string destination;
  std::string section;  // the section named, as configured; "" for none
};

/// Puts the name that the release's folder keeps for itself into
/// `paths.release`; false when there is no such folder, or when the typed
/// name reaches it only through a short 8.3 alias.
bool OwnNameOf(FileSystem& fs, PrePaths* paths) {
  std::string own;
  if (fs.OwnName(paths->source, &own) != FsStatus::kOk ||
      fs.FoldCase(own) != fs.FoldCase(paths->release)) {
    return false;
  }
  paths->release = own;
  return true;
}

/// True when the folder `own_dir` and the target folder `target` are
/// plainly on two volumes: a copy is certain, and its room can be checked
/// before anything else is read.
bool PlainlyOtherVolume(FileSystem& fs, const std::string& own_dir, const std::string& target) {
  std::string resolved;
  FileId own;
  FileId to;
  return fs.ResolveFolder(target, &resolved).ok() && fs.IdentityOf(own_dir, &own).ok() &&
         fs.IdentityOf(resolved, &to).ok() && own.volume != to.volume;
}

/// What the move did, for the log; a release that did not go has no "how".
void NoteMove(MoveOutcome outcome, const MoveReport& report, RequestRecord& record) {
  const bool went = outcome == MoveOutcome::kMoved || outcome == MoveOutcome::kMovedSourceLeft;
  if (went) record.how = report.copied ? "copied" : "moved";
  if (went && report.copied) {
    record.files = report.files;
    record.bytes = report.bytes;
  }
  if (report.failure != FsStatus::kOk) record.Fail(report.step, report.failure);
  if (!report.left_at.empty()) record.Fail("left in the work folder", report.left_at);
  if (report.kept_copy) record.Fail("copy kept for the next pre", "");
  for (const std::string& note : report.notes) {
    record.AddNote(note);
  }
}

}  // namespace

std::optional<std::string> CheckSpace(FileSystem& fs, Folder& release, const std::string& folder,
                                      RequestRecord& record) {
  const std::optional<uint64_t> size = FolderSizeBytes(release, &record.files);
  uint64_t free = 0;
  const FsStatus asked = fs.FreeBytes(folder, &free);
  if (!size) record.Fail("space check", "the release could not be read");
  if (asked != FsStatus::kOk) record.Fail("space check", asked);
  if (!size || asked != FsStatus::kOk) {
    return std::string("Error in setup, please notify a siteop.");
  }
  record.bytes = *size;
  record.counted = true;
  if (ToMB(*size) > ToMB(free)) return std::string("Not enough diskspace available to pre.");
  return std::nullopt;
}

namespace {

/// Reply when the release does not match its .sfv files, or they cannot be
/// read; nothing when it is complete. The counts go into `record`.
std::optional<std::string> CheckCompleteness(const FileSystem& fs, Folder& release,
                                             RequestRecord& record) {
  SfvReport report;
  const FsStatus checked = CheckSfvFiles(fs, release, &report);
  // An upload still open, an .sfv file among them, is the user's to finish.
  if (checked == FsStatus::kInUse) {
    record.Fail("sfv check", checked);
    return kMoveFailed + std::string(kCrlf) + "Reason: a file in the release is in use.";
  }
  if (!checked.ok()) {
    record.Fail("sfv check", checked);
    return std::string("Error in setup, please notify a siteop.");
  }
  record.AddNote("sfv: " + SfvSummary(report));
  return IncompleteReply(report);
}

/// Gives the moved tree the group's owner and permissions: the destination,
/// everything directly in it, and each top-level entry with its content.
/// Every call goes through `release`, the published folder held open, so
/// that a folder above it swapped since the move leads nowhere else.
/// Returns false when the control is missing or any call failed; every call
/// is still attempted. Each failure goes into `record`.
bool ApplyOwnership(Platform& platform, const PreGroup& group, Folder& release,
                    const std::string& destination, RequestRecord& record) {
  std::string cause;
  const OwnershipGrant grant = GrantOf(group);
  if (!platform.ownership.Accepts(grant, &cause)) {
    record.Fail("set ownership", cause);
    return false;
  }
  std::unique_ptr<OwnershipControl> control = platform.ownership.Create(&cause);
  if (!control) {
    record.Fail("create control", cause);
    return false;
  }
  const char sep = platform.fs.Separator();
  // "newowner=user" names no group: the owner group stays as it was.
  if (!grant.user.empty() && grant.group.empty()) {
    record.AddNote("newowner names no group");
  }
  bool ok = true;
  const auto call = [&](const OwnershipTarget& target, OwnershipScope scope) {
    cause.clear();
    if (control->SetOwnership(grant, target, scope, &cause)) return;
    ok = false;
    const bool inside = scope == OwnershipScope::kEverythingInside;
    record.Fail("set ownership " + target.Path(sep) + (inside ? std::string(1, sep) + "*" : ""),
                cause);
  };
  // Each path gets a call of its own and one for everything inside it.
  const auto set = [&](const std::string& entry) {
    const OwnershipTarget target{release, destination, entry};
    call(target, OwnershipScope::kItself);
    call(target, OwnershipScope::kEverythingInside);
  };
  set("");
  const std::optional<std::vector<DirEntry>> listing = ListFolder(platform.fs, destination);
  if (!listing) {
    record.Fail("list release", "");
    return false;
  }
  for (const DirEntry& entry : *listing) {
    if (entry.Name == "." || entry.Name == "..") continue;
    set(entry.Name);
  }
  return ok;
}

std::string Announcement(const Settings& settings, const PreGroup& group,
                         const PrePaths& paths) {
  const std::string bold = "\x02";
  return ">> " + bold + settings.SiteName + bold + " << Pre: " + bold + paths.release +
         " " + bold + "from" + bold + " " + group.Name +
         (paths.section.empty() ? "" : " in " + paths.section) + kCrlf +
         ">> Grab it from " + paths.destination + kCrlf;
}

/// Appends the announcement to the announce log, when one is set: the
/// bot's record of every pre, where the announce file keeps only the last.
/// False when it was not written; the cause goes into `record`.
bool AppendToAnnounceLog(Platform& platform, const Settings& settings,
                         const std::string& announcement, RequestRecord& record) {
  if (settings.AnnounceLog.empty()) return true;
  std::unique_ptr<HeldLock> lock;
  const FsStatus locked = TakeProgramLock(platform, &lock);
  if (!locked.ok()) {
    FailLock(record, locked, LockPath(platform));
    return false;
  }
  const FsStatus logged = platform.fs.AppendUtf8(
      settings.AnnounceLog, [&](const std::string& tail) -> std::optional<std::string> {
        // A line cut short earlier must not swallow this one.
        return (EndsInLineBreak(tail) ? "" : kCrlf) + announcement;
      });
  if (logged != FsStatus::kOk) record.Fail("announce log", logged);
  return logged == FsStatus::kOk;
}

}  // namespace

bool Announce(Platform& platform, const Settings& settings, const std::string& announcement,
              RequestRecord& record) {
  const FsStatus announced = platform.fs.WriteTextFile(settings.AnnounceFile, announcement);
  if (announced != FsStatus::kOk) record.Fail("announce", announced);
  const bool logged = AppendToAnnounceLog(platform, settings, announcement, record);
  return announced == FsStatus::kOk && logged;
}

const PreGroup* CallerGroup(const Settings& settings, const SiteRequest& request,
                            const std::string& usage,
                            const std::function<void(const std::string&)>& reply) {
  const PreGroup* group = nullptr;
  if (CountFields(request.CommandText, ' ') < 2) {
    reply(usage);
  } else if (settings.Groups.empty()) {
    reply("No groups setup.");
  } else if (!(group = settings.FindGroup(request.UserGroup))) {
    reply("You are not in any pre groups.");
  }
  return group;
}

namespace {

/// Everything after a successful move: the reply, ownership, announcement.
void FinishPre(Platform& platform, const Settings& settings, const PreGroup& group,
               Folder& release, const PrePaths& paths, const std::string& tag, bool source_left,
               RequestRecord& record) {
  std::string reply = paths.release + " was successfully pre'd to:" + kCrlf +
                      paths.destination;
  record.reply = reply;
  // The user sees the success at once; the notes about the steps after the
  // move are added to the same reply when those steps fail, the note about
  // the source last of all.
  WriteReply(platform.fs, settings, tag, "pre", reply);
  const bool owned = ApplyOwnership(platform, group, release, paths.destination, record);
  const bool told = Announce(platform, settings, Announcement(settings, group, paths), record);
  if (owned && told && !source_left) return;
  if (!owned) reply += kCrlf + std::string(kOwnershipFailed);
  if (!told) reply += kCrlf + std::string(kAnnounceFailed);
  if (source_left) reply += kCrlf + std::string(kSourceLeft);
  record.reply = reply;
  WriteReply(platform.fs, settings, tag, "pre", reply);
}

}  // namespace

/// The reply to a move that did not happen, with the reason when it is
/// known. The destination's parent is looked at only after a "not found".
std::string MoveFailedReply(FileSystem& fs, const MoveReport& report,
                            const std::string& destination) {
  // Read before anything moved: a tree the system cannot walk is the
  // siteop's to look at.
  if (report.failure == FsStatus::kTooDeep) return "Error in setup, please notify a siteop.";
  const bool target_missing =
      report.failure == FsStatus::kNotFound &&
      fs.KindOf(FolderOf(destination, fs.Separator())) == EntryKind::kMissing;
  const std::string reason = MoveFailureReason(report, target_missing);
  return reason.empty() ? kMoveFailed : kMoveFailed + std::string(kCrlf) + reason;
}

namespace {

/// True for a name that Windows takes as a device wherever it stands in a
/// path: CON, PRN, AUX, NUL, COM1-9, LPT1-9, and COM or LPT with a
/// superscript 1, 2 or 3 (UTF-8 C2 B9, C2 B2, C2 B3), also with an extension.
bool IsDeviceName(const std::string& release) {
  std::string base = LowerAscii(release.substr(0, release.find('.')));
  // Windows drops trailing spaces before the extension too: "nul .x".
  base.erase(base.find_last_not_of(' ') + 1);
  if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
  if (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0) return false;
  const std::string number = base.substr(3);
  if (number.size() == 1) return number[0] >= '1' && number[0] <= '9';
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

/// The folders that the pre needs held: the configured target, followed
/// once when it is a link, and the folder the release goes into there.
struct HeldTarget {
  std::string path;
  std::unique_ptr<Folder> target;
  std::unique_ptr<Folder> date;  // none when the target is not dated
  bool date_made = false;
  Folder& into() { return date ? *date : *target; }
};

/// Opens the target and today's date folder in it (made when missing);
/// the reply when that fails. Below the target nothing is followed: a link,
/// a file or someone else's folder at the date folder's name is a setup
/// error.
std::optional<std::string> HoldTarget(FileSystem& fs, const PreTarget& target,
                                      const std::string& date_part, HeldTarget* held,
                                      RequestRecord& record) {
  held->path = target.ToDir;
  std::string resolved;
  if (fs.ResolveFolder(target.ToDir, &resolved).ok()) held->path = resolved;
  MoveReport report;
  report.Note(fs.OpenFolder(held->path, &held->target), "open target");
  if (!report.failure.ok()) {
    record.Fail(report.step, report.failure);
    const bool missing = fs.KindOf(held->path) == EntryKind::kMissing;
    const std::string reason = MoveFailureReason(report, missing);
    return std::string(kMoveFailed) + (reason.empty() ? std::string() : kCrlf + reason);
  }
  if (date_part.empty()) return std::nullopt;
  const FsStatus opened = held->target->OpenOwnersFolder(date_part, &held->date, &held->date_made);
  if (opened.ok()) return std::nullopt;
  record.Fail("date folder " + date_part,
              opened == FsStatus::kExists ? FsStatus(FsStatus::kExists, 0,
                                                     "not a folder of the target's owner")
                                          : opened);
  return std::string("Error in setup, please notify a siteop.");
}

/// Removes kept copies of the release from the work folders of the
/// group's other targets: it is published, and would be again from there.
void RemoveOtherKeptCopies(FileSystem& fs, const PreGroup& group, Folder& used,
                           const std::string& release, const WorkKey& key) {
  FileId used_id;
  if (key.empty() || !used.Identity(&used_id).ok()) return;
  std::vector<std::string> folders{group.ToDir};
  for (const PreSection& section : group.Sections) folders.push_back(section.ToDir);
  for (const std::string& folder : folders) {
    std::string resolved;
    std::unique_ptr<Folder> target;
    FileId id;
    if (folder.empty() || !fs.ResolveFolder(folder, &resolved).ok() ||
        !fs.OpenFolder(resolved, &target).ok() || !target->Identity(&id).ok() || id == used_id) {
      continue;
    }
    WorkEntry::RemoveKeptCopy(*target, release, key);
  }
}

}  // namespace

bool IsSafeReleaseName(const std::string& release) {
  if (release.empty() || release == "." || release == "..") return false;
  if (release.find_first_not_of(' ') == std::string::npos) return false;
  if (release.back() == ' ' || release.back() == '.') return false;
  if (HasHiddenText(release) || IsDeviceName(release)) return false;
  // The work folder in each target, where releases are staged, is never a
  // release, in any case.
  const std::string work = kWorkFolderName;
  if (LowerAscii(release).compare(0, work.size(), work) == 0) return false;
  return release.find_first_of("\\/:*?\"<>|") == std::string::npos;
}

std::string DatePart(int dated, const LocalDate& today, char separator) {
  const std::string month = ZeroPadded(today.month, 2);
  const std::string day = ZeroPadded(today.day, 2);
  switch (dated) {
    case 1: return month + day + separator;
    case 2: return month + "-" + day + separator;
    case 3: return std::to_string(today.year) + "-" + month + "-" + day + separator;
    default: return "";
  }
}

bool IsSameFolder(FileSystem& fs, const std::string& a, const std::string& b) {
  FileId first;
  FileId second;
  return fs.KindOf(a) == EntryKind::kFolder && fs.IdentityOf(a, &first) == FsStatus::kOk &&
         fs.IdentityOf(b, &second) == FsStatus::kOk && first == second;
}

std::string MoveFailureReason(const MoveReport& report, bool target_folder_missing) {
  if (report.changed_while_copying) {
    return kReleaseChanged;
  }
  // Renamed into the work folder, then neither published nor handed back.
  if (!report.left_at.empty()) {
    return "Reason: the release waits in the target's work folder, please notify a siteop.";
  }
  switch (report.failure.code()) {
    case FsStatus::kNoSpace: return "Reason: not enough space on the target drive.";
    case FsStatus::kDenied: return "Reason: access was denied.";
    case FsStatus::kInUse: return "Reason: a file in the release is in use.";
    case FsStatus::kNotCopyable:
      return "Reason: the release holds entries that cannot be copied to another drive.";
    case FsStatus::kTooLarge:
      return "Reason: the target drive cannot hold files of 4 GB or more.";
    case FsStatus::kNotFound:
      return target_folder_missing ? "Reason: the target folder does not exist." : "";
    default: return "";  // an existing destination is what the reply says already
  }
}

void RunPre(Platform& platform, const Settings& settings, const SiteRequest& request,
            RequestRecord* log) {
  RequestRecord unused;
  RequestRecord& record = log ? *log : unused;
  FileSystem& fs = platform.fs;
  const auto reply = [&](const std::string& message) {
    record.reply = message;
    WriteReply(fs, settings, request.ReplyTag, "pre", message);
  };
  const PreGroup* group = CallerGroup(settings, request, "Usage: Site pre dirname", reply);
  if (!group) return;
  const std::string not_own_folder = "You must be on your own directory\r\nto pre a release.";
  if (fs.FoldCase(request.CurrentDir) != fs.FoldCase(group->OwnDir)) return reply(not_own_folder);
  const char sep = fs.Separator();
  // An empty or relative folder would make the source or the destination a
  // path from the root or from wherever the server happens to run us.
  if (!IsAbsoluteFolder(group->OwnDir, sep) || !IsAbsoluteFolder(group->ToDir, sep) ||
      !IsAbsoluteFolder(request.CurrentDir, sep)) {
    return reply("Error in setup, please notify a siteop.");
  }
  // The configured folders are the siteop's: a link, junction or mounted
  // folder on their way is followed, once, here. The texts matched without
  // regard to case; on a file system that keeps case apart they can still
  // name two different folders.
  std::string own_dir;
  std::string group_dir;
  FsStatus resolved = fs.ResolveFolder(request.CurrentDir, &own_dir);
  if (resolved.ok()) resolved = fs.ResolveFolder(group->OwnDir, &group_dir);
  // A folder that is not there is not the caller's; one that is there but
  // whose real path the system cannot give is the siteop's to look at.
  if (!resolved.ok() && resolved != FsStatus::kNotFound) {
    record.Fail("resolve own folder", resolved);
    return reply("Error in setup, please notify a siteop.");
  }
  if (!resolved.ok() || !IsSameFolder(fs, own_dir, group_dir)) return reply(not_own_folder);
  PrePaths paths;
  PreTarget target;
  const std::string text = request.CommandText.substr(request.CommandText.find(' ') + 1);
  if (const std::optional<std::string> unknown =
          ChooseTarget(fs, *group, own_dir, text, &paths.release, &target)) {
    record.name = text;
    return reply(*unknown);
  }
  if (target.Section) paths.section = target.Section->Name;
  record.name = paths.release;
  if (!IsAbsoluteFolder(target.ToDir, sep)) return reply("Error in setup, please notify a siteop.");
  // A name the reply and the announcement cannot carry exactly would be
  // published as some other name.
  if (!IsSafeReleaseName(paths.release) || !fs.StoresExactly(paths.release)) {
    return reply("Invalid release name: " + MaskControlChars(paths.release));
  }
  paths.source = own_dir + sep + paths.release;
  // The release is opened once, without following a link; every later step
  // works through this open folder, so nothing swapped in can redirect it.
  // It is published and announced under its folder's own name, whatever
  // case it was typed in, and never under a short alias.
  std::unique_ptr<Folder> own;
  std::unique_ptr<Folder> release;
  if (!OwnNameOf(fs, &paths) || !fs.OpenFolder(own_dir, &own).ok() ||
      !own->Open(paths.release, &release).ok()) {
    return reply("Unable to find: " + paths.release);
  }
  record.name = paths.release;
  std::string date_name = DatePart(target.Dated, platform.clock.Today(), sep);
  paths.destination = target.ToDir + sep + date_name + paths.release;
  if (!date_name.empty()) date_name.pop_back();
  // A release already on the site is not pre'd again, wherever it went.
  // The record holds its name from here until the pre ends.
  PreRecording recording(platform, settings, record);
  if (const std::optional<std::string> dupe =
          recording.Reserve(*group, paths.release, paths.section, paths.destination)) {
    return reply(*dupe);
  }
  if (recording.FoldersToo(*group)) {
    if (const std::optional<std::string> dupe = FindDupe(
            fs, settings, group->DupeDays, platform.clock.Today(), paths.release)) {
      return reply(*dupe);
    }
  }
  // Only a complete release may become public: it cannot be taken back.
  if (group->SfvCheck) {
    if (const std::optional<std::string> refusal = CheckCompleteness(fs, *release, record)) {
      return reply(*refusal);
    }
  }
  // Only a copy needs room. Where the volumes plainly differ, that is
  // known now, before any file is read; else only the rename can tell.
  std::optional<std::string> space_refusal;
  bool space_checked = false;
  const auto check_space = [&] {
    space_checked = true;
    // The configured target's room: nothing below it is followed.
    space_refusal = CheckSpace(fs, *release, target.ToDir, record);
    return !space_refusal;
  };
  if (PlainlyOtherVolume(fs, own_dir, target.ToDir) && !check_space()) {
    return reply(*space_refusal);
  }
  // The rename is tried first, whatever the drive letters say: two letters
  // may name one volume. Only the system's "other device" leads to a copy.
  HeldTarget held;
  if (const std::optional<std::string> refusal =
          HoldTarget(fs, target, date_name, &held, record)) {
    return reply(*refusal);
  }
  const WorkKey key = LoadWorkKey(platform, record);
  MoveReport report;
  std::unique_ptr<Folder> copy;
  MoveRequest move{*own,         *release,       paths.release, *held.target,
                   held.path,    held.into(),    paths.release, held.date_made,
                   false,        nullptr,        key};
  move.may_copy = [&] { return space_checked ? !space_refusal : check_space(); };
  const MoveOutcome outcome = MoveRelease(fs, &platform.clock, move, &report, &copy);
  if (report.refused && space_refusal) return reply(*space_refusal);
  NoteMove(outcome, report, record);
  if (outcome == MoveOutcome::kNotMoved) {
    // A file still open for writing turns the pre down: nothing was changed.
    if (report.failure == FsStatus::kInUse && report.step == "copy") {
      record.outcome = RequestOutcome::kRefused;
    }
    return reply(MoveFailedReply(fs, report, paths.destination));
  }
  if (outcome == MoveOutcome::kSwapped) return reply("Unable to find: " + paths.release);
  if (record.failures.empty()) record.outcome = RequestOutcome::kOk;
  RemoveOtherKeptCopies(fs, *group, *held.target, paths.release, key);
  // The published folder stays open for the owner calls: its path cannot
  // be redirected while it is held.
  if (copy) release = std::move(copy);
  recording.Complete(*release, record);
  FinishPre(platform, settings, *group, *release, paths, request.ReplyTag,
            outcome == MoveOutcome::kMovedSourceLeft, record);
}

WorkKey LoadWorkKey(Platform& platform, RequestRecord& record) {
  const std::string path = BesideProgram(platform, platform.process.ExecutableStem() + ".key");
  std::string text;
  const FsStatus read = platform.fs.ReadOrCreateSecret(path, NewWorkKeyText(), &text);
  const WorkKey key = read.ok() ? WorkKeyFromText(text) : WorkKey();
  if (!read.ok()) record.AddNote("work key: " + std::to_string(read.os_error()) + " " + read.os_text());
  if (read.ok() && key.empty()) record.AddNote("work key: not a key");
  return key;
}

}  // namespace ovpre
