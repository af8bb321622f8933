#include <gtest/gtest.h>

#include "app/entry.h"
#include "commands/preadd.h"
#include "config/settings_file.h"
#include "request/reply.h"
#include "request/site_request.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

std::string Reply(const std::string& message) { return test::ExpectedReply(message); }

class PreaddTest : public ::testing::Test {
 protected:
  PreaddTest() {
    site.WriteSettings(site.own_dir, site.to_dir);
    original = ReadFile(site.SettingsPath());
  }

  std::string Preadd(const std::string& command, int access = 0) {
    site.Request("GRP", access, site.own_dir, command);
    RunOnce(site.platform);
    return site.Reply("preadd");
  }

  /// The lines a successful preadd appends.
  static std::string Block(const std::string& name, const std::string& own,
                           const std::string& to, const std::string& dated,
                           const std::string& owner, const std::string& perms) {
    return "group=" + name + "\r\nowndir=" + own + "\r\ntodir=" + to + "\r\ndated=" + dated +
           "\r\nnewowner=" + owner + "\r\nnewperms=" + perms + "\r\n";
  }

  TempFolder temp;
  SiteFixture site{temp.path()};
  std::string original;
  const std::string folders = "*" + site.own_dir + "*" + site.to_dir;  // "*owndir*todir"
};

TEST_F(PreaddTest, AppendsTheGroupAndRepliesWithASummary) {
  // The folders need not exist yet: the siteop may make them after.
  const std::string own = test::Join(site.root, "NewGrp"), to = test::Join(site.root, "Mp3");
  EXPECT_EQ(Preadd("preadd NewGrp*" + own + "*" + to + "*1*admin:admins*666"),
            Reply("Sucessfully added NewGrp as a pre group.\r\nName: NewGrp\r\n"
                  "Home folder: " + own + "\r\nPre to: " + to + "\r\n"
                  "Date foramt: 1\r\nOwner user & group: admin:admins\r\n"
                  "New Permissions after pre: 666"));
  EXPECT_EQ(ReadFile(site.SettingsPath()),
            original + Block("NewGrp", own, to, "1", "admin:admins", "666"));
  const std::optional<Settings> reloaded = LoadSettings(site.platform);
  ASSERT_TRUE(reloaded.has_value());
  ASSERT_EQ(reloaded->Groups.size(), 2u);
  EXPECT_EQ(reloaded->Groups.back().Name, "NewGrp");
  EXPECT_EQ(reloaded->Groups.back().Dated, 1);
}

TEST_F(PreaddTest, RefusesWithoutAccessOrFieldsOrForAnExistingGroup) {
  const std::string refusal = Reply("Sorry, you do not have access to this command.");
  EXPECT_EQ(Preadd("preadd A*B*C*1*u:g*666", 1), refusal);
  EXPECT_EQ(Preadd("preadd A*B*C*1*u:g*666", -1), refusal);
  EXPECT_EQ(Preadd("preadd A*B*C*D*E"), Reply(PreaddUsage()));
  EXPECT_EQ(Preadd("preadd"), Reply(PreaddUsage()));
  EXPECT_EQ(Preadd("preadd GRP" + folders + "*1*u:g*666"), Reply("Group GRP already exists!"));
  EXPECT_EQ(ReadFile(site.SettingsPath()), original);
  // Names are compared exactly: another case is another group.
  EXPECT_NE(Preadd("preadd grp" + folders + "*1*u:g*666").find("Sucessfully added grp"),
            std::string::npos);
}

TEST_F(PreaddTest, UsageTextHasTenLines) {
  const std::string& usage = PreaddUsage();
  int breaks = 0;
  for (std::size_t at = usage.find("\r\n"); at != std::string::npos; at = usage.find("\r\n", at + 2)) {
    ++breaks;
  }
  EXPECT_EQ(breaks, 9);
  EXPECT_EQ(usage.substr(usage.rfind("\r\n") + 2),
            "Example: site preadd MyGroup*E:\\ftp\\pre\\MyGroup*E:\\ftp\\Mp3*1*admin:admins*666");
}

TEST_F(PreaddTest, FieldsAreCutAsTheUserTypedThem) {
  // The argument ends at the first space, and must hold all six fields.
  for (const char* spaced : {"preadd A*d:\\my*e:\\to files*1*u:g*666",
                             "preadd B*d:\\my files*C*1*u:g*666"}) {
    EXPECT_EQ(Preadd(spaced), Reply(PreaddUsage())) << spaced;
  }
  // A "*" in the last position stays on the last field, which is then no
  // permissions (or, five fields on, no owner).
  EXPECT_EQ(Preadd("preadd x" + folders + "*1*u:g*666*"), Reply(PreaddUsage()));
  EXPECT_EQ(Preadd("preadd B" + folders + "*1*F*"), Reply(PreaddUsage()));
  EXPECT_EQ(ReadFile(site.SettingsPath()), original);
}

