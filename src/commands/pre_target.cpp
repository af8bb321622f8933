#include "commands/pre_target.h"

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "commands/pre.h"
#include "text/text.h"
#include "text/unicode.h"

namespace ovpre {

namespace {

/// Days since 1970-01-01 of a civil date, and back: the proleptic
/// Gregorian calendar, valid far beyond any date a server sees.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

LocalDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return LocalDate{static_cast<int>(yoe + era * 400 + (month <= 2)), month, day};
}

bool IsDated(int dated) { return dated >= 1 && dated <= 3; }

/// Every target folder and date format in the settings, each once.
std::vector<std::pair<std::string, int>> TargetsOf(FileSystem& fs, const Settings& settings) {
  std::vector<std::pair<std::string, int>> targets;
  std::set<std::pair<std::string, int>> seen;
  const auto add = [&](const std::string& to_dir, int dated) {
    if (to_dir.empty()) return;
    // Undated and unknown date formats both mean the folder itself.
    const int kind = IsDated(dated) ? dated : 0;
    if (seen.insert({fs.FoldCase(to_dir), kind}).second) targets.emplace_back(to_dir, kind);
  };
  for (const PreGroup& group : settings.Groups) {
    add(group.ToDir, group.Dated);
    for (const PreSection& section : group.Sections) add(section.ToDir, section.Dated);
  }
  return targets;
}

/// The name of a folder in `folder` that is `release` in any case, or "".
/// One listing, which tells folders without a look at each of them.
std::string FolderNamed(Folder& folder, const std::string& release) {
  std::vector<FolderItem> items;
  if (!folder.List(&items).ok()) return "";
  const std::string wanted = FoldName(release);
  for (const FolderItem& item : items) {
    if (item.kind == EntryKind::kFolder && FoldName(item.name) == wanted) {
      return item.name;
    }
  }
  return "";
}

}  // namespace

LocalDate DaysBefore(const LocalDate& date, int days) {
  return CivilFromDays(DaysFromCivil(date.year, date.month, date.day) - days);
}

std::optional<std::string> ChooseTarget(FileSystem& fs, const PreGroup& group,
                                        const std::string& own_dir, const std::string& text,
                                        std::string* release, PreTarget* target) {
  *release = text;
  *target = PreTarget{group.ToDir, group.Dated, nullptr};
  const std::size_t space = text.rfind(' ');
  if (group.Sections.empty() || space == std::string::npos || space + 1 == text.size()) {
    return std::nullopt;
  }
  // A release whose own name holds a space is that release.
  if (IsSafeReleaseName(text) && fs.KindOf(own_dir + fs.Separator() + text) == EntryKind::kFolder) {
    return std::nullopt;
  }
  const std::string word = text.substr(space + 1);
  std::string names;
  for (const PreSection& section : group.Sections) {
    if (LowerAscii(section.Name) == LowerAscii(word)) {
      *release = text.substr(0, space);
      *target = PreTarget{section.ToDir, section.Dated, &section};
      return std::nullopt;
    }
    names += (names.empty() ? "" : ", ") + section.Name;
  }
  // The word is the user's: shown without controls that could forge a
  // reply line or colour it.
  return "Unknown section: " + MaskControlChars(word) + kCrlf + "Sections: " + names;
}

std::optional<std::string> FindDupe(FileSystem& fs, const Settings& settings, int days,
                                    const LocalDate& today, const std::string& release) {
  const char sep = fs.Separator();
  for (const auto& [to_dir, dated] : TargetsOf(fs, settings)) {
    // The siteop's folder may be a link or a mounted folder: followed once.
    // Below it nothing is: a date folder planted as a link is passed over,
    // so that no reply tells what a folder elsewhere holds.
    std::string real;
    std::unique_ptr<Folder> target;
    if (!fs.ResolveFolder(to_dir, &real).ok() || !fs.OpenFolder(real, &target).ok()) continue;
    for (int back = 0; back < (dated == 0 ? 1 : days); ++back) {
      std::string part = DatePart(dated, DaysBefore(today, back), sep);
      std::unique_ptr<Folder> date;
      if (!part.empty() && !target->Open(part.substr(0, part.size() - 1), &date).ok()) continue;
      const std::string found = FolderNamed(date ? *date : *target, release);
      if (!part.empty()) part = sep + part.substr(0, part.size() - 1);
      if (!found.empty()) {
        return "Dupe: " + release + " was already pre'd to:" + kCrlf + to_dir + part + sep + found;
      }
    }
  }
  return std::nullopt;
}

}  // namespace ovpre
