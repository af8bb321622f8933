#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/entry.h"
#include "commands/pre.h"
#include "config/settings_file.h"
#include "text/text.h"
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

/// The tab-separated fields of the last line of a log text.
std::vector<std::string> LastLogFields(const std::string& log) {
  if (log.size() < 2) return {};
  std::string line = log.substr(0, log.size() - 2);
  line = line.substr(line.rfind('\n') + 1);  // all of it when there is one line
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
    fields.push_back(line.substr(from, tab - from));
  }
  fields.push_back(line.substr(from));
  return fields;
}

class PreTest : public ::testing::Test {
 protected:
  /// Makes the first rename say that the volumes differ, so that the pre
  /// copies.
  static void RefuseTheFirstRenameAsAcrossVolumes(FailingFileSystem* fs) {
    fs->fail_op = "Folder::MoveTo";
    fs->fail_op_times = 1;
    fs->injected = FsStatus::kCrossDevice;
  }
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

  /// Adds the log key to the settings file.
  void UseLog(const std::string& value) {
    WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "logfile=" + value + "\r\n");
  }

  std::string Success(const std::string& release, const std::string& destination) {
    return Reply(release + " was successfully pre'd to:\r\n" + destination);
  }

  TempFolder temp;
  SiteFixture site{temp.path()};
  const std::string log = Join(temp.path(), "ovpre.log");
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

TEST_F(PreTest, OwnFolderMustBeTheSameFolderNotOnlyTheSameText) {
  // The texts differ in case only; whether they name one folder is the file
  // system's matter (one on Windows, two on Linux).
  site.WriteSettings(site.own_dir + "X", site.to_dir);
  MakeFolders(site.own_dir + "X");
  WriteFile(Join(site.own_dir + "x", "R" + test::Sep() + "f"), "f");
  FileId upper, lower;
  ASSERT_EQ(site.fs->IdentityOf(site.own_dir + "X", &upper), FsStatus::kOk);
  ASSERT_EQ(site.fs->IdentityOf(site.own_dir + "x", &lower), FsStatus::kOk);
  site.Request("GRP", 0, site.own_dir + "x", "pre R");
  RunOnce(site.platform);
  if (upper == lower) {
    EXPECT_EQ(site.Reply("pre"), Success("R", Join(site.to_dir, "R")));
  } else {
    EXPECT_EQ(site.Reply("pre"), Reply("You must be on your own directory\r\nto pre a release."));
    EXPECT_EQ(DescribeTree(Join(site.own_dir + "x", "R")), "f:f\n");
  }
}

TEST_F(PreTest, AnOwnFolderThatIsThereButCannotBeResolvedIsASetupError) {
  UseLog(log);
  FailingFileSystem fs(*site.fs, 0);
  int resolves = 0;
  // The first folder resolved is the reply folder; the next is the caller's.
  fs.before = [&](int) {
    const bool resolve = fs.current_op == "ResolveFolder";
    fs.fail_op = resolve && ++resolves == 2 ? "ResolveFolder" : "";
  };
  Platform platform = site.With(fs);
  for (const FsStatus::Code code : {FsStatus::kFailed, FsStatus::kDenied, FsStatus::kNotFound}) {
    fs.injected = FsStatus(code, 1, "cause text");
    resolves = 0;
    site.Request("GRP", 0, site.own_dir, "pre Some.Release-GRP");
    RunOnce(platform);
    const bool setup = code != FsStatus::kNotFound;
    EXPECT_EQ(site.Reply("pre"), Reply(setup ? "Error in setup, please notify a siteop."
                                             : "You must be on your own directory\r\nto pre a release."));
    if (setup) {
      EXPECT_EQ(LastLogFields(ReadFile(log)).back(), "resolve own folder: 1 cause text");
    }
  }
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "Some.Release-GRP")), release_tree);
}

