// What the POSIX build does where Windows has its own rules: dot files are
// hidden, links are carried as links, and ownership becomes chown and chmod.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "app/entry.h"
#include "config/settings_file.h"
#include "fs/folder_ops.h"
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
  EXPECT_EQ(DeleteTree(*fs, temp / "dst"), FsStatus::kOk);
  EXPECT_EQ(ReadFile(temp / "outside" + "/precious"), "keep");
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

TEST_F(PosixTest, CopyKeepsModesAndTimesAndDeleteTakesReadOnlyFolders) {
  WriteFile(temp / "src" + "/sub/ro.txt", "ro");
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
}

constexpr OwnershipScope kItself = OwnershipScope::kItself;
constexpr OwnershipScope kInside = OwnershipScope::kEverythingInside;

TEST_F(PosixTest, OwnershipSetsModesOnThePathOrEverythingDirectlyInside) {
  WriteFile(temp / "rel" + "/a.nfo", "a");
  WriteFile(temp / "rel" + "/CD1/t.mp3", "t");
  ASSERT_EQ(symlink("a.nfo", (temp / "rel" + "/link").c_str()), 0);
  const auto mode = [&](const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  };
  const mode_t link_mode = mode(temp / "rel" + "/link");
  std::unique_ptr<OwnershipControl> control = NewServerControlFactory()->Create(nullptr);
  ASSERT_TRUE(control);
  // Unknown user and group names leave the owner as it is.
  EXPECT_TRUE(control->SetOwnership("640", "no-such-user-x", "", temp / "rel", kInside, nullptr));
  EXPECT_EQ(mode(temp / "rel" + "/a.nfo"), 0640u);
  EXPECT_EQ(mode(temp / "rel" + "/CD1"), 0640u);
  EXPECT_EQ(mode(temp / "rel" + "/CD1/t.mp3"), 0644u) << "deeper levels are not reached";
  EXPECT_EQ(mode(temp / "rel" + "/link"), link_mode);
  EXPECT_TRUE(control->SetOwnership("rwx", "", "", temp / "rel", kItself, nullptr));
  EXPECT_EQ(mode(temp / "rel"), 0755u) << "a permission that is not octal changes nothing";
  EXPECT_TRUE(control->SetOwnership("600", "", "", temp / "rel" + "/a.nfo", kInside, nullptr));
  EXPECT_EQ(mode(temp / "rel" + "/a.nfo"), 0640u);
  std::string cause;
  EXPECT_FALSE(control->SetOwnership("600", "", "", temp / "missing", kItself, &cause));
  EXPECT_EQ(cause, "2 No such file or directory");
  if (geteuid() == 0) {
    EXPECT_TRUE(control->SetOwnership("600", "nobody", "nogroup", temp / "rel" + "/a.nfo", kItself, nullptr));
    struct stat st {};
    lstat((temp / "rel" + "/a.nfo").c_str(), &st);
    EXPECT_NE(st.st_uid, 0u);
  }
}

}  // namespace
}  // namespace ovpre
