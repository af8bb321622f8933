#include "commands/pre.h"

#include <optional>
#include <vector>

#include "fs/folder_ops.h"
#include "fs/folder_queries.h"
#include "request/reply.h"
#include "text/fields.h"
#include "text/text.h"

namespace ovpre {

namespace {

constexpr const char* kMoveFailed =
    "Error moving folder -- the destination path probably\r\nalready exists.";
constexpr const char* kOwnershipFailed =
    "Owner and permissions could not be set, please notify a siteop.";
constexpr const char* kAnnounceFailed =
    "The announcement could not be written, please notify a siteop.";

std::string TwoDigits(int value) {
  std::string text = std::to_string(value);
  return text.size() == 1 ? "0" + text : text;
}

/// Where the release comes from and goes to.
struct PrePaths {
  std::string release;
  std::string source;
  std::string destination;
};

/// True when the release is named by its folder's own name, not by a short
/// 8.3 alias that would be published in its place.
bool IsOwnName(FileSystem& fs, const PrePaths& paths) {
  std::string own;
  return fs.OwnName(paths.source, &own) == FsStatus::kOk &&
         fs.FoldCase(own) == fs.FoldCase(paths.release);
}

/// Reply when the space check refuses or fails, or nothing when it passes.
std::optional<std::string> CheckSpace(FileSystem& fs, const PrePaths& paths) {
  const std::optional<double> size = FolderSizeMB(fs, paths.source);
  const std::optional<double> free = DriveFreeMB(fs, paths.destination);
  if (!size || !free) return std::string("Error in setup, please notify a siteop.");
  if (*size > *free) return std::string("Not enough diskspace available to pre.");
  return std::nullopt;
}

/// Gives the moved tree the group's owner and permissions: the destination,
/// everything directly in it, and each top-level entry with its content.
/// Returns false when the control is missing or any call failed; every call
/// is still attempted.
bool ApplyOwnership(Platform& platform, const PreGroup& group,
                    const std::string& destination) {
  std::unique_ptr<OwnershipControl> control = platform.ownership.Create();
  if (!control) return false;
  const char sep = platform.fs.Separator();
  const std::string user = GetField(group.NewOwner, ':', 0);
  const std::string owner_group = GetField(group.NewOwner, ':', 1);
  bool ok = true;
  // Each path gets a call of its own and one for everything inside it.
  const auto set = [&](const std::string& path) {
    ok = control->SetOwnership(group.NewPerms, user, owner_group, path,
                               OwnershipScope::kItself) && ok;
    ok = control->SetOwnership(group.NewPerms, user, owner_group, path,
                               OwnershipScope::kEverythingInside) && ok;
  };
  set(destination);
  const std::optional<std::vector<DirEntry>> listing = ListFolder(platform.fs, destination);
  if (!listing) return false;
  for (const DirEntry& entry : *listing) {
    if (entry.Name == "." || entry.Name == "..") continue;
    set(destination + sep + entry.Name);
  }
  return ok;
}

std::string Announcement(const Settings& settings, const PreGroup& group,
                         const PrePaths& paths) {
  const std::string bold = "\x02";
  return ">> " + bold + settings.SiteName + bold + " << Pre: " + bold + paths.release +
         " " + bold + "from" + bold + " " + group.Name + kCrlf +
         ">> Grab it from " + paths.destination + kCrlf;
}

/// Everything after a successful move: the reply, ownership, announcement.
void FinishPre(Platform& platform, const Settings& settings, const PreGroup& group,
               const PrePaths& paths, const std::string& tag) {
  std::string reply = paths.release + " was successfully pre'd to:" + kCrlf +
                      paths.destination;
  // The user sees the success at once; the notes about the steps after the
  // move are added to the same reply when those steps fail.
  WriteReply(platform.fs, settings, tag, "pre", reply);
  const bool owned = ApplyOwnership(platform, group, paths.destination);
  const bool announced =
      platform.fs.WriteTextFile(settings.AnnounceFile,
                                Announcement(settings, group, paths)) == FsStatus::kOk;
  if (owned && announced) return;
  if (!owned) reply += kCrlf + std::string(kOwnershipFailed);
  if (!announced) reply += kCrlf + std::string(kAnnounceFailed);
  WriteReply(platform.fs, settings, tag, "pre", reply);
}

/// True for a name that Windows takes as a device wherever it stands in a
/// path: CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension.
bool IsDeviceName(const std::string& release) {
  std::string base = LowerAscii(release.substr(0, release.find('.')));
  // Windows drops trailing spaces before the extension too: "nul .x".
  base.erase(base.find_last_not_of(' ') + 1);
  if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
  const bool numbered = base.size() == 4 && base[3] >= '1' && base[3] <= '9';
  return numbered && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0);
}

}  // namespace

bool IsSafeReleaseName(const std::string& release) {
  if (release.empty() || release == "." || release == "..") return false;
  if (release.find_first_not_of(' ') == std::string::npos) return false;
  if (release.back() == ' ' || release.back() == '.') return false;
  if (HasControlChar(release) || IsDeviceName(release)) return false;
  return release.find_first_of("\\/:*?\"<>|") == std::string::npos;
}

std::string DatePart(int dated, const LocalDate& today, char separator) {
  const std::string month = TwoDigits(today.month);
  const std::string day = TwoDigits(today.day);
  switch (dated) {
    case 1: return month + day + separator;
    case 2: return month + "-" + day + separator;
    case 3: return std::to_string(today.year) + "-" + month + "-" + day + separator;
    default: return "";
  }
}

void RunPre(Platform& platform, const Settings& settings, const SiteRequest& request) {
  FileSystem& fs = platform.fs;
  const auto reply = [&](const std::string& message) {
    WriteReply(fs, settings, request.ReplyTag, "pre", message);
  };
  if (CountFields(request.CommandText, ' ') < 2) return reply("Usage: Site pre dirname");
  if (settings.Groups.empty()) return reply("No groups setup.");
  const PreGroup* group = settings.FindGroup(request.UserGroup);
  if (!group) return reply("You are not in any pre groups.");
  if (fs.FoldCase(request.CurrentDir) != fs.FoldCase(group->OwnDir)) {
    return reply("You must be on your own directory\r\nto pre a release.");
  }
  const char sep = fs.Separator();
  PrePaths paths;
  paths.release = request.CommandText.substr(request.CommandText.find(' ') + 1);
  // A name the reply and the announcement cannot carry exactly would be
  // published as some other name.
  if (!IsSafeReleaseName(paths.release) || !fs.StoresExactly(paths.release)) {
    return reply("Invalid release name: " + paths.release);
  }
  paths.destination = group->ToDir + sep +
                      DatePart(group->Dated, platform.clock.Today(), sep) + paths.release;
  paths.source = request.CurrentDir + sep + paths.release;
  if (fs.KindOf(paths.source) != EntryKind::kFolder || !IsOwnName(fs, paths)) {
    return reply("Unable to find: " + paths.release);
  }
  if (const std::optional<std::string> refusal = CheckSpace(fs, paths)) {
    return reply(*refusal);
  }
  // The rename is tried first, whatever the drive letters say: two letters
  // may name one volume. Only the system's "other device" leads to a copy.
  if (MoveFolderSafely(fs, paths.source, paths.destination, false) ==
      MoveOutcome::kNotMoved) {
    return reply(kMoveFailed);
  }
  FinishPre(platform, settings, *group, paths, request.ReplyTag);
}

}  // namespace ovpre
