// Many requests at the same moment, as a busy server starts them: separate
// processes of the built program, all held at a gate and released together.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "fs/move_release.h"
#include "fs/work_entry.h"
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

/// Starts `exe` with `arg` in a child process and returns its id. The child
/// is killed if it still runs after twenty seconds, so a hang fails a test
/// instead of holding it.
pid_t Start(const std::string& exe, const std::string& arg) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(20);  // kept across exec
    char* const argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(arg.c_str()),
                          nullptr};
    execv(exe.c_str(), argv);
    _exit(127);
  }
  return pid;
}

/// Waits for the child `pid`: its exit status, -1 when it did not exit
/// normally.
int Finish(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
  for (const pid_t child : children) statuses.push_back(Finish(child));
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

/// Every name in `folder`, hidden ones included, sorted.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

/// The names in `folder` that a listing shows: those without a leading ".".
std::vector<std::string> VisibleNames(const std::string& folder) {
  std::vector<std::string> names = Names(folder);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& name) { return name[0] == '.'; }),
              names.end());
  return names;
}

/// The names in `target` but for the work folders, then whatever those
/// hold ("<work folder>/<name>"): what a pre leaves in a target.
std::vector<std::string> LeftIn(const std::string& target) {
  std::vector<std::string> left = VisibleNames(target);
  for (const std::string& name : Names(target)) {
    if (name.compare(0, std::strlen(kWorkFolderName), kWorkFolderName) != 0) continue;
    for (const std::string& inside : Names(Join(target, name))) left.push_back(name + "/" + inside);
  }
  return left;
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

  /// The request to pre `release` from the group's folder, answered under
  /// tag t0.
  std::string PreArg(const std::string& release) const {
    return "x|GRP|0|" + Tag(0) + "|" + site.own_dir + "|pre " + release;
  }

  TempFolder temp;
  SiteFixture site{temp.path()};
  std::string exe = Join(site.exe_dir, "ovpre");
};

