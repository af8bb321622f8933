#include <gtest/gtest.h>

#include <algorithm>

#include "app/entry.h"
#include "commands/pre.h"
#include "request/reply.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Exists;
using test::FailingFileSystem;
using test::Join;
using test::MakeFolders;
using test::OwnershipCall;
using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

std::string Reply(const std::string& message) { return test::ExpectedReply(message); }

const char* const kMoveFailed =
    "Error moving folder -- the destination path probably\r\nalready exists.";

class PreTest : public ::testing::Test {
 protected:
  PreTest() {
    site.WriteSettings(site.own_dir, site.to_dir);
    MakeRelease("Some.Release-GRP");
  }

  void MakeRelease(const std::string& name) {
    WriteFile(Join(site.own_dir, name + test::Sep() + "a.nfo"), "nfo");
    WriteFile(Join(site.own_dir, name + test::Sep() + "CD1" + test::Sep() + "t.mp3"), "mp3");
  }

  /// Runs one "site pre" as the server would, from the group's folder.
  std::string Pre(const std::string& command, const std::string& group = "GRP") {
    site.Request(group, 0, site.own_dir, command);
    RunOnce(site.platform);
    return site.Reply("pre");
  }

  std::string Success(const std::string& release, const std::string& destination) {
    return Reply(release + " was successfully pre'd to:\r\n" + destination);
  }

  TempFolder temp;
  SiteFixture site{temp.path()};
  const std::string release_tree = "CD1/\nCD1/t.mp3:mp3\na.nfo:nfo\n";
};

TEST_F(PreTest, MovesAnnouncesAndHandsTheTreeToTheOwner) {
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  EXPECT_EQ(Pre("pre Some.Release-GRP"), Success("Some.Release-GRP", dest));
  EXPECT_FALSE(Exists(Join(site.own_dir, "Some.Release-GRP")));
  EXPECT_EQ(DescribeTree(dest), release_tree);
  EXPECT_EQ(ReadFile(site.announce),
            ">> \x02TestSite\x02 << Pre: \x02Some.Release-GRP \x02" "from\x02 GRP\r\n"
            ">> Grab it from " + dest + "\r\n");
  EXPECT_EQ(site.ownership.created, 1);
  // The destination and everything in it, then each top-level entry and its
  // content, in listing order; nothing for "." and "..".
  const auto inside = OwnershipScope::kEverythingInside;
  ASSERT_EQ(site.ownership.calls.size(), 6u);
  EXPECT_EQ(site.ownership.calls[0], (OwnershipCall{"666", "admin", "admins", dest}));
  EXPECT_EQ(site.ownership.calls[1], (OwnershipCall{"666", "admin", "admins", dest, inside}));
  std::vector<std::string> entries;
  for (std::size_t i = 2; i < 6; i += 2) {
    const std::string path = site.ownership.calls[i].path;
    EXPECT_EQ(site.ownership.calls[i].scope, OwnershipScope::kItself);
    EXPECT_EQ(site.ownership.calls[i + 1].path, path);
    EXPECT_EQ(site.ownership.calls[i + 1].scope, inside);
    entries.push_back(path);
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{Join(dest, "CD1"), Join(dest, "a.nfo")}));
  for (const OwnershipCall& call : site.ownership.calls) {
    EXPECT_EQ(call.perms, "666");
    EXPECT_EQ(call.user, "admin");
    EXPECT_EQ(call.group, "admins");
  }
}

TEST_F(PreTest, ChecksTheCallerInOrder) {
  EXPECT_EQ(Pre("pre"), Reply("Usage: Site pre dirname"));
  EXPECT_EQ(Pre("pre x", "Other"), Reply("You are not in any pre groups."));
  EXPECT_EQ(Pre("pre x", "grp"), Reply("You are not in any pre groups."));
  site.Request("GRP", 0, site.own_dir + test::Sep(), "pre Some.Release-GRP");
  RunOnce(site.platform);
  EXPECT_EQ(site.Reply("pre"), Reply("You must be on your own directory\r\nto pre a release."));
  EXPECT_EQ(Pre("pre Missing"), Reply("Unable to find: Missing"));
  WriteFile(Join(site.own_dir, "AFile"), "x");
  EXPECT_EQ(Pre("pre AFile"), Reply("Unable to find: AFile"));
  WriteFile(site.SettingsPath(), "raidendir=" + site.raiden_dir + "\r\n");
  EXPECT_EQ(Pre("pre x"), Reply("No groups setup."));
  EXPECT_TRUE(site.ownership.calls.empty());
  EXPECT_EQ(ReadFile(site.announce), "<missing>");
}