TEST_F(PreTest, FoldersThatAreNotSetUpMoveNothing) {
  const std::string setup = Reply("Error in setup, please notify a siteop.");
  const std::string not_own = Reply("You must be on your own directory\r\nto pre a release.");
  const std::string missing = Join(site.root, "gone");
  const struct {
    std::string own_dir, to_dir, current, reply;
  } cases[] = {
      // Empty "owndir=" and "todir=" lines do not load: the folders stay empty.
      {"", site.to_dir, "", setup},
      {site.own_dir, "", site.own_dir, setup},
      {"up", site.to_dir, "up", setup},
      {site.own_dir, "mp3", site.own_dir, setup},
      // The text comparison comes first, the folder's identity last.
      {"", site.to_dir, site.own_dir, not_own},
      {missing, site.to_dir, missing, not_own},
  };
  const auto trees = [&] { return DescribeTree(site.own_dir) + DescribeTree(site.to_dir); };
  const std::string before = trees();
  for (const auto& c : cases) {
    site.WriteSettings(c.own_dir, c.to_dir);
    site.Request("GRP", 0, c.current, "pre Some.Release-GRP");
    RunOnce(site.platform);
    EXPECT_EQ(site.Reply("pre"), c.reply) << c.own_dir << " " << c.to_dir << " " << c.current;
  }
  EXPECT_EQ(trees(), before);
  EXPECT_TRUE(site.ownership.calls.empty());
}

TEST(IsAbsoluteFolder, RootOnPosixDriveOrShareOnWindows) {
  for (const char* path : {"/", "/ftp/pre"}) EXPECT_TRUE(IsAbsoluteFolder(path, '/')) << path;
  for (const char* path : {"", "ftp", "./ftp", "\\srv\\share\\"}) {
    EXPECT_FALSE(IsAbsoluteFolder(path, '/')) << path;
  }
  for (const char* path : {"c:\\", "E:\\ftp\\pre", "\\\\srv\\share\\", "\\\\srv\\share\\pre",
                           "\\\\?\\Volume{0a1b2c3d-4e5f-6789-abcd-ef0123456789}\\",
                           "\\\\?\\volume{0A1B2C3D-4E5F-6789-ABCD-EF0123456789}\\ftp\\pre"}) {
    EXPECT_TRUE(IsAbsoluteFolder(path, '\\')) << path;
  }
  for (const char* path : {"", "\\", "\\ftp", "c:", "c:ftp", "1:\\ftp", "ftp\\pre", "/ftp",
                           "\\\\srv", "\\\\srv\\share", "\\\\\\share\\", "\\\\srv\\\\x",
                           "\\\\.\\c:\\", "\\\\?\\c:\\",
                           "\\\\?\\Volume{0a1b2c3d-4e5f-6789-abcd-ef0123456789}",
                           "\\\\.\\Volume{0a1b2c3d-4e5f-6789-abcd-ef0123456789}\\",
                           "\\\\?\\Volume{0a1b2c3d-4e5f-6789-abcd-ef012345678}\\x",
                           "\\\\?\\Volume{0a1b2c3d+4e5f-6789-abcd-ef0123456789}\\",
                           "\\\\?\\Volume{0a1b2c3d-4e5f-6789-abcd-ef012345678g}\\"}) {
    EXPECT_FALSE(IsAbsoluteFolder(path, '\\')) << path;
  }
}

