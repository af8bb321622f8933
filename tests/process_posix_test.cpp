// Runs the built program as the server does: one process per request, the
// six fields as one argument, the settings file beside the executable.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

#include "commands/pre.h"
#include "commands/pre_target.h"
#include "fs/work_entry.h"
#include "request/reply.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Join;
using test::MakeFolders;
using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

/// Runs `exe` with the given arguments and returns its exit status, or -1
/// when it did not exit by itself within ten seconds (a hang fails the test
/// instead of holding it). `argv0` is the name it is started by (`exe`
/// when empty); `prepare` runs in the child first and may refuse.
int RunProgram(const std::string& exe, const std::vector<std::string>& args,
               const std::string& argv0 = "", const std::function<bool()>& prepare = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10);  // kept across exec: the program is killed if it waits forever
    if (prepare && !prepare()) _exit(126);
    std::vector<char*> argv{const_cast<char*>(argv0.empty() ? exe.c_str() : argv0.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ProcessTest : public ::testing::Test {
 protected:
  ProcessTest() {
    WriteFile(exe, ReadFile(OVPRE_EXE));
    chmod(exe.c_str(), 0755);
  }
  TempFolder temp;
  SiteFixture site{temp.path()};
  std::string exe = Join(site.exe_dir, "ovpre");
};

TEST_F(ProcessTest, FirstRunWritesTheDefaultSettingsByteForByte) {
  EXPECT_EQ(RunProgram(exe, {}), 0);
  const std::string text = ReadFile(site.SettingsPath());
  EXPECT_EQ(text.size(), 1467u);
  EXPECT_EQ(text.substr(0, 57), ";Orvantines Pre Script V0.1                             \r");
  // A second run by hand only reads it.
  EXPECT_EQ(RunProgram(exe, {"a|b"}), 0);
  EXPECT_EQ(ReadFile(site.SettingsPath()), text);
}

TEST_F(ProcessTest, PreAndPreaddAsTheServerStartsThem) {
  site.WriteSettings(site.own_dir, site.to_dir, 0, test::kKeepOwner);
  WriteFile(Join(site.own_dir, "My Rel" + test::Sep() + "a.nfo"), "nfo");
  // Replies and announcements are replaced whole: a reader that opened the
  // old ones reads them to their end, and nothing of the new ones.
  const std::string old_reply = Join(site.raiden_dir, "Output/site-pre.17");
  WriteFile(old_reply, "old reply");
  WriteFile(site.announce, "old announcement");
  const int reading[] = {open(old_reply.c_str(), O_RDONLY), open(site.announce.c_str(), O_RDONLY)};
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre My Rel"}), 0);
  for (const int fd : reading) {
    char text[64] = {};
    EXPECT_EQ(std::string(text, read(fd, text, sizeof text)).substr(0, 4), "old ");
    close(fd);
  }
  const std::string dest = Join(site.to_dir, "My Rel");
  EXPECT_EQ(site.Reply("pre"), std::string(kReplyBanner) + "\r\nMy Rel was successfully pre'd to:\r\n" +
                                   dest + "\r\n");
  EXPECT_EQ(DescribeTree(dest), "a.nfo:nfo\n");
  // The POSIX control gives the tree the permissions as an octal mode.
  struct stat st {};
  ASSERT_EQ(stat(Join(dest, "a.nfo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);

  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|/d|preadd New*/up*/to*0*nobody:nogroup*644"}), 0);
  EXPECT_NE(site.Reply("preadd").find("Sucessfully added New as a pre group."), std::string::npos);
  EXPECT_NE(ReadFile(site.SettingsPath()).find("group=New\r\nowndir=/up\r\n"), std::string::npos);
  const std::string added = ReadFile(site.SettingsPath());
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|/d|preadd Rel*up*/to*0*u:g*644"}), 0);
  EXPECT_NE(site.Reply("preadd").find("Usage: Site preadd"), std::string::npos);
  EXPECT_EQ(ReadFile(site.SettingsPath()), added);
}

TEST_F(ProcessTest, OddRequestsAndSettingsReachNothingOutsideTheGroupsFolders) {
  const std::string release_tree = "a.nfo:nfo\n";
  const std::string output = Join(site.raiden_dir, "Output");
  const std::string setup = std::string(kReplyBanner) +
                            "\r\nError in setup, please notify a siteop.\r\n";
  const std::string moved = std::string(kReplyBanner) + "\r\nRel was successfully pre'd to:\r\n" +
                            Join(site.to_dir, "Rel") + "\r\n";
  const auto settings = [&](const std::string& own, const std::string& to) {
    site.WriteSettings(own, to, 0, test::kKeepOwner);
    return ReadFile(site.SettingsPath());
  };
  const auto no_output = [&] {
    std::string text = settings(site.own_dir, site.to_dir);
    return text.insert(text.find("\r\nannouncefile"), "-gone");
  };
  const auto lf_only = [&] {
    std::string text = settings(site.own_dir, site.to_dir);
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  };
  const struct {
    std::string what, settings, args, reply;  // the reply to tag 17, or "<missing>"
  } cases[] = {
      {"a tag leading out of Output", settings(site.own_dir, site.to_dir),
       "x|GRP|0|x/../../escaped|" + site.own_dir + "|pre Rel", "<missing>"},
      {"a tag of ..", settings(site.own_dir, site.to_dir), "x|GRP|0|..|" + site.own_dir + "|pre Rel",
       "<missing>"},
      {"a tag with a drive or stream", settings(site.own_dir, site.to_dir),
       "x|GRP|0|17:s|" + site.own_dir + "|pre Rel", "<missing>"},
      {"a preadd tag leading out", settings(site.own_dir, site.to_dir),
       "x|GRP|0|\\..\\x|/d|preadd N*/a*/b*0*:*644", "<missing>"},
      {"an empty own folder and current folder", settings("", site.to_dir),
       "x|GRP|0|17||pre Rel", setup},
      {"no target folder", settings(site.own_dir, ""), "x|GRP|0|17|" + site.own_dir + "|pre Rel",
       setup},
      {"LF-only settings", lf_only(), "x|GRP|0|17|" + site.own_dir + "|pre Rel", moved},
      {"an empty group line below the group", settings(site.own_dir, site.to_dir) +
       "group=\r\nowndir=/\r\ntodir=/\r\n", "x|GRP|0|17|" + site.own_dir + "|pre Rel", moved},
      {"no reply folder", no_output(), "x|GRP|0|17|" + site.own_dir + "|pre Rel", "<missing>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeFolders(Join(output, "site-pre.x"));
    WriteFile(Join(site.own_dir, "Rel" + test::Sep() + "a.nfo"), "nfo");
    WriteFile(site.SettingsPath(), c.settings);
    EXPECT_EQ(RunProgram(exe, {c.args}), 0);
    EXPECT_EQ(site.Reply("pre"), c.reply);
    EXPECT_EQ(ReadFile(site.SettingsPath()), c.settings);
    // Nothing but the one reply, if any, lands in the output folder.
    test::RemoveTree(Join(output, "site-pre.17"));
    EXPECT_EQ(DescribeTree(output), "site-pre.x/\n");
    EXPECT_EQ(DescribeTree(Join(site.own_dir, "Rel")), c.reply == moved ? "<no folder>" : release_tree);
    EXPECT_EQ(ReadFile(Join(site.raiden_dir, "escaped")), "<missing>");
    test::RemoveTree(output);
    test::RemoveTree(Join(site.to_dir, "Rel"));
  }
}

TEST_F(ProcessTest, WithoutProcTheProgramFindsItselfByItsNameOrDoesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "hiding /proc needs root";
  // A sanitizer's runtime reads its settings and threads from /proc.
  if (dlsym(RTLD_DEFAULT, "__asan_init")) GTEST_SKIP() << "the sanitizer runtime needs /proc";
  const struct {
    std::string argv0, path;
    int status;
  } cases[] = {{exe, "/none", 0}, {"bin/ovpre", "/none", 0},
               {"ovpre", "/none:" + site.exe_dir, 0}, {"ovpre", "/none", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv0 + " PATH=" + c.path);
    // Its own mount table, with an empty /proc, as in a chroot without it.
    const auto hide_proc = [&] {
      return unshare(CLONE_NEWNS) == 0 &&
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             mount("none", "/proc", "tmpfs", 0, "") == 0 && chdir(temp.path().c_str()) == 0 &&
             setenv("PATH", c.path.c_str(), 1) == 0;
    };
    EXPECT_EQ(RunProgram(exe, {}, c.argv0, hide_proc), c.status);
    EXPECT_EQ(test::Exists(site.SettingsPath()), c.status == 0);
    EXPECT_FALSE(test::Exists(Join(temp.path(), ".ini")));
    unlink(site.SettingsPath().c_str());
  }
}

TEST_F(ProcessTest, ASettingsFifoEndsTheRunInsteadOfHoldingIt) {
  ASSERT_EQ(mkfifo(site.SettingsPath().c_str(), 0666), 0);
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre Rel"}), 0);
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|/d|preadd N*/a*/b*0*:*644"}), 0);
  EXPECT_EQ(RunProgram(exe, {}), 0);
  EXPECT_EQ(DescribeTree(Join(site.raiden_dir, "Output")), "");
}

TEST_F(ProcessTest, CheckOnlyReadsTheSettingsAndExitsWithWhatItFound) {
  EXPECT_EQ(RunProgram(exe, {"check"}), 1);
  EXPECT_EQ(ReadFile(site.SettingsPath()), "<missing>");
  site.WriteSettings(site.own_dir, site.to_dir);
  EXPECT_EQ(RunProgram(exe, {"Check"}), 0);
  const std::string typo = ReadFile(site.SettingsPath()) + "sfvchek=1\r\n";
  WriteFile(site.SettingsPath(), typo);
  EXPECT_EQ(RunProgram(exe, {"CHECK"}), 1);
  EXPECT_EQ(RunProgram(exe, {"\"/check\"", ""}), 1);  // one raw line: "\"/check\" "
  EXPECT_EQ(ReadFile(site.SettingsPath()), typo);
}

TEST_F(ProcessTest, UnknownWordTouchesNothing) {
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|/d|site help"}), 0);
  EXPECT_EQ(ReadFile(site.SettingsPath()), "<missing>");
  EXPECT_EQ(DescribeTree(Join(site.raiden_dir, "Output")), "");
}

TEST_F(ProcessTest, AFailedMoveSaysWhyAndTheLogHoldsOneLinePerRequest) {
  // A relative log goes beside the program, wherever it is started from.
  const std::string log = Join(site.exe_dir, "ovpre.log");
  site.WriteSettings(site.own_dir, Join(site.to_dir, "none"), 3);
  WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "logfile=ovpre.log\r\n");
  WriteFile(Join(site.own_dir, "Rel" + test::Sep() + "a.nfo"), "nfo");
  const std::string pre = "x|GRP|0|17|" + site.own_dir + "|pre Rel";
  EXPECT_EQ(RunProgram(exe, {pre}), 0);
  EXPECT_EQ(site.Reply("pre"), test::ExpectedReply(
                                   "Error moving folder -- the destination path probably\r\n"
                                   "already exists.\r\nReason: the target folder does not exist."));
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "Rel")), "a.nfo:nfo\n");
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|/d|site help"}), 0);
  EXPECT_EQ(RunProgram(exe, {"x|GRP|5|17|/d|preadd New*/up*/to*0*u:g*644"}), 0);
  test::RemoveTree(Join(site.raiden_dir, "Output"));
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|/d|preadd New*/up*/to*0*u:g*644"}), 0);
  const std::string text = ReadFile(log);
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(text.find("\tpreadd\tGRP\t\trefused\tno reply folder\t-\t-\t-\t"), std::string::npos);
  EXPECT_NE(text.find("\tpre\tGRP\tRel\tfailed\tError moving folder -- the destination path "
                      "probably\t-\t-\t-\t"),
            std::string::npos) << text;
  EXPECT_NE(text.find("\topen target: 2 No such file or directory\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\tpreadd\tGRP\tNew\trefused\tSorry,"), std::string::npos) << text;
}

TEST_F(ProcessTest, QuickPresAreAllAppendedToARelativeAnnounceLogInOrder) {
  site.WriteSettings(site.own_dir, site.to_dir, 0, test::kKeepOwner);
  const std::string settings =
      ReadFile(site.SettingsPath()) + "announcefile=a.dat\r\nannouncelog=a.log\r\n";
  WriteFile(site.SettingsPath(), settings);
  // A line cut short (a full disk, a killed writer) is ended first.
  WriteFile(Join(site.exe_dir, "a.log"), "cut sh");
  std::string expected = "cut sh\r\n";
  std::string announcement;
  // Started elsewhere, relative files are still beside the program.
  const auto elsewhere = [&] { return chdir(site.root.c_str()) == 0; };
  for (const std::string release : {"R1", "R2", "Größe"}) {
    WriteFile(Join(site.own_dir, release + test::Sep() + "a.nfo"), "nfo");
    EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre " + release}, "", elsewhere), 0);
    announcement = ">> \x02TestSite\x02 << Pre: \x02" + release + " \x02" "from\x02 GRP\r\n" +
                   ">> Grab it from " + Join(site.to_dir, release) + "\r\n";
    expected += announcement;
  }
  EXPECT_EQ(ReadFile(Join(site.exe_dir, "a.log")), expected);
  EXPECT_EQ(ReadFile(Join(site.exe_dir, "a.dat")), announcement);
  // A relative raidendir answers nobody, even where it leads somewhere.
  WriteFile(site.SettingsPath(), settings + "raidendir=raiden\r\nlogfile=ovpre.log\r\n");
  WriteFile(Join(site.own_dir, "R4" + test::Sep() + "a.nfo"), "nfo");
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|18|" + site.own_dir + "|pre R4"}, "", elsewhere), 0);
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "R4")), "a.nfo:nfo\n");
  EXPECT_NE(ReadFile(Join(site.exe_dir, "ovpre.log"))
                .find("\tno reply folder: raidendir is not an absolute path\t"),
            std::string::npos);
}

