#include "config/settings_file.h"

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
    if (created != FsStatus::kExists) return std::nullopt;
  }
  std::string text;
  if (platform.fs.ReadTextFile(path, &text) != FsStatus::kOk) return std::nullopt;
  return ParseSettings(text);
}

}  // namespace ovpre
