// Site pre on Windows with names beyond ASCII and paths beyond 260
// characters, on one drive and across drives.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "app/entry.h"
#include "fs/move_release.h"
#include "fs/folder_queries.h"
#include "fs/work_entry.h"
#include "os/win32/io.h"
#include "os/win32/text.h"
#include "support/fakes.h"
#include "support/temp_folder.h"
#include "text/text.h"

namespace ovpre {
namespace {

using test::Join;
using test::SiteFixture;
using test::TempFolder;

/// The path the open `handle` has now.
std::string PathOf(HANDLE handle) {
  wchar_t path[1024] = {};
  const DWORD length = GetFinalPathNameByHandleW(handle, path, 1024, VOLUME_NAME_DOS);
  return length > 0 && length < 1024 ? Utf8FromWide(path) : "";
}

/// The release's staged tree in the work folder of `target`, whose name
/// the program keys; where there is none yet, the plain name.
std::string StagedIn(const std::string& target, const std::string& release) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(target), error)) {
    const std::string name = entry.path().filename().u8string();
    const std::string staged = Join(target, name + "\\" + release + "\\release");
    if (name.compare(0, std::strlen(kWorkFolderName), kWorkFolderName) == 0 &&
        std::filesystem::exists(std::filesystem::u8path(staged), error)) {
      return staged;
    }
  }
  return Join(target, std::string(kWorkFolderName) + "\\" + release + "\\release");
}

/// IDs as FAT gives them: from the folder and the entry's place in it, so
/// that every rename gives another.
FsStatus IdFromPlace(HANDLE handle, FileId* id) {
  const FsStatus status = ReadFileId(handle, id);
  id->file = Fnv1a(LowerCaseUtf8(PathOf(handle)));
  return status;
}

class Win32PreTest : public ::testing::Test {
 protected:
  /// Runs "site pre `release`" for a group whose target is `to_dir` and
  /// returns the reply file's bytes; through `other` when given.
  std::string Pre(const std::string& release, const std::string& to_dir,
                  FileSystem* other = nullptr) {
    site.WriteSettings(site.own_dir, to_dir);
    site.Request("GRP", 0, site.own_dir, "pre " + release);
    Platform platform = site.With(other ? *other : fs);
    RunOnce(platform);
    return site.Reply("pre");
  }

  static std::string Refusal(const std::string& reason) {
    return test::ExpectedReply(
        "Error moving folder -- the destination path probably\r\nalready exists.\r\n" + reason);
  }

  /// The reply as the server reads it: in the system code page.
  static std::string Success(const std::string& release, const std::string& destination) {
    return SystemCodePageFromUtf8(
        test::ExpectedReply(release + " was successfully pre'd to:\r\n" + destination));
  }

  /// Builds a release through the file system under test, so that it may be
  /// deeper than the test helpers reach. Returns the path of its one file
  /// relative to the release folder.
  std::string MakeRelease(const std::string& release, int levels) {
    std::string relative;
    std::string folder = Join(site.own_dir, release);
    std::unique_ptr<Folder> at;
    EXPECT_EQ(fs.OpenFolder(site.own_dir, &at), FsStatus::kOk);
    std::unique_ptr<Folder> made;
    EXPECT_EQ(at->Make(release, &made), FsStatus::kOk);
    for (int level = 0; level < levels; ++level) {
      const std::string name = std::string(60, 'd') + std::to_string(level);
      relative += "\\" + name;
      folder += "\\" + name;
      at = std::move(made);
      EXPECT_EQ(at->Make(name, &made), FsStatus::kOk) << folder.size();
    }
    EXPECT_EQ(fs.CreateTextFile(folder + "\\x.sfv", "sfv"), FsStatus::kOk);
    return relative + "\\x.sfv";
  }

  std::unique_ptr<Folder> OpenOrDie(const std::string& path) {
    std::unique_ptr<Folder> folder;
    EXPECT_EQ(fs.OpenFolder(path, &folder), FsStatus::kOk) << path;
    return folder;
  }

