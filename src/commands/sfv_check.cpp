#include "commands/sfv_check.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>

#include "fs/tree_snapshot.h"
#include "text/text.h"
#include "text/unicode.h"

namespace ovpre {

namespace {

/// No real sfv file comes near this; a bigger one is no sfv file to trust.
constexpr std::size_t kMostSfvBytes = 16u << 20;

/// Problems the reply names one by one; the rest are counted.
constexpr std::size_t kMostProblemLines = 10;

std::optional<uint32_t> HexCrc(const std::string& token) {
  if (token.size() != 8) return std::nullopt;
  uint32_t value = 0;
  for (const char c : token) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

std::optional<SfvEntry> ParseSfvLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  line = TrimSpaces(line);
  if (line.empty() || line[0] == ';') return std::nullopt;
  const std::size_t cut = line.rfind(' ');
  if (cut == std::string::npos) return std::nullopt;
  const std::optional<uint32_t> crc = HexCrc(line.substr(cut + 1));
  const std::string name = TrimSpaces(line.substr(0, cut));
  if (!crc || name.empty()) return std::nullopt;
  return SfvEntry{name, *crc};
}

bool IsSfvName(const std::string& name) {
  return name.size() > 4 && LowerAscii(name.substr(name.size() - 4)) == ".sfv";
}

/// Reads a whole sfv file of `folder`.
FsStatus ReadSfv(Folder& folder, const std::string& name, std::string* text) {
  bool too_big = false;
  const FsStatus read = folder.ReadBlocks(name, [&](const char* data, std::size_t size) {
    too_big = text->size() + size > kMostSfvBytes;
    if (!too_big) text->append(data, size);
    return !too_big;
  });
  return too_big ? FsStatus(FsStatus::kFailed, 0, "the sfv file is too big") : read;
}

/// The CRC-32 of the plain file `name` in `folder`, or nothing when it
/// cannot be read.
std::optional<uint32_t> FileCrc(Folder& folder, const std::string& name) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const FsStatus read = folder.ReadBlocks(name, [&](const char* data, std::size_t size) {
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    return true;
  });
  if (!read.ok()) return std::nullopt;
  return static_cast<uint32_t>(crc);
}

/// Walks the release for CheckSfvFiles.
class SfvWalk {
 public:
  SfvWalk(const FileSystem& fs, SfvReport* report) : fs_(fs), report_(report) {}

  /// Checks the sfv files of `folder` (at `prefix` inside the release: ""
  /// or a path ending in the separator, `depth` levels down), then those of
  /// its subfolders.
  FsStatus Check(Folder& folder, const std::string& prefix, int depth) {
    std::vector<FolderItem> items;
    const FsStatus listed = folder.List(&items);
    if (!listed.ok()) return listed;
    std::sort(items.begin(), items.end(),
              [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
    // Each file is read once, however many lines (of one .sfv file or of
    // several) name it.
    std::map<std::string, std::optional<uint32_t>> crcs;
    for (const FolderItem& item : items) {
      if (item.kind != EntryKind::kFile || !IsSfvName(item.name)) continue;
      std::string text;
      const FsStatus read = ReadSfv(folder, item.name, &text);
      if (!read.ok()) return read;
      // An sfv file that lists nothing (comments only) vouches for nothing.
      const std::vector<SfvEntry> entries = ParseSfv(text);
      if (!entries.empty()) report_->sfv_found = true;
      for (const SfvEntry& entry : entries) CheckEntry(folder, items, prefix, entry, &crcs);
    }
    for (const FolderItem& item : items) {
      if (item.kind != EntryKind::kFolder) continue;
      if (depth >= kMaxFolderDepth) return FsStatus::kTooDeep;
      std::unique_ptr<Folder> child;
      FsStatus status = folder.Open(item.name, &child);
      if (status.ok()) status = Check(*child, prefix + item.name + fs_.Separator(), depth + 1);
      if (!status.ok()) return status;
    }
    return FsStatus::kOk;
  }

 private:
  void CheckEntry(Folder& folder, const std::vector<FolderItem>& items,
                  const std::string& prefix, const SfvEntry& entry,
                  std::map<std::string, std::optional<uint32_t>>* crcs) {
    ++report_->listed;
    // The listing gives the name as it is stored; the sfv file's spelling
    // matches it as the file system would match it: without case on
    // Windows, exactly on POSIX. A name with a separator in it matches
    // nothing here, so nothing outside the folder is ever read.
    const auto key = [&](const std::string& name) {
      return fs_.NamesIgnoreCase() ? FoldName(name) : name;
    };
    const std::string wanted = key(entry.name);
    const auto found = std::find_if(items.begin(), items.end(), [&](const FolderItem& item) {
      return item.kind == EntryKind::kFile && key(item.name) == wanted;
    });
    if (found == items.end()) {
      ++report_->missing;
      // A name is shown, never obeyed: a line break in it must not make
      // reply lines of its own.
      report_->problems.push_back("missing: " + MaskControlChars(prefix + entry.name));
      return;
    }
    const auto known = crcs->find(found->name);
    const std::optional<uint32_t> crc =
        known != crcs->end() ? known->second : ((*crcs)[found->name] = FileCrc(folder, found->name));
    if (crc && *crc == entry.crc) return;
    ++report_->bad;
    report_->problems.push_back("bad crc: " + MaskControlChars(prefix + found->name));
  }

  const FileSystem& fs_;
  SfvReport* report_;
};

}  // namespace

std::vector<SfvEntry> ParseSfv(const std::string& text) {
  std::vector<SfvEntry> entries;
  std::size_t start = 0;
  // A UTF-8 byte-order mark is no part of the first name.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (std::optional<SfvEntry> entry = ParseSfvLine(text.substr(start, end - start))) {
      entries.push_back(std::move(*entry));
    }
    start = end + 1;
  }
  return entries;
}

FsStatus CheckSfvFiles(const FileSystem& fs, Folder& release, SfvReport* report) {
  *report = SfvReport();
  return SfvWalk(fs, report).Check(release, "", 0);
}

std::string SfvSummary(const SfvReport& report) {
  if (!report.sfv_found) return "no .sfv file found.";
  return std::to_string(report.missing) + " missing, " + std::to_string(report.bad) +
         " bad of " + std::to_string(report.listed) + " files.";
}

std::optional<std::string> IncompleteReply(const SfvReport& report) {
  if (report.complete()) return std::nullopt;
  std::string reply = "Release is incomplete, nothing was moved:";
  const std::size_t shown = std::min(report.problems.size(), kMostProblemLines);
  for (std::size_t i = 0; i < shown; ++i) reply += kCrlf + report.problems[i];
  if (shown < report.problems.size()) {
    reply += kCrlf + std::string("... and ") + std::to_string(report.problems.size() - shown) +
             " more";
  }
  return reply + kCrlf + SfvSummary(report);
}

}  // namespace ovpre
