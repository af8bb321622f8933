#include "config/settings_check.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <utility>

#include "config/flush_check.h"
#include "config/settings_file.h"
#include "record/record_place.h"
#include "text/fields.h"
#include "text/text.h"

namespace ovpre {

namespace {

/// The fewest one-byte insertions, deletions and replacements that turn
/// `a` into `b`.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t replace = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, replace});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string NearestKey(const std::string& key) {
  const char* nearest = keys::kKnown[0];
  for (const char* known : keys::kKnown) {
    if (EditDistance(key, known) < EditDistance(key, nearest)) nearest = known;
  }
  return nearest;
}

bool IsKnownKey(const std::string& key) {
  return std::any_of(std::begin(keys::kKnown), std::end(keys::kKnown),
                     [&](const char* known) { return key == known; });
}

/// Keys that set a field of the most recent group.
bool IsGroupKey(const std::string& key) {
  for (const char* group_key :
       {keys::kOwnDir, keys::kToDir, keys::kDated, keys::kNewOwner, keys::kNewPerms,
        keys::kSfvCheck, keys::kDupeDays, keys::kSection, keys::kUnpreMins}) {
    if (key == group_key) return true;
  }
  return false;
}

/// True for the written form of a decimal number as the loader reads it:
/// optional sign, digits, optional "." and fraction, one digit at least;
/// whether it fits is another question.
bool IsDecimalForm(const std::string& value) {
  std::size_t i = value.compare(0, 1, "+") == 0 || value.compare(0, 1, "-") == 0 ? 1 : 0;
  const std::size_t digits = value.find_first_not_of("0123456789", i);
  const std::string rest = digits == std::string::npos ? "" : value.substr(digits);
  const bool whole = digits != i;
  if (rest.empty()) return whole;
  if (rest[0] != '.' || rest.find_first_not_of("0123456789", 1) != std::string::npos) return false;
  return whole || rest.size() > 1;
}

/// True when the number has a fraction other than zero: the loader drops it.
bool HasFraction(const std::string& value) {
  const std::size_t dot = value.find('.');
  return dot != std::string::npos && value.find_first_not_of('0', dot + 1) != std::string::npos;
}

/// True when `path` ends in `sep` without being a root ("/", "C:\",
/// "\\server\share\"), which is all that is left once the separator is cut
/// off: the reply and the announcement would show a doubled separator, and
/// no current folder the server gives ends in one.
bool EndsInSeparator(const std::string& path, char sep) {
  if (path.size() < 2 || path.back() != sep) return false;
  return IsAbsoluteFolder(path.substr(0, path.size() - 1), sep);
}

/// Notepad's "Unicode" is UTF-16: a mark in front, or a zero byte beside
/// nearly every character; no settings text holds a zero byte.
bool LooksLikeUtf16(const std::string& text) {
  // The mark as read raw, or as the system code page shows it in UTF-8.
  for (const char* mark : {"\xFF\xFE", "\xFE\xFF", "\xC3\xBF\xC3\xBE", "\xC3\xBE\xC3\xBF"}) {
    if (text.compare(0, std::char_traits<char>::length(mark), mark) == 0) return true;
  }
  return text.find('\0') != std::string::npos;
}

/// `text` in quotes, a tab or other control character shown as "?".
std::string Quoted(const std::string& text) { return "\"" + MaskControlChars(text) + "\""; }

/// " (the system's text)" for a failure that has one.
std::string Because(const FsStatus& status) {
  return status.os_text().empty() ? "" : " (" + status.os_text() + ")";
}

/// A group as the check follows it through the file.
struct GroupSeen {
  std::string name;
  int line = 0;
  std::string own_dir, to_dir;
  int own_line = 0, to_line = 0;  // 0: never set
  std::map<std::string, int> keys;      // the line that last set each key
  std::map<std::string, int> sections;  // lower-cased name: its line
};

/// Walks the settings lines and collects what would not work as meant.
class SettingsChecker {
 public:
  explicit SettingsChecker(FileSystem& fs) : fs_(fs), sep_(fs.Separator()) {}