TEST_F(PreTest, RefusesNamesThatReachOutsideTheRelease) {
  MakeRelease("Inner");
  const auto trees = [&] { return DescribeTree(site.own_dir) + DescribeTree(site.to_dir); };
  const std::string before = trees();
  for (const std::string& name : std::vector<std::string>{"..", ".", " ", "  ", "../GRP", "Inner/..", "a\\b", "a:b", "a*", "a?", "a\"b", "a<b",
        "a>b", "Rel.", "Rel ",
        // Device names, which Windows takes as the device in any folder.
        "CON", "nul.Rel", "Aux", "prn.x.y", "COM1", "lpt9.nfo", "nul .x"}) {
    EXPECT_EQ(Pre("pre " + name), Reply("Invalid release name: " + name)) << name;
  }
  // COM and LPT with a superscript 1, 2 or 3 are devices too (the reply
  // spells them in the system's code page).
  for (const std::string name : {"COM\xC2\xB9", "lpt\xC2\xB3.nfo", "Com\xC2\xB2 .x"}) {
    EXPECT_NE(Pre("pre " + name).find("Invalid release name: "), std::string::npos) << name;
  }
  // Control characters are shown as "?", never written into the reply.
  EXPECT_EQ(Pre("pre a\tb"), Reply("Invalid release name: a?b"));
  EXPECT_EQ(Pre("pre \x02R\r\nx\x7f"), Reply("Invalid release name: ?R??x?"));
  // So are C1 and bidi controls, zero-width characters and bytes that are
  // not UTF-8 (a stray one, an overlong "/").
  EXPECT_EQ(Pre("pre a\xC2\x85" "b\xE2\x80\xAE" "c\xE2\x80\x8B" "d\xFF" "e\xC0\xAF"),
            Reply("Invalid release name: a?b?c?d?e??"));
  EXPECT_EQ(trees(), before);
  // Names that only look like devices are releases.
  for (const std::string name :
       {"CONsole", "COM0", "LPT10", "nul-Rel", "Com1x", "COM\xC2\xB9x", "COM\xC2\xB4"}) {
    MakeRelease(name);
    Pre("pre " + name);
    EXPECT_EQ(DescribeTree(Join(site.to_dir, name)), release_tree) << name;
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
  // Its own name, typed in any case, is the release, and is published and
  // announced as the folder spells it.
  fs.own_name = "SOMERE~1";
  EXPECT_EQ(pre("somere~1"), Success("SOMERE~1", Join(site.to_dir, "SOMERE~1")));
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

TEST_F(PreTest, TodaysDateFolderIsMadeWhenMissingAndOnlyAFolderOfTheTargetsOwnerIsUsed) {
  site.WriteSettings(site.own_dir, site.to_dir, 1);
  const std::string date = Join(site.to_dir, "0102");
  const std::string elsewhere = Join(site.to_dir, "elsewhere");
  MakeFolders(elsewhere);
  const struct {
    std::string what;
    std::function<void()> plant;
    bool refused;
  } cases[] = {
      {"missing", [] {}, false},
      {"a file", [&] { WriteFile(date, "theirs"); }, true},
#ifndef _WIN32
      {"a link to a folder", [&] { ASSERT_EQ(symlink(elsewhere.c_str(), date.c_str()), 0); }, true},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.plant();
    if (c.refused) {
      EXPECT_EQ(Pre("pre Some.Release-GRP"), Reply("Error in setup, please notify a siteop."));
      EXPECT_EQ(DescribeTree(Join(site.own_dir, "Some.Release-GRP")), release_tree);
      EXPECT_EQ(DescribeTree(elsewhere), "");
      std::remove(date.c_str());
      continue;
    }
    EXPECT_EQ(Pre("pre Some.Release-GRP"), Success("Some.Release-GRP", Join(date, "Some.Release-GRP")));
    EXPECT_EQ(DescribeTree(Join(date, "Some.Release-GRP")), release_tree);
#ifndef _WIN32
    struct stat made {};
    struct stat target {};
    ASSERT_EQ(stat(date.c_str(), &made), 0);
    ASSERT_EQ(stat(site.to_dir.c_str(), &target), 0);
    EXPECT_EQ(made.st_mode, target.st_mode);
    EXPECT_EQ(made.st_uid, target.st_uid);
#endif
    test::RemoveTree(date);
    MakeRelease("Some.Release-GRP");
  }
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
  // A grant the control refuses creates no control and makes no call.
  UseLog(log);
  site.ownership.calls.clear();
  site.ownership.refusal = "not for the control";
  MakeRelease("R2");
  EXPECT_EQ(Pre("pre R2"), Reply("R2 was successfully pre'd to:\r\n" + Join(site.to_dir, "R2") +
                                 "\r\nOwner and permissions could not be set, please notify a "
                                 "siteop."));
  EXPECT_EQ(site.ownership.created, 1);
  EXPECT_TRUE(site.ownership.calls.empty());
  EXPECT_EQ(LastLogFields(ReadFile(log)).back(), "set ownership: not for the control");
}

TEST_F(PreTest, OnlyACopyNeedsRoomAndItsCheckIsExact) {
  // The release holds six bytes. A rename needs no room at all; a copy
  // (the rename refused as across volumes) needs the release's size.
  const struct {
    bool across;
    uint64_t free;
    const char* fail_op;
    std::string reply;  // "" for success
  } cases[] = {
      {false, 0, "", ""},
      {true, 6, "", ""},
      {true, 5, "", "Not enough diskspace available to pre."},
      {true, 6, "FreeBytes", "Error in setup, please notify a siteop."},
  };
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.across) + " " + std::to_string(c.free) + " " + c.fail_op);
    FailingFileSystem across(*site.fs, 0);
    if (c.across) RefuseTheFirstRenameAsAcrossVolumes(&across);
    FailingFileSystem tight(across, 0);
    tight.free_bytes = c.free;
    tight.fail_op = c.fail_op;
    Platform platform = site.With(tight);
    site.Request("GRP", 0, site.own_dir, "pre Some.Release-GRP");
    RunOnce(platform);
    EXPECT_EQ(site.Reply("pre"), c.reply.empty() ? Success("Some.Release-GRP", dest) : Reply(c.reply));
    if (!c.reply.empty()) continue;
    EXPECT_EQ(DescribeTree(dest), release_tree);
    test::RemoveTree(dest);
    MakeRelease("Some.Release-GRP");
  }
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

