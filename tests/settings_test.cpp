#include <gtest/gtest.h>

#include <algorithm>

#include "app/entry.h"
#include "config/settings.h"
#include "config/settings_file.h"
#include "support/fakes.h"
#include "support/temp_folder.h"
#include "text/text.h"

namespace ovpre {
namespace {

using test::Join;
using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

TEST(DefaultSettings, HasThirtyTwoPaddedLinesEndingInCrLf) {
  const std::string& text = DefaultSettingsText();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t cut; (cut = text.find("\r\n", start)) != std::string::npos; start = cut + 2) {
    lines.push_back(text.substr(start, cut - start));
  }
  ASSERT_EQ(start, text.size()) << "text after the last CR LF";
  ASSERT_EQ(lines.size(), 32u);
  for (int n : {1, 2, 3, 4, 5, 6, 8, 9, 10, 12, 13, 17, 19, 20, 21, 22, 23, 25, 26, 27, 28, 29, 30}) {
    EXPECT_EQ(lines[n - 1].size(), 56u) << "line " << n;
  }
  EXPECT_EQ(lines[15].size(), 54u);
  EXPECT_EQ(lines[13], "announcefile=C:\\Program Files\\Raidenftpd\\windrop\\announce.dat");
  for (int n : {7, 11, 15, 18, 24, 31, 32}) EXPECT_EQ(lines[n - 1], "") << "line " << n;
  EXPECT_EQ(text.substr(text.size() - 6), "\r\n\r\n\r\n");
}

TEST(DefaultSettings, LoadsAsTheExampleSite) {
  const Settings s = ParseSettings(DefaultSettingsText());
  EXPECT_EQ(s.SiteName, "MySite");
  EXPECT_EQ(s.RaidenDir, "C:\\Program Files\\Raidenftpd");
  EXPECT_EQ(s.AnnounceFile, "C:\\Program Files\\Raidenftpd\\windrop\\announce.dat");
  EXPECT_EQ(s.LogFile, "");
  EXPECT_EQ(s.AnnounceLog, "");
  ASSERT_EQ(s.Groups.size(), 1u);
  const PreGroup& g = s.Groups[0];
  EXPECT_EQ(g.Name, "MyGroup");
  EXPECT_EQ(g.OwnDir, "e:\\ftp\\pre\\MyGroup");
  EXPECT_EQ(g.ToDir, "e:\\ftp\\mp3");
  EXPECT_EQ(g.Dated, 1);
  EXPECT_EQ(g.NewOwner, "admin:admins");
  EXPECT_EQ(g.NewPerms, "666");
}

TEST(ParseSettings, KeysAreTrimmedAndLowerCasedValuesTrimmedOfSpacesOnly) {
  const Settings s = ParseSettings(
      "group=A\r\n  OwnDir = d:\\up \r\ntodir=e:\\a=b\r\nnewperms=\t7\t\r\n"
      "SITENAME = Name With Spaces \r\n LogFile = c:\\logs\\ovpre.log \r\n"
      "AnnounceLog = a.log \r\n");
  ASSERT_EQ(s.Groups.size(), 1u);
  EXPECT_EQ(s.Groups[0].OwnDir, "d:\\up");
  EXPECT_EQ(s.Groups[0].ToDir, "e:\\a");
  EXPECT_EQ(s.Groups[0].NewPerms, "\t7\t");
  EXPECT_EQ(s.SiteName, "Name With Spaces");
  EXPECT_EQ(s.LogFile, "c:\\logs\\ovpre.log");
  EXPECT_EQ(s.AnnounceLog, "a.log");
}

TEST(ParseSettings, LineEndsAreCrLfLoneCrOrLoneLf) {
  const Settings s =
      ParseSettings("sitename=A\rraidendir=B\r\nannouncefile=C\ngroup=G\n\r\nowndir=/up\n\n");
  EXPECT_EQ(s.SiteName, "A");
  EXPECT_EQ(s.RaidenDir, "B");
  EXPECT_EQ(s.AnnounceFile, "C");
  ASSERT_EQ(s.Groups.size(), 1u);
  EXPECT_EQ(s.Groups[0].Name, "G");
  // LF CR LF is two line ends: the empty line between them is skipped.
  EXPECT_EQ(s.Groups[0].OwnDir, "/up");
  // The last line needs no line end.
  EXPECT_EQ(ParseSettings("group=Last").Groups.at(0).Name, "Last");
}

TEST(ParseSettings, CommentsAndUnusableLinesAreSkipped) {
  const Settings s = ParseSettings(
      "sitename=Keep\r\nsitename=\r\n;group=Commented\r\n[FTPD]\r\nowndir=orphan\r\n"
      "unknown=1\r\n group=Spaced\r\nowndir=y\r\ndated=abc\r\ndated= \r\n");
  EXPECT_EQ(s.SiteName, "Keep");
  ASSERT_EQ(s.Groups.size(), 1u);
  EXPECT_EQ(s.Groups[0].Name, "Spaced");  // a leading space does not make a comment
  EXPECT_EQ(s.Groups[0].OwnDir, "y");
  EXPECT_EQ(s.Groups[0].Dated, 0);
}

TEST(ParseSettings, DatedIsFlooredAndSkippedWhenOutOfRange) {
  const auto dated = [](const std::string& value) {
    return ParseSettings("group=A\r\ndated=5\r\ndated=" + value).Groups.at(0).Dated;
  };
  EXPECT_EQ(dated("2.7"), 2);
  EXPECT_EQ(dated("-0.5"), -1);
  EXPECT_EQ(dated("40000"), 5);
  EXPECT_EQ(dated("abc"), 5);
}

TEST(ParseSettings, SfvCheckIsOnOnlyForOneAndOnlyForItsGroup) {
  const struct {
    std::string lines;
    bool on;
  } cases[] = {
      {"", false},          {"sfvcheck=1\r\n", true},  {" SfvCheck = 1 \r\n", true},
      {"sfvcheck=0\r\n", false}, {"sfvcheck=yes\r\n", false}, {"sfvcheck=1.0\r\n", false},
      {"sfvcheck=01\r\n", false}, {"sfvcheck=1\r\nsfvcheck=2\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    const Settings s = ParseSettings("sfvcheck=1\r\ngroup=A\r\n" + c.lines + "group=B\r\n");
    ASSERT_EQ(s.Groups.size(), 2u);
    EXPECT_EQ(s.Groups[0].SfvCheck, c.on);
    EXPECT_FALSE(s.Groups[1].SfvCheck);
  }
  EXPECT_FALSE(ParseSettings(DefaultSettingsText()).Groups.at(0).SfvCheck);
}

TEST(ParseSettings, GroupsWithoutEqualsOrNameAndDuplicates) {
  const Settings s = ParseSettings(
      "group\r\nowndir\r\ngroup=A\r\ntodir=1\r\ngroup=A\r\ntodir=2\r\ngroup=\r\ntodir=3\r\n");
  ASSERT_EQ(s.Groups.size(), 4u);
  EXPECT_EQ(s.Groups[0].Name, "");
  EXPECT_EQ(s.Groups[0].OwnDir, "");
  EXPECT_EQ(s.FindGroup("A")->ToDir, "1");
  EXPECT_EQ(s.FindGroup("a"), nullptr);
  // An empty "group=" starts a group of its own, which is nobody's.
  EXPECT_EQ(s.Groups[2].ToDir, "2");
  EXPECT_EQ(s.Groups[3].ToDir, "3");
  EXPECT_EQ(s.FindGroup(""), nullptr);
  EXPECT_TRUE(ParseSettings("").Groups.empty());
}

TEST(OwnerValues, OneRuleForTheSettingsAndTheGrant) {
  const struct {
    std::string owner, perms;
    bool usable;
  } cases[] = {{"admin:admins", "666", true}, {"ftpuser", "0755", true}, {"u:g", "7", true},
                {"admin:", "666", false}, {":admins", "666", false}, {"a:b:c", "666", false},
                {":", "666", false}, {"", "666", false}, {"u:g", "999", false},
                {"u:g", "", false}, {"u:g", "06444", false}};
  for (const auto& c : cases) {
    PreGroup group;
    group.NewOwner = c.owner;
    group.NewPerms = c.perms;
    EXPECT_EQ(IsUsableOwner(c.owner) && IsUsablePerms(c.perms), c.usable) << c.owner << c.perms;
    EXPECT_EQ(IsUsableGrant(GrantOf(group)), c.usable) << c.owner << " " << c.perms;
  }
}

TEST(FileNameOf, TakesTheTextAfterTheLastSeparator) {
  EXPECT_EQ(FileNameOf("C:\\a\\b.ini", '\\'), "b.ini");
  EXPECT_EQ(FileNameOf("b.ini", '\\'), "b.ini");
  EXPECT_EQ(FileNameOf("", '\\'), "");
  EXPECT_EQ(FileNameOf("a\\", '\\'), "");
}

class LoadSettingsTest : public ::testing::Test {
 protected:
  TempFolder temp;
  SiteFixture site{temp.path()};
};

TEST_F(LoadSettingsTest, FirstRunCreatesTheDefaultFileAndEndsTheRun) {
  EXPECT_FALSE(LoadSettings(site.platform).has_value());
  EXPECT_EQ(ReadFile(site.SettingsPath()), DefaultSettingsText());
  ASSERT_EQ(site.notifier.messages.size(), 1u);
  EXPECT_EQ(site.notifier.messages[0],
            "First time running, ini file created - please edit it: " + site.SettingsPath());
  // The second run loads what the first one wrote.
  const std::optional<Settings> loaded = LoadSettings(site.platform);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->SiteName, "MySite");
  EXPECT_EQ(site.notifier.messages.size(), 1u);
}

TEST_F(LoadSettingsTest, ASettingsFileThatCannotBeCreatedIsExplainedOnlyByHand) {
  test::FailingFileSystem fs(*site.fs, 0);
  fs.fail_op = "CreateTextFile";
  fs.injected = FsStatus(FsStatus::kFailed, 5, "Access is denied.");
  Platform platform = site.With(fs);
  EXPECT_FALSE(LoadSettings(platform, FirstRunNotice::kQuiet).has_value());
  EXPECT_TRUE(site.notifier.messages.empty());
  EXPECT_FALSE(LoadSettings(platform).has_value());
  EXPECT_EQ(site.notifier.messages, std::vector<std::string>{
      "The ini file could not be created: " + site.SettingsPath() + "\r\nAccess is denied."});
}

TEST_F(LoadSettingsTest, SettingsPathAddsASeparatorOnlyWhenMissing) {
  site.process.folder = site.exe_dir + test::Sep();
  site.process.stem = "other";
  EXPECT_EQ(SettingsPath(site.platform), site.exe_dir + test::Sep() + "other.ini");
  // Other files of the settings are beside it only when given relative.
  EXPECT_EQ(BesideProgram(site.platform, "a.log"), site.exe_dir + test::Sep() + "a.log");
  const std::string absolute = test::Join(temp.path(), "a.log");
  EXPECT_EQ(BesideProgram(site.platform, absolute), absolute);
}

TEST_F(LoadSettingsTest, AByteOrderMarkIsNoPartOfTheFirstKey) {
  WriteFile(site.SettingsPath(), "\xEF\xBB\xBFsitename=Marked\r\n");
  EXPECT_EQ(LoadSettings(site.platform)->SiteName, "Marked");
}

TEST_F(LoadSettingsTest, EmptyFileIsAFileWithoutSettings) {
  WriteFile(site.SettingsPath(), "");
  const std::optional<Settings> loaded = LoadSettings(site.platform);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_TRUE(loaded->Groups.empty());
  EXPECT_TRUE(site.notifier.messages.empty());
}

class CheckTest : public LoadSettingsTest {
 protected:
  int Check(const std::string& word = "check") {
    site.process.raw = word;
    return RunOnce(site.platform);
  }
  bool Reported(const std::string& start) const {
    const auto& r = site.notifier.report;
    return std::any_of(r.begin(), r.end(), [&](const std::string& line) {
      return line.compare(0, start.size(), start) == 0;
    });
  }
};

TEST_F(CheckTest, ACleanFilePassesAndNothingIsCreatedWithoutOne) {
  EXPECT_EQ(Check(), 1);
  EXPECT_FALSE(test::Exists(site.SettingsPath()));
  EXPECT_TRUE(Reported("There is no settings file"));
  site.WriteSettings(site.own_dir, site.to_dir);
  const std::string clean = ReadFile(site.SettingsPath());
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(site.notifier.report, (std::vector<std::string>{
      "Settings file: " + site.SettingsPath(), "groups loaded: 1, findings: 0"}));
  // However a batch file passes the word.
  for (const char* word : {" check ", "\"Check\"", "/CHECK", "-check", "--check"}) {
    site.notifier.report.clear();
    EXPECT_EQ(Check(word), 0) << word;
    EXPECT_TRUE(Reported("groups loaded: 1, findings: 0")) << word;
  }
  EXPECT_EQ(Check("checks"), 0);
  site.ownership.available = false;
  EXPECT_EQ(Check(), 1);
  EXPECT_TRUE(Reported("the server's control cannot be created: HRESULT 0x80040154"));
  EXPECT_EQ(ReadFile(site.SettingsPath()), clean);
  // A target whose file system refuses to flush a folder is named.
  test::FailingFileSystem refusing(*site.fs, 0);
  refusing.fail_op = "Folder::Flush";
  refusing.injected = FsStatus(FsStatus::kOk, 1, "not for folders");
  site.process.raw = "check";
  Platform platform = site.With(refusing);
  EXPECT_EQ(RunOnce(platform), 1);
  const auto& report = site.notifier.report;
  EXPECT_TRUE(std::any_of(report.begin(), report.end(), [&](const std::string& line) {
    return line.find("todir \"" + site.to_dir + "\" is on a file system that refuses") !=
           std::string::npos;
  }));
  // Notepad's "Unicode", with or without its mark, is named as such.
  for (const std::string mark : {"\xFF\xFE", ""}) {
    std::string utf16 = mark;
    for (const char c : clean) utf16 += std::string(1, c) + '\0';
    WriteFile(site.SettingsPath(), utf16);
    EXPECT_EQ(Check(), 1);
    EXPECT_TRUE(Reported("the file is saved as UTF-16 (Notepad's \"Unicode\")"));
    EXPECT_EQ(site.notifier.report.size(), 4u);  // path, finding, control, summary
  }
  WriteFile(site.SettingsPath(), clean.substr(0, clean.find("group=")));
  EXPECT_EQ(Check(), 1);
  EXPECT_TRUE(Reported("there is no group=, so nobody can pre"));
}

TEST_F(CheckTest, EachFindingNamesItsLine) {
  // The clean file has nine lines: three of the site, six of group GRP.
  const std::string gone = Join(site.root, "gone");
  const struct {
    std::string before_group, after, finding;
  } cases[] = {
      {"", "sfvchek=1", "line 10: unknown key \"sfvchek\", the nearest known key is \"sfvcheck\""},
      {"", "LogFil=x", "line 10: unknown key \"logfil\", the nearest known key is \"logfile\""},
      {"", "todir\t=/x", "line 10: the key \"todir?\" holds a tab, so the line is not read"},
      {"", "sitename=", "line 10: sitename has no value, so the line is not read"},
      {"", "sitename=A\tB", "line 10: the value of sitename holds a tab"},
      {"", "todir=   ", "line 10: the value of todir is only spaces"},
      {"", "group=   ", "line 10: a group without a name"},
      {"", "group=GRP", "line 10: group \"GRP\" is already on line 4; only that one is used"},
      {"", "group=B", "line 10: group \"B\" has no owndir"},
      {"", "group=B\r\nowndir=" + site.own_dir, "line 10: group \"B\" has no todir"},
      {"", "group=", "line 10: a group without a name: nobody can pre with it"},
      {"", "dated=2", "line 10: dated of group \"GRP\" is already on line 7; this line replaces"},
      {"", "owndir=" + site.own_dir + test::Sep(), "line 10: owndir \"" + site.own_dir +
       test::Sep() + "\" ends in \"" + test::Sep() + "\", so no pre from it is ever accepted"},
      {"", "todir=" + site.to_dir + test::Sep(), "line 10: todir \"" + site.to_dir + test::Sep() +
       "\" ends in \"" + test::Sep() + "\", so replies and announcements show it doubled"},
      {"", "dated=1.5", "line 10: dated \"1.5\" is not a whole number: it is read as 1"},
      {"", "dupedays=0.5", "line 10: dupedays \"0.5\" is not a whole number: it is read as 0, so "
                           "there is no dupe check"},
      {"", "dupedays=-1", "line 10: dupedays \"-1\" is below 0, so there is no dupe check"},
      {"", "dupedays=99999", "line 10: dupedays \"99999\" is out of range"},
      {"", "raidendir=raiden", "line 10: raidendir \"raiden\" is not an absolute path, so no "
                               "request is ever answered"},
      {"", "announcefile=" + site.to_dir, "line 10: announcefile \"" + site.to_dir +
                                              "\" is a folder, not a file"},
      {"", "section=Old Mp3*" + site.to_dir + "*0", "line 10: section \"Old Mp3\" has a space in "
                                                    "its name, so it can never be chosen"},
      {"", "section=MP3*" + site.to_dir + "*0\r\nsection=mp3*" + site.to_dir + "*0",
       "line 11: section \"mp3\" is already on line 10; only that one can be chosen"},
      {"owndir=/up", "", "line 4: owndir before the first group is not read"},
      {"", "dated=4", "line 10: dated \"4\" is not 0 to 3, so the group is not dated"},
      {"", "dated=1 # mmdd", "line 10: dated \"1 # mmdd\" is not a number"},
      {"", "sfvcheck=yes", "line 10: sfvcheck \"yes\" is not 0 or 1, so the check is off"},
      {"", "newowner=admin:", "line 10: newowner \"admin:\" is not a user or user:group"},
      {"", "newperms=8", "line 10: newperms \"8\" is not 1 to 4 octal digits"},
      {"", "newperms=06444", "line 10: newperms \"06444\" is not 1 to 4 octal digits"},
      {"", "owndir=ftp", "line 10: owndir \"ftp\" is not an absolute path"},
      {"", "todir=" + gone, "line 10: todir \"" + gone + "\" is not an existing folder"},
      {"", "todir=" + site.own_dir, "line 10: todir is the group's owndir (line 5)"},
      {"", "raidendir=" + gone, "line 10: the reply folder \"" + Join(gone, "Output")},
      {"", "announcefile=" + Join(gone, "a.dat"), "line 10: the folder of announcefile"},
      {"", "logfile=" + Join(gone, "x.log"), "line 10: the folder of logfile"},
      {"", "dupedays=many", "line 10: dupedays \"many\" is not a number"},
      {"", "unpremins=soon", "line 10: unpremins \"soon\" is not a number"},
      {"", "predb=" + Join(site.to_dir, "p.db"),
       "line 10: predb \"" + Join(site.to_dir, "p.db") + "\" is not used: it lies inside"},
      // Not private on POSIX, no record on Windows.
      {"", "predb=ovpre.ini", "line 10: predb \"" + site.SettingsPath() + "\" is not used: "},
      {"", "section=*" + site.to_dir + "*0", "line 10: a section without a name"},
      {"", "section=MP3*" + gone + "*5", "line 10: section \"MP3\" has a date format other"},
      {"", "section=MP3*" + gone + "*0", "line 10: section \"MP3\" todir \"" + gone + "\" is not an"},
  };
  site.WriteSettings(site.own_dir, site.to_dir);
  const std::string clean = ReadFile(site.SettingsPath());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.finding);
    std::string text = clean;
    text.insert(text.find("group=GRP"), c.before_group.empty() ? "" : c.before_group + "\r\n");
    WriteFile(site.SettingsPath(), text + c.after + "\r\n");
    EXPECT_EQ(Check(), 1);
    EXPECT_TRUE(Reported(c.finding));
  }
}

}  // namespace
}  // namespace ovpre
