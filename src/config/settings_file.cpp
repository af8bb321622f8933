#include "config/settings_file.h"

#include "text/text.h"

namespace ovpre {

namespace {

/// True for a path that names its place by itself: from the root, or on
/// Windows with a drive ("C:...").
bool NamesItsPlace(const std::string& path, char sep) {
  if (!path.empty() && (path[0] == sep || path[0] == '/')) return true;
  return sep == '\\' && path.size() >= 2 && path[1] == ':';
}

}  // namespace

std::string SettingsPath(Platform& platform) {
  return BesideProgram(platform, platform.process.ExecutableStem() + ".ini");
}

std::string BesideProgram(Platform& platform, const std::string& path) {
  const char sep = platform.fs.Separator();
  if (path.empty() || NamesItsPlace(path, sep)) return path;
  std::string folder = platform.process.ExecutableFolder();
  if (folder.empty() || folder.back() != sep) folder += sep;
  return folder + path;
}

std::optional<Settings> LoadSettings(Platform& platform, FirstRunNotice notice) {
  const std::string path = SettingsPath(platform);
  if (!platform.fs.VisibleFileExists(path)) {
    // Exclusive creation: a file that exists but a search does not show
    // (hidden, system) is the siteop's and is loaded below, never replaced.
    const FsStatus created = platform.fs.CreateTextFile(path, DefaultSettingsText());
    if (created == FsStatus::kOk) {
      if (notice == FirstRunNotice::kShow) {
        platform.notifier.ShowMessage(
            "First time running, ini file created - please edit it: " + path);
      }
      return std::nullopt;
    }
    if (created != FsStatus::kExists) {
      // Whoever ran it by hand must learn why nothing happened; under the
      // server nobody would be there to click the box away.
      if (notice == FirstRunNotice::kShow) {
        platform.notifier.ShowMessage("The ini file could not be created: " + path + kCrlf +
                                      created.os_text());
      }
      return std::nullopt;
    }
  }
  std::string text;
  if (platform.fs.ReadTextFile(path, &text) != FsStatus::kOk) return std::nullopt;
  return SettingsOf(platform, text, path);
}

std::optional<Settings> ReadSettings(Platform& platform) {
  const std::string path = SettingsPath(platform);
  std::string text;
  if (platform.fs.ReadTextFile(path, &text) != FsStatus::kOk) return std::nullopt;
  return SettingsOf(platform, text, path);
}

Settings SettingsOf(Platform& platform, const std::string& text, const std::string& path) {
  Settings settings = ParseSettings(text);
  settings.FilePath = path;
  // Wherever the server runs the program from, a relative path means the
  // same file: the one beside the program.
  settings.AnnounceFile = BesideProgram(platform, settings.AnnounceFile);
  settings.LogFile = BesideProgram(platform, settings.LogFile);
  settings.AnnounceLog = BesideProgram(platform, settings.AnnounceLog);
  settings.PreDb = BesideProgram(platform, settings.PreDb);
  return settings;
}

bool FolderExists(FileSystem& fs, const std::string& path, FsStatus* cause) {
  std::string resolved;
  FsStatus status = fs.ResolveFolder(path, &resolved);
  if (status.ok() && fs.KindOf(resolved) != EntryKind::kFolder) status = FsStatus::kNotFound;
  if (cause) *cause = status;
  return status.ok();
}

std::string LockPath(Platform& platform) {
  return BesideProgram(platform, platform.process.ExecutableStem() + ".lock");
}

FsStatus TakeProgramLock(Platform& platform, std::unique_ptr<HeldLock>* lock) {
  const std::string path = LockPath(platform);
  return platform.lock_budget.Wait(platform.clock,
                                   [&] { return platform.fs.TryLock(path, lock); });
}

AppendResult AppendGroup(Platform& platform, const Settings& settings, const GroupBlock& group,
                         FsStatus* failure) {
  std::unique_ptr<HeldLock> lock;
  const FsStatus locked = TakeProgramLock(platform, &lock);
  if (!locked.ok()) {
    if (failure) *failure = locked;
    return AppendResult::kLockFailed;
  }
  bool duplicate = false;
  const FsStatus status = platform.fs.AppendByReplacing(
      settings.FilePath, [&](const std::string& current) -> std::optional<std::string> {
        if (ParseSettings(current).FindGroup(group.name)) {
          duplicate = true;
          return std::nullopt;
        }
        const std::string lead = EndsInLineBreak(current) ? "" : kCrlf;
        return lead + FormatGroupBlock(group);
      });
  if (status != FsStatus::kOk) {
    if (failure) *failure = status;
    return AppendResult::kFailed;
  }
  return duplicate ? AppendResult::kDuplicate : AppendResult::kAppended;
}

}  // namespace ovpre
