#pragma once
// "ovpre check": reads the settings file as the loader does and says what
// in it would not work as the siteop meant it, the way "nginx -t" does.
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/platform.h"

namespace ovpre {

/// True when the raw argument line asks for the check: "check" in any case,
/// also with spaces or quotes around it and with "/", "-" or "--" before it.
bool IsCheckRequest(const std::string& raw);

/// One line per finding in `text`, the content of the settings file at
/// `path`, each starting with "line N: " where it belongs to a line:
/// unknown keys (with the nearest known one), tabs, values of spaces only,
/// group keys before any group, nameless and repeated groups, bad dated,
/// sfvcheck, newowner and newperms values, group folders that are not
/// absolute, missing or the same, and missing reply, announce and log
/// folders. `groups` gets the number of groups the loader would load.
std::vector<std::string> FindSettingsProblems(Platform& platform, const std::string& text,
                                              const std::string& path, std::size_t* groups);

/// Runs the check: reads the settings file without creating or changing
/// it, adds whether the server's control can be created, shows the report
/// (the file's path, the findings, a summary line) through the notifier,
/// and returns the exit code: 0 without findings, 1 otherwise, also when
/// there is no settings file.
int RunSettingsCheck(Platform& platform);

}  // namespace ovpre
