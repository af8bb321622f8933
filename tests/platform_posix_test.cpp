// What the POSIX build does where Windows has its own rules: dot files are
// hidden, links are carried as links, and ownership becomes chown and chmod.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <set>
#include <utility>

#include "app/entry.h"
#include "config/settings_file.h"
#include "fs/move_release.h"
#include "fs/folder_queries.h"
#include "os/posix/io.h"
#include "os/posix/process.h"
#include "platform/native.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Exists;
using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

TEST(StatusFromErrno, TheCausesThatGiveAReasonHaveTheirOwnKind) {
  const struct {
    int error;
    FsStatus::Code code;
  } cases[] = {
      {ENOSPC, FsStatus::kNoSpace}, {EDQUOT, FsStatus::kNoSpace}, {EACCES, FsStatus::kDenied},
      {EPERM, FsStatus::kDenied},   {EROFS, FsStatus::kDenied},   {ETXTBSY, FsStatus::kInUse},
      {EIO, FsStatus::kFailed},
  };
  for (const auto& c : cases) {
    const FsStatus status = StatusFromErrno(c.error);
    EXPECT_EQ(status.code(), c.code) << c.error;
    EXPECT_EQ(status.os_error(), c.error);
    EXPECT_FALSE(status.os_text().empty()) << c.error;
  }
}

class PosixTest : public ::testing::Test {
 protected:
  std::unique_ptr<FileSystem> fs = NewNativeFileSystem();
  TempFolder temp;
};

TEST_F(PosixTest, ArgumentsAreJoinedBySingleSpacesAndTheExecutableIsFound) {
  char a0[] = "ovpre", a1[] = "x|g|0|t|/my  dir|pre", a2[] = "Some", a3[] = "Rel";
  char* argv[] = {a0, a1, a2, a3};
  PosixProcessFacts facts(4, argv);
  EXPECT_EQ(facts.RawArguments(), "x|g|0|t|/my  dir|pre Some Rel");
  EXPECT_EQ(facts.ExecutableStem(), "ovpre_tests");
  EXPECT_TRUE(test::IsFolder(facts.ExecutableFolder()));
}

TEST_F(PosixTest, DotFilesAreHiddenFromListingsButCountedInSizes) {
  WriteFile(temp / ".hidden", std::string(1048576, 'h'));
  WriteFile(temp / "shown", "s");
  std::set<std::string> names;
  const auto listing = ListFolder(*fs, temp.path());
  ASSERT_TRUE(listing.has_value());
  for (const DirEntry& e : *listing) names.insert(e.Name);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "shown"}));
  EXPECT_GT(*FolderSizeMB(*fs, temp.path()), 1.0);
}

TEST_F(PosixTest, AHiddenSettingsFileIsLoadedNeverReplaced) {
  test::SiteFixture site(temp.path());
  site.process.stem = ".ovpre";
  const std::string path = test::Join(site.exe_dir, ".ovpre.ini");
  WriteFile(path, "sitename=Mine\r\n");
  const std::optional<Settings> loaded = LoadSettings(site.platform);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->SiteName, "Mine");
  EXPECT_EQ(ReadFile(path), "sitename=Mine\r\n");
  EXPECT_TRUE(site.notifier.messages.empty());
}

