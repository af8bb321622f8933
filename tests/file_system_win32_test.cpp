// The Windows file system: what only the Win32 calls decide (attributes,
// local dates, drive roots, volumes, locks, the code page, long paths).
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "config/flush_check.h"
#include "fs/move_release.h"
#include "fs/folder_queries.h"
#include "os/win32/folder_parts.h"
#include "os/win32/io.h"
#include "os/win32/rights.h"
#include "os/win32/text.h"
#include "platform/native.h"
#include "support/temp_folder.h"

// Needs windows.h, which fs/win32_io.h brings in.
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

namespace ovpre {
namespace {

using test::Join;
using test::TempFolder;
using test::WriteFile;

void SetAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesW(WideFromUtf8(path).c_str(), attributes)) << path;
}

DWORD AttributesOf(const std::string& path) {
  return GetFileAttributesW(WideFromUtf8(path).c_str());
}

/// Gives `path` a last-write time stated in local time.
void SetLocalWriteTime(const std::string& path, SYSTEMTIME local) {
  SYSTEMTIME universal = {};
  FILETIME stamp = {};
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal));
  ASSERT_TRUE(SystemTimeToFileTime(&universal, &stamp));
  FileHandle file(CreateFileW(WideFromUtf8(path).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &stamp));
}

/// A drive letter that names no drive, or 0 when all are taken.
char UnusedDriveLetter() {
  const DWORD used = GetLogicalDrives();
  for (char letter = 'Z'; letter >= 'G'; --letter) {
    if ((used & (1u << (letter - 'A'))) == 0) return letter;
  }
  return 0;
}