TEST_F(PreaddTest, RefusesGroupsThatWouldLoadAsSomethingElseOrNeverWork) {
  // "B" and "C" stand for two absolute folders.
  for (std::string command :
       {"preadd *B*C*1*u:g*666", "preadd A**C*1*u:g*755", "preadd A*B**1*u:g*755",
        "preadd A*B\rtodir=evil*C*1*u:g*666", "preadd A*B*C*1*u:g*66\x7f",
        "preadd NewG=x*B*C*1*u:g*666", "preadd A*B=*C*1*u:g*666", "preadd A*B*=C*1*u:g*666",
        "preadd A*B*C*=1*u:g*666", "preadd A*B*C*1*u=g*666", "preadd A*B*C*1*u:g*6=6",
        "preadd A*up*C*1*u:g*666", "preadd A*B*mp3*1*u:g*666", "preadd A*B*C*4*u:g*666",
        "preadd A*B*C*1.5*u:g*666", "preadd A*B*C**u:g*666", "preadd A*B*C*1*admin:*666",
        "preadd A*B*C*1*:g*666", "preadd A*B*C*1**666", "preadd A*B*C*1*u:g*999",
        "preadd A*B*C*1*u:g*06444", "preadd A*B*C*1*u:g*"}) {
    for (const auto& [mark, folder] : {std::make_pair("*B", site.own_dir),
                                       std::make_pair("*C", site.to_dir)}) {
      const std::size_t at = command.find(mark);
      if (at != std::string::npos) command.replace(at, 2, "*" + folder);
    }
    EXPECT_EQ(Preadd(command), Reply(PreaddUsage())) << command;
  }
  EXPECT_EQ(ReadFile(site.SettingsPath()), original);
  // A field the file cannot hold exactly would name another folder.
  test::FailingFileSystem fs(*site.fs, 0);
  fs.unstorable = "\xEF\xBC\xBC";  // "＼", which a best fit would make "\"
  Platform platform = site.With(fs);
  site.Request("GRP", 0, site.own_dir, "preadd A*E:\\ftp\xEF\xBC\xBC" "x*C*1*u:g*666");
  RunOnce(platform);
  EXPECT_EQ(site.Reply("preadd"), Reply(PreaddUsage()));
  EXPECT_EQ(ReadFile(site.SettingsPath()), original);
}

TEST_F(PreaddTest, AFileWithoutAFinalLineEndGetsOneFirst) {
  const std::string server = "raidendir=" + site.raiden_dir + "\r\n";
  WriteFile(site.SettingsPath(), server + "group=Old\r\nnewperms=666");
  Preadd("preadd New" + folders + "*0*u:g*7");
  const std::string block = Block("New", site.own_dir, site.to_dir, "0", "u:g", "7");
  EXPECT_EQ(ReadFile(site.SettingsPath()), server + "group=Old\r\nnewperms=666\r\n" + block);
  const std::optional<Settings> reloaded = LoadSettings(site.platform);
  ASSERT_EQ(reloaded->Groups.size(), 2u);
  EXPECT_EQ(reloaded->Groups[0].NewPerms, "666");
  // A lone LF or a lone CR already ends the last line for the loader.
  for (const std::string& last : {server + "group=Old\n", server + "group=Old\r"}) {
    WriteFile(site.SettingsPath(), last);
    Preadd("preadd New" + folders + "*0*u:g*7");
    EXPECT_EQ(ReadFile(site.SettingsPath()), last + block);
  }
}

TEST_F(PreaddTest, TheDuplicateCheckSeesGroupsAddedSinceTheLoad) {
  // Another siteop's preadd lands between this run's load and its append.
  const std::optional<Settings> loaded = LoadSettings(site.platform);
  WriteFile(site.SettingsPath(), original + Block("Late", "a", "b", "0", "u:g", "1"));
  site.Request("GRP", 0, site.own_dir, "preadd Late" + folders + "*0*u:g*1");
  AddGroup(site.platform, *loaded, ParseSiteRequest(site.process.raw));
  EXPECT_EQ(site.Reply("preadd"), Reply("Group Late already exists!"));
  EXPECT_EQ(ReadFile(site.SettingsPath()), original + Block("Late", "a", "b", "0", "u:g", "1"));
}

TEST_F(PreaddTest, AnUnwritableSettingsFileGetsNoReply) {
  test::FailingFileSystem broken(*site.fs, 0);
  broken.fail_op = "AppendByReplacing";
  Platform platform = site.With(broken);
  site.Request("GRP", 0, site.own_dir, "preadd New" + folders + "*0*u:g*7");
  RunOnce(platform);
  EXPECT_EQ(site.Reply("preadd"), "<missing>");
  EXPECT_EQ(ReadFile(site.SettingsPath()), original);
}

}  // namespace
}  // namespace ovpre