  void Check(const SettingsLine& line) {
    if (!line.is_setting || TrimSpaces(line.text).empty()) return;
    if (!CheckKey(line)) return;
    const int n = line.number;
    if (!Track(line)) return;
    if (line.value.find('\t') != std::string::npos) {
      Add(n, "the value of " + line.key + " holds a tab");
    }
    // "key=   " sets the key to nothing: a todir or a newowner is wiped.
    if (line.value.empty() && !GetField(line.text, '=', 1).empty() && line.key != keys::kGroup) {
      Add(n, "the value of " + line.key + " is only spaces");
      // An empty number is not read at all; any other key is set to nothing.
      if (line.key == keys::kDated || line.key == keys::kDupeDays) return;
    } else if (!CheckValue(line)) {
      return;
    }
    CheckRepeated(line);
  }

  /// What can only be seen once every line is read: the groups' folders.
  void CheckGroups() {
    if (groups_.empty()) Add(0, "there is no group=, so nobody can pre");
    for (const GroupSeen& g : groups_) {
      if (g.own_line == 0) Add(g.line, "group " + Quoted(g.name) + " has no owndir");
      if (g.to_line == 0) Add(g.line, "group " + Quoted(g.name) + " has no todir");
      if (g.own_line != 0 && g.to_line != 0 && !g.own_dir.empty() &&
          IsSameFolder(g.own_dir, g.to_dir)) {
        Add(g.to_line, "todir is the group's owndir (line " + std::to_string(g.own_line) + ")");
      }
    }
  }

  /// The folders the loaded settings write into: replies, announcements, log.
  void CheckFiles(const Settings& settings) {
    FsStatus cause;
    const std::string replies = settings.ReplyFolder(sep_);
    if (settings.RaidenDir.empty()) {
      Add(0, "raidendir is not set, so no request is ever answered");
    } else if (!IsAbsoluteFolder(settings.RaidenDir, sep_)) {
      // Where check runs is not where the server starts the program.
      Add(LineOf(keys::kRaidenDir), "raidendir " + Quoted(settings.RaidenDir) +
                                        " is not an absolute path, so no request is ever "
                                        "answered");
    } else if (!FolderExists(fs_, replies, &cause)) {
      Add(LineOf(keys::kRaidenDir),
          "the reply folder " + Quoted(replies) + " does not exist" + Because(cause));
    }
    if (settings.AnnounceFile.empty()) {
      Add(0, "announcefile is not set, so no pre can be announced");
    } else {
      CheckFileFolder(keys::kAnnounceFile, settings.AnnounceFile);
    }
    if (!settings.LogFile.empty()) CheckFileFolder(keys::kLogFile, settings.LogFile);
    if (!settings.AnnounceLog.empty()) CheckFileFolder(keys::kAnnounceLog, settings.AnnounceLog);
  }

  /// The record of pres: a private place outside the release folders, and
  /// a file that is a record when there is one already.
  void CheckRecord(PrivacyCheck* privacy, const Settings& settings) {
    if (settings.PreDb.empty()) return;
    const std::string shown = "predb " + Quoted(settings.PreDb);
    std::string why =
        WhyRecordUnsafe(fs_, privacy, settings.PreDb, ReleaseFolders(settings));
    if (why.empty() && fs_.KindOf(settings.PreDb) != EntryKind::kMissing) {
      PreRecord::Inspect(settings.PreDb, &why);
    }
    if (!why.empty()) Add(LineOf(keys::kPreDb), shown + " is not used: " + why);
  }

  /// The findings, those of a line in the file's order, the others last.
  std::vector<std::string> Findings() {
    const auto order = [](int line) { return line == 0 ? std::numeric_limits<int>::max() : line; };
    std::stable_sort(findings_.begin(), findings_.end(), [&](const auto& a, const auto& b) {
      return order(a.first) < order(b.first);
    });
    std::vector<std::string> texts;
    for (const auto& [line, text] : findings_) {
      texts.push_back(line > 0 ? "line " + std::to_string(line) + ": " + text : text);
    }
    return texts;
  }

