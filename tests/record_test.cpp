// The record of pres, read back with SQLite as a siteop's shell reads it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <regex>

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

#include "app/entry.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::DescribeTree;
using test::Exists;
using test::Join;
using test::ReadFile;
using test::WriteFile;

std::string Reply(const std::string& message) { return test::ExpectedReply(message); }

/// Now, as the record writes times.
constexpr const char* kSqlNow = "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')";

class RecordTest : public ::testing::Test {
 protected:
  RecordTest() {
    test::MakeFolders(Join(site.root, "pre" + test::Sep() + "OTH"));
    site.WriteSettings(site.own_dir, site.to_dir);
    Settle("predb=db" + test::Sep() + "pres.db", "dupedays=30\r\nunpremins=10");
    MakeRelease("Some.Release-GRP");
  }
  /// The site's settings with `site_line` and the group's `group_lines`, and
  /// a second group "OTH" that may unpre too.
  void Settle(const std::string& site_line, const std::string& group_lines) {
    site.WriteSettings(site.own_dir, site.to_dir);
    WriteFile(site.SettingsPath(), site_line + "\r\nlogfile=ovpre.log\r\n" +
                                       ReadFile(site.SettingsPath()) + group_lines +
                                       "\r\ngroup=OTH\r\nowndir=" + site.root + test::Sep() +
                                       "pre" + test::Sep() + "OTH\r\ntodir=" + site.to_dir +
                                       "\r\nunpremins=10\r\n");
  }
  void MakeRelease(const std::string& name) {
    WriteFile(Join(site.own_dir, name + test::Sep() + "a.nfo"), "nfo");
    WriteFile(Join(site.own_dir, name + test::Sep() + "CD1" + test::Sep() + "t.mp3"), "mp3");
  }
  /// Runs "site <command>" as the server would, and returns the reply.
  std::string Run(const std::string& command, const std::string& group = "GRP") {
    site.Request(group, 1, site.own_dir, command);
    RunOnce(site.platform);
    return site.Reply(command.substr(0, command.find(' ')));
  }
  /// The rows of `sql` over the record, columns joined by "|".
  std::vector<std::string> Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open(db_file.c_str(), &db), SQLITE_OK);
    const auto add = [](void* out, int count, char** values, char**) {
      std::string row;
      for (int i = 0; i < count; ++i) {
        row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
      }
      static_cast<std::vector<std::string>*>(out)->push_back(row);
      return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), add, &rows, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
    return rows;
  }
  /// The reply to a pre of Some.Release-GRP that went.
  std::string Published() const {
    return Reply("Some.Release-GRP was successfully pre'd to:\r\n" + dest);
  }
  std::string LastLogLine() {
    const std::string log = ReadFile(Join(site.exe_dir, "ovpre.log"));
    return log.substr(log.rfind('\n', log.size() - 3) + 1);
  }

  test::TempFolder temp;
  test::SiteFixture site{temp.path()};
  const std::string db_dir = Join(site.exe_dir, "db");
  const std::string db_file = Join(db_dir, "pres.db");
  const std::string dest = Join(site.to_dir, "Some.Release-GRP");
  const std::string back = Join(site.own_dir, "Some.Release-GRP");
  const std::string tree = "CD1/\nCD1/t.mp3:mp3\na.nfo:nfo\n";
};