TEST_F(PreTest, AnAnnounceLogThatCannotBeWrittenIsReportedAsTheAnnounceFileIs) {
  UseLog(log);
  WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "announcelog=" +
                                     Join(Join(temp.path(), "none"), "a.log") + "\r\n");
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  EXPECT_EQ(Pre("pre Some.Release-GRP"),
            Reply("Some.Release-GRP was successfully pre'd to:\r\n" + dest +
                  "\r\nThe announcement could not be written, please notify a siteop."));
  EXPECT_NE(ReadFile(site.announce), "<missing>");
  EXPECT_EQ(LastLogFields(ReadFile(log)).back().substr(0, 14), "announce log: ");
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

TEST_F(PreTest, EachKnownCauseOfAFailedMoveAddsItsReasonAndIsLogged) {
  using Code = FsStatus::Code;
  const struct {
    const char* op;   // the operation that fails; "" for none
    Code code;
    bool across;      // the rename is refused across devices, so it copies
    bool no_target;   // the target folder does not exist
    std::string reason;
    std::string failure;  // the start of the log's failure field
  } cases[] = {
      {"Folder::MoveTo", FsStatus::kNoSpace, false, false,
       "Reason: not enough space on the target drive.", "rename: 28 cause text"},
      {"Folder::CopyFileTo", FsStatus::kNoSpace, true, false,
       "Reason: not enough space on the target drive.", "copy: 28 cause text"},
      {"Folder::Make", FsStatus::kDenied, false, false, "Reason: access was denied.",
       "claim work entry: 28 cause text"},
      {"Folder::MoveTo", FsStatus::kDenied, false, false, "Reason: access was denied.", "rename: "},
      {"Folder::CopyFileTo", FsStatus::kInUse, true, false, "Reason: a file in the release is in use.",
       "copy: "},
      {"Folder::CopyFileTo", FsStatus::kNotCopyable, true, false,
       "Reason: the release holds entries that cannot be copied to another drive.", "copy: "},
      {"", FsStatus::kOk, false, true, "Reason: the target folder does not exist.", "open target: "},
      // Not found while the target folder is there (the source went away):
      // no reason is guessed; nor for a cause without a name.
      {"Folder::MoveTo", FsStatus::kNotFound, false, false, "", "rename: 28 cause text"},
      {"Folder::MoveTo", FsStatus::kFailed, false, false, "", "rename: "},
  };
  UseLog(log);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.code));
    site.WriteSettings(site.own_dir, c.no_target ? Join(site.to_dir, "none") : site.to_dir);
    UseLog(log);
    FailingFileSystem across(*site.fs, 0);
    if (c.across) RefuseTheFirstRenameAsAcrossVolumes(&across);
    FailingFileSystem failing(across, 0);
    failing.fail_op = c.op;
    failing.injected = FsStatus(c.code, 28, "cause text");
    Platform platform = site.With(failing);
    site.Request("GRP", 0, site.own_dir, "pre Some.Release-GRP");
    RunOnce(platform);
    const std::string reason = c.reason.empty() ? "" : "\r\n" + c.reason;
    EXPECT_EQ(site.Reply("pre"), Reply(kMoveFailed + reason));
    EXPECT_EQ(DescribeTree(Join(site.own_dir, "Some.Release-GRP")), release_tree);
    const std::vector<std::string> fields = LastLogFields(ReadFile(log));
    ASSERT_EQ(fields.size(), 11u);
    // A file a writer holds turns the copy down before anything changed.
    EXPECT_EQ(fields[4], c.code == FsStatus::kInUse && c.across ? "refused" : "failed");
    EXPECT_EQ(fields[5], "Error moving folder -- the destination path probably");
    EXPECT_EQ(fields[6], "-");  // the release did not go
    EXPECT_EQ(fields[10].substr(0, c.failure.size()), c.failure);
  }
}