  std::string Content(const std::string& path) {
    std::string text = "<missing>";
    fs.ReadTextFile(path, &text);
    return text;
  }

  TempFolder temp;
  SiteFixture site{temp.path()};
  FileSystem& fs = *site.fs;
};

TEST_F(Win32PreTest, NonAsciiReleaseNamesMoveOnOneDriveAndAcross) {
  // Names the system code page (1252 under the tests) holds exactly.
  const std::string here = "Caf\xC3\xA9.\xC3\x86-GRP";          // Café.Æ-GRP
  const std::string there = "\xC3\x9C" "ber.\xC3\x9F-GRP";  // Über.ß-GRP
  const std::string file_here = MakeRelease(here, 0);
  const std::string file_there = MakeRelease(there, 0);

  const std::string destination = Join(site.to_dir, here);
  EXPECT_EQ(Pre(here, site.to_dir), Success(here, destination));
  EXPECT_EQ(Content(destination + file_here), "sfv");
  EXPECT_EQ(fs.KindOf(Join(site.own_dir, here)), EntryKind::kMissing);
  const std::string announce = test::ReadFile(site.announce);
  EXPECT_NE(announce.find(SystemCodePageFromUtf8(destination)), std::string::npos);
  // A name the code page lacks would be announced as "?-GRP": refused.
  const std::string han = "\xE4\xB8\xAD-GRP";  // 中-GRP
  MakeRelease(han, 0);
  EXPECT_EQ(Pre(han, site.to_dir),
            SystemCodePageFromUtf8(test::ExpectedReply("Invalid release name: " + han)));
  EXPECT_EQ(fs.KindOf(Join(site.own_dir, han)), EntryKind::kFolder);

  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second drive";
  TempFolder other(test::OtherDeviceBase());
  const std::string across = Join(other.path(), there);
  EXPECT_EQ(Pre(there, other.path()), Success(there, across));
  EXPECT_EQ(Content(across + file_there), "sfv");
  EXPECT_EQ(fs.KindOf(Join(site.own_dir, there)), EntryKind::kMissing);
}

TEST_F(Win32PreTest, PathsBeyond260CharactersWork) {
  const std::string file = MakeRelease("Long.Release-GRP", 5);
  const std::string source = Join(site.own_dir, "Long.Release-GRP");
  ASSERT_GT((source + file).size(), 300u);
  EXPECT_EQ(FolderSizeBytes(fs, source), 3u);
  const std::string deepest = (source + file).substr(0, (source + file).rfind('\\'));
  const auto listing = ListFolder(fs, deepest);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->size(), 3u);  // ".", ".." and x.sfv

  const std::string destination = Join(site.to_dir, "Long.Release-GRP");
  Pre("Long.Release-GRP", site.to_dir);
  EXPECT_EQ(Content(destination + file), "sfv");

  if (!test::OtherDeviceBase().empty()) {
    TempFolder other(test::OtherDeviceBase());
    const std::string across = Join(other.path(), "Long.Release-GRP");
    // Back to the group's folder first, then across as a pre.
    ASSERT_EQ(MoveFolderSafely(fs, destination, source, false), MoveOutcome::kMoved);
    Pre("Long.Release-GRP", other.path());
    EXPECT_EQ(Content(across + file), "sfv");
    EXPECT_EQ(fs.KindOf(source), EntryKind::kMissing);
    EXPECT_EQ(DeleteTree(*OpenOrDie(across)), FsStatus::kOk);
    EXPECT_EQ(fs.KindOf(across), EntryKind::kMissing);
  }
  // The temporary folder's own clean-up need not reach this deep.
  if (fs.KindOf(destination) != EntryKind::kMissing) {
    EXPECT_EQ(DeleteTree(*OpenOrDie(destination)), FsStatus::kOk);
  }
}