TEST_F(RecordTest, APreIsRecordedAndFoundAgainInAnyCaseUntilTooOldOrUndone) {
  test::FailingFileSystem across(*site.fs, 0);
  across.fail_op = "Folder::MoveTo";
  across.fail_op_times = 1;
  across.injected = FsStatus::kCrossDevice;
  Platform copying = site.With(across);
  site.Request("GRP", 1, site.own_dir, "pre Some.Release-GRP");
  RunOnce(copying);
  ASSERT_EQ(site.Reply("pre"), Published());
  // The record's folder was missing: made private, as used it must be.
  const std::vector<std::string> rows =
      Sql("SELECT release, release_key, group_name, ifnull(section, 'NULL'), path, files, bytes, "
          "ifnull(unpre_time, 'NULL'), length(folder_id) FROM pres");
  EXPECT_EQ(rows, std::vector<std::string>{"Some.Release-GRP|some.release-grp|GRP|NULL|" + dest +
                                           "|2|6|NULL|33"})
      << LastLogLine();
  const std::string when = Sql("SELECT pre_time FROM pres")[0];
  EXPECT_TRUE(std::regex_match(when, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ(Sql("SELECT abs(julianday('now') - julianday(pre_time)) < 0.001 FROM pres")[0], "1");
  // Archived elsewhere: the folders no longer show it, the record does.
  std::filesystem::rename(dest, Join(site.root, "archived"));
  MakeRelease("SOME.release-grp");
  EXPECT_EQ(Run("pre SOME.release-grp"),
            Reply("Dupe: SOME.release-grp was already pre'd to:\r\n" + dest));
  // A reservation holds the name while its run holds its run lock.
  const std::string pending =
      "UPDATE pres SET unpre_time = NULL, folder_id = NULL, pre_time = " + std::string(kSqlNow) +
      "; INSERT OR REPLACE INTO pending_runs VALUES ((SELECT min(id) FROM pres), 5)";
  const struct {
    std::string change;
    bool run_lock_held;
  } cases[] = {
      {"UPDATE pres SET pre_time = strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-31 days')", false},
      {"UPDATE pres SET unpre_time = pre_time", false},
      {pending, true},
      {pending, false},  // the run was killed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change + (c.run_lock_held ? ", held" : ""));
    Sql(c.change);
    std::unique_ptr<HeldLock> held;
    if (c.run_lock_held) {
      ASSERT_TRUE(site.platform.fs.TryLock(db_file + "-run-5.lock", &held).ok());
      EXPECT_EQ(Run("pre SOME.release-grp"),
                Reply("Dupe: SOME.release-grp was already pre'd to:\r\n" + dest));
      continue;
    }
    EXPECT_EQ(Run("pre SOME.release-grp"),
              Reply("SOME.release-grp was successfully pre'd to:\r\n" +
                    Join(site.to_dir, "SOME.release-grp")));
    EXPECT_EQ(LastLogLine().find("record"), std::string::npos) << LastLogLine();
    test::RemoveTree(Join(site.to_dir, "SOME.release-grp"));
    Sql("DELETE FROM pres WHERE release = 'SOME.release-grp'");
    MakeRelease("SOME.release-grp");
  }
}

TEST_F(RecordTest, SiteDupeFindsEveryWordInAnyCaseNewestFirst) {
  ASSERT_EQ(Run("pre Some.Release-GRP"), Published());
  Sql("INSERT INTO pres(release, release_key, group_name, section, path, folder_id, pre_time) "
      "VALUES ('Other.Release-OTH', 'other.release-oth', 'OTH', 'mp3', 'x', 'y', "
      "'2026-01-02T03:04:05.678Z'), ('Pending.Release-GRP', 'k', 'GRP', NULL, 'x', NULL, "
      "'2026-01-02T03:04:05.678Z')");
  const std::string today = Sql("SELECT replace(substr(pre_time, 1, 19), 'T', ' ') FROM pres")[0];
  EXPECT_EQ(Run("dupe RELEASE gRp"), Reply(today + " Some.Release-GRP GRP"));
  EXPECT_EQ(Run("dupe lease  REL"), Reply(today + " Some.Release-GRP GRP\r\n"
                                          "2026-01-02 03:04:05 Other.Release-OTH OTH/mp3"));
  EXPECT_EQ(Run("dupe nothing here"), Reply("Dupe: nothing matches nothing here."));
  // Ten at most, by pre time, though the first reserved was done last.
  Sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 12) "
      "INSERT INTO pres(release, release_key, group_name, path, folder_id, pre_time) SELECT "
      "'Many.' || i || '-M', 'k', 'M', 'x', 'y', printf('2025-01-%02dT00:00:00.000Z', 13 - i) "
      "FROM n");
  std::string newest;
  for (int i = 1; i <= 10; ++i) {
    newest += (i > 1 ? "\r\n2025-01-" : "2025-01-") + std::string(13 - i < 10 ? "0" : "") +
              std::to_string(13 - i) + " 00:00:00 Many." + std::to_string(i) + "-M M";
  }
  EXPECT_EQ(Run("dupe many"), Reply(newest));
  std::string eleven;
  for (int i = 0; i < 11; ++i) eleven += "rel ";
  for (const std::string& words :
       {std::string(), std::string("ab rel"), eleven, std::string(65, 'x')}) {
    EXPECT_EQ(Run(words.empty() ? "dupe" : "dupe " + words), Reply("Usage: Site dupe words"))
        << words;
  }
  EXPECT_NE(LastLogLine().find("\tdupe\tGRP\t"), std::string::npos);
}

TEST_F(RecordTest, UnpreTakesTheReleaseBackWholeAndMarksTheRow) {
  ASSERT_EQ(Run("pre Some.Release-GRP"), Published());
  EXPECT_EQ(Run("unpre some.release-grp"),
            Reply("Some.Release-GRP was taken back to:\r\n" + back));
  EXPECT_EQ(DescribeTree(back), tree);
  EXPECT_FALSE(Exists(dest));
  EXPECT_EQ(Sql("SELECT unpre_time IS NOT NULL FROM pres"), std::vector<std::string>{"1"});
  EXPECT_EQ(ReadFile(site.announce),
            ">> \x02TestSite\x02 << Unpre: \x02Some.Release-GRP \x02" "from\x02 GRP\r\n"
            ">> Taken back from " + dest + "\r\n");
  EXPECT_NE(LastLogLine().find("\tunpre\tGRP\tSome.Release-GRP\tok\t"), std::string::npos);
  EXPECT_EQ(Run("unpre Some.Release-GRP"), Reply("Unable to find: Some.Release-GRP"));
}

