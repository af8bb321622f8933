// The Windows process: the raw command line, the program's own place, and
// the built program run as the server starts it.
#include <gtest/gtest.h>

#include "config/settings.h"
#include "os/win32/io.h"
#include "os/win32/process.h"
#include "os/win32/text.h"
#include "platform/native.h"
#include "request/reply.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::Join;
using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

TEST(CommandLine, ArgumentsAreWhatFollowsTheProgramNameAndItsBlanks) {
  EXPECT_EQ(ArgumentsOf(L"ovpre.exe a|b|0|t|d|pre x"), L"a|b|0|t|d|pre x");
  // Blanks inside and at the end belong to the fields.
  EXPECT_EQ(ArgumentsOf(L"ovpre.exe  \t  a|b  c|d  |pre  x  "), L"a|b  c|d  |pre  x  ");
  // Quotes are part of the text, not of an argument syntax.
  EXPECT_EQ(ArgumentsOf(L"ovpre.exe x|\"quoted\" \"|y"), L"x|\"quoted\" \"|y");
  EXPECT_EQ(ArgumentsOf(L"\"C:\\Program Files\\Raiden FTPD\\ovpre.exe\"  x|g|0|t|C:\\a  b|pre r"),
            L"x|g|0|t|C:\\a  b|pre r");
  EXPECT_EQ(ArgumentsOf(L"\"C:\\a b\\ovpre.exe\"x|y"), L"x|y");
  // Started with the six fields alone: no program name to skip.
  EXPECT_EQ(ArgumentsOf(L"0|g|1|t|C:\\a  b|pre r"), L"0|g|1|t|C:\\a  b|pre r");
  EXPECT_EQ(ArgumentsOf(L"\"C:\\a|b\" 0|g|1|t|d|pre r"), L"0|g|1|t|d|pre r");
}

TEST(CommandLine, AProgramNameAloneHasNoArguments) {
  EXPECT_EQ(ArgumentsOf(L""), L"");
  EXPECT_EQ(ArgumentsOf(L"ovpre.exe"), L"");
  EXPECT_EQ(ArgumentsOf(L"ovpre.exe   "), L"");
  EXPECT_EQ(ArgumentsOf(L"\"C:\\a b\\ovpre.exe\""), L"");
  EXPECT_EQ(ArgumentsOf(L"\"C:\\a b\\ovpre.exe x|y"), L"");  // the quote never closes
}

TEST(ModulePath, SplitsIntoFolderAndNameWithoutExtension) {
  std::wstring folder;
  std::wstring stem;
  SplitModulePath(L"C:\\Program Files\\Raiden FTPD\\ovpre.exe", &folder, &stem);
  EXPECT_EQ(folder, L"C:\\Program Files\\Raiden FTPD");
  EXPECT_EQ(stem, L"ovpre");
  SplitModulePath(L"C:\\my.pre.tool.exe", &folder, &stem);
  EXPECT_EQ(folder, L"C:\\");
  EXPECT_EQ(stem, L"my.pre.tool");
}

TEST(ModulePath, TheRunningProgramKnowsItsPlace) {
  Win32ProcessFacts facts;
  EXPECT_EQ(facts.ExecutableStem(), "ovpre_tests");
  EXPECT_EQ(NewNativeFileSystem()->KindOf(facts.ExecutableFolder() + "\\ovpre_tests.exe"),
            EntryKind::kFile);
}

/// Starts `exe` with `arguments` after its quoted name, as a server would,
/// and returns its exit code. A program still running after `wait_ms` (one
/// waiting at a message box on a desktop) is ended and gives -1.
int RunProgram(const std::string& exe, const std::string& arguments, DWORD wait_ms = 60000) {
  std::wstring line = L"\"" + WideFromUtf8(exe) + L"\" " + WideFromUtf8(arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
    return -1;
  }
  FileHandle thread(process.hThread);
  FileHandle child(process.hProcess);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(child.get(), wait_ms) == WAIT_OBJECT_0) {
    GetExitCodeProcess(child.get(), &code);
  } else {
    TerminateProcess(child.get(), code);
    WaitForSingleObject(child.get(), INFINITE);
  }
  return static_cast<int>(code);
}

class ProgramTest : public ::testing::Test {
 protected:
  /// Puts a copy of the built program, under `name`, into the site's
  /// program folder, whose name holds a space and a non-ASCII letter.
  std::string InstallProgram(const std::string& name) {
    const std::string exe = Join(site.exe_dir, name);
    WriteFile(exe, ReadFile(OVPRE_EXE));
    return exe;
  }

  TempFolder temp;
  SiteFixture site{Join(temp.path(), "Raiden FTPD \xC3\xA9")};
};

TEST_F(ProgramTest, FirstRunCreatesTheSettingsBesideTheProgramUnderItsName) {
  const std::string exe = InstallProgram("site pre.exe");
  // Without a desktop the message box returns at once; on one, the file is
  // already written while the box waits.
  RunProgram(exe, "", 20000);
  const std::string settings = Join(site.exe_dir, "site pre.ini");
  EXPECT_EQ(ReadFile(settings), DefaultSettingsText());
  EXPECT_EQ(RunProgram(exe, "a|b"), 0);  // setup mode again: the file is only read
  EXPECT_EQ(ReadFile(settings), DefaultSettingsText());
}

TEST_F(ProgramTest, TheRawCommandLineReachesTheCommandUnchanged) {
  const std::string exe = InstallProgram("ovpre.exe");
  const std::string own = Join(site.root, "up  load");
  test::MakeFolders(own);
  site.WriteSettings(own, site.to_dir);
  // The settings file is 8-bit text in the system code page, like the
  // folder names in it.
  WriteFile(site.SettingsPath(), SystemCodePageFromUtf8(ReadFile(site.SettingsPath())));
  EXPECT_EQ(RunProgram(exe, "  x|GRP|0|17|" + own + "|pre Some  \"Rel\""), 0);
  EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("Invalid release name: Some  \"Rel\""));
  EXPECT_EQ(RunProgram(exe, "x|GRP|0|17|" + own + "|pre Some  Rel"), 0);
  EXPECT_EQ(site.Reply("pre"), test::ExpectedReply("Unable to find: Some  Rel"));
}

}  // namespace
}  // namespace ovpre
