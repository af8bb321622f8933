#include "config/settings_file.h"

#include "text/text.h"

namespace ovpre {

std::string SettingsPath(Platform& platform) {
  const char sep = platform.fs.Separator();
  std::string path = platform.process.ExecutableFolder();
  if (path.empty() || path.back() != sep) path += sep;
  return path + platform.process.ExecutableStem() + ".ini";
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

Settings SettingsOf(Platform& platform, const std::string& text, const std::string& path) {
  Settings settings = ParseSettings(text);
  settings.FilePath = path;
  const char sep = platform.fs.Separator();
  if (!settings.LogFile.empty() && !IsAbsoluteFolder(settings.LogFile, sep)) {
    settings.LogFile = FolderOf(path, sep) + sep + settings.LogFile;
  }
  return settings;
}

bool FolderExists(FileSystem& fs, const std::string& path, FsStatus* cause) {
  std::string resolved;
  FsStatus status = fs.ResolveFolder(path, &resolved);
  if (status.ok() && fs.KindOf(resolved) != EntryKind::kFolder) status = FsStatus::kNotFound;
  if (cause) *cause = status;
  return status.ok();
}

AppendResult AppendGroup(FileSystem& fs, const Settings& settings, const GroupBlock& group,
                         FsStatus* failure) {
  bool duplicate = false;
  const FsStatus status = fs.AppendTextLocked(
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