TEST_F(RecordTest, UnpreRefusesAndMovesNothing) {
  const std::string outside = Join(site.root, "elsewhere");
  const std::string climbing = Join(Join(site.to_dir, ".."), "Some.Release-GRP");
  const struct {
    const char* group;
    std::string change;  // SQL run on the row first, if any
    std::string reply;
  } cases[] = {
      {"OTH", "", "Some.Release-GRP was not pre'd by your group."},
      {"GRP", "UPDATE pres SET pre_time = strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-661 seconds')",
       "Too late to unpre Some.Release-GRP: it was pre'd 11 minutes ago."},
      {"GRP", "DELETE FROM pres", "Unable to find: Some.Release-GRP"},
      {"GRP", "UPDATE pres SET path = '" + Join(outside, "Some.Release-GRP") + "'",
       "Unable to find: " + Join(outside, "Some.Release-GRP")},
      {"GRP", "UPDATE pres SET path = '" + climbing + "'", "Unable to find: " + climbing},
      {"GRP", "UPDATE pres SET folder_id = 'another'", "Unable to find: " + dest},
  };
  ASSERT_EQ(Run("pre Some.Release-GRP"), Published());
  // A folder of that name where the recorded path leads: not the one published.
  WriteFile(Join(outside, "Some.Release-GRP" + test::Sep() + "x"), "x");
  Sql("CREATE TABLE saved AS SELECT * FROM pres");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Sql("DELETE FROM pres; INSERT INTO pres SELECT * FROM saved; " + c.change);
    EXPECT_EQ(Run("unpre Some.Release-GRP", c.group), Reply(c.reply));
    EXPECT_EQ(DescribeTree(dest), tree);
    EXPECT_EQ(Sql("SELECT count(*) FROM pres WHERE unpre_time IS NOT NULL")[0], "0");
  }
  Sql("DELETE FROM pres; INSERT INTO pres SELECT * FROM saved");
  std::filesystem::rename(dest, Join(site.root, "gone"));
  EXPECT_EQ(Run("unpre Some.Release-GRP"), Reply("Unable to find: " + dest));
  Settle("predb=db" + test::Sep() + "pres.db", "");
  EXPECT_EQ(Run("unpre Some.Release-GRP"), Reply("Unpre is not allowed for your group."));
}

TEST_F(RecordTest, ARecordThatIsNotPrivateOrIsLockedNeverFailsAPre) {
  // Inside a release folder, on every system; open to others where modes are.
  Settle("predb=" + Join(site.to_dir, "pres.db"), "");
  EXPECT_EQ(Run("pre Some.Release-GRP"), Published());
  EXPECT_FALSE(Exists(Join(site.to_dir, "pres.db")));
  EXPECT_NE(LastLogLine().find("record not used: it lies inside the release folder"),
            std::string::npos);
  test::RemoveTree(dest);
  MakeRelease("Some.Release-GRP");
  Settle("predb=db" + test::Sep() + "pres.db", "");
  sqlite3* reader = nullptr;
  ASSERT_EQ(Run("pre Some.Release-GRP"), Published());
  ASSERT_EQ(sqlite3_open(db_file.c_str(), &reader), SQLITE_OK);
  // A siteop's shell in the middle of reading, then writing.
  for (const char* hold : {"BEGIN; SELECT count(*) FROM pres;", "BEGIN IMMEDIATE;"}) {
    SCOPED_TRACE(hold);
    test::RemoveTree(dest);
    MakeRelease("Some.Release-GRP");
    Sql("DELETE FROM pres");
    ASSERT_EQ(sqlite3_exec(reader, hold, nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(Run("pre Some.Release-GRP"),
              Published());
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  }
  EXPECT_NE(LastLogLine().find("record row missing: lock: database is locked"), std::string::npos);
  sqlite3_close(reader);
  // A folder the program did not make: open to others, by its mode or by
  // what the folder above hands down.
  test::RemoveTree(db_dir);
  test::MakeFolders(db_dir);
#ifdef _WIN32
  // Rights given after the making, as Wine keeps them too (as a mode).
  PSECURITY_DESCRIPTOR open = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;FA;;;WD)",
                                                                   SDDL_REVISION_1, &open, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL everyone = nullptr;
  GetSecurityDescriptorDacl(open, &present, &everyone, &defaulted);
  std::string path = db_dir;
  EXPECT_EQ(SetNamedSecurityInfoA(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, everyone, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(open);
#else
  std::filesystem::permissions(db_dir, std::filesystem::perms::all);
#endif
  test::RemoveTree(dest);
  MakeRelease("Some.Release-GRP");
  EXPECT_EQ(Run("pre Some.Release-GRP"), Published());
#ifdef _WIN32
  EXPECT_NE(LastLogLine().find("record not used: the folder lets another account in"),
            std::string::npos) << LastLogLine();
#else
  EXPECT_NE(LastLogLine().find("record not used: the folder is open to others (mode 777)"),
            std::string::npos);
#endif
}

}  // namespace
}  // namespace ovpre
