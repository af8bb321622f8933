// Fuzzes the settings loader with arbitrary settings files, read through the
// in-memory file system, and checks that a group added by "site preadd" to
// whatever the file holds loads back as the last group.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "commands/preadd.h"
#include "config/settings_file.h"
#include "request/site_request.h"
#include "support/memory_fs.h"

namespace {

using ovpre::PreGroup;
using ovpre::Settings;

constexpr const char* kSettingsPath = "C:\\ovpre\\ovpre.ini";

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsCleanValue(const std::string& value) {
  return value.find('\r') == std::string::npos &&
         (value.empty() || (value.front() != ' ' && value.back() != ' '));
}

bool SameGroup(const PreGroup& a, const PreGroup& b) {
  return a.Name == b.Name && a.OwnDir == b.OwnDir && a.ToDir == b.ToDir &&
         a.Dated == b.Dated && a.NewOwner == b.NewOwner && a.NewPerms == b.NewPerms;
}

bool SameSettings(const Settings& a, const Settings& b) {
  if (a.SiteName != b.SiteName || a.RaidenDir != b.RaidenDir ||
      a.AnnounceFile != b.AnnounceFile || a.Groups.size() != b.Groups.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.Groups.size(); ++i) {
    if (!SameGroup(a.Groups[i], b.Groups[i])) return false;
  }
  return true;
}

void CheckValues(const Settings& s) {
  Check(IsCleanValue(s.SiteName) && IsCleanValue(s.RaidenDir) && IsCleanValue(s.AnnounceFile));
  for (const PreGroup& g : s.Groups) {
    Check(IsCleanValue(g.Name) && IsCleanValue(g.OwnDir) && IsCleanValue(g.ToDir) &&
          IsCleanValue(g.NewOwner) && IsCleanValue(g.NewPerms));
  }
}

/// Runs "site preadd" for a new group on top of `text` and reloads the file.
void CheckAppendedGroupLoads(const std::string& text, const Settings& before) {
  ovpre::test::MemoryPlatform memory;
  memory.fs.AddFile(kSettingsPath, text);
  ovpre::SiteRequest request;
  request.ReplyTag = "1";
  request.Access = 0;  // a siteop
  request.CommandText = "preadd Fz.New*C:\\up*D:\\to*2*u:g*666";
  ovpre::AddGroup(memory.platform, before, request);

  const std::string* after = memory.fs.FileContent(kSettingsPath);
  Check(after && after->compare(0, text.size(), text) == 0);
  const Settings reloaded = ovpre::ParseSettings(*after);
  if (before.FindGroup("Fz.New")) {
    Check(after->size() == text.size());
    return;
  }
  // The groups already there keep their names and order; the new one is last.
  Check(reloaded.Groups.size() == before.Groups.size() + 1);
  for (std::size_t i = 0; i < before.Groups.size(); ++i) {
    Check(reloaded.Groups[i].Name == before.Groups[i].Name);
  }
  PreGroup expected;
  expected.Name = "Fz.New";
  expected.OwnDir = "C:\\up";
  expected.ToDir = "D:\\to";
  expected.Dated = 2;
  expected.NewOwner = "u:g";
  expected.NewPerms = "666";
  Check(SameGroup(reloaded.Groups.back(), expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ovpre::test::MemoryPlatform memory;
  memory.fs.AddFile(kSettingsPath, text);
  const std::optional<Settings> loaded = ovpre::LoadSettings(memory.platform);
  Check(loaded.has_value());
  // The loader only adds where a relative announce file is: beside the program.
  Settings parsed = ovpre::ParseSettings(text);
  parsed.AnnounceFile = ovpre::BesideProgram(memory.platform, parsed.AnnounceFile);
  Check(SameSettings(*loaded, parsed));
  CheckValues(*loaded);
  CheckAppendedGroupLoads(text, *loaded);
  return 0;
}