 private:
  void Add(int line, const std::string& text) { findings_.emplace_back(line, text); }

  int LineOf(const std::string& key) const {
    const auto found = last_line_.find(key);
    return found == last_line_.end() ? 0 : found->second;
  }

  /// False when the loader does not read the line's key at all.
  bool CheckKey(const SettingsLine& line) {
    const std::string raw_key = GetField(line.text, '=', 0);
    const int n = line.number;
    if (raw_key.find('\t') != std::string::npos) {
      Add(n, "the key " + Quoted(raw_key) + " holds a tab, so the line is not read");
      return false;
    }
    // "key=" with nothing after it keeps its "=" in the key.
    const std::string bare = line.key.empty() ? "" : line.key.substr(0, line.key.size() - 1);
    if (!line.key.empty() && line.key.back() == '=' && IsKnownKey(bare)) {
      Add(n, bare + " has no value, so the line is not read");
      return false;
    }
    if (IsKnownKey(line.key)) return true;
    Add(n, "unknown key " + Quoted(line.key) + ", the nearest known key is " +
               Quoted(NearestKey(line.key)));
    return false;
  }

  /// Follows the groups and the other keys; false when the loader skips the
  /// line (a group's key before any group).
  bool Track(const SettingsLine& line) {
    const int n = line.number;
    if (line.key == keys::kGroup) {
      const auto same = std::find_if(groups_.begin(), groups_.end(),
                                     [&](const GroupSeen& g) { return g.name == line.value; });
      if (line.value.empty()) {
        Add(n, "a group without a name: nobody can pre with it, and the lines below it up to "
               "the next group are its own");
      } else if (same != groups_.end()) {
        Add(n, "group " + Quoted(line.value) + " is already on line " +
                   std::to_string(same->line) + "; only that one is used");
      }
      GroupSeen group;
      group.name = line.value;
      group.line = n;
      groups_.push_back(group);
      return true;
    }
    if (!IsGroupKey(line.key)) {
      last_line_[line.key] = n;
      return true;
    }
    if (groups_.empty()) {
      Add(n, line.key + " before the first group is not read");
      return false;
    }
    GroupSeen& group = groups_.back();
    if (line.key == keys::kOwnDir) {
      group.own_dir = line.value;
      group.own_line = n;
    }
    if (line.key == keys::kToDir) {
      group.to_dir = line.value;
      group.to_line = n;
    }
    return true;
  }

  /// False when the loader does not read the line for its value.
  bool CheckValue(const SettingsLine& line) {
    const int n = line.number;
    const std::string& key = line.key;
    const std::string shown = key + " " + Quoted(line.value);
    if (key == keys::kDated || key == keys::kDupeDays) return CheckNumber(n, key, line.value);
    if (key == keys::kSfvCheck && line.value != "0" && line.value != "1") {
      Add(n, shown + " is not 0 or 1, so the check is off");
    }
    if (key == keys::kNewOwner && !IsUsableOwner(line.value)) {
      Add(n, shown + " is not a user or user:group with both named, so owner and permissions "
                     "are never set");
    }
    if (key == keys::kNewPerms && !IsUsablePerms(line.value)) {
      Add(n, shown + " is not 1 to 4 octal digits, so owner and permissions are never set");
    }
    if (key == keys::kOwnDir) {
      CheckFolder(n, shown, line.value, "no pre from it is ever accepted");
    }
    if (key == keys::kToDir) {
      CheckFolder(n, shown, line.value, "replies and announcements show it doubled");
      CheckFlush(n, shown, line.value);
    }
    if (key == keys::kUnpreMins && !FloorDecimalToInt16(line.value)) {
      Add(n, shown + " is not a number, so the group cannot unpre");
    }
    if (key == keys::kSection) CheckSection(n, line.value);
    return !(key == keys::kSection && GetField(line.value, '*', 0).empty());
  }

