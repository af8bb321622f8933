#pragma once
#include <string>

#include "config/settings.h"
#include "platform/platform.h"
#include "request/site_request.h"

namespace ovpre {

/// Carries out "site pre <release>": checks the caller, checks free space,
/// moves the release from the caller's folder to the group's target folder,
/// has the server give the moved tree the group's owner and permissions,
/// writes the announcement, and answers through the reply file.
void RunPre(Platform& platform, const Settings& settings, const SiteRequest& request);

/// True when `release` is a plain folder name that cannot reach outside the
/// folder it names: not empty, not only spaces, not "." or "..", no
/// \ / : * ? " < > | or control characters, not ending in a space or a dot,
/// and not a name Windows keeps for a device (CON, NUL, COM1, ...) in any
/// case, alone or followed by a dot and more.
bool IsSafeReleaseName(const std::string& release);

/// The dated subfolder for `dated` on `today`, ending in `separator`:
/// 1 mmdd, 2 mm-dd, 3 yyyy-mm-dd, anything else none.
std::string DatePart(int dated, const LocalDate& today, char separator);

}  // namespace ovpre
