// Fuzzes whole runs: the raw command line, the settings file and one failing
// file-system operation, against a small site held in memory. Whatever the
// input, a run must not lose or duplicate a release file, and may only
// append to the settings file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "app/entry.h"
#include "support/failing_fs.h"
#include "support/memory_fs.h"

namespace {

constexpr const char* kSettingsPath = "C:\\ovpre\\ovpre.ini";

constexpr const char* kDefaultSettings =
    "sitename=FuzzSite\r\nraidendir=C:\\raiden\r\n"
    "announcefile=C:\\raiden\\announce.dat\r\n"
    "group=GRP\r\nowndir=C:\\pre\\GRP\r\ntodir=D:\\mp3\r\ndated=0\r\n"
    "newowner=u:g\r\nnewperms=666\r\n"
    "group=SAME\r\nowndir=C:\\pre\\GRP\r\ntodir=C:\\mp3\r\ndated=3\r\n"
    "newowner=u\r\nnewperms=777\r\n";

/// The release files: (name, content). Contents are unique on the site.
const std::pair<const char*, const char*> kReleaseFiles[] = {
    {"a.nfo", "release-file-1"},
    {"x.mp3", "release-file-2"},
    {"b.sfv", "release-file-3"},
};

void Check(bool ok) {
  if (!ok) std::abort();
}

void BuildSite(ovpre::test::MemoryFileSystem& fs, const std::string& settings) {
  fs.AddFile(kSettingsPath, settings);
  fs.AddFolder("C:\\raiden\\Output");
  fs.AddFile("C:\\pre\\GRP\\Rel.One\\a.nfo", kReleaseFiles[0].second);
  fs.AddFile("C:\\pre\\GRP\\Rel.One\\CD1\\x.mp3", kReleaseFiles[1].second);
  fs.AddFile("C:\\pre\\GRP\\Rel Two\\b.sfv", kReleaseFiles[2].second);
  fs.AddFolder("C:\\mp3");
  fs.AddFolder("D:\\mp3");
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

/// Every release file is still somewhere (by name: an announce or reply file
/// may legitimately be configured onto one), and, when nothing failed, there
/// is at most one file of that name holding its content.
void CheckReleaseFiles(const ovpre::test::MemoryFileSystem& fs, bool any_failure) {
  const auto files = fs.Files();
  for (const auto& [name, content] : kReleaseFiles) {
    int by_name = 0;
    int by_content = 0;
    for (const auto& [path, data] : files) {
      const bool named = EndsWith(path, std::string("\\") + name);
      by_name += named;
      by_content += named && data == content;
    }
    Check(by_name >= 1);
    Check(any_failure || by_content <= 1);
  }
}

/// The settings file only ever grows at its end. A siteop may configure a
/// group whose own folder holds the program's folder, and pre that away, so
/// the file is looked for by name wherever it went.
void CheckSettingsKept(const ovpre::test::MemoryFileSystem& fs, const std::string& before) {
  bool kept = false;
  for (const auto& [path, data] : fs.Files()) {
    if (EndsWith(path, "\\ovpre.ini") && data.compare(0, before.size(), before) == 0) {
      kept = true;
    }
  }
  Check(kept);
}

}  // namespace

// Input: the raw command line, then optionally "\0", the settings file text
// (empty for a default site), "\0" and one byte naming the operation that
// fails (0 for none).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\0');
  const std::string raw = input.substr(0, first);
  std::string settings;
  int fail_at = 0;
  if (first != std::string::npos) {
    const std::size_t second = input.find('\0', first + 1);
    settings = input.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                   : second - first - 1);
    if (second != std::string::npos && second + 1 < input.size()) {
      fail_at = static_cast<uint8_t>(input[second + 1]);
    }
  }
  if (settings.empty()) settings = kDefaultSettings;

  ovpre::test::MemoryPlatform memory;
  BuildSite(memory.fs, settings);
  ovpre::test::FailingFileSystem failing(memory.fs, fail_at);
  memory.outsiders.raw_arguments = raw;
  ovpre::test::MemoryOutsiders& outside = memory.outsiders;
  ovpre::Platform platform{failing, outside, outside, outside, outside};
  // Only "check" ends with a code of its own: 1 for findings.
  const int code = ovpre::RunOnce(platform);
  Check(code == 0 || code == 1);

  CheckReleaseFiles(memory.fs, failing.failed());
  CheckSettingsKept(memory.fs, settings);
  return 0;
}