  /// dated and dupedays: whole numbers the loader reads by rounding down.
  bool CheckNumber(int n, const std::string& key, const std::string& value) {
    const std::string shown = key + " " + Quoted(value);
    const std::optional<int16_t> number = FloorDecimalToInt16(value);
    if (!IsDecimalForm(value)) {
      Add(n, shown + " is not a number, so the line is not read");
      return false;
    }
    if (!number) {
      Add(n, shown + " is out of range (-32768 to 32767), so the line is not read");
      return false;
    }
    const bool dated = key == keys::kDated;
    const bool usable = dated ? *number >= 0 && *number <= 3 : *number >= 0;
    const std::string effect = dated ? ", so the group is not dated" : ", so there is no dupe check";
    if (HasFraction(value)) {
      Add(n, shown + " is not a whole number: it is read as " + std::to_string(*number) +
                 (usable && (dated || *number > 0) ? "" : effect));
    } else if (!usable) {
      Add(n, shown + (dated ? " is not 0 to 3" : " is below 0") + effect);
    }
    return true;
  }

  /// "name*todir*dated": a name, a target folder and a date format.
  void CheckSection(int n, const std::string& value) {
    const std::string name = GetField(value, '*', 0);
    const std::string to_dir = GetField(value, '*', 1);
    const std::optional<int16_t> dated = FloorDecimalToInt16(GetField(value, '*', 2));
    if (name.empty()) return Add(n, "a section without a name is not read");
    const std::string shown = "section " + Quoted(name);
    // The section is the last word of "site pre": a space keeps it out.
    if (name.find(' ') != std::string::npos) {
      Add(n, shown + " has a space in its name, so it can never be chosen");
    }
    if (!groups_.empty()) {
      const auto [first, added] = groups_.back().sections.emplace(LowerAscii(name), n);
      if (!added) {
        Add(n, shown + " is already on line " + std::to_string(first->second) +
                   "; only that one can be chosen");
      }
    }
    if (!dated || *dated < 0 || *dated > 3) Add(n, shown + " has a date format other than 0 to 3");
    CheckFolder(n, shown + " todir " + Quoted(to_dir), to_dir,
                "replies and announcements show it doubled");
    CheckFlush(n, shown + " todir " + Quoted(to_dir), to_dir);
  }

  void CheckFolder(int n, const std::string& shown, const std::string& folder,
                   const std::string& doubled) {
    FsStatus cause;
    if (!IsAbsoluteFolder(folder, sep_)) {
      Add(n, shown + " is not an absolute path");
      return;
    }
    if (EndsInSeparator(folder, sep_)) {
      Add(n, shown + " ends in \"" + std::string(1, sep_) + "\", so " + doubled);
    }
    if (!FolderExists(fs_, folder, &cause)) {
      Add(n, shown + " is not an existing folder" + Because(cause));
    }
  }

  /// A target on a file system that refuses to flush a folder: a copy
  /// published there cannot be made durable, so a pre from another drive
  /// keeps the group's source as well.
  void CheckFlush(int n, const std::string& shown, const std::string& folder) {
    std::string resolved;
    std::string cause;
    if (!fs_.ResolveFolder(folder, &resolved).ok() || !RefusesFolderFlush(fs_, resolved, &cause)) {
      return;
    }
    Add(n, shown + " is on a file system that refuses to flush folders (" + cause +
               "), so a pre from another drive leaves the release in the group's folder too");
  }

  /// A group's key given again: the later line silently wins. Sections are
  /// meant to be many.
  void CheckRepeated(const SettingsLine& line) {
    if (!IsGroupKey(line.key) || line.key == keys::kSection || groups_.empty()) return;
    GroupSeen& group = groups_.back();
    const auto [earlier, added] = group.keys.emplace(line.key, line.number);
    if (added) return;
    Add(line.number, line.key + " of group " + Quoted(group.name) + " is already on line " +
                         std::to_string(earlier->second) + "; this line replaces it");
    earlier->second = line.number;
  }