TEST(MoveFailureReason, ARefusedCopyOfAChangingReleaseSaysSo) {
  MoveReport report;
  report.failure = FsStatus::kFailed;
  report.changed_while_copying = true;
  EXPECT_EQ(MoveFailureReason(report, false),
            "The release changed while it was being copied; try again when the upload has "
            "finished.");
  report.changed_while_copying = false;
  report.failure = FsStatus::kExists;
  EXPECT_EQ(MoveFailureReason(report, true), "");
  // Renamed into the work folder and stuck there: where it waits, whatever failed.
  report.left_at = "C:\\mp3\\.ovpre-work\\Rel\\release";
  EXPECT_EQ(MoveFailureReason(report, true),
            "Reason: the release waits in the target's work folder, please notify a siteop.");
}

TEST_F(PreTest, LogsOneLinePerRequest) {
  UseLog(log);
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  Pre("pre Some.Release-GRP");
  Pre("pre Missing");
  MakeRelease("R2");
  site.ownership.available = false;
  Pre("pre R2");
  site.Request("GRP", 0, site.own_dir, "preadd New*" + site.own_dir + "*" + site.to_dir + "*0*u:g*7");
  RunOnce(site.platform);
  site.Request("GRP", 1, site.own_dir, "preadd Other*a*b*0*u:g*7");
  RunOnce(site.platform);
  site.Request("GRP", 0, site.own_dir, "site help");
  RunOnce(site.platform);
  const std::string at = "2003-01-02T12:34:56\t";
  EXPECT_EQ(ReadFile(log),
            at + "pre\tGRP\tSome.Release-GRP\tok\tSome.Release-GRP was successfully pre'd "
                 "to:\tmoved\t-\t-\t250\r\n" +
            at + "pre\tGRP\tMissing\trefused\tUnable to find: Missing\t-\t-\t-\t250\r\n" +
            at + "pre\tGRP\tR2\tfailed\tR2 was successfully pre'd to:\tmoved\t-\t-\t250"
                 "\tcreate control: HRESULT 0x80040154 Class not registered\r\n" +
            at + "preadd\tGRP\tNew\tok\tSucessfully added New as a pre group.\t-\t-\t-\t250\r\n" +
            at + "preadd\tGRP\tOther\trefused\tSorry, you do not have access to this "
                 "command.\t-\t-\t-\t250\r\n");
}