TEST_F(PosixTest, LinksAreCopiedAsLinksAndNeverFollowedWhenDeleting) {
  WriteFile(temp / "outside" + "/precious", "keep");
  WriteFile(temp / "src" + "/a.nfo", "nfo");
  ASSERT_EQ(symlink((temp / "outside").c_str(), (temp / "src" + "/to-outside").c_str()), 0);
  ASSERT_EQ(symlink("a.nfo", (temp / "src" + "/relative").c_str()), 0);
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", temp / "dst", true), MoveOutcome::kMoved);
  EXPECT_EQ(DescribeTree(temp / "dst"),
            "a.nfo:nfo\nrelative -> a.nfo\nto-outside -> " + (temp / "outside") + "\n");
  EXPECT_EQ(ReadFile(temp / "outside" + "/precious"), "keep");
  std::unique_ptr<Folder> moved;
  ASSERT_EQ(fs->OpenFolder(temp / "dst", &moved), FsStatus::kOk);
  EXPECT_EQ(DeleteTree(*moved), FsStatus::kOk);
  EXPECT_EQ(ReadFile(temp / "outside" + "/precious"), "keep");
  // A link is never opened as a folder, neither at the top nor inside.
  ASSERT_EQ(fs->OpenFolder(temp / "outside", &moved), FsStatus::kOk);
  ASSERT_EQ(symlink((temp / "outside").c_str(), (temp / "link").c_str()), 0);
  std::unique_ptr<Folder> through;
  EXPECT_FALSE(fs->OpenFolder(temp / "link", &through).ok());
  std::unique_ptr<Folder> parent;
  ASSERT_EQ(fs->OpenFolder(temp.path(), &parent), FsStatus::kOk);
  EXPECT_FALSE(parent->Open("link", &through).ok());
}

TEST_F(PosixTest, ASymbolicLinkIsNotAReleaseFolder) {
  test::SiteFixture site(temp.path());
  site.WriteSettings(site.own_dir, site.to_dir);
  WriteFile(temp / "elsewhere" + "/f", "f");
  ASSERT_EQ(symlink((temp / "elsewhere").c_str(), (site.own_dir + "/Link").c_str()), 0);
  site.Request("GRP", 0, site.own_dir, "pre Link");
  RunOnce(site.platform);
  EXPECT_NE(site.Reply("pre").find("Unable to find: Link"), std::string::npos);
}

/// Writes "head", a hole of 64 MiB, "tail" and a hole of 8 MiB; returns those bytes.
std::string WriteSparse(const std::string& path) {
  std::string bytes = "head" + std::string(64 << 20, '\0') + "tail";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_TRUE(pwrite(fd, "head", 4, 0) == 4 && pwrite(fd, "tail", 4, bytes.size() - 4) == 4 &&
              ftruncate(fd, bytes.size() + (8 << 20)) == 0 && close(fd) == 0);
  return bytes.append(8 << 20, '\0');
}

blkcnt_t BlocksOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_blocks : -1;
}

