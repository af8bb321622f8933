#pragma once
#include "config/settings.h"
#include "platform/platform.h"
#include "request/site_request.h"

namespace ovpre {

/// Carries out "site preadd name*owndir*todir*dated*user:group*perms": a user
/// with access 0 appends a new pre group to the settings file.
void AddGroup(Platform& platform, const Settings& settings, const SiteRequest& request);

/// The usage text of "site preadd".
const std::string& PreaddUsage();

}  // namespace ovpre
