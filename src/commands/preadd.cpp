#include "commands/preadd.h"

#include "config/settings_file.h"
#include "request/reply.h"
#include "text/fields.h"
#include "text/text.h"

namespace ovpre {

namespace {

GroupBlock SplitArgument(const std::string& argument) {
  GroupBlock g;
  g.name = GetField(argument, '*', 0);
  g.own_dir = GetField(argument, '*', 1);
  g.to_dir = GetField(argument, '*', 2);
  g.dated = GetField(argument, '*', 3);
  g.owner = GetField(argument, '*', 4);
  g.perms = GetField(argument, '*', 5);
  return g;
}

/// A group that could never work is refused: a relative folder (no pre
/// would ever find its caller there, or its target), a date format the pre
/// does not know, an owner or permissions the server's control cannot be
/// given. Whether the folders exist is not looked at: the siteop may make
/// them after.
bool IsUsable(FileSystem& fs, const GroupBlock& g) {
  const char sep = fs.Separator();
  const bool dated = g.dated.size() == 1 && g.dated[0] >= '0' && g.dated[0] <= '3';
  return IsAbsoluteFolder(g.own_dir, sep) && IsAbsoluteFolder(g.to_dir, sep) && dated &&
         IsUsableOwner(g.owner) && IsUsablePerms(g.perms);
}

/// A group that would load as something else is refused: without a name the
/// block's lines would land on the group before it; an empty folder line
/// ("owndir=") is not read back at all, which would leave the group without
/// its folder; a "=" cuts the value when it is read back; a line break
/// inside a field would add settings of its own; and a field the file
/// cannot store exactly would name some other, maybe existing, folder.
bool IsWritable(FileSystem& fs, const GroupBlock& g) {
  if (g.name.empty() || g.own_dir.empty() || g.to_dir.empty()) return false;
  if (!IsUsable(fs, g)) return false;
  for (const std::string* field : {&g.name, &g.own_dir, &g.to_dir, &g.dated,
                                   &g.owner, &g.perms}) {
    if (HasControlChar(*field) || field->find('=') != std::string::npos ||
        !fs.StoresExactly(*field)) {
      return false;
    }
  }
  return true;
}

std::string Summary(const GroupBlock& g) {
  return JoinWithCrlf({
      "Sucessfully added " + g.name + " as a pre group.",
      "Name: " + g.name,
      "Home folder: " + g.own_dir,
      "Pre to: " + g.to_dir,
      "Date foramt: " + g.dated,
      "Owner user & group: " + g.owner,
      "New Permissions after pre: " + g.perms,
  });
}

}  // namespace

const std::string& PreaddUsage() {
  static const std::string text = JoinWithCrlf({
      "Usage: Site preadd GroupName*GroupFolder*PreTo*DateFormat*"
      "Owneruser:Ownergroup*Newperms",
      "",
      "Groupname: Name of the group your adding",
      "Groupfolder: Where the group uploads their releases",
      "Preto: Where releases go when a user runs site pre",
      "Dateformat: Date format of PreTo dir ( 0 = Not dated, 1=mmdd , 2=mm-dd , "
      "3=yyyy-mm-dd )",
      "Owneruser:Ownergroup : New owner and ownergroup after pre",
      "Newperms: New permissions after pre (eg 666)",
      "",
      "Example: site preadd MyGroup*E:\\ftp\\pre\\MyGroup*E:\\ftp\\Mp3*1*"
      "admin:admins*666",
  });
  return text;
}

void AddGroup(Platform& platform, const Settings& settings, const SiteRequest& request,
              RequestRecord* log) {
  RequestRecord unused;
  RequestRecord& record = log ? *log : unused;
  const auto reply = [&](const std::string& message) {
    record.reply = message;
    WriteReply(platform.fs, settings, request.ReplyTag, "preadd", message);
  };
  const std::string argument = GetField(request.CommandText, ' ', 1);
  const GroupBlock group = SplitArgument(argument);
  record.name = group.name;
  // An access field that is missing or no number allows nothing.
  if (request.Access != int16_t{0}) {
    return reply("Sorry, you do not have access to this command.");
  }
  // The six fields must be in the argument itself: a folder with a space in
  // it would be cut at the space and the group written with wrong fields.
  if (CountFields(argument, '*') < 6) return reply(PreaddUsage());
  if (!IsWritable(platform.fs, group)) return reply(PreaddUsage());
  const std::string exists = "Group " + group.name + " already exists!";
  if (settings.FindGroup(group.name)) return reply(exists);
  FsStatus failure;
  switch (AppendGroup(platform, settings, group, &failure)) {
    case AppendResult::kAppended:
      record.outcome = RequestOutcome::kOk;
      return reply(Summary(group));
    case AppendResult::kDuplicate: return reply(exists);
    case AppendResult::kFailed:
      // Nothing was written, and nothing is said.
      return record.Fail("append settings", failure);
    case AppendResult::kLockFailed:
      // Nothing was written; the siteop finds the cause in the log.
      reply("Error in setup, please notify a siteop.");
      return FailLock(record, failure, LockPath(platform));
  }
}

}  // namespace ovpre
