#pragma once
#include <optional>
#include <string>

#include "config/settings.h"
#include "platform/platform.h"

namespace ovpre {

/// The settings file's path: the executable's folder (with a separator
/// added when it lacks one), the executable's name and ".ini".
std::string SettingsPath(Platform& platform);

/// `path` as a file of the executable's folder when it is relative;
/// unchanged when it is empty, starts at the root or (on Windows) names a
/// drive.
std::string BesideProgram(Platform& platform, const std::string& path);

/// Whether the first run tells the person at the machine that the settings
/// file was created. Only a run started by hand does: a message box in a run
/// that the server started would hold the server's command until somebody
/// clicks it, and nobody may be there to click.
enum class FirstRunNotice { kShow, kQuiet };

/// Loads the settings file and records its path in the result. On the first
/// run (no visible settings file) it creates the file with the default text,
/// shows the first-run message when asked to, and returns nothing, which
/// ends the run; it also returns nothing when the file cannot be read. A
/// settings file that exists but is hidden is loaded, never overwritten.
/// Relative files are taken as SettingsOf says.
std::optional<Settings> LoadSettings(Platform& platform,
                                     FirstRunNotice notice = FirstRunNotice::kShow);

/// Loads the settings file as LoadSettings does, but never creates it:
/// nothing when it is missing or cannot be read.
std::optional<Settings> ReadSettings(Platform& platform);

/// The settings of `text`, the content of the settings file at `path`. A
/// relative announce file, log file or announce log is taken beside the
/// program, as the settings file is, not in whatever folder the server runs
/// it from. A relative raidendir stays as it is: no reply can be placed by
/// it, and the entry refuses it.
Settings SettingsOf(Platform& platform, const std::string& text, const std::string& path);

/// True when `path` leads to a folder, links and junctions followed; when
/// it does not, the cause goes into `cause` when given.
bool FolderExists(FileSystem& fs, const std::string& path, FsStatus* cause = nullptr);

/// The lock file beside the program ("<program name>.lock") that orders
/// every run's additions to the settings file, the log and the announce
/// log. Only the program's user may open it, so no other user can hold it.
std::string LockPath(Platform& platform);

/// Takes the program's lock, waiting no longer than what is left of the
/// request's lock budget: kInUse when another run held it all that time;
/// kDenied when the lock file is a link or not the program's own.
FsStatus TakeProgramLock(Platform& platform, std::unique_ptr<HeldLock>* lock);

/// How appending a group ended.
enum class AppendResult { kAppended, kDuplicate, kFailed, kLockFailed };

/// Appends `group` to the settings file that `settings` came from, under the
/// program's lock, checking for a group of that name against the file as it
/// is now, not as it was loaded. A missing final line end is added first, so
/// the block never joins the last line. The new content takes the file's
/// place whole: a run reading the settings meanwhile sees it before or
/// after, never in between. The cause of kFailed (of kLockFailed: the
/// lock's) goes into `failure` when given.
AppendResult AppendGroup(Platform& platform, const Settings& settings, const GroupBlock& group,
                         FsStatus* failure = nullptr);

}  // namespace ovpre
