#include "config/settings.h"

#include <optional>

#include "text/fields.h"
#include "text/text.h"

namespace ovpre {

namespace {

/// Sets one key on the settings or on the most recent group. Unknown keys,
/// group keys before any group and bad date formats change nothing, so such
/// lines are skipped and loading goes on.
void ApplySetting(const std::string& key, const std::string& value, Settings* s) {
  if (key == keys::kSiteName) s->SiteName = value;
  if (key == keys::kRaidenDir) s->RaidenDir = value;
  if (key == keys::kAnnounceFile) s->AnnounceFile = value;
  if (key == keys::kLogFile) s->LogFile = value;
  if (key == keys::kAnnounceLog) s->AnnounceLog = value;
  if (key == keys::kPreDb) s->PreDb = value;
  if (key == keys::kGroup) {
    s->Groups.emplace_back();
    s->Groups.back().Name = value;
  }
  if (s->Groups.empty()) return;
  PreGroup& group = s->Groups.back();
  if (key == keys::kOwnDir) group.OwnDir = value;
  if (key == keys::kToDir) group.ToDir = value;
  if (key == keys::kNewOwner) group.NewOwner = value;
  if (key == keys::kNewPerms) group.NewPerms = value;
  if (key == keys::kSfvCheck) group.SfvCheck = value == "1";
  if (key == keys::kDupeDays) {
    const std::optional<int16_t> days = FloorDecimalToInt16(value);
    if (days) group.DupeDays = *days > 0 ? *days : 0;
  }
  if (key == keys::kUnpreMins) {
    const std::optional<int16_t> minutes = FloorDecimalToInt16(value);
    if (minutes) group.UnpreMins = *minutes > 0 ? *minutes : 0;
  }
  if (key == keys::kSection && !GetField(value, '*', 0).empty()) {
    const std::optional<int16_t> dated = FloorDecimalToInt16(GetField(value, '*', 2));
    group.Sections.push_back(
        PreSection{GetField(value, '*', 0), GetField(value, '*', 1), dated ? *dated : int16_t{0}});
  }
  if (key == keys::kDated) {
    const std::optional<int16_t> dated = FloorDecimalToInt16(value);
    if (dated) group.Dated = *dated;
  }
}

/// "key=value", padded with spaces to `width` characters.
std::string SettingLine(const char* key, const std::string& value, std::size_t width = 0) {
  std::string line = std::string(key) + "=" + value;
  if (line.size() < width) line.append(width - line.size(), ' ');
  return line;
}

SettingsLine ReadLine(int number, const std::string& text) {
  SettingsLine line;
  line.number = number;
  line.text = text;
  line.is_setting = !text.empty() && text[0] != ';' && text[0] != '[';
  if (!line.is_setting) return line;
  line.key = LowerAscii(TrimSpaces(GetField(text, '=', 0)));
  line.value = TrimSpaces(GetField(text, '=', 1));
  // "key=" keeps its "=" in the key and is not read, but an empty group
  // line must still start a group: otherwise the lines after it would
  // change the group before it.
  if (line.key == std::string(keys::kGroup) + "=") line.key = keys::kGroup;
  return line;
}

}  // namespace

const PreGroup* Settings::FindGroup(const std::string& name) const {
  for (const PreGroup& group : Groups) {
    if (!group.Name.empty() && group.Name == name) return &group;
  }
  return nullptr;
}

std::vector<std::string> ReleaseFolders(const Settings& settings) {
  std::vector<std::string> folders;
  const auto add = [&](const std::string& folder) {
    if (!folder.empty()) folders.push_back(folder);
  };
  for (const PreGroup& group : settings.Groups) {
    add(group.OwnDir);
    add(group.ToDir);
    for (const PreSection& section : group.Sections) add(section.ToDir);
  }
  return folders;
}

bool IsUsableOwner(const std::string& owner) {
  const std::size_t colon = owner.find(':');
  if (colon == std::string::npos) return !owner.empty();
  return colon > 0 && colon + 1 < owner.size() && owner.find(':', colon + 1) == std::string::npos;
}

bool IsUsablePerms(const std::string& perms) {
  return !perms.empty() && perms.size() <= 4 &&
         perms.find_first_not_of("01234567") == std::string::npos;
}

OwnershipGrant GrantOf(const PreGroup& group) {
  const std::string& owner = group.NewOwner;
  const std::size_t colon = owner.find(':');
  if (colon == std::string::npos || colon + 1 == owner.size()) {
    return OwnershipGrant{group.NewPerms, owner, ""};
  }
  return OwnershipGrant{group.NewPerms, owner.substr(0, colon), owner.substr(colon + 1)};
}

bool IsUsableGrant(const OwnershipGrant& grant) {
  // GrantOf loses nothing: the user and group joined again are the newowner.
  const std::string owner = grant.group.empty() ? grant.user : grant.user + ":" + grant.group;
  return IsUsableOwner(owner) && IsUsablePerms(grant.perms);
}

std::string Settings::ReplyFolder(char separator) const {
  return RaidenDir + separator + "Output";
}

std::vector<SettingsLine> SettingsLines(const std::string& text) {
  std::vector<SettingsLine> lines;
  std::size_t start = 0;
  // A line ends at CR LF, at a CR alone or at an LF alone: siteops edit the
  // file with Windows and Unix editors alike.
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    const int number = static_cast<int>(lines.size()) + 1;
    if (end == std::string::npos) {
      lines.push_back(ReadLine(number, text.substr(start)));
      break;
    }
    lines.push_back(ReadLine(number, text.substr(start, end - start)));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  return lines;
}

Settings ParseSettings(const std::string& text) {
  Settings settings;
  for (const SettingsLine& line : SettingsLines(text)) {
    if (line.is_setting) ApplySetting(line.key, line.value, &settings);
  }
  return settings;
}

const std::string& DefaultSettingsText() {
  // Most lines are padded with spaces to 56 characters, as siteops have
  // always seen them; the announce line is not padded. Every line, the last
  // empty one included, ends in CR LF.
  constexpr std::size_t kWidth = 56;
  static const std::string text = JoinWithCrlf({
      ";Orvantines Pre Script V0.1                             ",
      ";~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~                      ",
      ";View readme.txt for more information and setting up.   ",
      ";                                                       ",
      ";Add the following line to your ftpd file under [FTPD]: ",
      ";onsitecmd=exec://ovpre.exe %S|%g|%$|%@|%^|%!           ",
      "",
      ";Raiden dir: your raidenftpd directory                  ",
      ";                                                       ",
      SettingLine(keys::kRaidenDir, "C:\\Program Files\\Raidenftpd", kWidth),
      "",
      ";Path & filename of announce.dat (should be in your     ",
      ";windrop/eggdrop dir).                                  ",
      SettingLine(keys::kAnnounceFile, "C:\\Program Files\\Raidenftpd\\windrop\\announce.dat"),
      "",
      ";Sitename - your site name.                           ",
      SettingLine(keys::kSiteName, "MySite", kWidth),
      "",
      ";Group list: add groups to the setup here. Each time you",
      ";use group=(groupname), you create a new group. So edit ",
      ";carefully.                                             ",
      ";dated = Date format ( 0 = Not dated, 1=mmdd , 2=mm-dd ,",
      ";3=yyyy-mm-dd )                                         ",
      "",
      SettingLine(keys::kGroup, "MyGroup", kWidth),
      SettingLine(keys::kOwnDir, "e:\\ftp\\pre\\MyGroup", kWidth),
      SettingLine(keys::kToDir, "e:\\ftp\\mp3", kWidth),
      SettingLine(keys::kDated, "1", kWidth),
      SettingLine(keys::kNewOwner, "admin:admins", kWidth),
      SettingLine(keys::kNewPerms, "666", kWidth),
      "",
      "",
  }) + kCrlf;
  return text;
}

std::string FormatGroupBlock(const GroupBlock& group) {
  return JoinWithCrlf({
             SettingLine(keys::kGroup, group.name),
             SettingLine(keys::kOwnDir, group.own_dir),
             SettingLine(keys::kToDir, group.to_dir),
             SettingLine(keys::kDated, group.dated),
             SettingLine(keys::kNewOwner, group.owner),
             SettingLine(keys::kNewPerms, group.perms),
         }) + kCrlf;
}

}  // namespace ovpre