TEST_F(PreTest, OwnFolderComparisonIgnoresCase) {
  site.WriteSettings(site.own_dir + "X", site.to_dir);
  MakeFolders(site.own_dir + "x");
  WriteFile(Join(site.own_dir + "x", "R" + test::Sep() + "f"), "f");
  site.Request("GRP", 0, site.own_dir + "x", "pre R");
  RunOnce(site.platform);
  EXPECT_EQ(site.Reply("pre"), Success("R", Join(site.to_dir, "R")));
}

TEST_F(PreTest, RefusesNamesThatReachOutsideTheRelease) {
  MakeRelease("Inner");
  const auto trees = [&] { return DescribeTree(site.own_dir) + DescribeTree(site.to_dir); };
  const std::string before = trees();
  for (const std::string& name : std::vector<std::string>{"..", ".", " ", "  ", "../GRP", "Inner/..", "a\\b", "a:b", "a*", "a?", "a\"b", "a<b",
        "a>b", "Rel.", "Rel ", std::string("a\tb"), std::string("a\x01"),
        // Device names, which Windows takes as the device in any folder.
        "CON", "nul.Rel", "Aux", "prn.x.y", "COM1", "lpt9.nfo", "nul .x"}) {
    EXPECT_EQ(Pre("pre " + name), Reply("Invalid release name: " + name)) << name;
  }
  // Names that only look like devices are releases.
  for (const std::string name : {"CONsole", "COM0", "LPT10", "nul-Rel", "Com1x"}) {
    MakeRelease(name);
    EXPECT_EQ(Pre("pre " + name), Success(name, Join(site.to_dir, name))) << name;
  }
  // "pre " alone ends the word with a space and is not a command at all.
  EXPECT_EQ(Pre("pre  "), Reply("Invalid release name:  "));
}

TEST_F(PreTest, OnlyTheFolderOwnNameStoredExactlyIsARelease) {
  FailingFileSystem fs(*site.fs, 0);
  Platform platform = site.With(fs);
  const auto pre = [&](const std::string& release) {
    site.Request("GRP", 0, site.own_dir, "pre " + release);
    RunOnce(platform);
    return site.Reply("pre");
  };
  // A short alias reaches the folder, but the folder calls itself otherwise.
  fs.own_name = "Some.Release-GRP";
  MakeRelease("SOMERE~1");
  EXPECT_EQ(pre("SOMERE~1"), Reply("Unable to find: SOMERE~1"));
  fs.fail_op = "OwnName";
  EXPECT_EQ(pre("Some.Release-GRP"), Reply("Unable to find: Some.Release-GRP"));
  fs.fail_op.clear();
  // A name the reply and the announcement would carry as another name (as
  // the code page could hold "Łodz" only as "?odz").
  fs.unstorable = "Lodz";
  EXPECT_EQ(pre("Lodz"), Reply("Invalid release name: Lodz"));
  EXPECT_EQ(DescribeTree(site.to_dir), "");
  // Its own name, in any case, is the release.
  fs.own_name = "SomeRe~1";
  EXPECT_EQ(pre("SOMERE~1"), Success("SOMERE~1", Join(site.to_dir, "SOMERE~1")));
}

TEST_F(PreTest, TakesEverythingAfterTheFirstSpaceAsTheName) {
  MakeRelease("My  Release");
  EXPECT_EQ(Pre("pre My  Release"), Success("My  Release", Join(site.to_dir, "My  Release")));
  EXPECT_EQ(DescribeTree(Join(site.to_dir, "My  Release")), release_tree);
}

TEST_F(PreTest, DatedFoldersFollowTheClock) {
  site.clock.Set({2003, 3, 5});
  const struct {
    int dated;
    std::string folder;
  } cases[] = {{1, "0305"}, {2, "03-05"}, {3, "2003-03-05"}, {7, ""}, {-1, ""}};
  for (const auto& c : cases) {
    site.WriteSettings(site.own_dir, site.to_dir, c.dated);
    const std::string target = c.folder.empty() ? site.to_dir : Join(site.to_dir, c.folder);
    MakeFolders(target);
    MakeRelease("R" + std::to_string(c.dated));
    const std::string name = "R" + std::to_string(c.dated);
    EXPECT_EQ(Pre("pre " + name), Success(name, Join(target, name))) << c.dated;
  }
}

