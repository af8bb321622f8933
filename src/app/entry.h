#pragma once
#include "platform/platform.h"

namespace ovpre {

/// Handles one run: the settings check when the arguments are "check" in
/// any case, setup mode when they hold fewer than six "|"-separated fields,
/// otherwise one request. Returns when the run is over; the caller then
/// ends the process. The result is the process exit code: the check's (0
/// when it found nothing, else 1), otherwise 0, which the server does not
/// look at.
int RunOnce(Platform& platform);

}  // namespace ovpre