TEST_F(ConcurrencyTest, PreaddsAtOnceAppendWholeBlocksThatAllLoad) {
  constexpr int kCount = 24;
  // Each group its own permissions, in octal digits: 600 to 627.
  const auto perms = [](int i) { return "6" + std::to_string(i / 8) + std::to_string(i % 8); };
  site.WriteSettings(site.own_dir, site.to_dir);
  const std::string before = ReadFile(site.SettingsPath());
  std::vector<std::string> args;
  for (int i = 0; i < kCount; ++i) {
    const std::string n = std::to_string(i);
    args.push_back("x|ADM|0|" + Tag(i) + "|/d|preadd G" + n + "*/up/" + n + "*/to/" + n +
                   "*1*user" + n + ":grp*" + perms(i));
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
                                               "newperms=" + perms(std::stoi(n))}));
  }

  const Settings loaded = ParseSettings(after);
  EXPECT_EQ(loaded.Groups.size(), 1u + kCount);
  for (int i = 0; i < kCount; ++i) {
    const std::string n = std::to_string(i);
    const PreGroup* group = loaded.FindGroup("G" + n);
    ASSERT_NE(group, nullptr) << "G" << n << " does not load";
    EXPECT_EQ(group->ToDir, "/to/" + n);
    EXPECT_EQ(group->NewPerms, perms(i));
    EXPECT_EQ(ReplyFor(site, "preadd", i),
              Reply("Sucessfully added G" + n + " as a pre group.\r\nName: G" + n +
                    "\r\nHome folder: /up/" + n + "\r\nPre to: /to/" + n +
                    "\r\nDate foramt: 1\r\nOwner user & group: user" + n +
                    ":grp\r\nNew Permissions after pre: " + perms(i)));
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

/// What a kill left, counted over all the kill moments.
struct KillOutcomes {
  int nothing_published = 0;  // the destination empty, the source whole
  int published = 0;          // the destination whole
  int source_left = 0;        // ... and part of the source still there
};

TEST_F(ConcurrencyTest, APreKilledAtAnyMomentLeavesTheReleaseWholeInOnePlace) {
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  site.WriteSettings(site.own_dir, other.path(), 0, kKeepOwner);
  // 400 files of 128 KiB, 50 MiB in all, in four folders: many files make
  // a copy long enough to be caught at every step.
  const std::string master = temp / "master";
  for (int f = 0; f < 400; ++f) {
    const std::string n = std::to_string(f);
    WriteFile(Join(master, "CD" + std::to_string(f % 4) + "/f" + n + ".rar"),
              n + std::string(128 << 10, static_cast<char>('a' + f % 26)));
  }
  // Trees are compared by a digest: a failure should not print 50 MB.
  const auto digest = [](const std::string& root) {
    return std::hash<std::string>()(DescribeTree(root));
  };
  const std::size_t whole = digest(master);
  const std::size_t nothing = std::hash<std::string>()("<no folder>");
  const std::string release = "Big.Rel-GRP";
  const std::string source = Join(site.own_dir, release);
  const std::string dest = Join(other.path(), release);
  const std::string success = Reply(release + " was successfully pre'd to:\r\n" + dest);
  // The source is linked afresh from the master tree for each run.
  const auto stage = [&] {
    test::RemoveTree(source);
    test::RemoveTree(dest);
    std::filesystem::copy(master, source,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::create_hard_links);
  };
  stage();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Finish(Start(exe, PreArg(release))), 0);
  const auto duration = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(ReplyFor(site, "pre", 0), success);
  ASSERT_EQ(digest(dest), whole);

  constexpr int kMoments = 24;
  KillOutcomes seen;
  for (int k = 0; k < kMoments; ++k) {
    const double fraction = 0.02 + 0.96 * k / (kMoments - 1);
    SCOPED_TRACE("killed at " + std::to_string(fraction) + " of the pre");
    stage();
    const pid_t pid = Start(exe, PreArg(release));
    std::this_thread::sleep_for(duration * fraction);
    kill(pid, SIGKILL);
    Finish(pid);
    const std::size_t at_dest = digest(dest);
    const std::vector<std::string> visible = VisibleNames(other.path());
    EXPECT_TRUE(visible.empty() || visible == std::vector<std::string>{release});
    if (at_dest == nothing) {
      ++seen.nothing_published;
      EXPECT_EQ(digest(source), whole) << "the source is not whole";
      // A plain rerun clears the killed run's staging folder and moves it.
      ASSERT_EQ(Finish(Start(exe, PreArg(release))), 0);
      EXPECT_EQ(ReplyFor(site, "pre", 0), success);
      EXPECT_EQ(digest(dest), whole) << "the rerun's copy is not whole";
      EXPECT_FALSE(test::Exists(source));
      EXPECT_EQ(LeftIn(other.path()), std::vector<std::string>{release});
    } else {
      // Published: the source's deletion may have been cut short, which
      // the readme tells the siteop to finish by hand. A rerun is refused
      // and harms nothing.
      ++seen.published;
      seen.source_left += test::Exists(source);
      EXPECT_EQ(at_dest, whole) << "the destination holds part of the release";
      ASSERT_EQ(Finish(Start(exe, PreArg(release))), 0);
      EXPECT_EQ(digest(dest), whole) << "a rerun changed the published release";
    }
  }
  std::cout << "uninterrupted pre: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()
            << " ms; kills leaving nothing published: " << seen.nothing_published
            << ", leaving the release published: " << seen.published << " (source left "
            << seen.source_left << ")\n";
}

