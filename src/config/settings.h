#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ovpre {

/// The settings keys, as the file spells them (lower case).
namespace keys {
inline constexpr const char* kSiteName = "sitename";
inline constexpr const char* kRaidenDir = "raidendir";
inline constexpr const char* kAnnounceFile = "announcefile";
inline constexpr const char* kGroup = "group";
inline constexpr const char* kOwnDir = "owndir";
inline constexpr const char* kToDir = "todir";
inline constexpr const char* kDated = "dated";
inline constexpr const char* kNewOwner = "newowner";
inline constexpr const char* kNewPerms = "newperms";
inline constexpr const char* kLogFile = "logfile";
inline constexpr const char* kSfvCheck = "sfvcheck";
inline constexpr const char* kDupeDays = "dupedays";
inline constexpr const char* kSection = "section";
inline constexpr const char* kAnnounceLog = "announcelog";
inline constexpr const char* kPreDb = "predb";
inline constexpr const char* kUnpreMins = "unpremins";

/// Every key that is read, the one list to grow with a new key: "check"
/// names the nearest of them for a key it does not know.
inline constexpr const char* kKnown[] = {kSiteName, kRaidenDir, kAnnounceFile, kGroup,
                                         kOwnDir,   kToDir,     kDated,        kNewOwner,
                                         kNewPerms, kLogFile,   kSfvCheck,     kAnnounceLog,
                                         kDupeDays, kSection,   kPreDb,        kUnpreMins};
}  // namespace keys

/// One section of a group: a target folder and date format of its own,
/// chosen by its name at the end of "site pre".
struct PreSection {
  std::string Name;
  std::string ToDir;
  int16_t Dated = 0;
};

/// One pre group: who may pre, from where, to where, and what the released
/// tree gets afterwards.
struct PreGroup {
  std::string Name;      // compared exactly with the caller's group
  std::string OwnDir;    // the group's upload folder; callers must stand here
  std::string ToDir;     // folder that receives pre'd releases
  int16_t Dated = 0;     // 0 none, 1 mmdd, 2 mm-dd, 3 yyyy-mm-dd
  std::string NewOwner;  // "user:group"
  std::string NewPerms;  // for example "666"
  bool SfvCheck = false;  // "sfvcheck=1": a release must match its .sfv files
  int DupeDays = 0;       // "dupedays=N": look for the release on the site first
  std::vector<PreSection> Sections;  // "section=name*todir*dated", in file order
  int UnpreMins = 0;      // "unpremins=N": a pre may be taken back for N minutes
};

/// Everything the settings file configures.
struct Settings {
  std::string SiteName;
  std::string RaidenDir;
  std::string AnnounceFile;
  std::string LogFile;           // empty: nothing is logged
  std::string AnnounceLog;       // empty: announcements only replace AnnounceFile
  std::string PreDb;             // empty: no record of pres is kept
  std::vector<PreGroup> Groups;  // in file order
  std::string FilePath;          // where they were loaded from; empty for text

  /// The server's folder for reply files: RaidenDir, `separator`, "Output".
  std::string ReplyFolder(char separator) const;

  /// The first group whose name equals `name` exactly (case-sensitive), or
  /// nullptr when there is none. A group without a name is nobody's.
  const PreGroup* FindGroup(const std::string& name) const;
};

/// Every folder of every group that releases come from or go to: own
/// folders, target folders and section folders, empty ones left out.
std::vector<std::string> ReleaseFolders(const Settings& settings);

/// True when `owner` is a newowner the server's control can be given: a
/// user, or "user:group" with both named (one ":" at most). The same rule
/// holds for "ovpre check", "site preadd" and the Windows control call.
bool IsUsableOwner(const std::string& owner);

/// True when `perms` is a newperms the control can be given: 1 to 4 octal
/// digits.
bool IsUsablePerms(const std::string& perms);

/// What the control is given for `group`: its newperms, and its newowner
/// cut at the first ":" into owner user and owner group. A ":" at the very
/// end stays on the user, so "admin:" is never taken for "admin".
OwnershipGrant GrantOf(const PreGroup& group);

/// True when `grant`, made by GrantOf, comes from a usable newowner and
/// newperms.
bool IsUsableGrant(const OwnershipGrant& grant);

/// One line of settings text as the loader reads it.
struct SettingsLine {
  int number = 0;     // counting from 1
  std::string text;   // without its line end
  bool is_setting = false;  // neither empty nor a comment
  std::string key;    // trimmed of spaces and lower-cased
  std::string value;  // trimmed of spaces
};

/// Cuts settings text into lines as the loader does: a line ends at CR LF,
/// a lone CR or a lone LF; an empty line or one starting with ";" or "[" is
/// a comment; any other line sets the key, the text before the first "=",
/// to the value, the text up to the next "=". "group=" with nothing after
/// it starts a group without a name, as "group" alone does.
std::vector<SettingsLine> SettingsLines(const std::string& text);

/// Reads settings text: lines end at CR LF, a lone CR or a lone LF; empty
/// lines and lines starting with ";" or "[" are comments;
/// "key = value" lines set the key, lower-cased and trimmed of spaces, to the
/// value trimmed of spaces. Lines that cannot be applied are skipped.
Settings ParseSettings(const std::string& text);

/// The text written as the settings file on the first run.
const std::string& DefaultSettingsText();

/// A new group's block as written by hand or by "site preadd": each value is
/// the text that goes after its key, unchanged.
struct GroupBlock {
  std::string name, own_dir, to_dir, dated, owner, perms;
};

/// The six lines of `group`, each ending in CR LF, in the order the loader
/// reads them: group, owndir, todir, dated, newowner, newperms.
std::string FormatGroupBlock(const GroupBlock& group);

}  // namespace ovpre
