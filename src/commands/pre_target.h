#pragma once
#include <optional>
#include <string>

#include "config/settings.h"
#include "platform/file_system.h"
#include "platform/platform.h"

namespace ovpre {

/// Where one pre goes: the group's own target folder and date format, or
/// those of the section that the command named.
struct PreTarget {
  std::string ToDir;
  int Dated = 0;
  const PreSection* Section = nullptr;  // the section named; none without
};

/// Takes the release's name and its target from `text`, the command text
/// after "pre ". For a group with sections, a last word after a space names
/// a section (in any case), unless the whole text names a folder in the
/// caller's folder `own_dir`; that word and the space before it are not
/// part of the name. Returns the reply when the word names no section.
std::optional<std::string> ChooseTarget(FileSystem& fs, const PreGroup& group,
                                        const std::string& own_dir, const std::string& text,
                                        std::string* release, PreTarget* target);

/// The dupe check: looks for a folder named `release` (in any case) in every
/// target folder and date format that a group or section of `settings`
/// uses: in the dated folders of `today` and the `days` - 1 days before, or
/// in the target folder itself when it is not dated. Returns the reply
/// naming the first one found, or nothing.
std::optional<std::string> FindDupe(FileSystem& fs, const Settings& settings, int days,
                                    const LocalDate& today, const std::string& release);

/// The date `days` days before `date`.
LocalDate DaysBefore(const LocalDate& date, int days);

}  // namespace ovpre
