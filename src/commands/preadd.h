#pragma once
#include "config/settings.h"
#include "platform/platform.h"
#include "request/request_log.h"
#include "request/site_request.h"

namespace ovpre {

/// Carries out "site preadd name*owndir*todir*dated*user:group*perms": a user
/// with access 0 appends a new pre group to the settings file. What happened
/// goes into `log` when given.
void AddGroup(Platform& platform, const Settings& settings, const SiteRequest& request,
              RequestRecord* log = nullptr);

/// The usage text of "site preadd".
const std::string& PreaddUsage();

}  // namespace ovpre