TEST_F(PreTest, WithoutALogKeyNothingIsLoggedAndAFailedLogChangesNothing) {
  const auto operations = [&](const std::string& fail_op) {
    FailingFileSystem counting(*site.fs, 0);
    counting.fail_op = fail_op;
    Platform platform = site.With(counting);
    site.Request("GRP", 0, site.own_dir, "pre Missing");
    RunOnce(platform);
    return counting.operations();
  };
  const int without = operations("");
  UseLog(" ");  // an empty value is no log file either
  EXPECT_EQ(operations(""), without);
  EXPECT_EQ(ReadFile(log), "<missing>");
  UseLog(log);
  EXPECT_EQ(operations(""), without + 2);  // the lock, the append
  EXPECT_EQ(ReadFile(log).substr(0, 19), "2003-01-02T12:34:56");

  // The log cannot be written: the pre goes on exactly as without it.
  const std::string before = ReadFile(log);
  FailingFileSystem broken(*site.fs, 0);
  broken.fail_op = "AppendText";
  Platform platform = site.With(broken);
  site.Request("GRP", 0, site.own_dir, "pre Some.Release-GRP");
  RunOnce(platform);
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  EXPECT_EQ(site.Reply("pre"), Success("Some.Release-GRP", dest));
  EXPECT_EQ(DescribeTree(dest), release_tree);
  EXPECT_EQ(site.ownership.calls.size(), 6u);
  EXPECT_NE(ReadFile(site.announce), "<missing>");
  EXPECT_EQ(ReadFile(log), before);
}

TEST_F(PreTest, ALockHeldByAnotherRunCostsARequestFiveSecondsInAllAndChangesNothingMore) {
  UseLog(log);
  WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "announcelog=a.log\r\n");
  const std::string settings_text = ReadFile(site.SettingsPath());
  std::unique_ptr<HeldLock> held;
  ASSERT_EQ(site.fs->TryLock(LockPath(site.platform), &held), FsStatus::kOk);
  // The release has moved when the announce log's lock is given up: the
  // success stands, with the note of the step that gave up.
  const std::optional<Settings> settings = LoadSettings(site.platform);
  site.Request("GRP", 0, site.own_dir, "pre Some.Release-GRP");
  RequestRecord record;
  RunPre(site.platform, *settings, ParseSiteRequest(site.process.raw), &record);
  const uint64_t slept = site.clock.slept;
  EXPECT_GT(slept, 0u);
  EXPECT_LE(slept, LockBudget::kMilliseconds);
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  EXPECT_EQ(site.Reply("pre"), Success("Some.Release-GRP", dest + "\r\nThe announcement could "
                                                                  "not be written, please notify a siteop."));
  EXPECT_EQ(record.failures, std::vector<std::string>{"lock held: " + LockPath(site.platform)});
  // The budget is the request's: a preadd in the same run does not wait
  // again, writes nothing, and says so.
  site.Request("GRP", 0, site.own_dir, "preadd New*" + site.own_dir + "*" + site.to_dir + "*0*u:g*7");
  RunOnce(site.platform);
  EXPECT_EQ(site.Reply("preadd"), Reply("Error in setup, please notify a siteop."));
  EXPECT_EQ(site.clock.slept, slept);
  EXPECT_EQ(ReadFile(site.SettingsPath()), settings_text);
  EXPECT_EQ(ReadFile(log), "<missing>");
}