/// An exclusive flock on `path`, held by a process of its own (as another
/// user's program would hold it) until the object goes.
class FlockHolder {
 public:
  explicit FlockHolder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
      if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], "x", 1) == 1) pause();
      _exit(1);
    }
    char byte = 0;
    held_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    close(ready[1]);
  }
  ~FlockHolder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST_F(ProcessTest, NoUsersLockHoldsARequestAndTheProgramsOwnWaitsFiveSecondsInAll) {
  const std::string log = Join(site.exe_dir, "ovpre.log");
  const std::string announce_log = Join(site.exe_dir, "a.log");
  site.WriteSettings(site.own_dir, site.to_dir, 0, test::kKeepOwner);
  WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) +
                                     "logfile=ovpre.log\r\nannouncelog=a.log\r\n");
  const auto seconds = [&](const std::string& command) {
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|" + command}), 0);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  };
  const std::string note = "\r\nThe announcement could not be written, please notify a siteop.";
  for (const char* release : {"R1", "R2"}) {
    WriteFile(Join(site.own_dir, std::string(release) + "/a.nfo"), "nfo");
  }
  {
    // A user's locks on the settings file, the log and the announce log.
    WriteFile(log, "");
    WriteFile(announce_log, "");
    FlockHolder settings(site.SettingsPath()), logged(log), announced(announce_log);
    ASSERT_TRUE(settings.held() && logged.held() && announced.held());
    EXPECT_LT(seconds("pre R1"), 2.0);
    EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("R1 was successfully pre'd to:\r\n" +
                                                     Join(site.to_dir, "R1")));
    EXPECT_LT(seconds("preadd N1*/a*/b*0*u:g*644"), 2.0);
    EXPECT_NE(ReadFile(site.SettingsPath()).find("group=N1\r\n"), std::string::npos);
  }
  {
    // Another run holding the program's own lock for good: the pre's waits
    // end within the budget; the preadd, which changed nothing, says so.
    FlockHolder program(Join(site.exe_dir, "ovpre.lock"));
    ASSERT_TRUE(program.held());
    const double pre = seconds("pre R2");
    EXPECT_GE(pre, 5.0);
    EXPECT_LT(pre, 7.0);
    EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("R2 was successfully pre'd to:\r\n" +
                                                     Join(site.to_dir, "R2") + note));
    EXPECT_LT(seconds("preadd N2*/a*/b*0*u:g*644"), 7.0);
    EXPECT_EQ(site.Reply("preadd"), test::ExpectedReply("Error in setup, please notify a siteop."));
  }
  // A lock file another user could open (or a link) is not used at all.
  chmod(Join(site.exe_dir, "ovpre.lock").c_str(), 0644);
  EXPECT_LT(seconds("preadd N3*/a*/b*0*u:g*644"), 2.0);
  EXPECT_EQ(site.Reply("preadd"), test::ExpectedReply("Error in setup, please notify a siteop."));
  const std::string logged = ReadFile(log);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 2) << logged;
  EXPECT_EQ(ReadFile(announce_log).find("R2"), std::string::npos);
  EXPECT_EQ(ReadFile(site.SettingsPath()).find("group=N2"), std::string::npos);
  // A log with a second name (a hard link a user made to it) is not added to.
  chmod(Join(site.exe_dir, "ovpre.lock").c_str(), 0600);
  seconds("pre R3");
  const std::string before = ReadFile(log);
  EXPECT_EQ(std::count(before.begin(), before.end(), '\n'), 3);
  ASSERT_EQ(link(log.c_str(), Join(temp.path(), "theirs").c_str()), 0);
  seconds("pre R3");
  EXPECT_EQ(ReadFile(log), before);
}

