#include "app/entry.h"

#include "commands/pre.h"
#include "commands/preadd.h"
#include "commands/record_commands.h"
#include "config/settings_check.h"
#include "config/settings_file.h"
#include "request/reply.h"
#include "request/request_log.h"
#include "request/site_request.h"
#include "text/text.h"

namespace ovpre {

int RunOnce(Platform& platform) {
  const std::string raw = platform.process.RawArguments();
  if (IsCheckRequest(raw)) return RunSettingsCheck(platform);
  if (!IsRequest(raw)) {
    // Setup mode: create or read the settings file, answer nobody.
    LoadSettings(platform);
    return 0;
  }
  const SiteRequest request = ParseSiteRequest(raw);
  const std::string word = CommandWord(request);
  const bool recorded = word == "dupe" || word == "unpre";
  // Every other site command belongs to someone else: leave without a
  // trace and without reading the settings.
  if (word != "pre" && word != "preadd" && !recorded) return 0;
  // A tag that could lead the reply file out of the server's output folder
  // is not the server's: nobody can be answered, so nothing is done.
  if (!IsSafeReplyTag(request.ReplyTag)) return 0;
  // "dupe" and "unpre" are ours only on a site that keeps a record of
  // pres; elsewhere another program may answer them, so nothing is written.
  const std::optional<Settings> settings =
      recorded ? ReadSettings(platform) : LoadSettings(platform, FirstRunNotice::kQuiet);
  if (!settings || (recorded && settings->PreDb.empty())) return 0;
  RequestRecord record;
  record.command = word;
  record.group = request.UserGroup;
  const uint64_t started = platform.clock.Milliseconds();
  const char sep = platform.fs.Separator();
  if (!IsAbsoluteFolder(settings->RaidenDir, sep)) {
    // A relative raidendir would put the reply wherever the server happens
    // to start the program: the user could never read it.
    record.reply = "no reply folder: raidendir is not an absolute path";
  } else if (!FolderExists(platform.fs, settings->ReplyFolder(sep))) {
    // A wrong raidendir: the user could not be told what happened, so
    // nothing happens.
    record.reply = "no reply folder";
  } else if (word == "preadd") {
    AddGroup(platform, *settings, request, &record);
  } else if (word == "dupe") {
    RunDupe(platform, *settings, request, record);
  } else if (word == "unpre") {
    RunUnpre(platform, *settings, request, record);
  } else {
    RunPre(platform, *settings, request, &record);
  }
  record.milliseconds = platform.clock.Milliseconds() - started;
  LogRequest(platform, *settings, record);
  return 0;
}

}  // namespace ovpre
