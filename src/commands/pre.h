#pragma once
#include <functional>
#include <optional>
#include <string>

#include "config/settings.h"
#include "fs/move_release.h"
#include "platform/platform.h"
#include "request/request_log.h"
#include "request/site_request.h"

namespace ovpre {

/// Carries out "site pre <release>": checks the caller, checks free space,
/// moves the release from the caller's folder to the group's target folder,
/// has the server give the moved tree the group's owner and permissions,
/// writes the announcement, and answers through the reply file. What
/// happened goes into `log` when given.
void RunPre(Platform& platform, const Settings& settings, const SiteRequest& request,
            RequestRecord* log = nullptr);

/// The line that follows the failed-move reply to say why, or "" when the
/// cause is unknown or is an existing destination (which the reply already
/// names). `target_folder_missing`: the destination's parent folder is not
/// there.
std::string MoveFailureReason(const MoveReport& report, bool target_folder_missing);

/// The note added to a reply when the announcement could not be written.
inline constexpr const char* kAnnounceFailed =
    "The announcement could not be written, please notify a siteop.";

/// Writes `announcement` to the announce file and appends it to the
/// announce log when the settings name one, on a line of its own, in turn
/// with the other runs; false when either could not be, and `record` says
/// why.
bool Announce(Platform& platform, const Settings& settings, const std::string& announcement,
              RequestRecord& record);

/// The caller's pre group, after the checks every group command starts
/// with: something named after the command word (else `usage`), groups set
/// up, the caller in one. Null once `reply` has been given the refusal.
const PreGroup* CallerGroup(const Settings& settings, const SiteRequest& request,
                            const std::string& usage,
                            const std::function<void(const std::string&)>& reply);

/// Reply when the release open as `release` does not fit in the free space
/// of `folder`'s volume, or its size or that space cannot be read; nothing
/// when it fits. The release's files and bytes go into `record`.
std::optional<std::string> CheckSpace(FileSystem& fs, Folder& release, const std::string& folder,
                                      RequestRecord& record);

/// The reply to a move that did not happen, with the reason when it is
/// known. The destination's parent is looked at only after a "not found".
std::string MoveFailedReply(FileSystem& fs, const MoveReport& report,
                            const std::string& destination);

/// True when `release` is a plain folder name that cannot reach outside the
/// folder it names: not empty, not only spaces, not "." or "..", no
/// \ / : * ? " < > |, no control characters, default-ignorable code points
/// (bidi controls, zero-width characters) or bytes that are not valid
/// UTF-8, not ending in a space or a dot,
/// not a name Windows keeps for a device (CON, NUL, COM1, ...) in any case,
/// alone or followed by a dot and more, and not starting with the name of
/// the work folder in any case.
bool IsSafeReleaseName(const std::string& release);

/// True when `a` is an existing folder and `b` names the very same one
/// (same volume and file number), links never followed.
bool IsSameFolder(FileSystem& fs, const std::string& a, const std::string& b);

/// The dated subfolder for `dated` on `today`, ending in `separator`:
/// 1 mmdd, 2 mm-dd, 3 yyyy-mm-dd, anything else none.
std::string DatePart(int dated, const LocalDate& today, char separator);

/// The key that tells this program's work entries from anything a user
/// made, from the key file beside the program, which the first pre makes.
/// Without one, no work entry found is trusted, and the log says why.
WorkKey LoadWorkKey(Platform& platform, RequestRecord& record);

}  // namespace ovpre
