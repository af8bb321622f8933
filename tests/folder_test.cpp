#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "fs/move_release.h"
#include "fs/folder_queries.h"
#include "platform/native.h"
#include "support/memory_fs.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Exists;
using test::Join;
using test::MakeFolders;
using test::TempFolder;
using test::WriteFile;

class FolderTest : public ::testing::Test {
 protected:
  /// A small release: a file at the top, a subfolder with files, an empty
  /// folder, and a file whose name a Windows user would not see.
  void MakeRelease(const std::string& root) {
    WriteFile(Join(root, "a.nfo"), "nfo");
    WriteFile(Join(root, "CD1" + test::Sep() + "track.mp3"), std::string(3000, 'm'));
    WriteFile(Join(root, "CD1" + test::Sep() + "deep" + test::Sep() + "x.sfv"), "sfv");
    MakeFolders(Join(root, "Empty"));
  }

  std::unique_ptr<FileSystem> fs = NewNativeFileSystem();
  TempFolder temp;
};

TEST_F(FolderTest, ListFolderHoldsDotsNamesDatesAndAttributes) {
  const std::string folder = temp / "rel";
  MakeRelease(folder);
  const auto listing = ListFolder(*fs, folder);
  ASSERT_TRUE(listing.has_value());
  std::set<std::string> names;
  for (const DirEntry& e : *listing) {
    names.insert(e.Name);
    if (e.Name == "..") {
      EXPECT_EQ(e.Modified, 0);
      EXPECT_EQ(e.Attributes, 0u);
    } else {
      EXPECT_GT(e.Modified, 40000.0) << e.Name;  // a date after 2009
    }
    if (e.Name == "CD1") {
      EXPECT_TRUE(e.Attributes & kAttrFolder);
    }
    if (e.Name == "a.nfo") {
      EXPECT_FALSE(e.Attributes & kAttrFolder);
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "a.nfo", "CD1", "Empty"}));
  EXPECT_EQ(listing->size(), 5u);
}

TEST_F(FolderTest, ListFolderOfNothingIsOneEmptyElementAndMissingFolderFails) {
  // Only a drive's root lists without "." and ".."; the in-memory file
  // system has such a root that holds nothing.
  test::MemoryFileSystem memory;
  memory.AddFolder("E:");
  const auto none = ListFolder(memory, "E:");
  ASSERT_TRUE(none.has_value());
  ASSERT_EQ(none->size(), 1u);
  EXPECT_EQ((*none)[0].Name, "");
  EXPECT_FALSE(ListFolder(*fs, temp / "missing").has_value());
}

TEST_F(FolderTest, FolderSizeIsUnroundedMegabytes) {
  WriteFile(temp / "big" + test::Sep() + "one", std::string(1048576, 'x'));
  WriteFile(temp / "big" + test::Sep() + "sub" + test::Sep() + "two", std::string(524288, 'y'));
  EXPECT_DOUBLE_EQ(*FolderSizeMB(*fs, temp / "big"), 1.5);
  WriteFile(temp / "big" + test::Sep() + "three", std::string(1572864, 'z'));
  EXPECT_DOUBLE_EQ(*FolderSizeMB(*fs, temp / "big"), 3.0);
  EXPECT_FALSE(FolderSizeMB(*fs, temp / "missing").has_value());
}

TEST_F(FolderTest, FreeSpaceIsKnownEvenForAFolderNotYetThere) {
  const auto free = DriveFreeMB(*fs, Join(temp / "not" + test::Sep() + "yet", "Rel"));
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0.0);
}

TEST_F(FolderTest, RenameMovesTheTreeWhole) {
  MakeRelease(temp / "src");
  const std::string before = DescribeTree(temp / "src");
  MoveReport report;
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", temp / "dst", false, &report),
            MoveOutcome::kMoved);
  EXPECT_FALSE(report.copied);
  EXPECT_EQ(report.failure, FsStatus::kOk);
  EXPECT_EQ(report.step, "");
  EXPECT_FALSE(Exists(temp / "src"));
  EXPECT_EQ(DescribeTree(temp / "dst"), before);
}

TEST_F(FolderTest, CopyAndDeleteMovesTheTreeWhole) {
  MakeRelease(temp / "src");
  const std::string before = DescribeTree(temp / "src");
  MoveReport report;
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", temp / "dst", true, &report),
            MoveOutcome::kMoved);
  EXPECT_TRUE(report.copied);
  EXPECT_EQ(report.files, 3u);
  EXPECT_EQ(report.bytes, 3006u);
  EXPECT_EQ(report.failure, FsStatus::kOk);
  EXPECT_FALSE(Exists(temp / "src"));
  EXPECT_EQ(DescribeTree(temp / "dst"), before);
}

TEST_F(FolderTest, AcrossDevicesTheRenameFallsBackToCopy) {
  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second file system";
  TempFolder other(test::OtherDeviceBase());
  MakeRelease(temp / "src");
  const std::string before = DescribeTree(temp / "src");
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", other / "dst", false), MoveOutcome::kMoved);
  EXPECT_FALSE(Exists(temp / "src"));
  EXPECT_EQ(DescribeTree(other / "dst"), before);
}

TEST_F(FolderTest, AnExistingDestinationIsNeverMergedOrReplaced) {
  MakeRelease(temp / "src");
  const std::string before = DescribeTree(temp / "src");
  MakeFolders(temp / "emptydst");
  WriteFile(temp / "filedst", "keep");
  WriteFile(temp / "fulldst" + test::Sep() + "a.nfo", "theirs");
  for (const bool copy : {false, true}) {
    for (const char* name : {"emptydst", "filedst", "fulldst"}) {
      MoveReport report;
      EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", temp / name, copy, &report),
                MoveOutcome::kNotMoved)
          << name << " copy=" << copy;
      EXPECT_EQ(report.failure, FsStatus::kExists);
      EXPECT_EQ(report.step, "check destination");
    }
  }
  EXPECT_EQ(DescribeTree(temp / "src"), before);
  EXPECT_EQ(DescribeTree(temp / "emptydst"), "");
  EXPECT_EQ(test::ReadFile(temp / "filedst"), "keep");
  EXPECT_EQ(DescribeTree(temp / "fulldst"), "a.nfo:theirs\n");
}

TEST_F(FolderTest, AMissingParentIsNotCreated) {
  MakeRelease(temp / "src");
  const std::string target = Join(temp / "0102", "dst");
  for (const bool copy : {false, true}) {
    MoveReport report;
    EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", target, copy, &report),
              MoveOutcome::kNotMoved);
    EXPECT_EQ(report.failure, FsStatus::kNotFound);
    EXPECT_EQ(report.step, "open target");
  }
  EXPECT_FALSE(Exists(temp / "0102"));
  EXPECT_TRUE(Exists(Join(temp / "src", "a.nfo")));
}

#ifndef _WIN32
TEST_F(FolderTest, APipeInTheReleaseIsNotCopiedAndSaysSo) {
  MakeRelease(temp / "src");
  ASSERT_EQ(mkfifo((temp / "src" + "/pipe").c_str(), 0600), 0);
  MoveReport report;
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "src", temp / "dst", true, &report),
            MoveOutcome::kNotMoved);
  EXPECT_EQ(report.failure, FsStatus::kNotCopyable);
  EXPECT_EQ(report.step, "copy");
  EXPECT_FALSE(Exists(temp / "dst"));
}
#endif

}  // namespace
}  // namespace ovpre
