#pragma once
// The commands that exist only with a record of pres: "site dupe" and
// "site unpre".
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/platform.h"
#include "request/request_log.h"
#include "request/site_request.h"

namespace ovpre {

/// True when `words` can be looked up: 1 to 10 words, each of 3 characters
/// or more and 64 bytes at most.
bool AreSearchWords(const std::vector<std::string>& words);

/// Carries out "site dupe <words>": the newest pres whose release holds
/// every word, one line each, through the reply file "site-dupe.<tag>".
void RunDupe(Platform& platform, const Settings& settings, const SiteRequest& request,
             RequestRecord& log);

/// Carries out "site unpre <release>": moves the newest pre of the release,
/// when it is the caller's group's and recent enough, back into the group's
/// own folder, marks it undone, announces it and answers through the reply
/// file "site-unpre.<tag>".
void RunUnpre(Platform& platform, const Settings& settings, const SiteRequest& request,
              RequestRecord& log);

}  // namespace ovpre