/// A pre of group GRP with "sfvcheck=1" and the release "R", whose files
/// are given as (path with "/", content).
class SfvPreTest : public PreTest {
 protected:
  SfvPreTest() {
    WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "sfvcheck=1\r\n");
  }
  void MakeR(const std::vector<std::pair<std::string, std::string>>& files) {
    test::RemoveTree(release);
    MakeFolders(release);
    for (const auto& [path, content] : files) WriteFile(Join(release, Native(path)), content);
  }
  static std::string Native(std::string path) {
    std::replace(path.begin(), path.end(), '/', test::Sep()[0]);
    return path;
  }
  const std::string release = Join(site.own_dir, "R");
  const std::string dest = Join(site.to_dir, "R");
};

// CRC-32 of "abc" is 352441C2, of "123456789" CBF43926, of "" 00000000.
TEST_F(SfvPreTest, RefusesAReleaseThatDoesNotMatchItsSfvFilesAndMovesNothing) {
  const std::string header = "Release is incomplete, nothing was moved:\r\n";
  std::string twelve_listed;
  std::string twelve_lines;
  for (int i = 10; i < 22; ++i) {
    twelve_listed += "f" + std::to_string(i) + ".rar 00000000\r\n";
    if (i < 20) twelve_lines += "missing: f" + std::to_string(i) + ".rar\r\n";
  }
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    std::string refusal;  // empty: the pre goes through
  } cases[] = {
      {"complete, with unlisted files and a folder without an sfv file",
       {{"r.sfv", "; tool\r\na.rar 352441C2\r\nb.r00 cbf43926\r\n"}, {"a.rar", "abc"},
        {"b.r00", "123456789"}, {"r.nfo", "nfo"}, {"Sample/s.avi", "avi"}},
       ""},
      {"a missing file", {{"r.sfv", "a.rar 352441C2\nb.r00 CBF43926\n"}, {"b.r00", "123456789"}},
       header + "missing: a.rar\r\n1 missing, 0 bad of 2 files."},
      {"a damaged file", {{"R.SFV", "a.rar 352441C2\nb.r00 CBF43926\n"}, {"a.rar", "abc"},
        {"b.r00", "123456780"}},
       header + "bad crc: b.r00\r\n0 missing, 1 bad of 2 files."},
      {"several folders, in the order of the sfv files and their lines",
       {{"CD2/d.sfv", "z.mp3 352441C2\n"}, {"CD2/z.mp3", "abd"}, {"a.sfv", "a.rar 352441C2\n"},
        {"a.rar", "abc"}, {"CD1/c.sfv", "y.mp3 00000000\nx.mp3 00000000\n"},
        {"CD1/y.mp3", "!"}, {"Sample/s.avi", "avi"}},
       header + "bad crc: " + Native("CD1/y.mp3") + "\r\nmissing: " + Native("CD1/x.mp3") +
           "\r\nbad crc: " + Native("CD2/z.mp3") + "\r\n1 missing, 2 bad of 4 files."},
      {"more than ten problems", {{"r.sfv", twelve_listed}},
       header + twelve_lines + "... and 2 more\r\n12 missing, 0 bad of 12 files."},
      {"no sfv file anywhere", {{"a.rar", "abc"}, {"CD1/b.rar", "abc"}},
       header + "no .sfv file found."},
      {"an sfv file of comments only", {{"r.sfv", "; nothing\r\n"}, {"a.rar", "abc"}},
       header + "no .sfv file found."},
      {"a listed folder or a name leading out of the folder is no file; names are shown masked",
       {{"r.sfv", "Sub 00000000\n../a.rar 352441C2\nCD1/e 00000000\nx\ry 00000000\n"},
        {"Sub/e", ""}, {"CD1/e", ""}},
       header + "missing: Sub\r\nmissing: ../a.rar\r\nmissing: CD1/e\r\nmissing: x?y\r\n"
                "4 missing, 0 bad of 4 files."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeR(c.files);
    const std::string before = DescribeTree(release);
    if (c.refusal.empty()) {
      EXPECT_EQ(Pre("pre R"), Success("R", dest));
      EXPECT_EQ(DescribeTree(dest), before);
      test::RemoveTree(dest);
    } else {
      EXPECT_EQ(Pre("pre R"), Reply(c.refusal));
      EXPECT_EQ(DescribeTree(release), before);
      EXPECT_FALSE(Exists(dest));
    }
  }
  // Only the complete release was announced.
  EXPECT_NE(ReadFile(site.announce).find("Pre: \x02R \x02"), std::string::npos);
}

