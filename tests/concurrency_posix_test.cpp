// Many requests at the same moment, as a busy server starts them: separate
// processes of the built program, all held at a gate and released together.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "config/settings.h"
#include "request/reply.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Join;
using test::kKeepOwner;
using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

/// Forks one child per argument; each waits at a shared gate (a pipe that
/// the parent closes once all are forked) and then execs `exe` with its
/// argument. Returns each child's exit status, -1 when it did not exit
/// normally.
std::vector<int> RunAllAtOnce(const std::string& exe, const std::vector<std::string>& args) {
  int gate[2];
  if (pipe(gate) != 0) return {};
  std::vector<pid_t> children;
  for (const std::string& arg : args) {
    char* const argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(arg.c_str()),
                          nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char byte;
      // Returns at end of file, that is when the parent opens the gate.
      while (read(gate[0], &byte, 1) < 0) {
      }
      execv(exe.c_str(), argv);
      _exit(127);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  std::vector<int> statuses;
  for (const pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return statuses;
}

std::string Tag(int i) { return "t" + std::to_string(i); }

std::string ReplyFor(const SiteFixture& site, const std::string& command, int i) {
  return ReadFile(Join(Join(site.raiden_dir, "Output"), "site-" + command + "." + Tag(i)));
}

std::string Reply(const std::string& message) {
  return std::string(kReplyBanner) + "\r\n" + message + "\r\n";
}

/// A release of a few files and a subfolder, with contents that name it.
void MakeRelease(const std::string& folder, const std::string& name, int files = 3) {
  for (int f = 0; f < files; ++f) {
    WriteFile(Join(folder, name + "/f" + std::to_string(f) + ".rar"), name + "-" + std::to_string(f));
  }
  WriteFile(Join(folder, name + "/Sample/s.avi"), name + "-sample");
}

class ConcurrencyTest : public ::testing::Test {
 protected:
  ConcurrencyTest() {
    WriteFile(exe, ReadFile(OVPRE_EXE));
    chmod(exe.c_str(), 0755);
  }

  void ExpectAllExitedCleanly(const std::vector<int>& statuses, std::size_t count) {
    ASSERT_EQ(statuses.size(), count);
    for (const int status : statuses) EXPECT_EQ(status, 0);
  }

  TempFolder temp;
  SiteFixture site{temp.path()};
  std::string exe = Join(site.exe_dir, "ovpre");
};

TEST_F(ConcurrencyTest, PreaddsAtOnceAppendWholeBlocksThatAllLoad) {
  constexpr int kCount = 24;
  site.WriteSettings(site.own_dir, site.to_dir);
  const std::string before = ReadFile(site.SettingsPath());
  std::vector<std::string> args;
  for (int i = 0; i < kCount; ++i) {
    const std::string n = std::to_string(i);
    args.push_back("x|ADM|0|" + Tag(i) + "|/d|preadd G" + n + "*/up/" + n + "*/to/" + n +
                   "*1*user" + n + ":grp*66" + n);
  }
  ExpectAllExitedCleanly(RunAllAtOnce(exe, args), kCount);

  const std::string after = ReadFile(site.SettingsPath());
  ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the old settings changed";
  // What was added is 24 blocks of six lines, each block one group's, whole
  // and in its own order.
  std::vector<std::string> lines;
  std::size_t start = before.size();
  for (std::size_t end; (end = after.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(after.substr(start, end - start));
  }
  EXPECT_EQ(start, after.size()) << "text after the last line end";
  ASSERT_EQ(lines.size(), 6u * kCount);
  for (std::size_t b = 0; b < lines.size(); b += 6) {
    const std::string n = lines[b].substr(lines[b].find('G') + 1);
    const std::vector<std::string> block(lines.begin() + b, lines.begin() + b + 6);
    EXPECT_EQ(block, (std::vector<std::string>{"group=G" + n, "owndir=/up/" + n, "todir=/to/" + n,
                                               "dated=1", "newowner=user" + n + ":grp",
                                               "newperms=66" + n}));
  }

  const Settings loaded = ParseSettings(after);
  EXPECT_EQ(loaded.Groups.size(), 1u + kCount);
  for (int i = 0; i < kCount; ++i) {
    const std::string n = std::to_string(i);
    const PreGroup* group = loaded.FindGroup("G" + n);
    ASSERT_NE(group, nullptr) << "G" << n << " does not load";
    EXPECT_EQ(group->ToDir, "/to/" + n);
    EXPECT_EQ(group->NewPerms, "66" + n);
    EXPECT_EQ(ReplyFor(site, "preadd", i),
              Reply("Sucessfully added G" + n + " as a pre group.\r\nName: G" + n +
                    "\r\nHome folder: /up/" + n + "\r\nPre to: /to/" + n +
                    "\r\nDate foramt: 1\r\nOwner user & group: user" + n +
                    ":grp\r\nNew Permissions after pre: 66" + n));
  }
}

TEST_F(ConcurrencyTest, PreaddsOfOneGroupAtOnceAddItOnce) {
  constexpr int kCount = 12;
  site.WriteSettings(site.own_dir, site.to_dir);
  // A long settings file keeps each run inside its check-then-append for a
  // while, so that unguarded runs would overlap there.
  std::string filler;
  for (int i = 0; i < 4000; ++i) filler += "group=Filler" + std::to_string(i) + "\r\ntodir=/x\r\n";
  WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + filler);
  const std::string before = ReadFile(site.SettingsPath());
  std::vector<std::string> args;
  for (int i = 0; i < kCount; ++i) {
    args.push_back("x|ADM|0|" + Tag(i) + "|/d|preadd Twin*/up*/to*0*u:g*666");
  }
  ExpectAllExitedCleanly(RunAllAtOnce(exe, args), kCount);

  // The duplicate check is made under the file's lock, against the file as
  // it is then: one run adds the group, the others see it there.
  const std::string after = ReadFile(site.SettingsPath());
  ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the old settings changed";
  EXPECT_EQ(after.substr(before.size()),
            "group=Twin\r\nowndir=/up\r\ntodir=/to\r\ndated=0\r\nnewowner=u:g\r\nnewperms=666\r\n");
  int added = 0;
  for (int i = 0; i < kCount; ++i) {
    const std::string reply = ReplyFor(site, "preadd", i);
    if (reply == Reply("Group Twin already exists!")) continue;
    EXPECT_EQ(reply.find(std::string(kReplyBanner) + "\r\nSucessfully added Twin"), 0u) << reply;
    ++added;
  }
  EXPECT_EQ(added, 1);
}

/// Pre's 16 releases of one group at once into `to_dir`.
void PreSixteenAtOnce(SiteFixture& site, const std::string& exe, const std::string& to_dir) {
  constexpr int kCount = 16;
  site.WriteSettings(site.own_dir, to_dir, 0, kKeepOwner);
  std::vector<std::string> args;
  std::vector<std::string> trees;
  for (int i = 0; i < kCount; ++i) {
    const std::string release = "Rel." + std::to_string(i) + "-GRP";
    MakeRelease(site.own_dir, release);
    trees.push_back(DescribeTree(Join(site.own_dir, release)));
    args.push_back("x|GRP|0|" + Tag(i) + "|" + site.own_dir + "|pre " + release);
  }
  const std::vector<int> statuses = RunAllAtOnce(exe, args);
  ASSERT_EQ(statuses.size(), static_cast<std::size_t>(kCount));
  std::vector<std::string> announcements;
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(statuses[i], 0);
    const std::string release = "Rel." + std::to_string(i) + "-GRP";
    const std::string dest = Join(to_dir, release);
    EXPECT_EQ(ReplyFor(site, "pre", i),
              Reply(release + " was successfully pre'd to:\r\n" + dest));
    EXPECT_EQ(DescribeTree(dest), trees[i]) << release;
    announcements.push_back(">> \x02TestSite\x02 << Pre: \x02" + release +
                            " \x02" "from\x02 GRP\r\n>> Grab it from " + dest + "\r\n");
  }
  EXPECT_EQ(DescribeTree(site.own_dir), "");
  // Each run replaced the announce file whole: the last one is intact.
  const std::string last = ReadFile(site.announce);
  EXPECT_NE(std::find(announcements.begin(), announcements.end(), last), announcements.end())
      << last;
}

TEST_F(ConcurrencyTest, SixteenPresAtOnceEachMoveTheirReleaseAndAnswer) {
  PreSixteenAtOnce(site, exe, site.to_dir);
}

TEST_F(ConcurrencyTest, SixteenPresAtOnceAcrossFileSystems) {
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  PreSixteenAtOnce(site, exe, other.path());
}

/// Two runs pre the same release at once, round after round: exactly one
/// moves it, the other is refused, and the tree ends up whole in one place.
void RaceForOneRelease(SiteFixture& site, const std::string& exe, const std::string& to_dir) {
  site.WriteSettings(site.own_dir, to_dir, 0, kKeepOwner);
  const std::string release = "Same.Rel-GRP";
  const std::string dest = Join(to_dir, release);
  const std::string success = Reply(release + " was successfully pre'd to:\r\n" + dest);
  const std::vector<std::string> refusals = {
      Reply("Unable to find: " + release),
      Reply("Error in setup, please notify a siteop."),
      Reply("Error moving folder -- the destination path probably\r\nalready exists."),
  };
  for (int round = 0; round < 8; ++round) {
    MakeRelease(site.own_dir, release, 40);
    const std::string tree = DescribeTree(Join(site.own_dir, release));
    const std::string arg = "|" + site.own_dir + "|pre " + release;
    const std::vector<int> statuses =
        RunAllAtOnce(exe, {"x|GRP|0|" + Tag(0) + arg, "x|GRP|0|" + Tag(1) + arg});
    ASSERT_EQ(statuses, (std::vector<int>{0, 0}));

    EXPECT_EQ(DescribeTree(dest), tree) << "round " << round;
    EXPECT_FALSE(test::Exists(Join(site.own_dir, release))) << "round " << round;
    const std::string first = ReplyFor(site, "pre", 0);
    const std::string second = ReplyFor(site, "pre", 1);
    EXPECT_EQ((first == success) + (second == success), 1) << first << second;
    const std::string& other = first == success ? second : first;
    EXPECT_NE(std::find(refusals.begin(), refusals.end(), other), refusals.end()) << other;

    // Clear the stage for the next round.
    std::filesystem::remove_all(dest);
  }
}

TEST_F(ConcurrencyTest, TwoPresOfOneReleaseAtOnceMoveItOnce) {
  RaceForOneRelease(site, exe, site.to_dir);
}

TEST_F(ConcurrencyTest, TwoPresOfOneReleaseAtOnceAcrossFileSystemsCopyItOnce) {
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  RaceForOneRelease(site, exe, other.path());
}

}  // namespace
}  // namespace ovpre
