// Fails each file-system operation of a whole "site pre" in turn and checks
// that the release always ends whole in exactly one place, and that the
// reply says which.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <filesystem>
#include <functional>
#include <iterator>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/entry.h"
#include "fs/move_release.h"
#include "fs/work_entry.h"
#include "platform/native.h"
#include "request/reply.h"
#include "support/fakes.h"
#include "support/memory_fs.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Exists;
using test::FailingFileSystem;
using test::Join;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

const char* const kRelease = "Rel-GRP";

void MakeRelease(const std::string& root) {
  const std::string s = test::Sep();
  WriteFile(Join(root, "a.nfo"), "nfo");
  WriteFile(Join(root, "CD1" + s + "t.mp3"), "mp3");
  WriteFile(Join(root, "CD1" + s + "deep" + s + "x.sfv"), "sfv");
  WriteFile(Join(root, "CD2" + s + "u.mp3"), "mp3-2");
  test::MakeFolders(Join(root, "Empty"));
}

/// Where the release ended after one run.
struct Result {
  bool whole_at_source = false;
  bool source_gone = false;
  bool whole_at_destination = false;
  bool destination_gone = false;
  std::string reply;
  int operations = 0;
};

/// One "site pre" with operation `fail_at` failing; `target` is the group's
/// target folder, on the same or another file system.
Result RunWithFault(int fail_at, const std::string& target_base) {
  TempFolder temp;
  TempFolder target_root(target_base);
  SiteFixture site(temp.path());
  site.WriteSettings(site.own_dir, target_root.path());
  const std::string source = Join(site.own_dir, kRelease);
  const std::string destination = Join(target_root.path(), kRelease);
  MakeRelease(source);
  const std::string tree = DescribeTree(source);

  FailingFileSystem failing(*site.fs, fail_at);
  Platform platform = site.With(failing);
  site.Request("GRP", 0, site.own_dir, std::string("pre ") + kRelease);
  RunOnce(platform);

  Result r;
  r.whole_at_source = DescribeTree(source) == tree;
  r.source_gone = !Exists(source);
  r.whole_at_destination = DescribeTree(destination) == tree;
  r.destination_gone = !Exists(destination);
  r.reply = site.Reply("pre");
  r.operations = failing.operations();
  return r;
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

void CheckEveryFault(const std::string& target_base) {
  const Result clean = RunWithFault(0, target_base);
  ASSERT_TRUE(clean.whole_at_destination && clean.source_gone) << clean.reply;
  const std::string banner = std::string(kReplyBanner) + "\r\n";
  const std::string success = banner + kRelease + " was successfully pre'd to:";
  for (int k = 1; k <= clean.operations; ++k) {
    SCOPED_TRACE("failing operation " + std::to_string(k));
    const Result r = RunWithFault(k, target_base);
    if (r.whole_at_destination) {
      // Moved: the source may keep leftovers only after a copy, and the user
      // is told of success (unless the reply itself could not be written).
      EXPECT_TRUE(r.reply == "<missing>" || StartsWith(r.reply, success)) << r.reply;
    } else {
      EXPECT_TRUE(r.whole_at_source) << "release lost or partial";
      EXPECT_TRUE(r.destination_gone) << "partial release left in the target folder";
      EXPECT_FALSE(StartsWith(r.reply, success)) << r.reply;
    }
  }
}

TEST(FaultInjection, RenameKeepsTheReleaseWholeInOnePlace) {
  CheckEveryFault("");
}

TEST(FaultInjection, CopyAcrossFileSystemsKeepsTheReleaseWholeInOnePlace) {
  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second file system";
  CheckEveryFault(test::OtherDeviceBase());
}

TEST(FaultInjection, CopyAndDeleteOnItsOwnKeepsTheReleaseWholeInOnePlace) {
  // The copy path without a second file system: fail each operation of
  // MoveFolderSafely with copying forced.
  int operations = 0;
  for (int k = 0; k == 0 || k <= operations; ++k) {
    SCOPED_TRACE("failing operation " + std::to_string(k));
    TempFolder temp;
    MakeRelease(temp / "src");
    const std::string tree = DescribeTree(temp / "src");
    const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
    FailingFileSystem failing(*real, k);
    const MoveOutcome outcome = MoveFolderSafely(failing, temp / "src", temp / "dst", true);
    if (k == 0) operations = failing.operations();
    switch (outcome) {
      case MoveOutcome::kMoved:
        EXPECT_FALSE(Exists(temp / "src"));
        EXPECT_EQ(DescribeTree(temp / "dst"), tree);
        break;
      case MoveOutcome::kMovedSourceLeft:
        EXPECT_EQ(DescribeTree(temp / "dst"), tree);
        break;
      case MoveOutcome::kNotMoved:
      case MoveOutcome::kSwapped:
        EXPECT_EQ(outcome, MoveOutcome::kNotMoved);
        EXPECT_EQ(DescribeTree(temp / "src"), tree);
        EXPECT_FALSE(Exists(temp / "dst"));
        // Whatever a failed copy left behind is hidden and never blocks the
        // next try.
        EXPECT_EQ(MoveFolderSafely(*real, temp / "src", temp / "dst", true), MoveOutcome::kMoved);
        EXPECT_EQ(DescribeTree(temp / "dst"), tree);
        break;
    }
  }
  EXPECT_GT(operations, 10);
}

TEST(FaultInjection, AFolderMovedOutAndBackDuringTheCopyIsNotLost) {
  // An upload client moves a folder of the release out and back while the
  // copy runs, at every step in turn. The snapshots before and after the
  // copy both see it; only a check of the copy itself notices that it
  // lacks the folder, which the source's deletion would then destroy.
  namespace fs = std::filesystem;
  int operations = 0;
  for (int k = 0; k == 0 || k <= operations; ++k) {
    for (const int back : {2, 10}) {
      SCOPED_TRACE("moved out at operation " + std::to_string(k) + " for " + std::to_string(back));
      TempFolder temp;
      MakeRelease(temp / "src");
      const fs::path cd1 = fs::u8path(Join(temp / "src", "CD1"));
      const fs::path outside = fs::u8path(temp / "outside");
      std::error_code error;
      const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
      FailingFileSystem watched(*real, 0);
      watched.before = [&](int operation) {
        if (operation == k) fs::rename(cd1, outside, error);
        if (operation == k + back) fs::rename(outside, cd1, error);
      };
      MoveFolderSafely(watched, temp / "src", temp / "dst", true);
      if (k == 0) operations = watched.operations();
      const std::string all = DescribeTree(temp.path());
      EXPECT_NE(all.find("/deep/x.sfv:sfv\n"), std::string::npos) << all;
      EXPECT_NE(all.find("/t.mp3:mp3\n"), std::string::npos) << all;
    }
  }
}

TEST(FaultInjection, AWriteAfterTheCopyIsNeverLost) {
  // Each row changes a file of the release after the copy was checked,
  // while the copy is made durable: published as checked, the changed
  // file stays at the source with every byte, and what it is now shows.
  namespace fs = std::filesystem;
  TempFolder temp;
  const std::string nfo = Join(temp / "src", "a.nfo");
  const auto content = [&] { return test::ReadFile(nfo); };
#ifndef _WIN32
  const std::string link = Join(temp / "src", "l");
  int writer = -1;
#endif
  const struct {
    std::string what;
    std::function<void()> act, after;  // at the flush; after the pre
    std::function<std::string()> left;  // what the source holds then
    std::string expected;
  } cases[] = {
      {"an append", [&] { WriteFile(nfo, "nfo, and more"); }, [] {}, content, "nfo, and more"},
      {"a rewrite of the same size, its modified time put back", [&] {
         const auto modified = fs::last_write_time(fs::u8path(nfo));
         WriteFile(nfo, "NFO");
         fs::last_write_time(fs::u8path(nfo), modified);
       }, [] {}, content, "NFO"},
#ifndef _WIN32
      // Opened for writing, not yet written to: only the writer's open
      // tells, and it writes once the pre is over.
      {"an open for writing", [&] { writer = open(nfo.c_str(), O_WRONLY | O_APPEND); },
       [&] { EXPECT_EQ(write(writer, "!", 1), 1); close(writer); }, content, "nfo!"},
      {"a link pointed elsewhere", [&] { fs::remove(link); fs::create_symlink("CD2", link); },
       [] {}, [&] { return fs::read_symlink(link).string(); }, "CD2"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeRelease(temp / "src");
#ifndef _WIN32
    fs::create_symlink("a.nfo", link);
#endif
    const std::string tree = DescribeTree(temp / "src");
    const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
    FailingFileSystem failing(*real, 0);
    std::vector<std::string> ops;
    failing.before = [&](int) {
      ops.push_back(failing.current_op);
      if (failing.current_op == "Folder::Flush") c.act();
    };
    EXPECT_EQ(MoveFolderSafely(failing, temp / "src", temp / "dst", true),
              MoveOutcome::kMovedSourceLeft);
    c.after();
    // The publish is made durable before the first look at a source file.
    const auto first_look = std::find(ops.begin(), ops.end(), "Folder::RemoveFileIfUnchanged");
    const auto publish =
        std::find(std::make_reverse_iterator(first_look), ops.rend(), "Folder::MoveTo");
    EXPECT_NE(std::find(publish.base(), first_look, "Folder::Flush"), first_look);
    EXPECT_EQ(c.left(), c.expected);
    EXPECT_EQ(DescribeTree(temp / "dst"), tree);
    test::RemoveTree(temp / "src");
    test::RemoveTree(temp / "dst");
  }
  // A target whose file system refuses to flush a folder: the publish cannot
  // be made durable, so the whole source stays.
  MakeRelease(temp / "src2");
  const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
  FailingFileSystem refusing(*real, 0);
  refusing.fail_op = "Folder::Flush";
  refusing.injected = FsStatus(FsStatus::kOk, 1, "not for folders");
  EXPECT_EQ(MoveFolderSafely(refusing, temp / "src2", temp / "dst2", true),
            MoveOutcome::kMovedSourceLeft);
  EXPECT_EQ(test::ReadFile(Join(temp / "src2", "a.nfo")), "nfo");
  EXPECT_EQ(test::ReadFile(Join(temp / "dst2", "a.nfo")), "nfo");
}

TEST(FaultInjection, AHeldPublishIsRetriedThenKeptWholeForTheNextPre) {
  TempFolder temp;
  MakeRelease(temp / "src");
  const std::string tree = DescribeTree(temp / "src");
  const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
  test::FakeClock clock;
  for (const int held : {2, -1}) {
    SCOPED_TRACE("held " + std::to_string(held));
    FailingFileSystem failing(*real, 0);
    failing.fail_op = "Folder::MoveTo";
    failing.fail_op_times = held;
    failing.injected = FsStatus(FsStatus::kInUse, 32, "sharing violation");
    MoveReport report;
    const MoveOutcome outcome =
        MoveFolderSafely(failing, temp / "src", temp / "dst", true, &report, &clock);
    if (held > 0) {
      // A scanner that lets go within the patience: published at once.
      EXPECT_EQ(outcome, MoveOutcome::kMoved);
      EXPECT_EQ(DescribeTree(temp / "dst"), tree);
      test::RemoveTree(temp / "dst");
      MakeRelease(temp / "src");
      continue;
    }
    // Held for good: the checked copy waits, and the next pre publishes it
    // without copying a file again.
    EXPECT_EQ(outcome, MoveOutcome::kNotMoved);
    EXPECT_TRUE(report.kept_copy);
    EXPECT_EQ(report.failure, FsStatus::kInUse);
    EXPECT_FALSE(Exists(temp / "dst"));
    EXPECT_EQ(DescribeTree(temp / "src"), tree);
    MoveReport next;
    EXPECT_EQ(MoveFolderSafely(*real, temp / "src", temp / "dst", true, &next, &clock),
              MoveOutcome::kMoved);
    EXPECT_EQ(next.files, 0u);
    EXPECT_EQ(DescribeTree(temp / "dst"), tree);
    const std::string all = DescribeTree(temp.path());
    EXPECT_EQ(all.find(kWorkFolderName), all.rfind(kWorkFolderName)) << all;
  }
  EXPECT_GE(clock.slept, 5000u);
}

#ifndef _WIN32
TEST(FaultInjection, AKeptCopyIsPublishedOnlyWhileItsSourceIsUnchanged) {
  const struct {
    std::string what;
    std::function<void(const std::string&)> change;
  } cases[] = {
      {"nothing", [](const std::string&) {}},
      {"a link pointed elsewhere", [](const std::string& src) {
         unlink((src + "/CD1/link").c_str());
         symlink("elsewhere", (src + "/CD1/link").c_str());
       }},
      {"a folder's mode", [](const std::string& src) { chmod((src + "/CD2").c_str(), 0750); }},
      {"a file rewritten at its size", [](const std::string& src) { WriteFile(src + "/a.nfo", "NFO"); }},
      {"a file added", [](const std::string& src) { WriteFile(src + "/Empty/new", "x"); }},
  };
  const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
  test::FakeClock clock;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder temp;
    MakeRelease(temp / "src");
    ASSERT_EQ(symlink("t.mp3", (temp / "src" + "/CD1/link").c_str()), 0);
    FailingFileSystem held(*real, 0);
    held.fail_op = "Folder::MoveTo";
    held.injected = FsStatus(FsStatus::kInUse, 32, "sharing violation");
    MoveReport kept;
    ASSERT_EQ(MoveFolderSafely(held, temp / "src", temp / "dst", true, &kept, &clock),
              MoveOutcome::kNotMoved);
    ASSERT_TRUE(kept.kept_copy);
    c.change(temp / "src");
    const std::string tree = DescribeTree(temp / "src");
    MoveReport next;
    EXPECT_EQ(MoveFolderSafely(*real, temp / "src", temp / "dst", true, &next, &clock),
              MoveOutcome::kMoved);
    EXPECT_EQ(next.files == 0, c.what == "nothing") << next.files << " files copied";
    EXPECT_EQ(DescribeTree(temp / "dst"), tree);
  }
}
#endif

TEST(FaultInjection, APublishNeverReplacesWhatAppearedAtTheName) {
  // An empty folder made at the final name just before the publish: a
  // rename that replaces would take its place without a word.
  const std::unique_ptr<FileSystem> real = NewNativeFileSystem();
  for (const bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copy" : "rename");
    TempFolder temp;
    MakeRelease(temp / "src");
    const std::string tree = DescribeTree(temp / "src");
    FailingFileSystem watched(*real, 0);
    int moves = 0;
    watched.before = [&](int) {
      if (watched.current_op == "Folder::MoveTo" && ++moves == (copy ? 1 : 2)) {
        test::MakeFolders(temp / "dst");
      }
    };
    EXPECT_EQ(MoveFolderSafely(watched, temp / "src", temp / "dst", copy), MoveOutcome::kNotMoved);
    EXPECT_EQ(DescribeTree(temp / "dst"), "");
    EXPECT_EQ(DescribeTree(temp / "src"), tree);
  }
}

TEST(FaultInjection, ANameThatLedElsewhereIsHandedBackOrLeftInTheWorkFolder) {
  // The release's name is taken by a stranger's folder just before the
  // rename, and (in the second round) the stranger's old name again just
  // after it: the final name never shows the stranger's folder.
  for (const bool retaken : {false, true}) {
    SCOPED_TRACE(retaken ? "name taken again" : "name free");
    test::MemoryFileSystem memory;
    memory.AddFile("C:\\own\\Rel\\a.nfo", "mine");
    memory.AddFolder("C:\\mp3");
    FailingFileSystem failing(memory, 0);
    bool swapped = false;
    failing.before = [&](int) {
      if (failing.current_op != "Folder::MoveTo" || swapped) return;
      swapped = true;
      memory.MoveNoReplace("C:\\own\\Rel", "C:\\own\\Rel.mine");
      memory.AddFile("C:\\own\\Rel\\x", "stranger's");
      if (retaken) memory.after_move = [&] { memory.AddFolder("C:\\own\\Rel"); };
    };
    MoveReport report;
    EXPECT_EQ(MoveFolderSafely(failing, "C:\\own\\Rel", "C:\\mp3\\Rel", false, &report),
              MoveOutcome::kSwapped);
    memory.after_move = nullptr;
    EXPECT_EQ(memory.KindOf("C:\\mp3\\Rel"), EntryKind::kMissing);
    EXPECT_NE(memory.FileContent("C:\\own\\Rel.mine\\a.nfo"), nullptr);
    FileId mp3;
    ASSERT_EQ(memory.IdentityOf("C:\\mp3", &mp3), FsStatus::kOk);
    const std::string work = "C:\\mp3\\" + WorkFolderName("0123456789abcdef", mp3, 0);
    const std::string kept = work + "\\Rel\\release\\x";
    EXPECT_NE(memory.FileContent(retaken ? kept : "C:\\own\\Rel\\x"), nullptr);
    EXPECT_EQ(report.left_at, retaken ? work + "\\Rel\\release" : "");
    // Left unmarked, the stranger's folder is never taken for a leftover:
    // the next pre of the name passes it by.
    memory.MoveNoReplace("C:\\own\\Rel.mine", "C:\\own\\Rel2");
    EXPECT_EQ(MoveFolderSafely(memory, "C:\\own\\Rel2", "C:\\mp3\\Rel", false),
              MoveOutcome::kMoved);
    EXPECT_EQ(*memory.FileContent("C:\\mp3\\Rel\\a.nfo"), "mine");
    EXPECT_EQ(memory.FileContent(kept) != nullptr, retaken);
  }
}

}  // namespace
}  // namespace ovpre