  void CheckFileFolder(const std::string& key, const std::string& file) {
    if (fs_.KindOf(file) == EntryKind::kFolder) {
      return Add(LineOf(key), key + " " + Quoted(file) + " is a folder, not a file");
    }
    const std::string folder = FolderOf(file, sep_);
    FsStatus cause;
    if (FolderExists(fs_, folder, &cause)) return;
    Add(LineOf(key), "the folder of " + key + " " + Quoted(folder) + " does not exist" +
                         Because(cause));
  }

  /// The same text as the platform compares folder names, or the same
  /// folder reached by two paths.
  bool IsSameFolder(const std::string& a, const std::string& b) {
    if (fs_.FoldCase(a) == fs_.FoldCase(b)) return true;
    std::string real_a, real_b;
    FileId id_a, id_b;
    return fs_.ResolveFolder(a, &real_a).ok() && fs_.ResolveFolder(b, &real_b).ok() &&
           fs_.IdentityOf(real_a, &id_a).ok() && fs_.IdentityOf(real_b, &id_b).ok() &&
           id_a == id_b;
  }

  FileSystem& fs_;
  const char sep_;
  std::vector<GroupSeen> groups_;
  std::map<std::string, int> last_line_;  // the last line of each other key
  std::vector<std::pair<int, std::string>> findings_;  // line 0: the whole file
};

}  // namespace

bool IsCheckRequest(const std::string& raw) {
  // However a batch file or a shortcut passes it: " check", "\"check\"",
  // "/check", "-check", "--check", in any case.
  const std::size_t first = raw.find_first_not_of(" \"");
  if (first == std::string::npos) return false;
  std::string word = raw.substr(first, raw.find_last_not_of(" \"") + 1 - first);
  if (word.compare(0, 2, "--") == 0) {
    word.erase(0, 2);
  } else if (!word.empty() && (word[0] == '/' || word[0] == '-')) {
    word.erase(0, 1);
  }
  return LowerAscii(word) == "check";
}

std::vector<std::string> FindSettingsProblems(Platform& platform, const std::string& text,
                                              const std::string& path, std::size_t* groups) {
  if (LooksLikeUtf16(text)) {
    *groups = 0;
    return {"the file is saved as UTF-16 (Notepad's \"Unicode\"), which cannot be read: "
            "save it as UTF-8 or ANSI"};
  }
  SettingsChecker checker(platform.fs);
  for (const SettingsLine& line : SettingsLines(text)) checker.Check(line);
  checker.CheckGroups();
  const Settings settings = SettingsOf(platform, text, path);
  checker.CheckFiles(settings);
  checker.CheckRecord(platform.privacy, settings);
  *groups = settings.Groups.size();
  return checker.Findings();
}

int RunSettingsCheck(Platform& platform) {
  const std::string path = SettingsPath(platform);
  std::vector<std::string> report = {"Settings file: " + path};
  std::string text;
  const FsStatus read = platform.fs.ReadTextFile(path, &text);
  if (!read.ok()) {
    // Nothing is created: a check only looks.
    report.push_back(read == FsStatus::kNotFound
                         ? "There is no settings file; run the program once without arguments "
                           "to create one."
                         : "The settings file cannot be read" + Because(read) + ".");
    platform.notifier.ShowReport(report);
    return 1;
  }
  std::size_t groups = 0;
  std::vector<std::string> findings = FindSettingsProblems(platform, text, path, &groups);
  std::string cause;
  if (!platform.ownership.Create(&cause)) {
    findings.push_back("the server's control cannot be created: " + cause);
  }
  report.insert(report.end(), findings.begin(), findings.end());
  report.push_back("groups loaded: " + std::to_string(groups) +
                   ", findings: " + std::to_string(findings.size()));
  platform.notifier.ShowReport(report);
  return findings.empty() ? 0 : 1;
}

}  // namespace ovpre