/// A file system of its own with almost no room for new entries; unmounted
/// at the end. Empty path when this machine cannot mount one.
class TinyFileSystem {
 public:
  explicit TinyFileSystem(const std::string& where) : path_(where) {
    test::MakeFolders(where);
    if (mount("none", where.c_str(), "tmpfs", 0, "size=1m,nr_inodes=16") != 0) {
      path_.clear();
    }
  }
  ~TinyFileSystem() {
    if (!path_.empty()) umount(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST_F(ProcessTest, ATargetWithoutRoomForNewEntriesSaysSo) {
  TinyFileSystem tiny(Join(temp.path(), "tiny"));
  if (tiny.path().empty()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const std::string target = Join(tiny.path(), "mp3");
  test::MakeFolders(target);
  // Use up the file system's entries, so that the copy cannot make the
  // release's folder although there are bytes to spare.
  for (int i = 0; i < 64; ++i) {
    const int fd = open(Join(tiny.path(), "f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) break;
    close(fd);
  }
  site.WriteSettings(site.own_dir, target);
  WriteFile(Join(site.own_dir, "Rel" + test::Sep() + "a.nfo"), "nfo");
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre Rel"}), 0);
  EXPECT_EQ(site.Reply("pre"),
            test::ExpectedReply("Error moving folder -- the destination path probably\r\n"
                                "already exists.\r\nReason: not enough space on the target "
                                "drive."));
  EXPECT_EQ(DescribeTree(Join(site.own_dir, "Rel")), "a.nfo:nfo\n");
}

TEST_F(ProcessTest, NothingInTheTargetOrTheWayThereHoldsAPreUp) {
  // Across file systems where this machine has a second one. Each row
  // plants something, then pre's its release, which must arrive whole,
  // leaving what was planted as it was.
  TempFolder other(test::OtherDeviceBase());
  const std::string target = Join(other.path(), "mp3");
  const std::string real_own = site.own_dir;
  const std::string own_link = Join(temp.path(), "own-link");
  const std::string to_link = Join(temp.path(), "to-link");
  ASSERT_EQ(symlink(real_own.c_str(), own_link.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), to_link.c_str()), 0);
  const std::string long_name = std::string(250, 'L');
  // The work folder's names in the target as it is now, as the program
  // knows them by its key, which the first row's pre makes.
  const auto work = [&](int number) {
    struct stat st {};
    stat(target.c_str(), &st);
    const WorkKey key = WorkKeyFromText(ReadFile(Join(site.exe_dir, "ovpre.key")));
    return WorkFolderName(key, FileId{st.st_dev, st.st_ino}, number);
  };
  // What stays of the work folder after a pre: the empty folder itself.
  const auto without_work_folder = [&](const std::string& tree) {
    std::string kept;
    for (std::size_t at = 0, end; (end = tree.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = tree.substr(at, end + 1 - at);
      const bool empty_work_folder = line.compare(0, 12, ".ovpre-work-") == 0 &&
                                     line.compare(line.size() - 2, 2, "/\n") == 0 &&
                                     tree.find(line.substr(0, line.size() - 1), end) == std::string::npos;
      if (!empty_work_folder) kept += line;
    }
    return kept;
  };
  const struct {
    std::string what, release;
    std::function<void()> plant;
    bool linked = false;  // owndir and todir given as links to the real ones
  } cases[] = {
      {"a release named like an old staging folder", "Rel",
       [&] { WriteFile(Join(target, ".Rel.ovpre-staging/x"), "theirs"); }},
      {"a file where the work folder goes", "Rel",
       [&] { WriteFile(Join(target, ".ovpre-work"), "theirs"); }},
      {"a file and an unmarked folder at the work names", "Rel", [&] {
         MakeFolders(Join(target, work(0) + "/Rel.1"));
         chmod(Join(target, work(0)).c_str(), 0700);
         WriteFile(Join(target, work(0) + "/Rel"), "theirs");
       }},
      {"a killed rename's entry, its mark still empty", "Rel", [&] {
         WriteFile(Join(target, work(0) + "/Rel/mark"), "");
         WriteFile(Join(target, work(0) + "/Rel/release/a.nfo"), "the only copy");
         chmod(Join(target, work(0)).c_str(), 0700);
       }},
      {"a mark saying partial made by anyone but the program", "Rel", [&] {
         WriteFile(Join(target, work(0) + "/Rel/mark"), "partial");
         WriteFile(Join(target, work(0) + "/Rel/keep.txt"), "theirs");
         chmod(Join(target, work(0)).c_str(), 0700);
       }},
      {"a user's folders and files at the first work folder names", "Rel", [&] {
         for (int n = 0; n < 4; ++n) {
           if (n % 2) WriteFile(Join(target, work(n)), "theirs");
           if (n % 2 == 0) MakeFolders(Join(target, work(n) + "/Rel"));
           if (n % 2 == 0) chown(Join(target, work(n)).c_str(), 65534, 65534);
         }
       }},
      {"locks on the release and the work folder", "Rel", [&] {
         MakeFolders(Join(target, work(0) + "/Other"));
         chmod(Join(target, work(0)).c_str(), 0700);
         for (const std::string& held : {Join(real_own, "Rel"), Join(target, work(0))}) {
           flock(open(held.c_str(), O_RDONLY | O_DIRECTORY), LOCK_EX);  // closed at exit
         }
       }},
      {"a name of 250 bytes", long_name, [] {}},
      {"linked own and target folders", "Rel", [] {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveTree(target);
    MakeFolders(target);
    WriteFile(Join(real_own, c.release + "/a.nfo"), "nfo");
    c.plant();
    const std::string planted = DescribeTree(target);
    const std::string own = c.linked ? own_link : site.own_dir;
    const std::string to = c.linked ? to_link : target;
    site.WriteSettings(own, to, 0, test::kKeepOwner);
    EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + own + "|pre " + c.release}), 0);
    EXPECT_EQ(site.Reply("pre"), test::ExpectedReply(c.release + " was successfully pre'd to:\r\n" +
                                                     Join(to, c.release)));
    EXPECT_EQ(DescribeTree(Join(target, c.release)), "a.nfo:nfo\n");
    EXPECT_FALSE(test::Exists(Join(real_own, c.release)));
    test::RemoveTree(Join(target, c.release));
    EXPECT_EQ(without_work_folder(DescribeTree(target)), without_work_folder(planted));
  }
  site.WriteSettings(site.own_dir, target);
  WriteFile(Join(real_own, ".OVPRE-WORK.x/a.nfo"), "nfo");
  EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre .OVPRE-WORK.x"}), 0);
  EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("Invalid release name: .OVPRE-WORK.x"));
}

/// Gives `path` the extended ACL entry "user `uid`: rwx", as setfacl does.
bool AddAclEntry(const std::string& path, uint32_t uid) {
  const uint32_t none = 0xFFFFFFFF;
  const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
      {0x01, 6, none}, {0x02, 7, uid}, {0x04, 4, none}, {0x10, 7, none}, {0x20, 4, none}};
  std::string value("\2\0\0\0", 4);
  value.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return setxattr(path.c_str(), "system.posix_acl_access", value.data(), value.size(), 0) == 0;
}

TEST_F(ProcessTest, NothingOutsideTheReleaseIsReownedOrWrittenThroughALink) {
  if (geteuid() != 0) GTEST_SKIP() << "owners can only be given by root";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(nobody);
  TinyFileSystem other_drive(Join(temp.path(), "tiny"));
  const std::string outside = Join(temp.path(), "outside"), log = Join(temp.path(), "ovpre.log");
  const std::string rel = Join(site.own_dir, "Rel");
  const std::string note = "\r\nOwner and permissions could not be set, please notify a siteop.";
  // Across drives the hard link becomes a file of its own, which is owned.
  for (const std::string& to : {site.to_dir, other_drive.path()}) {
    if (to.empty()) continue;
    SCOPED_TRACE(to);
    WriteFile(outside, "theirs");
    chmod(outside.c_str(), 0666);
    WriteFile(Join(rel, "a.nfo"), "nfo");
    ASSERT_EQ(link(outside.c_str(), Join(rel, "linked").c_str()), 0);
    ASSERT_TRUE(AddAclEntry(Join(rel, "a.nfo"), nobody->pw_uid));
    // FIFOs cannot cross drives; on one, one of the release's own loses its
    // ACL and what its mode allows beyond the setting, one linked in from
    // outside stays as it is.
    const std::string fifo = Join(rel, "fifo"), outside_fifo = outside + ".fifo";
    if (to == site.to_dir) {
      for (const std::string& made : {fifo, outside_fifo}) {
        ASSERT_TRUE(mkfifo(made.c_str(), 0) == 0 && chmod(made.c_str(), 0666) == 0);
      }
      ASSERT_TRUE(AddAclEntry(fifo, nobody->pw_uid));
      ASSERT_EQ(link(outside_fifo.c_str(), Join(rel, "linked.fifo").c_str()), 0);
    }
    ASSERT_EQ(symlink(outside.c_str(), log.c_str()), 0);
    site.WriteSettings(site.own_dir, to, 0, "nobody", "640");
    WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "logfile=" + log + "\r\n");
    EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre Rel"}), 0);
    const std::string dest = Join(to, "Rel");
    EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("Rel was successfully pre'd to:\r\n" + dest +
                                                     (to == site.to_dir ? note : "")));
    struct stat st {};
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(ReadFile(outside), "theirs");
    ASSERT_EQ(stat(Join(dest, "a.nfo").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_LT(getxattr(Join(dest, "a.nfo").c_str(), "system.posix_acl_access", nullptr, 0), 0);
    if (to == site.to_dir) {
      EXPECT_TRUE(stat(Join(dest, "fifo").c_str(), &st) == 0 && st.st_uid == nobody->pw_uid &&
                  (st.st_mode & 0777) == 0640);
      EXPECT_LT(getxattr(Join(dest, "fifo").c_str(), "system.posix_acl_access", nullptr, 0), 0);
      EXPECT_TRUE(stat(outside_fifo.c_str(), &st) == 0 && st.st_uid == 0 &&
                  (st.st_mode & 0777) == 0666);
      unlink(outside_fifo.c_str());
    }
    test::RemoveTree(dest);
    unlink(log.c_str());
  }
  // A user's setuid program copied across drives is never setuid for root,
  // with a valid owner or with none given.
  for (const std::string owner : {"nobody:nogroup", ""}) {
    if (other_drive.path().empty()) break;
    SCOPED_TRACE("owner " + owner);
    const std::string run = Join(rel, "run");
    WriteFile(run, "#!/bin/sh\nid\n");
    ASSERT_EQ(chown(run.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chmod(run.c_str(), 04755), 0);
    site.WriteSettings(site.own_dir, other_drive.path(), 0, owner, "");
    EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre Rel"}), 0);
    struct stat st {};
    ASSERT_EQ(stat(Join(other_drive.path(), "Rel/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    test::RemoveTree(Join(other_drive.path(), "Rel"));
  }
}

TEST_F(ProcessTest, SectionsChooseTheTargetAndTheDupeCheckLooksEverywhere) {
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  const LocalDate today{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
  const auto day = [&](int dated, int back) {
    const std::string part = DatePart(dated, DaysBefore(today, back), '/');
    return part.substr(0, part.size() - 1);
  };
  const std::string mp3 = Join(site.to_dir, "mp3"), flac = Join(site.to_dir, "flac");
  const std::string other = Join(temp.path(), "other");
  site.WriteSettings(site.own_dir, site.to_dir, 0, test::kKeepOwner);
  WriteFile(site.SettingsPath(), ReadFile(site.SettingsPath()) + "dupedays=3\r\nsection=MP3*" +
                                     mp3 + "*0\r\nsection=FLAC*" + flac + "*1\r\ngroup=OTHER\r\n"
                                     "todir=" + other + "\r\ndated=2\r\n");
  const std::string ok = " was successfully pre'd to:\r\n";
  const struct {
    std::string command, planted, reply;
  } cases[] = {
      {"Rel FLAC", Join(flac, day(1, 1) + "/REL"), "Dupe: Rel was already pre'd to:\r\n" +
                                                        Join(flac, day(1, 1) + "/REL")},
      {"Rel", Join(other, day(2, 0) + "/rel"), "Dupe: Rel was already pre'd to:\r\n" +
                                                   Join(other, day(2, 0) + "/rel")},
      {"Rel", Join(mp3, "rEL"), "Dupe: Rel was already pre'd to:\r\n" + Join(mp3, "rEL")},
      {"Rel flac", Join(flac, day(1, 3) + "/Rel"), "Rel" + ok + Join(flac, day(1, 0) + "/Rel")},
      {"Rel mP3", "", "Rel" + ok + Join(mp3, "Rel")},
      {"Rel OGG", "", "Unknown section: OGG\r\nSections: MP3, FLAC"},
      {"Rel \x1B[31mX\r\n200-fake", "", "Unknown section: ?[31mX??200-fake\r\nSections: MP3, FLAC"},
      {"\xC3\x84rger", Join(mp3, "\xC3\xA4rger"),
       "Dupe: \xC3\x84rger was already pre'd to:\r\n" + Join(mp3, "\xC3\xA4rger")},
      {"Rel", "", "Rel" + ok + Join(site.to_dir, "Rel")},
      {"My MP3", "", "My MP3" + ok + Join(site.to_dir, "My MP3")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    for (const std::string& folder : {mp3, Join(flac, day(1, 0)), Join(other, day(2, 0))}) {
      test::RemoveTree(folder);
      MakeFolders(folder);
    }
    const std::string release =
        c.command == "My MP3" ? c.command : c.command.substr(0, c.command.find(' '));
    WriteFile(Join(site.own_dir, release + "/a.nfo"), "nfo");
    if (!c.planted.empty()) MakeFolders(c.planted);
    EXPECT_EQ(RunProgram(exe, {"x|GRP|0|17|" + site.own_dir + "|pre " + c.command}), 0);
    EXPECT_EQ(site.Reply("pre"), test::ExpectedReply(c.reply));
    EXPECT_EQ(ReadFile(site.announce).find(" in MP3\r\n") != std::string::npos,
              c.command == "Rel mP3");
    test::RemoveTree(Join(site.own_dir, release));
    test::RemoveTree(Join(site.to_dir, release));
    test::RemoveTree(c.planted);
    unlink(site.announce.c_str());
  }
}

/// Runs `command` with the shell; true when it exits with 0.
bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

TEST_F(ProcessTest, SfvFilesMadeByCksfvRefuseADamagedReleaseUntilItIsRepaired) {
  if (!Shell("command -v cksfv >/dev/null 2>&1")) GTEST_SKIP() << "cksfv is not installed";
  const std::string rel = Join(site.own_dir, "Rel");
  const std::string dest = Join(site.to_dir, "Rel");
  // More than one block of reading, names with spaces, a folder without sfv.
  std::string big(2500000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 5);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"CD1/t01.mp3", big}, {"CD1/t02.mp3", "second track"}, {"CD1/t 03 x.mp3", "third"},
      {"CD2/u01.mp3", "fourth"}, {"CD2/u02.mp3", ""}, {"rel.nfo", "nfo"}, {"Sample/s.avi", "s"}};
  for (const auto& [path, content] : files) WriteFile(rel + "/" + path, content);
  ASSERT_TRUE(Shell("cd '" + rel + "/CD1' && cksfv -b *.mp3 > rel-cd1.sfv"));
  // One sfv file with Windows line ends, as most tools write them.
  ASSERT_TRUE(Shell("cd '" + rel + "/CD2' && cksfv -b *.mp3 | sed 's/$/\\r/' > Rel-CD2.SFV"));
  WriteFile(rel + "/CD1/t02.mp3", "second trick");
  ASSERT_EQ(unlink((rel + "/CD2/u01.mp3").c_str()), 0);
  const std::string damaged = DescribeTree(rel);

  site.WriteSettings(site.own_dir, site.to_dir, 0, test::kKeepOwner);
  const std::string without = ReadFile(site.SettingsPath());
  WriteFile(site.SettingsPath(), without + "sfvcheck=1\r\n");
  const std::string pre = "x|GRP|0|17|" + site.own_dir + "|pre Rel";
  EXPECT_EQ(RunProgram(exe, {pre}), 0);
  EXPECT_EQ(site.Reply("pre"),
            test::ExpectedReply("Release is incomplete, nothing was moved:\r\n"
                                "bad crc: CD1/t02.mp3\r\nmissing: CD2/u01.mp3\r\n"
                                "1 missing, 1 bad of 5 files."));
  EXPECT_EQ(DescribeTree(rel), damaged);
  EXPECT_FALSE(test::Exists(dest));

  // Without the setting the same release goes out as it always did.
  WriteFile(site.SettingsPath(), without);
  EXPECT_EQ(RunProgram(exe, {pre}), 0);
  EXPECT_EQ(site.Reply("pre"),
            test::ExpectedReply("Rel was successfully pre'd to:\r\n" + dest));
  EXPECT_EQ(DescribeTree(dest), damaged);

  // Put back and repaired, it passes the check.
  ASSERT_EQ(rename(dest.c_str(), rel.c_str()), 0);
  WriteFile(rel + "/CD1/t02.mp3", "second track");
  WriteFile(rel + "/CD2/u01.mp3", "fourth");
  WriteFile(site.SettingsPath(), without + "sfvcheck=1\r\n");
  EXPECT_EQ(RunProgram(exe, {pre}), 0);
  EXPECT_EQ(site.Reply("pre"),
            test::ExpectedReply("Rel was successfully pre'd to:\r\n" + dest));
  EXPECT_FALSE(test::Exists(rel));
}

/// Goes `levels` folders "d" down from `root`, folder by folder (such a
/// path is longer than the system takes at once), making them and the file
/// "x.nfo" at the bottom with `make`. Gives the owner and mode of the
/// deepest folder and of that file, or "<broken>".
std::string DeepTree(const std::string& root, int levels, bool make = false) {
  if (make) MakeFolders(root);
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < levels && fd >= 0; ++level) {
    if (make) mkdirat(fd, "d", 0755);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  if (make) close(openat(fd, "x.nfo", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  struct stat folder {}, file {};
  char facts[64] = "<broken>";
  if (fd >= 0 && fstat(fd, &folder) == 0 && fstatat(fd, "x.nfo", &file, AT_SYMLINK_NOFOLLOW) == 0) {
    std::snprintf(facts, sizeof facts, "%u %o, %u %o", folder.st_uid, folder.st_mode & 07777,
                  file.st_uid, file.st_mode & 07777);
  }
  close(fd);
  return facts;
}

TEST_F(ProcessTest, AReleaseDeeperThanTheProgramMayOpenIsMovedAndOwnedOrRefusedWhole) {
  const std::string across = test::OtherDeviceBase();
  if (across.empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(across);
  const bool root = geteuid() == 0;
  const std::string uid = std::to_string(root ? getpwnam("nobody")->pw_uid : geteuid());
  const struct {
    std::string what;
    int levels;
    std::string limits;  // the hard limits too, which the program would otherwise raise
    bool across;
  } cases[] = {
      {"fewer descriptors than levels, across drives", 60, "ulimit -n 40", true},
      {"3,000 levels across drives", 3000, "ulimit -n 1024 && ulimit -s 1024", true},
      {"3,000 levels on one drive", 3000, "ulimit -n 1024 && ulimit -s 1024", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string source = Join(site.own_dir, "Rel");
    const std::string target = c.across ? other.path() : site.to_dir;
    const std::string dest = Join(target, "Rel");
    const std::string before = DeepTree(source, c.levels, true);
    site.WriteSettings(site.own_dir, target, 0, root ? "nobody:nogroup" : test::kKeepOwner, "640");
    ASSERT_TRUE(Shell(c.limits + " && '" + exe + "' 'x|GRP|0|17|" + site.own_dir + "|pre Rel'"));
    if (c.across) {
      EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("Error in setup, please notify a siteop."));
      EXPECT_EQ(DeepTree(source, c.levels), before);
      EXPECT_EQ(DescribeTree(target), "");
    } else {
      EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("Rel was successfully pre'd to:\r\n" + dest));
      EXPECT_FALSE(test::Exists(source));
      EXPECT_EQ(DeepTree(dest, c.levels), uid + " 750, " + uid + " 640");
    }
    // Deeper than the test's own helpers reach by path.
    ASSERT_TRUE(Shell("rm -rf '" + source + "' '" + dest + "'"));
  }
}

}  // namespace
}  // namespace ovpre