TEST_F(Win32PreTest, WhatARenameDidIsReportedAsItHappenedWhateverTheFileSystemDoes) {
  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second drive";
  TempFolder other(test::OtherDeviceBase());
  FileHandle intruder(INVALID_HANDLE_VALUE);
  Win32Hooks fat;  // IDs from the entry's place, and the file system says so
  fat.read_id = IdFromPlace;
  fat.ids_last = [](HANDLE) { return false; };
  Win32Hooks changing;  // IDs from the entry's place on a file system that hides it
  changing.read_id = IdFromPlace;
  Win32Hooks busy_below;  // NTFS: a folder with a file below it open is not renamed
  busy_below.rename = [](HANDLE, const std::string&) {
    return StatusFromWin32Error(ERROR_ACCESS_DENIED);
  };
  Win32Hooks intruded;  // another program opens the renamed folder with DELETE at once
  intruded.read_id = [&](HANDLE handle, FileId* id) {
    const std::string path = PathOf(handle);
    const std::string renamed = "\\release";
    if (!intruder.valid() && path.size() > renamed.size() &&
        path.compare(path.size() - renamed.size(), renamed.size(), renamed) == 0) {
      intruder = FileHandle(CreateFileW(Win32Path(path).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    }
    return ReadFileId(handle, id);
  };
  const std::string in_use = Refusal("Reason: a file in the release is in use.");
  const std::string waits = Refusal(
      "Reason: the release waits in the target's work folder, please notify a siteop.");
  const struct {
    const char* release;
    Win32Hooks& hooks;
    bool across;
    const std::string* refusal;  // null: done
  } cases[] = {
      {"Fat.Same-GRP", fat, false, nullptr},
      {"Fat.Across-GRP", fat, true, nullptr},
      {"Changing.Same-GRP", changing, false, nullptr},
      {"Changing.Across-GRP", changing, true, nullptr},
      {"Busy.Below-GRP", busy_below, false, &in_use},
      {"Intruded-GRP", intruded, false, &waits},
  };
  for (const auto& c : cases) {
    const std::string file = MakeRelease(c.release, 1);
    const std::string to_dir = c.across ? other.path() : site.to_dir;
    const std::string destination = Join(to_dir, c.release);
    std::unique_ptr<FileSystem> hooked = NewWin32FileSystem(c.hooks);
    const std::string reply = Pre(c.release, to_dir, hooked.get());
    intruder.Close();
    // Whole in one place, and that place is the one the reply names.
    const std::string staged = StagedIn(to_dir, c.release);
    const std::string whole_at = !c.refusal ? destination
                                 : c.refusal == &waits ? staged
                                                       : Join(site.own_dir, c.release);
    EXPECT_EQ(reply, c.refusal ? *c.refusal : Success(c.release, destination)) << c.release;
    EXPECT_EQ(Content(whole_at + file), "sfv") << c.release;
    for (const std::string& elsewhere : {destination, Join(site.own_dir, c.release), staged}) {
      if (elsewhere == whole_at) continue;
      EXPECT_EQ(fs.KindOf(elsewhere), EntryKind::kMissing) << elsewhere;
    }
  }
}

TEST_F(Win32PreTest, AStagedFileChangedBeforeThePublishIsNeverPublished) {
  // A user who may write in the target rewrites a staged file with as many
  // other bytes, after the copy and before the publish.
  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second drive";
  TempFolder other(test::OtherDeviceBase());
  const std::string file = MakeRelease("Staged-GRP", 1);
  const auto staged = [&] { return StagedIn(other.path(), "Staged-GRP") + file; };
  test::FailingFileSystem failing(fs, 0);
  failing.before = [&](int) {
    if (failing.current_op == "Folder::MoveTo" && fs.KindOf(staged()) == EntryKind::kFile) {
      test::WriteFile(staged(), "SFV");
    }
  };
  EXPECT_EQ(Pre("Staged-GRP", other.path(), &failing),
            Refusal("The release changed while it was being copied; try again when the upload "
                    "has finished."));
  EXPECT_EQ(Content(Join(site.own_dir, "Staged-GRP") + file), "sfv");
  EXPECT_EQ(fs.KindOf(Join(other.path(), "Staged-GRP")), EntryKind::kMissing);
  EXPECT_EQ(fs.KindOf(staged()), EntryKind::kMissing);
}

}  // namespace
}  // namespace ovpre