/// Makes `link` a junction to the folder `target`, as "mklink /J" does
/// (which needs no privilege, unlike a symbolic link). False when the file
/// system cannot hold one.
bool MakeJunction(const std::string& link, const std::string& target) {
  // The mount-point form of the reparse data (declared only in the driver
  // kit's headers): the target as an NT path, then as it is shown.
  const std::wstring nt_target = L"\\??\\" + WideFromUtf8(target);
  const std::wstring shown = WideFromUtf8(target);
  const std::size_t names_bytes = (nt_target.size() + 1 + shown.size() + 1) * sizeof(wchar_t);
  std::vector<char> buffer(8 + 8 + names_bytes);
  const auto put16 = [&](std::size_t at, std::size_t value) {
    const WORD word = static_cast<WORD>(value);
    memcpy(&buffer[at], &word, sizeof word);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  memcpy(&buffer[0], &tag, sizeof tag);
  put16(4, buffer.size() - 8);                                  // data length
  put16(8, 0);                                                  // NT name offset
  put16(10, nt_target.size() * sizeof(wchar_t));                // NT name length
  put16(12, (nt_target.size() + 1) * sizeof(wchar_t));          // shown name offset
  put16(14, shown.size() * sizeof(wchar_t));                    // shown name length
  memcpy(&buffer[16], nt_target.c_str(), (nt_target.size() + 1) * sizeof(wchar_t));
  memcpy(&buffer[16 + (nt_target.size() + 1) * sizeof(wchar_t)], shown.c_str(),
         (shown.size() + 1) * sizeof(wchar_t));

  if (!CreateDirectoryW(WideFromUtf8(link).c_str(), nullptr)) return false;
  FileHandle folder(CreateFileW(WideFromUtf8(link).c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  DWORD returned = 0;
  const bool made = folder.valid() &&
                    DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &returned,
                                    nullptr);
  folder.Close();
  if (!made) RemoveDirectoryW(WideFromUtf8(link).c_str());
  return made;
}

class Win32FileSystemTest : public ::testing::Test {
 protected:
  std::unique_ptr<Folder> Open(const std::string& path) {
    std::unique_ptr<Folder> folder;
    EXPECT_EQ(fs->OpenFolder(path, &folder), FsStatus::kOk) << path;
    return folder;
  }

  std::unique_ptr<FileSystem> fs = NewNativeFileSystem();
  TempFolder temp;
};

TEST_F(Win32FileSystemTest, SearchLeavesOutHiddenAndSystemEntriesAndDatesInLocalTime) {
  const std::string folder = temp / "rel";
  WriteFile(Join(folder, "a.nfo"), "nfo");
  WriteFile(Join(folder, "hidden.txt"), "h");
  WriteFile(Join(folder, "system.sys"), "s");
  test::MakeFolders(Join(folder, "CD1"));
  test::MakeFolders(Join(folder, "HiddenFolder"));
  SetAttributes(Join(folder, "hidden.txt"), FILE_ATTRIBUTE_HIDDEN);
  SetAttributes(Join(folder, "system.sys"), FILE_ATTRIBUTE_SYSTEM);
  SetAttributes(Join(folder, "HiddenFolder"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY);
  SetLocalWriteTime(Join(folder, "a.nfo"), SYSTEMTIME{2003, 1, 4, 2, 13, 14, 15, 0});

  const auto listing = ListFolder(*fs, folder);
  ASSERT_TRUE(listing.has_value());
  std::set<std::string> names;
  for (const DirEntry& entry : *listing) {
    names.insert(entry.Name);
    if (entry.Name == "a.nfo") {
      // 2003-01-02 is day 37623; the time of day is the fraction.
      EXPECT_NEAR(entry.Modified, 37623.0 + (13 * 3600 + 14 * 60 + 15) / 86400.0, 1e-6);
      EXPECT_EQ(entry.Attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    if (entry.Name == "CD1") {
      EXPECT_NE(entry.Attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "a.nfo", "CD1"}));

  // The size walk sees everything, hidden and system entries included.
  std::vector<FolderItem> items;
  ASSERT_EQ(Open(folder)->List(&items), FsStatus::kOk);
  EXPECT_EQ(items.size(), 5u);
}

TEST_F(Win32FileSystemTest, SearchOfAMissingFolderFails) {
  std::vector<DirEntry> entries;
  const FsStatus status = fs->SearchFolder(temp / "missing", &entries);
  EXPECT_EQ(status, FsStatus::kNotFound);
  // The cause stays with the failure, for a reply or a log line to name.
  EXPECT_EQ(status.os_error(), static_cast<long>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(status.os_text().empty());
}

TEST(StatusFromWin32Error, TheCausesThatGiveAReasonHaveTheirOwnKind) {
  const struct {
    DWORD error;
    FsStatus::Code code;
  } cases[] = {
      {ERROR_DISK_FULL, FsStatus::kNoSpace},         {ERROR_HANDLE_DISK_FULL, FsStatus::kNoSpace},
      {ERROR_ACCESS_DENIED, FsStatus::kDenied},      {ERROR_WRITE_PROTECT, FsStatus::kDenied},
      {ERROR_SHARING_VIOLATION, FsStatus::kInUse},   {ERROR_LOCK_VIOLATION, FsStatus::kInUse},
      {ERROR_NOT_SUPPORTED, FsStatus::kFailed},      {kErrorDiskQuotaExceeded, FsStatus::kNoSpace},
      {ERROR_FILE_TOO_LARGE, FsStatus::kTooLarge},   {ERROR_NOT_ENOUGH_QUOTA, FsStatus::kFailed},
  };
  for (const auto& c : cases) {
    const FsStatus status = StatusFromWin32Error(c.error);
    EXPECT_EQ(status.code(), c.code) << c.error;
    EXPECT_EQ(status.os_error(), static_cast<long>(c.error));
  }
  // The system's text travels along (Wine lacks some, such as the quota's).
  EXPECT_FALSE(StatusFromWin32Error(ERROR_DISK_FULL).os_text().empty());
}

TEST_F(Win32FileSystemTest, SizeCountsHiddenFilesAndFreeSpaceComesFromTheDeepestFolder) {
  WriteFile(temp / "rel\\a.bin", std::string(1 << 20, 'a'));
  WriteFile(temp / "rel\\sub\\.hidden", std::string(1 << 19, 'b'));
  SetAttributes(temp / "rel\\sub\\.hidden", FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(FolderSizeMB(*fs, temp / "rel"), 1.5);

  // The destination and its parents need not exist: the deepest folder
  // that does names the volume.
  const std::optional<double> free = DriveFreeMB(*fs, temp / "no\\such\\folder\\Rel");
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0.0);
  EXPECT_TRUE(DriveFreeMB(*fs, temp.path().substr(0, 1)).has_value());
  const char unused = UnusedDriveLetter();
  if (unused != 0) {
    EXPECT_FALSE(DriveFreeMB(*fs, std::string(1, unused) + ":\\ftp\\R"));
  }
}

TEST_F(Win32FileSystemTest, MoveNeverReplacesAndReportsAnotherVolume) {
  WriteFile(temp / "src\\f.txt", "data");
  test::MakeFolders(temp / "taken");
  std::unique_ptr<Folder> src = Open(temp / "src");
  std::unique_ptr<Folder> base = Open(temp.path());
  EXPECT_EQ(src->MoveTo(*base, "taken"), FsStatus::kExists);
  EXPECT_EQ(src->MoveTo(*base, "moved"), FsStatus::kOk);
  EXPECT_EQ(test::ReadFile(temp / "moved\\f.txt"), "data");
  // Another run may open a folder that this one holds, but cannot move it.
  std::unique_ptr<Folder> again = Open(temp.path());
  std::unique_ptr<Folder> moved;
  ASSERT_EQ(again->Open("moved", &moved), FsStatus::kOk);
  EXPECT_EQ(moved->MoveTo(*again, "taken over"), FsStatus::kInUse);
  moved.reset();
  src.reset();

  if (test::OtherDeviceBase().empty()) GTEST_SKIP() << "no second drive";
  TempFolder other(test::OtherDeviceBase());
  std::unique_ptr<Folder> there = Open(other.path());
  EXPECT_EQ(Open(temp / "moved")->MoveTo(*there, "moved"), FsStatus::kCrossDevice);
  EXPECT_EQ(test::ReadFile(temp / "moved\\f.txt"), "data");
  // The core then copies and deletes.
  EXPECT_EQ(MoveFolderSafely(*fs, temp / "moved", other / "moved", false), MoveOutcome::kMoved);
  EXPECT_EQ(test::ReadFile(other / "moved\\f.txt"), "data");
  EXPECT_FALSE(test::Exists(temp / "moved"));
}

TEST_F(Win32FileSystemTest, CopiesKeepAttributesAndDeletesTakeReadOnlyEntries) {
  WriteFile(temp / "src\\ro.txt", "ro");
  SetAttributes(temp / "src\\ro.txt", FILE_ATTRIBUTE_READONLY);
  SetAttributes(temp / "src", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  {
    std::unique_ptr<Folder> src = Open(temp / "src");
    std::unique_ptr<Folder> copy;
    ASSERT_EQ(Open(temp.path())->Make("copy", &copy), FsStatus::kOk);
    MoveReport report;
    ASSERT_EQ(CopyTree(*src, *copy, &report), FsStatus::kOk);
    ASSERT_EQ(src->CopyOwnAttributesTo(*copy), FsStatus::kOk);
    FileFacts facts;
    EXPECT_EQ(src->CopyFileTo("ro.txt", *copy, &facts), FsStatus::kExists);
  }
  EXPECT_NE(AttributesOf(temp / "copy\\ro.txt") & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_NE(AttributesOf(temp / "copy") & FILE_ATTRIBUTE_HIDDEN, 0u);
  // Wine keeps no read-only flag on folders; Windows does.
  EXPECT_EQ(AttributesOf(temp / "copy"), AttributesOf(temp / "src"));

  EXPECT_EQ(DeleteTree(*Open(temp / "src")), FsStatus::kOk);
  EXPECT_EQ(DeleteTree(*Open(temp / "copy")), FsStatus::kOk);
  EXPECT_FALSE(test::Exists(temp / "src"));
  EXPECT_FALSE(test::Exists(temp / "copy"));
}

TEST_F(Win32FileSystemTest, AFileBeingWrittenIsInUseAndOneReplacedAfterTheListingIsSwapped) {
  WriteFile(temp / "rel\\a.bin", "abc");
  WriteFile(temp / "rel\\b.bin", "old");
  WriteFile(temp / "rel\\b.new", "new");
  std::unique_ptr<Folder> rel = Open(temp / "rel");
  std::unique_ptr<Folder> copy;
  ASSERT_EQ(Open(temp.path())->Make("copy", &copy), FsStatus::kOk);
  std::vector<FolderItem> items;
  ASSERT_EQ(rel->List(&items), FsStatus::kOk);
  const FolderItem& a = *std::find_if(items.begin(), items.end(),
                                      [](const FolderItem& item) { return item.name == "a.bin"; });
  FileFacts facts;
  ASSERT_EQ(rel->Examine("a.bin", &facts), FsStatus::kOk);
  EXPECT_EQ(std::make_tuple(facts.kind, facts.size, facts.changed, facts.number),
            std::make_tuple(EntryKind::kFile, a.size, a.changed, a.number));
  EXPECT_NE(a.number, 0u);
  {
    FileHandle upload(CreateFileW(Win32Path(temp / "rel\\a.bin").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(upload.valid());
    EXPECT_EQ(rel->CopyFileTo("a.bin", *copy, &facts), FsStatus::kInUse);
    EXPECT_EQ(rel->ReadBlocks("a.bin", [](const char*, std::size_t) { return true; }),
              FsStatus::kInUse);
    EXPECT_EQ(rel->Examine("a.bin", &facts), FsStatus::kInUse);
  }
  // The look and the removal are one act on one handle: a writer that came
  // after the look, still holding the file or gone again, keeps it.
  for (const bool holds : {true, false}) {
    ASSERT_EQ(rel->Examine("a.bin", &facts), FsStatus::kOk);
    FileHandle upload(CreateFileW(Win32Path(temp / "rel\\a.bin").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    DWORD wrote = 0;
    ASSERT_TRUE(::WriteFile(upload.get(), holds ? "abc" : "xyz", 3, &wrote, nullptr));
    if (!holds) upload.Close();
    EXPECT_EQ(rel->RemoveFile("a.bin"), holds ? FsStatus::kInUse : FsStatus::kSwapped);
  }
  EXPECT_EQ(test::ReadFile(temp / "rel\\a.bin"), "xyz");
  WriteFile(temp / "rel\\a.bin", "abc");
  ASSERT_TRUE(MoveFileExW(Win32Path(temp / "rel\\b.new").c_str(),
                          Win32Path(temp / "rel\\b.bin").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(rel->CopyFileTo("b.bin", *copy, &facts), FsStatus::kSwapped);
  EXPECT_EQ(rel->CopyFileTo("a.bin", *copy, &facts), FsStatus::kOk);
  EXPECT_EQ(test::ReadFile(temp / "copy\\a.bin"), "abc");
  EXPECT_EQ(fs->KindOf(temp / "copy\\b.bin"), EntryKind::kMissing);
  EXPECT_TRUE(copy->Flush().ok());
}

TEST_F(Win32FileSystemTest, AWriterThatKeepsTryingDuringTheRemovalKeepsEveryByte) {
  // Each byte the writer gets in is counted; a file that went must have
  // held them all when it was looked at, and one that stayed holds them.
  std::unique_ptr<Folder> rel;
  ASSERT_EQ(Open(temp.path())->Make("rel", &rel), FsStatus::kOk);
  const std::wstring path = Win32Path(temp / "rel\\c.bin");
  for (int round = 0; round < 20; ++round) {
    WriteFile(temp / "rel\\c.bin", "abc");
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> written{0};
    std::thread writer([&] {
      while (!stop) {
        FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ |
                                    FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        DWORD wrote = 0;
        if (file.valid() && ::WriteFile(file.get(), "w", 1, &wrote, nullptr)) written += wrote;
      }
    });
    FileFacts seen;
    Sleep(round % 3);
    const bool looked = rel->Examine("c.bin", &seen).ok();
    const bool removed = looked && rel->RemoveFile("c.bin").ok();
    stop = true;
    writer.join();
    if (removed) {
      EXPECT_EQ(seen.size, 3 + written) << round;
    } else {
      EXPECT_EQ(test::ReadFile(temp / "rel\\c.bin").size(), 3 + written) << round;
    }
  }
}

TEST(StorableOnFat, TimesBefore1980OrAfter2107MoveToTheNearestFatCanStore) {
  for (const WORD year : {WORD{1601}, WORD{1979}, WORD{2003}, WORD{2107}, WORD{2200}}) {
    const SYSTEMTIME noon = {year, 6, 0, 15, 12, 0, 0, 0};
    FILETIME given, stored, local;
    WORD date, time;
    ASSERT_TRUE(SystemTimeToFileTime(&noon, &given));
    stored = StorableOnFat(given);
    ASSERT_TRUE(FileTimeToLocalFileTime(&stored, &local));
    EXPECT_TRUE(FileTimeToDosDateTime(&local, &date, &time)) << year;
    EXPECT_EQ(CompareFileTime(&stored, &given) == 0, year == 2003 || year == 2107) << year;
  }
  EXPECT_EQ(StorableOnFat(FILETIME{0, 0}).dwLowDateTime, 0u);  // zero: "leave it as it is"
}

TEST(Win32Path, EveryPathIsTidiedAndPrefixedWithoutReadingItsNames) {
  // Wine has no 260-character limit of its own, so only the spelling of a
  // long path can be checked here.
  EXPECT_EQ(Win32Path("e:\\mp3\\\\R"), L"\\\\?\\e:\\mp3\\R");
  EXPECT_EQ(Win32Path("C:\\a\\.\\b\\..\\nul"), L"\\\\?\\C:\\a\\nul");
  EXPECT_EQ(Win32Path("C:\\rel\\x.\\CON.nfo"), L"\\\\?\\C:\\rel\\x.\\CON.nfo");
  EXPECT_EQ(Win32Path("C:\\..\\.."), L"\\\\?\\C:\\");
  EXPECT_EQ(Win32Path("\\\\srv\\share\\..\\..\\x"), L"\\\\?\\UNC\\srv\\share\\x");
  const std::string name(250, 'a');
  const std::wstring wide_name(250, L'a');
  EXPECT_EQ(Win32Path("C:\\base\\" + name + "\\\\b/c"),
            L"\\\\?\\C:\\base\\" + wide_name + L"\\b\\c");
  EXPECT_EQ(Win32Path("\\\\server\\share\\" + name),
            L"\\\\?\\UNC\\server\\share\\" + wide_name);
  const std::wstring prefixed = L"\\\\?\\C:\\" + wide_name;
  EXPECT_EQ(Win32Path("\\\\?\\C:\\" + name), prefixed);
}

TEST_F(Win32FileSystemTest, DeviceNamesAndTrailingDotsInsideAReleaseAreFiles) {
  // Only the file system under test may touch these: a plain path to
  // "CON.nfo" would open the console and wait for it.
  const char* const names[] = {"nul", "x.", "CON.nfo"};
  std::unique_ptr<Folder> src;
  ASSERT_EQ(Open(temp.path())->Make("src", &src), FsStatus::kOk);
  for (const char* name : names) {
    ASSERT_EQ(fs->CreateTextFile(temp / "src" + "\\" + name, name), FsStatus::kOk) << name;
  }
  {
    std::unique_ptr<Folder> copy;
    ASSERT_EQ(Open(temp.path())->Make("copy", &copy), FsStatus::kOk);
    MoveReport report;
    ASSERT_EQ(CopyTree(*src, *copy, &report), FsStatus::kOk);
  }
  for (const char* name : names) {
    std::string text;
    EXPECT_EQ(fs->ReadTextFile(temp / "copy" + "\\" + name, &text), FsStatus::kOk) << name;
    EXPECT_EQ(text, name);
  }
  EXPECT_EQ(DeleteTree(*src), FsStatus::kOk);
  src.reset();
  EXPECT_EQ(DeleteTree(*Open(temp / "copy")), FsStatus::kOk);
  EXPECT_EQ(fs->KindOf(temp / "src"), EntryKind::kMissing);
}

TEST_F(Win32FileSystemTest, AShortAliasLeadsToTheLongName) {
  test::MakeFolders(temp / "Some.Long.Release-GRP");
  wchar_t alias[MAX_PATH] = {};
  const std::wstring full = Win32Path(temp / "Some.Long.Release-GRP");
  if (GetShortPathNameW(full.c_str(), alias, MAX_PATH) == 0 || full == alias) {
    GTEST_SKIP() << "no short names on this volume";
  }
  const std::string short_path = Utf8FromWide(alias);
  EXPECT_EQ(fs->KindOf(short_path), EntryKind::kFolder);
  std::string own;
  ASSERT_EQ(fs->OwnName(short_path, &own), FsStatus::kOk);
  EXPECT_EQ(own, "Some.Long.Release-GRP");
}

TEST_F(Win32FileSystemTest, NeverRemovesAnEmptyPathOrADriveRootAndFlushesARootAsAFolder) {
  for (const std::string root : {"", "C:\\", "c:/", "\\\\?\\C:\\", "C:\\Windows\\.."}) {
    EXPECT_TRUE(IsEmptyOrRoot(root)) << root;
  }
  EXPECT_TRUE(IsEmptyOrRoot("\\\\server\\share\\"));
  EXPECT_FALSE(IsEmptyOrRoot("\\\\server\\share\\folder"));
  EXPECT_FALSE(IsEmptyOrRoot(temp.path()));
  // A root is flushed as the folder it is, never as the volume device.
  for (const std::string root : {"C:\\", "\\\\?\\C:\\"}) {
    std::string cause;
    EXPECT_FALSE(RefusesFolderFlush(*fs, root, &cause)) << root << ": " << cause;
  }
}

/// The rights `rights` describe, in the system's short text form.
std::string RightsText(PSECURITY_DESCRIPTOR rights) {
  wchar_t* text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(rights, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &text, nullptr);
  const std::string result = text ? Utf8FromWide(text) : "";
  LocalFree(text);
  return result;
}

TEST_F(Win32FileSystemTest, AWorkFolderOpensToThisAccountAloneAndHandsDownItsTargetsRights) {
  const std::string target = temp / "target";
  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)",
                                                                   SDDL_REVISION_1, &open, nullptr));
  SECURITY_ATTRIBUTES everyone = {sizeof everyone, open, FALSE};
  ASSERT_TRUE(CreateDirectoryW(Win32Path(target).c_str(), &everyone));
  LocalFree(open);
  const FileHandle folder(CreateFileW(Win32Path(target).c_str(), FILE_LIST_DIRECTORY, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  PSECURITY_DESCRIPTOR its = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(Win32Path(target).data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                                  &its), static_cast<DWORD>(ERROR_SUCCESS));
  const std::string target_rights = RightsText(its);
  LocalFree(its);
  NewRights work;
  ASSERT_TRUE(work.MakeForWorkFolder(folder.get()));
  const std::string work_rights = RightsText(work.get()->lpSecurityDescriptor);
  // Its own entry opens the folder itself; each the target hands down is
  // handed down only.
  EXPECT_EQ(work_rights.compare(0, 14, "D:P(A;;FA;;;S-"), 0) << work_rights;
  const std::regex handed(R"(\(A;OICI(?:ID)?;([^;]*);;;([^)]*)\))");
  int count = 0;
  for (std::sregex_iterator it(target_rights.begin(), target_rights.end(), handed), end;
       it != end; ++it, ++count) {
    EXPECT_NE(work_rights.find("(A;OICIIO;" + (*it)[1].str() + ";;;" + (*it)[2].str() + ")"),
              std::string::npos) << work_rights << " from " << target_rights;
  }
  EXPECT_GT(count, 0) << target_rights;
  NewRights record;
  ASSERT_TRUE(record.MakePrivate(true));
  EXPECT_EQ(RightsText(record.get()->lpSecurityDescriptor).compare(0, 18, "D:P(A;OICI;FA;;;S-"), 0);
}

TEST_F(Win32FileSystemTest, ALinkIsRemovedItselfNeverWhatItPointsTo) {
  WriteFile(temp / "target\\keep.txt", "keep");
  test::MakeFolders(temp / "rel");
  if (!MakeJunction(temp / "rel\\link", temp / "target")) {
    GTEST_SKIP() << "this file system has no junctions";
  }
  std::vector<FolderItem> items;
  ASSERT_EQ(Open(temp / "rel")->List(&items), FsStatus::kOk);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].kind, EntryKind::kLink);
  EXPECT_EQ(fs->KindOf(temp / "rel\\link"), EntryKind::kLink);
  std::unique_ptr<Folder> through;
  EXPECT_FALSE(fs->OpenFolder(temp / "rel\\link", &through).ok());
  EXPECT_EQ(DeleteTree(*Open(temp / "rel")), FsStatus::kOk);
  EXPECT_EQ(test::ReadFile(temp / "target\\keep.txt"), "keep");
}

TEST_F(Win32FileSystemTest, TextFilesAreStoredInTheSystemCodePage) {
  const std::string path = temp / "reply.txt";
  ASSERT_EQ(fs->WriteTextFile(path, "Caf\xC3\xA9 \xE4\xB8\xAD\r\n"), FsStatus::kOk);  // "Café 中"
  const std::string stored = test::ReadFile(path);
  EXPECT_EQ(stored, SystemCodePageFromUtf8("Caf\xC3\xA9 \xE4\xB8\xAD\r\n"));
  if (GetACP() == 1252) {
    EXPECT_EQ(stored, "Caf\xE9 ?\r\n");
  }
  std::string text;
  ASSERT_EQ(fs->ReadTextFile(path, &text), FsStatus::kOk);
  EXPECT_EQ(text, Utf8FromSystemCodePage(stored));

  EXPECT_EQ(fs->CreateTextFile(path, "new"), FsStatus::kExists);
  EXPECT_EQ(test::ReadFile(path), stored);
  ASSERT_EQ(fs->WriteTextFile(path, "second"), FsStatus::kOk);
  EXPECT_EQ(test::ReadFile(path), "second");
  // The replacement leaves no temporary file behind.
  std::vector<FolderItem> items;
  ASSERT_EQ(Open(temp.path())->List(&items), FsStatus::kOk);
  EXPECT_EQ(items.size(), 1u);
  EXPECT_EQ(fs->WriteTextFile("", "x"), FsStatus::kNotFound);

  // A reader that holds the file without letting it be deleted (the server
  // or the bot) blocks the replace: the new content goes in all the same.
  ASSERT_EQ(fs->WriteTextFile(path, "a longer old text"), FsStatus::kOk);
  HANDLE reader = CreateFileW(Win32Path(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fs->WriteTextFile(path, "new"), FsStatus::kOk);
  CloseHandle(reader);
  EXPECT_EQ(test::ReadFile(path), "new");
  items.clear();
  ASSERT_EQ(Open(temp.path())->List(&items), FsStatus::kOk);
  EXPECT_EQ(items.size(), 1u);
}

TEST_F(Win32FileSystemTest, SettingsAreReadAndExtendedInTheEncodingTheyWereSavedIn) {
  const std::string path = temp / "ovpre.ini";
  const std::string cafe = "Caf\xC3\xA9";  // UTF-8 "Café"
  const auto append = [&](const std::string& line) {
    return fs->AppendByReplacing(path, [&](const std::string&) {
      return std::optional<std::string>(line);
    });
  };
  struct Case {
    std::string stored, read, after_append;
  } cases[] = {
      {"\xEF\xBB\xBF" "a=1\r\n", "a=1\r\n", "\xEF\xBB\xBF" "a=1\r\n" + cafe},
      {"a=" + cafe + "\r\n", "a=" + cafe + "\r\n", "a=" + cafe + "\r\n" + cafe},
      {"a=1\r\n", "a=1\r\n", "a=1\r\n" + SystemCodePageFromUtf8(cafe)},
      // Not valid UTF-8: the system code page.
      {"a=Caf\xE9\r\n", Utf8FromSystemCodePage("a=Caf\xE9\r\n"),
       "a=Caf\xE9\r\n" + SystemCodePageFromUtf8(cafe)},
  };
  for (const Case& c : cases) {
    WriteFile(path, c.stored);
    std::string text;
    ASSERT_EQ(fs->ReadTextFile(path, &text), FsStatus::kOk);
    EXPECT_EQ(text, c.read) << c.stored;
    ASSERT_EQ(append(cafe), FsStatus::kOk);
    EXPECT_EQ(test::ReadFile(path), c.after_append) << c.stored;
  }
  // The announce log is UTF-8, whatever the code page would make of it.
  WriteFile(path, "a=1\r\n");
  ASSERT_EQ(fs->AppendUtf8(path, [&](const std::string&) {
    return std::optional<std::string>(cafe);
  }), FsStatus::kOk);
  EXPECT_EQ(test::ReadFile(path), "a=1\r\n" + cafe);
  // Never a look-alike: "Ł", a fullwidth "＼" and "ｍｐ３" are not in
  // code page 1252, and a best fit would make them "L", "\" and "mp3".
  if (GetACP() == 1252) {
    EXPECT_TRUE(fs->StoresExactly(cafe));
    const std::pair<std::string, std::string> look_alikes[] = {
        {"\xC5\x81", "?"}, {"\xEF\xBC\xBC", "?"}, {"\xEF\xBD\x8D\xEF\xBD\x90\xEF\xBC\x93", "???"}};
    for (const auto& [text, stored] : look_alikes) {
      EXPECT_FALSE(fs->StoresExactly(text)) << text;
      EXPECT_EQ(SystemCodePageFromUtf8(text), stored);
    }
  }
}

TEST_F(Win32FileSystemTest, OnlyADiskFileIsReadOrAppendedToNeverAPipeOrFolder) {
  // A pipe with nobody writing would hold a read forever.
  const std::string pipe = "\\\\.\\pipe\\ovpre-test-" + std::to_string(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeW(WideFromUtf8(pipe).c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 4, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  std::string text;
  EXPECT_NE(fs->ReadTextFile(pipe, &text), FsStatus::kOk);
  EXPECT_NE(fs->AppendText(pipe, [](const std::string&) { return std::string("x"); }),
            FsStatus::kOk);
  CloseHandle(server);
  test::MakeFolders(temp / "folder");
  EXPECT_NE(fs->ReadTextFile(temp / "folder", &text), FsStatus::kOk);
  EXPECT_NE(fs->AppendText(temp / "folder", [](const std::string&) { return std::nullopt; }),
            FsStatus::kOk);
}

TEST_F(Win32FileSystemTest, LockedAppendsSeeEachOthersLines) {
  // Each append numbers its line after the lines already there: without the
  // lock, two writers would read the same count and write the same number.
  const std::string path = temp / "ovpre.ini";
  constexpr int kWriters = 4;
  constexpr int kEach = 20;
  const auto append_one = [&] {
    std::unique_ptr<HeldLock> lock;
    while (fs->TryLock(temp / "ovpre.lock", &lock) == FsStatus::kInUse) Sleep(1);
    return fs->AppendByReplacing(path, [](const std::string& current) {
      int lines = 0;
      for (const char c : current) lines += c == '\n';
      return std::optional<std::string>("line " + std::to_string(lines + 1) + "\r\n");
    });
  };
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) EXPECT_EQ(append_one(), FsStatus::kOk);
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::string expected;
  for (int i = 1; i <= kWriters * kEach; ++i) expected += "line " + std::to_string(i) + "\r\n";
  std::string text;
  ASSERT_EQ(fs->ReadTextFile(path, &text), FsStatus::kOk);
  EXPECT_EQ(text, expected);
}

TEST_F(Win32FileSystemTest, FoldCaseLowersNonAsciiLetters) {
  // "E:\FTP\ÉQUIPE\ΔΕΛΤΑ" and its lower-case form.
  EXPECT_EQ(fs->FoldCase("E:\\FTP\\\xC3\x89QUIPE\\\xCE\x94\xCE\x95\xCE\x9B\xCE\xA4\xCE\x91"),
            "e:\\ftp\\\xC3\xA9quipe\\\xCE\xB4\xCE\xB5\xCE\xBB\xCF\x84\xCE\xB1");
  EXPECT_EQ(fs->FoldCase("\xE4\xB8\xAD"), "\xE4\xB8\xAD");  // 中 has no case
}

}  // namespace
}  // namespace ovpre