TEST_F(PreTest, AMissingDateFolderIsNotCreated) {
  site.WriteSettings(site.own_dir, site.to_dir, 1);
  EXPECT_EQ(Pre("pre Some.Release-GRP"), Reply(kMoveFailed));
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "Some.Release-GRP")), release_tree);
  EXPECT_EQ(DescribeTree(site.to_dir), "");
}

TEST_F(PreTest, AnExistingDestinationStaysAsItIs) {
  WriteFile(Join(site.to_dir, "Some.Release-GRP" + test::Sep() + "a.nfo"), "older");
  EXPECT_EQ(Pre("pre Some.Release-GRP"), Reply(kMoveFailed));
  EXPECT_EQ(DescribeTree(Join(site.to_dir, "Some.Release-GRP")), "a.nfo:older\n");
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "Some.Release-GRP")), release_tree);
  EXPECT_TRUE(site.ownership.calls.empty());
}

TEST_F(PreTest, TargetEndingInASeparatorGivesADoubleSeparator) {
  site.WriteSettings(site.own_dir, site.to_dir + test::Sep());
  const std::string dest = site.to_dir + test::Sep() + test::Sep() + "Some.Release-GRP";
  EXPECT_EQ(Pre("pre Some.Release-GRP"), Success("Some.Release-GRP", dest));
}

TEST_F(PreTest, OwnerSpecificationSplitsAtTheFirstColon) {
  site.WriteSettings(site.own_dir, site.to_dir, 0, "admin:", "777");
  Pre("pre Some.Release-GRP");
  ASSERT_FALSE(site.ownership.calls.empty());
  EXPECT_EQ(site.ownership.calls[0], (OwnershipCall{"777", "admin:", "",
                                                    Join(site.to_dir, "Some.Release-GRP")}));
}

TEST_F(PreTest, SpaceCheckRefusesOrReportsItsFailure) {
  FailingFileSystem tight(*site.fs, 0);
  tight.free_bytes = 5;  // the release holds six bytes
  Platform platform = site.With(tight);
  site.Request("GRP", 0, site.own_dir, "pre Some.Release-GRP");
  RunOnce(platform);
  EXPECT_EQ(site.Reply("pre"), Reply("Not enough diskspace available to pre."));
  tight.free_bytes.reset();
  tight.fail_op = "FreeBytes";
  RunOnce(platform);
  EXPECT_EQ(site.Reply("pre"), Reply("Error in setup, please notify a siteop."));
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "Some.Release-GRP")), release_tree);
}

TEST_F(PreTest, AMissingControlIsReportedBesideTheSuccess) {
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  const std::string success = std::string("Some.Release-GRP was successfully pre'd to:\r\n") + dest;
  const std::string owner_line = "\r\nOwner and permissions could not be set, please notify a siteop.";

  site.ownership.available = false;
  EXPECT_EQ(Pre("pre Some.Release-GRP"), Reply(success + owner_line));
  EXPECT_NE(ReadFile(site.announce), "<missing>");
  EXPECT_EQ(DescribeTree(dest), release_tree);
}

TEST_F(PreTest, OneFailedOwnerCallAndAMissingAnnounceFile) {
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  site.ownership.fail_call = 1;
  WriteFile(site.SettingsPath(),
            ReadFile(site.SettingsPath()) + "announcefile\r\n");
  EXPECT_EQ(Pre("pre Some.Release-GRP"),
            Reply("Some.Release-GRP was successfully pre'd to:\r\n" + dest +
                  "\r\nOwner and permissions could not be set, please notify a siteop."
                  "\r\nThe announcement could not be written, please notify a siteop."));
  EXPECT_EQ(site.ownership.calls.size(), 6u);
  EXPECT_EQ(DescribeTree(dest), release_tree);
}

TEST_F(PreTest, AcrossFileSystemsTheReleaseIsCopiedAndTheSourceRemoved) {
  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(test::OtherDeviceBase());
  site.WriteSettings(site.own_dir, other.path(), 2);
  site.clock.Set({2026, 12, 7});
  MakeFolders(other / "12-07");
  const std::string dest = Join(other / "12-07", "Some.Release-GRP");
  EXPECT_EQ(Pre("pre Some.Release-GRP"), Success("Some.Release-GRP", dest));
  EXPECT_EQ(DescribeTree(dest), release_tree);
  EXPECT_FALSE(Exists(Join(site.own_dir, "Some.Release-GRP")));
  EXPECT_EQ(site.ownership.calls.size(), 6u);
}

}  // namespace
}  // namespace ovpre