TEST_F(PosixTest, CopyKeepsModesTimesAndHolesAndDeleteTakesReadOnlyFolders) {
  WriteFile(temp / "src" + "/sub/ro.txt", "ro");
  WriteFile(temp / "src" + "/dense.bin", std::string(3 << 20, 'd'));
  const std::string sparse = WriteSparse(temp / "src" + "/sparse.img");
  const blkcnt_t blocks = BlocksOf(temp / "src" + "/sparse.img");
  chmod((temp / "src" + "/sub/ro.txt").c_str(), 0444);
  chmod((temp / "src" + "/sub").c_str(), 0555);
  struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  utimensat(AT_FDCWD, (temp / "src" + "/sub/ro.txt").c_str(), old_times, 0);
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", temp / "dst", true), MoveOutcome::kMoved);
  EXPECT_FALSE(Exists(temp / "src"));
  struct stat st {};
  ASSERT_EQ(stat((temp / "dst" + "/sub/ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(st.st_mtime, 1000000000);
  ASSERT_EQ(stat((temp / "dst" + "/sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0555u);
  EXPECT_EQ(ReadFile(temp / "dst" + "/dense.bin"), std::string(3 << 20, 'd'));
  EXPECT_TRUE(ReadFile(temp / "dst" + "/sparse.img") == sparse);
  EXPECT_LT(BlocksOf(temp / "dst" + "/sparse.img"), blocks + 2048);  // not 72 MiB
}

constexpr OwnershipScope kItself = OwnershipScope::kItself;
constexpr OwnershipScope kInside = OwnershipScope::kEverythingInside;

struct EntryFacts {
  uid_t uid;
  gid_t gid;
  mode_t mode;
  bool operator==(const EntryFacts& o) const { return uid == o.uid && gid == o.gid && mode == o.mode; }
};

std::ostream& operator<<(std::ostream& out, const EntryFacts& f) {
  return out << f.uid << ":" << f.gid << " " << std::oct << f.mode << std::dec;
}

EntryFacts FactsOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return {st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

/// One call of `control` on `entry` ("" for the folder itself) of the
/// folder at `folder`, held open for it.
bool Own(OwnershipControl& control, const OwnershipGrant& grant, const std::string& folder,
         const std::string& entry, OwnershipScope scope, std::string* cause = nullptr) {
  std::unique_ptr<Folder> held;
  if (!NewNativeFileSystem()->OpenFolder(folder, &held).ok()) return false;
  return control.SetOwnership(grant, {*held, folder, entry}, scope, cause);
}

/// True when `uid`/`gid` can enter `folder` and read the file inside it.
bool CanReadAs(uid_t uid, gid_t gid, const std::string& folder, const std::string& file) {
  const pid_t pid = fork();
  if (pid == 0) {
    const gid_t none[] = {gid};
    const bool dropped = setgroups(1, none) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
    _exit(dropped && chdir(folder.c_str()) == 0 && access(file.c_str(), R_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(PosixTest, OwnershipReachesEveryLevelAndDotEntriesButNoLink) {
  if (geteuid() != 0) GTEST_SKIP() << "owners can only be given by root";
  const passwd* nobody = getpwnam("nobody");
  const group* nogroup = getgrnam("nogroup");
  ASSERT_TRUE(nobody && nogroup);
  const std::string rel = temp / "rel";
  WriteFile(rel + "/a.nfo", "a");
  WriteFile(rel + "/CD1/Sub/Deep/t.mp3", "t");
  WriteFile(rel + "/.hidden/.inner/x", "x");
  WriteFile(temp / "outside", "o");
  ASSERT_EQ(symlink((temp / "outside").c_str(), (rel + "/CD1/Sub/link").c_str()), 0);
  chmod((rel + "/CD1/Sub/Deep").c_str(), 0700);
  const EntryFacts outside = FactsOf(temp / "outside");
  const mode_t link_mode = FactsOf(rel + "/CD1/Sub/link").mode;

  std::unique_ptr<OwnershipControl> control = NewServerControlFactory()->Create(nullptr);
  ASSERT_TRUE(control);
  // Set-user and sticky bits are dropped; readable folders become searchable.
  EXPECT_TRUE(Own(*control, {"5644", "nobody", "nogroup"}, rel, "", kItself));
  EXPECT_TRUE(Own(*control, {"5644", "nobody", "nogroup"}, rel, "", kInside));
  const uid_t u = nobody->pw_uid;
  const gid_t g = nogroup->gr_gid;
  const EntryFacts folder{u, g, 0755};
  const EntryFacts file{u, g, 0644};
  for (const char* path : {"", "/CD1", "/CD1/Sub", "/CD1/Sub/Deep", "/.hidden", "/.hidden/.inner"}) {
    EXPECT_EQ(FactsOf(rel + path), folder) << path;
  }
  for (const char* path : {"/a.nfo", "/CD1/Sub/Deep/t.mp3", "/.hidden/.inner/x"}) {
    EXPECT_EQ(FactsOf(rel + path), file) << path;
  }
  // The link itself changes owner and keeps its mode; what it points to is
  // left as it was.
  EXPECT_EQ(FactsOf(rel + "/CD1/Sub/link"), (EntryFacts{u, g, link_mode}));
  EXPECT_EQ(FactsOf(temp / "outside"), outside);
  EXPECT_TRUE(CanReadAs(u, g, rel + "/CD1/Sub/Deep", "t.mp3"));

  // 640 leaves others out of every folder, and only the group may enter.
  EXPECT_TRUE(Own(*control, {"640", "", ""}, rel, "", kInside));
  EXPECT_EQ(FactsOf(rel + "/CD1/Sub/Deep").mode, 0750u);
  EXPECT_EQ(FactsOf(rel + "/CD1/Sub/Deep/t.mp3").mode, 0640u);
  EXPECT_FALSE(CanReadAs(u + 1, g + 1, rel + "/CD1/Sub/Deep", "t.mp3"));
}

/// The real control, made only after `swap` has run once.
class SwapFirstOwnership final : public OwnershipControlFactory {
 public:
  std::function<void()> swap;
  std::unique_ptr<OwnershipControl> Create(std::string* cause) override {
    if (swap) std::exchange(swap, nullptr)();
    return NewServerControlFactory()->Create(cause);
  }
};

TEST_F(PosixTest, AFolderAboveTheTargetSwappedAfterTheMoveLeadsOwnershipNowhereElse) {
  if (geteuid() != 0) GTEST_SKIP() << "owners can only be given by root";
  test::SiteFixture site(temp.path());
  site.WriteSettings(site.own_dir, site.to_dir, 0, "nobody:nogroup", "600");
  WriteFile(site.own_dir + "/Rel/a.nfo", "nfo");
  const std::string theirs = temp / "outside" + "/Rel";
  WriteFile(theirs + "/a.nfo", "theirs");
  const EntryFacts folder = FactsOf(theirs), file = FactsOf(theirs + "/a.nfo");
  SwapFirstOwnership ownership;
  ownership.swap = [&] {
    ASSERT_EQ(rename(site.to_dir.c_str(), (site.to_dir + ".away").c_str()), 0);
    ASSERT_EQ(symlink((temp / "outside").c_str(), site.to_dir.c_str()), 0);
  };
  Platform platform{*site.fs, site.clock, site.process, site.notifier, ownership};
  site.Request("GRP", 0, site.own_dir, "pre Rel");
  RunOnce(platform);
  EXPECT_EQ(FactsOf(theirs), folder);
  EXPECT_EQ(FactsOf(theirs + "/a.nfo"), file);
  EXPECT_EQ(FactsOf(site.to_dir + ".away/Rel/a.nfo").mode, 0600u);
}

TEST_F(PosixTest, OwnershipWithAnUnknownNameOrABadModeGivesNothing) {
  WriteFile(temp / "rel" + "/a.nfo", "a");
  chmod((temp / "rel" + "/a.nfo").c_str(), 0600);
  std::unique_ptr<OwnershipControl> control = NewServerControlFactory()->Create(nullptr);
  const EntryFacts before = FactsOf(temp / "rel" + "/a.nfo");
  const struct {
    const char *perms, *user, *group;
  } refused[] = {{"644", "no-such-user-x", ""}, {"644", "", "no-such-group-x"},
                 {"644", "nobody", "no-such-group-x"}, {"rwx", "", ""}, {"8", "", ""},
                 {"07555", "", ""}, {"-644", "", ""}, {" 644", "", ""}};
  for (const auto& r : refused) {
    for (const OwnershipScope scope : {kItself, kInside}) {
      const std::string entry = scope == kItself ? "a.nfo" : "";
      std::string cause;
      EXPECT_FALSE(Own(*control, {r.perms, r.user, r.group}, temp / "rel", entry, scope, &cause))
          << r.perms << r.user << r.group;
      EXPECT_FALSE(cause.empty());
    }
  }
  EXPECT_EQ(FactsOf(temp / "rel" + "/a.nfo"), before);
  // Empty parts leave that part alone.
  EXPECT_TRUE(Own(*control, {"", "", ""}, temp / "rel", "a.nfo", kItself));
  EXPECT_TRUE(Own(*control, {"4", "", ""}, temp / "rel", "a.nfo", kItself));
  EXPECT_EQ(FactsOf(temp / "rel" + "/a.nfo").mode, 04u);
  EXPECT_EQ(FactsOf(temp / "rel" + "/a.nfo").uid, before.uid);
  std::string cause;
  EXPECT_FALSE(Own(*control, {"600", "", ""}, temp.path(), "missing", kItself, &cause));
  EXPECT_EQ(cause, "missing: 2 No such file or directory");
}

}  // namespace
}  // namespace ovpre