TEST_F(ConcurrencyTest, AListingOfTheFinalNameNeverShowsAPartialCopy) {
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  site.WriteSettings(site.own_dir, other.path(), 0, kKeepOwner);
  constexpr int kFiles = 300;
  constexpr off_t kSize = 4096;
  const std::string release = "Many.Files-GRP";
  const std::string dest = Join(other.path(), release);
  // Lists the final name as another user of the site would, round after
  // round; every listing must be all or nothing.
  std::atomic<bool> stop{false};
  std::atomic<int> whole_listings{0};
  std::vector<std::string> partial;
  std::thread watcher([&] {
    while (!stop) {
      DIR* dir = opendir(dest.c_str());
      if (!dir) {
        if (errno != ENOENT) partial.push_back(std::string("opendir: ") + std::strerror(errno));
        continue;
      }
      int full = 0;
      int seen = 0;
      while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat st {};
        ++seen;
        full += fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                st.st_size == kSize;
      }
      closedir(dir);
      if (seen == kFiles && full == kFiles) {
        ++whole_listings;
      } else {
        partial.push_back(std::to_string(seen) + " names, " + std::to_string(full) + " whole");
      }
    }
  });
  for (int round = 0; round < 8; ++round) {
    for (int f = 0; f < kFiles; ++f) {
      WriteFile(Join(site.own_dir, release + "/f" + std::to_string(f)), std::string(kSize, 'w'));
    }
    const int before = whole_listings;
    EXPECT_EQ(Finish(Start(exe, PreArg(release))), 0);
    EXPECT_EQ(ReplyFor(site, "pre", 0), Reply(release + " was successfully pre'd to:\r\n" + dest));
    for (int wait = 0; wait < 1000 && whole_listings == before; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Moved aside in one step and kept, so that no listing sees it shrink.
    EXPECT_EQ(rename(dest.c_str(), Join(other.path(), ".seen" + std::to_string(round)).c_str()), 0);
  }
  stop = true;
  watcher.join();
  EXPECT_GT(whole_listings, 0);
  EXPECT_EQ(partial, std::vector<std::string>{});
}

TEST_F(ConcurrencyTest, AFileAWriterHoldsOpenRefusesTheCopyAndLosesNoByte) {
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  site.WriteSettings(site.own_dir, other.path(), 0, kKeepOwner);
  const std::string release = "Upload.Running-GRP";
  const std::string source = Join(site.own_dir, release);
  const std::string file = Join(source, "big.rar");
  WriteFile(Join(source, "a.nfo"), "nfo");
  WriteFile(file, "head");
  // The upload, in a process of its own as the server's: it holds the file
  // open through the pre, and writes its last bytes after it.
  int opened[2];
  int over[2];
  ASSERT_TRUE(pipe(opened) == 0 && pipe(over) == 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = open(file.c_str(), O_WRONLY | O_APPEND);
    char byte;
    _exit(fd >= 0 && write(opened[1], "o", 1) == 1 && read(over[0], &byte, 1) == 1 &&
                  write(fd, " and tail", 9) == 9 ? 0 : 1);
  }
  char byte;
  ASSERT_EQ(read(opened[0], &byte, 1), 1);
  EXPECT_EQ(Finish(Start(exe, PreArg(release))), 0);
  ASSERT_EQ(write(over[1], "o", 1), 1);
  EXPECT_EQ(Finish(writer), 0);
  EXPECT_EQ(ReplyFor(site, "pre", 0),
            Reply("Error moving folder -- the destination path probably\r\nalready exists.\r\n"
                  "Reason: a file in the release is in use."));
  EXPECT_EQ(LeftIn(other.path()), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(file), "head and tail");
  EXPECT_EQ(ReadFile(Join(source, "a.nfo")), "nfo");
}

