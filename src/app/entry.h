#pragma once
#include "platform/platform.h"

namespace ovpre {

/// Handles one run: setup mode when the arguments hold fewer than six
/// "|"-separated fields, otherwise one request. Returns when the run is over;
/// the caller then ends the process. The result is the process exit code,
/// always 0: the server does not look at it.
int RunOnce(Platform& platform);

}  // namespace ovpre