TEST_F(SfvPreTest, EachListedFileIsReadOnce) {
  MakeR({{"r.sfv", "a.rar 352441C2\na.rar 352441C2\n"}, {"s.sfv", "a.rar 352441C2\n"},
         {"a.rar", "abc"}});
  FailingFileSystem counting(*site.fs, 0);
  int reads = 0;
  counting.before = [&](int) { reads += counting.current_op == "Folder::ReadBlocks"; };
  Platform platform = site.With(counting);
  site.Request("GRP", 0, site.own_dir, "pre R");
  RunOnce(platform);
  EXPECT_EQ(site.Reply("pre"), Success("R", dest));
  EXPECT_EQ(reads, 3);  // two .sfv files, and the one file they name
  // A listed file that cannot be read is bad, never good.
  MakeR({{"r.sfv", "a.rar 352441C2\n"}, {"a.rar", "abc"}});
  FailingFileSystem unreadable(*site.fs, 0);
  reads = 0;
  unreadable.before = [&](int) {
    if (unreadable.current_op == "Folder::ReadBlocks" && ++reads == 2) {
      unreadable.fail_op = unreadable.current_op;
      unreadable.fail_op_times = 1;
    }
  };
  Platform failing = site.With(unreadable);
  RunOnce(failing);
  EXPECT_EQ(site.Reply("pre"), Reply("Release is incomplete, nothing was moved:\r\n"
                                     "bad crc: a.rar\r\n0 missing, 1 bad of 1 files."));
}

TEST_F(SfvPreTest, NamesMatchAsTheFileSystemMatchesThem) {
  MakeR({{"r.sfv", "A.RAR 352441C2\n"}, {"a.rar", "abc"}});
  const bool folds = site.fs->NamesIgnoreCase();
  EXPECT_EQ(Pre("pre R"), Reply(folds ? "R was successfully pre'd to:\r\n" + dest
                                      : "Release is incomplete, nothing was moved:\r\n"
                                        "missing: A.RAR\r\n1 missing, 0 bad of 1 files."));
}

TEST_F(SfvPreTest, TheLogHoldsTheCountsAndAnUnreadableSfvFileIsASetupError) {
  UseLog(log);
  MakeR({{"r.sfv", "a.rar 352441C2\nb.rar 00000000\n"}, {"a.rar", "abc"}});
  Pre("pre R");
  std::vector<std::string> fields = LastLogFields(ReadFile(log));
  ASSERT_GE(fields.size(), 6u);
  EXPECT_EQ(fields[4], "refused");
  EXPECT_EQ(fields[5], "Release is incomplete, nothing was moved: [sfv: 1 missing, 0 bad of 2 files.]");

  FailingFileSystem broken(*site.fs, 0);
  broken.fail_op = "Folder::ReadBlocks";
  Platform platform = site.With(broken);
  site.Request("GRP", 0, site.own_dir, "pre R");
  RunOnce(platform);
  EXPECT_EQ(site.Reply("pre"), Reply("Error in setup, please notify a siteop."));
  fields = LastLogFields(ReadFile(log));
  ASSERT_EQ(fields.size(), 11u);
  EXPECT_EQ(fields[4], "failed");
  EXPECT_EQ(fields[10], "sfv check: 0 injected failure");

  WriteFile(Join(release, "b.rar"), "");
  EXPECT_EQ(Pre("pre R"), Success("R", dest));
  fields = LastLogFields(ReadFile(log));
  EXPECT_EQ(fields[5], "R was successfully pre'd to: [sfv: 0 missing, 0 bad of 2 files.]");
}

}  // namespace
}  // namespace ovpre