TEST_F(ConcurrencyTest, AnUploadWhileThePublishIsMadeDurableLosesNoByte) {
  // The flush after the publish slowed down, so that an upload surely
  // writes between the last look at the copy and the source's removal.
  if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  site.WriteSettings(site.own_dir, other.path(), 0, kKeepOwner);
  const std::string release = "Slow.Flush-GRP";
  const std::string nfo = Join(site.own_dir, release + "/a.nfo");
  WriteFile(nfo, "nfo");
  const std::string slow = Join(site.exe_dir, "slow-ovpre");
  // The leak check of a sanitizer build cannot run under ptrace.
  WriteFile(slow, "#!/bin/sh\nASAN_OPTIONS=detect_leaks=0 exec strace -f -qq -o /dev/null -e trace=syncfs "
                  "-e inject=syncfs:delay_enter=500000 '" + exe + "' \"$1\"\n");
  chmod(slow.c_str(), 0755);
  const std::string dest = Join(other.path(), release);
  const pid_t pid = Start(slow, PreArg(release));
  for (int wait = 0; wait < 15000 && !test::Exists(dest); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  WriteFile(nfo, "nfo, and more");
  EXPECT_EQ(Finish(pid), 0);
  EXPECT_EQ(ReplyFor(site, "pre", 0),
            Reply(release + " was successfully pre'd to:\r\n" + dest +
                  "\r\nPart of the release could not be removed from your folder, please "
                  "notify a siteop."));
  EXPECT_EQ(ReadFile(nfo), "nfo, and more");
  EXPECT_EQ(ReadFile(Join(dest, "a.nfo")), "nfo");
}

/// Pre's a release 25 times into `to_dir`, as a group that re-owns and
/// re-modes what it moves, while a thread keeps swapping the release, and
/// its subfolder, for a link to a folder of bait files outside, and back.
/// Nothing of the bait may be read into the target, moved, deleted,
/// re-owned or re-moded; the release itself is never lost.
void PreWhileLinksAreSwapped(SiteFixture& site, const std::string& exe, const std::string& arg,
                             const std::string& to_dir, const std::string& bait) {
  const bool root = geteuid() == 0;
  site.WriteSettings(site.own_dir, to_dir, 0, root ? "nobody:nogroup" : kKeepOwner, "600");
  WriteFile(Join(bait, "secret.txt"), "bait-secret");
  WriteFile(Join(bait, "s.avi"), "bait-sample");
  const auto state = [&] {
    std::string all;
    for (const char* name : {"", "/secret.txt", "/s.avi"}) {
      struct stat st {};
      if (lstat((bait + name).c_str(), &st) != 0) return "missing " + bait + name;
      all += std::to_string(st.st_ino) + " " + std::to_string(st.st_uid) + ":" +
             std::to_string(st.st_gid) + " " + std::to_string(st.st_mode) + "\n";
    }
    return all + DescribeTree(bait);
  };
  const std::string bait_before = state();
  const std::string release = "Rel.Swapped-GRP";
  const std::string source = Join(site.own_dir, release);
  const std::string dest = Join(to_dir, release);
  std::map<std::string, int> answered;  // how often each last line of a reply came
  for (int round = 0; round < 25; ++round) {
    MakeRelease(site.own_dir, release);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      for (int i = 0; !stop; ++i) {
        const std::string victim = i % 2 ? source : Join(source, "Sample");
        const std::string aside = victim + ".real";
        if (rename(victim.c_str(), aside.c_str()) != 0) continue;
        if (symlink(bait.c_str(), victim.c_str()) == 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 7)));
          unlink(victim.c_str());
        }
        rename(aside.c_str(), victim.c_str());
      }
    });
    EXPECT_EQ(Finish(Start(exe, arg)), 0);
    stop = true;
    swapper.join();
    std::string reply = ReplyFor(site, "pre", 0);
    reply.resize(reply.size() - 2);  // the last CR LF
    ++answered[reply.substr(reply.rfind('\n') + 1)];
    EXPECT_EQ(state(), bait_before) << "round " << round;
    const std::string target = DescribeTree(to_dir);
    EXPECT_EQ(target.find("bait-"), std::string::npos) << target;
    // Whatever the swaps did, each file of the release is somewhere.
    const std::string both = DescribeTree(site.own_dir) + target;
    for (const char* suffix : {"-0", "-2", "-sample"}) {
      EXPECT_NE(both.find(":" + release + suffix + "\n"), std::string::npos)
          << "round " << round << ": " << both;
    }
    std::filesystem::remove_all(source);
    std::filesystem::remove_all(source + ".real");
    std::filesystem::remove_all(dest);
  }
  for (const auto& [last_line, count] : answered) std::cout << count << "x " << last_line << "\n";
}

TEST_F(ConcurrencyTest, LinksSwappedInDuringPresRedirectNothing) {
  TempFolder bait;
  PreWhileLinksAreSwapped(site, exe, PreArg("Rel.Swapped-GRP"), site.to_dir, bait.path());
}

TEST_F(ConcurrencyTest, LinksSwappedInDuringPresAcrossFileSystemsRedirectNothing) {
  const std::string base = test::OtherDeviceBase();
  if (base.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(base);
  TempFolder bait;
  PreWhileLinksAreSwapped(site, exe, PreArg("Rel.Swapped-GRP"), other.path(), bait.path());
}

}  // namespace
}  // namespace ovpre
