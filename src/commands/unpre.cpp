#include <memory>

#include "commands/pre.h"
#include "commands/record_commands.h"
#include "commands/record_use.h"
#include "fs/move_release.h"
#include "request/reply.h"
#include "text/fields.h"
#include "text/text.h"
#include "text/unicode.h"

namespace ovpre {

namespace {

constexpr const char* kSetupError = "Error in setup, please notify a siteop.";
constexpr const char* kTargetLeft =
    "Part of the release could not be removed from the target folder, please notify a siteop.";

/// A recorded pre found where it was published: the folder holding it and
/// the release itself, both open.
struct PublishedRelease {
  std::unique_ptr<Folder> holder;
  std::unique_ptr<Folder> release;
};

/// The folder names below `target` that lead to `pre`'s path: its date
/// folder, when it has one, and the release. Nothing when the path does not
/// lie in `target` that way.
std::optional<std::vector<std::string>> NamesBelow(FileSystem& fs, const std::string& target,
                                                   const RecordedPre& pre) {
  const char sep = fs.Separator();
  if (target.empty()) return std::nullopt;
  const std::string top = target.back() == sep ? target : target + sep;
  if (fs.FoldCase(pre.path).compare(0, top.size(), fs.FoldCase(top)) != 0) return std::nullopt;
  std::string rest = pre.path.substr(top.size());
  // A todir that ends in a separator gave the path a second one.
  if (target.back() == sep && !rest.empty() && rest.front() == sep) rest.erase(0, 1);
  const long count = CountFields(rest, sep);
  if (count < 1 || count > 2) return std::nullopt;
  std::vector<std::string> names;
  for (int index = 0; index < count; ++index) {
    names.push_back(GetField(rest, sep, index));
    // A forged path must not climb out of the target with "..".
    if (!IsSafeReleaseName(names.back())) return std::nullopt;
  }
  if (names.back() != pre.release) return std::nullopt;
  return names;
}

/// Opens the very folder `pre` published, when its path lies in the
/// group's target folder or one of its section folders; nothing moved or
/// followed below the configured folder.
std::optional<PublishedRelease> FindPublished(FileSystem& fs, const PreGroup& group,
                                              const RecordedPre& pre) {
  std::vector<std::string> targets{group.ToDir};
  for (const PreSection& section : group.Sections) targets.push_back(section.ToDir);
  for (const std::string& target : targets) {
    const std::optional<std::vector<std::string>> names = NamesBelow(fs, target, pre);
    std::string resolved;
    PublishedRelease found;
    if (!names || !fs.ResolveFolder(target, &resolved).ok() ||
        !fs.OpenFolder(resolved, &found.holder).ok()) {
      continue;
    }
    if (names->size() == 2) {
      std::unique_ptr<Folder> dated;
      if (!found.holder->Open(names->front(), &dated).ok()) return std::nullopt;
      found.holder = std::move(dated);
    }
    if (!found.holder->Open(pre.release, &found.release).ok() ||
        FolderIdText(*found.release) != pre.folder_id) {
      return std::nullopt;
    }
    return found;
  }
  return std::nullopt;
}

std::string UnpreAnnouncement(const Settings& settings, const PreGroup& group,
                              const RecordedPre& pre) {
  const std::string bold = "\x02";
  return ">> " + bold + settings.SiteName + bold + " << Unpre: " + bold + pre.release + " " +
         bold + "from" + bold + " " + group.Name +
         (pre.section.empty() ? "" : " in " + pre.section) + kCrlf + ">> Taken back from " +
         pre.path + kCrlf;
}

/// Moves `found` back to `destination` with every guarantee of a pre; a
/// copy needs the room of the release.
MoveOutcome MoveBack(Platform& platform, PublishedRelease& found, const std::string& name,
                     const std::string& destination, MoveReport* report, RequestRecord& log) {
  FileSystem& fs = platform.fs;
  // The group's folder is the siteop's: a link on its way is followed, once.
  std::string own_path = FolderOf(destination, fs.Separator());
  std::string resolved;
  if (fs.ResolveFolder(own_path, &resolved).ok()) own_path = resolved;
  std::unique_ptr<Folder> own;
  const FsStatus opened = fs.OpenFolder(own_path, &own);
  if (!opened.ok()) {
    report->Note(opened, "open own folder");
    log.Fail("open own folder", opened);
    return MoveOutcome::kNotMoved;
  }
  MoveRequest move{*found.holder, *found.release, name,  *own,  own_path,
                   *own,          name,           false, false, nullptr,
                   LoadWorkKey(platform, log)};
  move.may_copy = [&] { return !CheckSpace(fs, *found.release, own_path, log); };
  const MoveOutcome outcome = MoveRelease(platform.fs, &platform.clock, move, report);
  const bool went = outcome == MoveOutcome::kMoved || outcome == MoveOutcome::kMovedSourceLeft;
  if (went) log.how = report->copied ? "copied" : "moved";
  if (report->failure != FsStatus::kOk) log.Fail(report->step, report->failure);
  if (!report->left_at.empty()) log.Fail("left in the work folder", report->left_at);
  return outcome;
}

}  // namespace

void RunUnpre(Platform& platform, const Settings& settings, const SiteRequest& request,
              RequestRecord& log) {
  FileSystem& fs = platform.fs;
  const auto reply = [&](const std::string& message) {
    log.reply = message;
    WriteReply(fs, settings, request.ReplyTag, "unpre", message);
  };
  const PreGroup* group = CallerGroup(settings, request, "Usage: Site unpre dirname", reply);
  if (!group) return;
  const std::string typed = request.CommandText.substr(request.CommandText.find(' ') + 1);
  log.name = typed;
  if (group->UnpreMins <= 0) return reply("Unpre is not allowed for your group.");
  if (!IsSafeReleaseName(typed)) return reply("Invalid release name: " + MaskControlChars(typed));
  std::string why;
  const std::unique_ptr<PreRecord> record = OpenRecord(platform, settings, &why);
  const std::optional<RecordedPre> pre =
      record ? record->Latest(FoldName(typed), &why) : std::nullopt;
  if (!pre && !why.empty()) {
    log.Fail("record", why);
    return reply(kSetupError);
  }
  if (!pre) return reply("Unable to find: " + typed);
  log.name = pre->release;
  if (pre->group != group->Name) return reply(pre->release + " was not pre'd by your group.");
  const int64_t minutes = pre->age_ms / 60000;
  if (pre->age_ms > int64_t{group->UnpreMins} * 60000) {
    return reply("Too late to unpre " + pre->release + ": it was pre'd " +
                 std::to_string(minutes) + " minutes ago.");
  }
  std::optional<PublishedRelease> found = FindPublished(fs, *group, *pre);
  if (!found) return reply("Unable to find: " + MaskControlChars(pre->path));
  const std::string destination = group->OwnDir + fs.Separator() + pre->release;
  if (fs.KindOf(destination) != EntryKind::kMissing) {
    return reply(MoveFailedReply(fs, MoveReport{}, destination));
  }
  // The mark comes first, in a transaction of its own: when it cannot be
  // written, nothing moves; when the move fails, it is taken back.
  if (!record->MarkUndone(pre->id, true, &why)) {
    log.Fail("record", why);
    return reply(kSetupError);
  }
  MoveReport report;
  const MoveOutcome outcome = MoveBack(platform, *found, pre->release, destination, &report, log);
  if (outcome == MoveOutcome::kNotMoved || outcome == MoveOutcome::kSwapped) {
    if (!record->MarkUndone(pre->id, false, &why)) log.Fail("record", why);
    return reply(outcome == MoveOutcome::kSwapped ? "Unable to find: " + MaskControlChars(pre->path)
                                                  : MoveFailedReply(fs, report, destination));
  }
  if (log.failures.empty()) log.outcome = RequestOutcome::kOk;
  std::string message = pre->release + " was taken back to:" + kCrlf + destination;
  if (!Announce(platform, settings, UnpreAnnouncement(settings, *group, *pre), log)) {
    message += kCrlf + std::string(kAnnounceFailed);
  }
  if (outcome == MoveOutcome::kMovedSourceLeft) message += kCrlf + std::string(kTargetLeft);
  reply(message);
}

}  // namespace ovpre
