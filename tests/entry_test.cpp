#include <gtest/gtest.h>

#include <algorithm>

#include "app/entry.h"
#include "config/settings.h"
#include "request/reply.h"
#include "request/request_log.h"
#include "request/site_request.h"
#include "support/fakes.h"
#include "support/temp_folder.h"

namespace ovpre {
namespace {

using test::Exists;
using test::Join;
using test::ReadFile;
using test::SiteFixture;
using test::TempFolder;
using test::WriteFile;

TEST(ParseSiteRequest, FillsTheFieldsInServerOrder) {
  const std::optional<SiteRequest> r =
      ParseSiteRequest("zero|grp|0|tag 1|E:\\ftp dir\\x|pre  Some  Release|extra");
  EXPECT_EQ(r->Arg0, "zero");
  EXPECT_EQ(r->UserGroup, "grp");
  EXPECT_EQ(r->Access, 0);
  EXPECT_EQ(r->ReplyTag, "tag 1");
  EXPECT_EQ(r->CurrentDir, "E:\\ftp dir\\x");
  EXPECT_EQ(r->CommandText, "pre  Some  Release");
  EXPECT_EQ(CommandWord(*r), "pre");
}

TEST(ParseSiteRequest, KeepsALastPipeOnTheCommandText) {
  EXPECT_EQ(ParseSiteRequest("a|b|0|t|d|pre x|").CommandText, "pre x|");
  EXPECT_EQ(ParseSiteRequest("a|b|0|t|d|pre x|y").CommandText, "pre x");
  EXPECT_EQ(CommandWord(ParseSiteRequest("a|b|0|t|d|PRE x")), "pre");
  EXPECT_EQ(CommandWord(ParseSiteRequest("a|b|0|t|d|pre ")), "pre ");
}

TEST(ParseSiteRequest, AccessIsASixteenBitNumberOrNothing) {
  EXPECT_EQ(ParseSiteRequest("a|b| 2.5 |t|d|c").Access, 2);
  EXPECT_EQ(ParseSiteRequest("a|b|-3|t|d|c").Access, -3);
  for (const char* bad :
       {"a|b|x|t|d|c", "a|b|40000|t|d|c", "a|b| |t|d|c", "a|b|1e2|t|d|c", "a|b||t|d|c"}) {
    EXPECT_FALSE(ParseSiteRequest(bad).Access.has_value()) << bad;
  }
}

TEST(IsRequest, NeedsSixFields) {
  EXPECT_FALSE(IsRequest(""));
  EXPECT_FALSE(IsRequest("a|b|c|d|e"));
  EXPECT_TRUE(IsRequest("a|b|c|d|e|"));
}

class EntryTest : public ::testing::Test {
 protected:
  EntryTest() { site.WriteSettings(site.own_dir, site.to_dir); }
  std::string OutputFolder() const { return Join(site.raiden_dir, "Output"); }

  TempFolder temp;
  SiteFixture site{temp.path()};
};

TEST_F(EntryTest, FewerThanSixFieldsOnlyCreatesTheSettingsFile) {
  test::TempFolder other;
  SiteFixture fresh(other.path());
  fresh.process.raw = "a|b|0|t|pre x";
  EXPECT_EQ(RunOnce(fresh.platform), 0);
  EXPECT_TRUE(Exists(fresh.SettingsPath()));
  EXPECT_EQ(fresh.notifier.messages.size(), 1u);
  EXPECT_EQ(fresh.Reply("pre"), "<missing>");
}

TEST_F(EntryTest, UnknownWordsReadNothingAndWriteNothing) {
  // Without a record "dupe" and "unpre" are someone else's too.
  for (const char* command : {"prex y", "who", "pre ", "", "preadd", "dupe abc", "unpre R"}) {
    site.Request("GRP", 0, site.own_dir, command);
    RunOnce(site.platform);
  }
  // Only "preadd" among them is a command; it answers with its usage text.
  EXPECT_EQ(site.Reply("pre"), "<missing>");
  EXPECT_NE(site.Reply("preadd").find("Usage: Site preadd"), std::string::npos);
  EXPECT_EQ(site.Reply("dupe") + site.Reply("unpre"), "<missing><missing>");
}

TEST_F(EntryTest, UnknownWordsAndUnsafeTagsDoNotCreateAMissingSettingsFile) {
  test::TempFolder other;
  SiteFixture fresh(other.path());
  const std::string fields = "x|GRP|0|";
  const std::string rest = "|" + fresh.own_dir + "|";
  for (const std::string& raw :
       {fields + "17" + rest + "help me", fields + ".." + rest + "pre R",
        fields + "x/../../escaped" + rest + "pre R", fields + "\\..\\ovpre.ini" + rest + "pre R",
        fields + "c:x" + rest + "preadd A*B*C*0*u:g*1", fields + "a\rb" + rest + "pre R",
        fields + "a\x7f" + rest + "preadd A*B*C*0*u:g*1", fields + "17" + rest + "dupe abc",
        fields + "17" + rest + "unpre R"}) {
    fresh.process.raw = raw;
    RunOnce(fresh.platform);
    EXPECT_FALSE(Exists(fresh.SettingsPath())) << raw;
  }
  EXPECT_TRUE(fresh.notifier.messages.empty());
  EXPECT_EQ(test::DescribeTree(Join(fresh.raiden_dir, "Output")), "");
}

TEST(IsSafeReplyTag, RefusesWhatCouldLeaveTheOutputFolder) {
  for (const std::string tag : {"17", "", ".", "...", "a..b", "x y", "..x"}) {
    EXPECT_TRUE(IsSafeReplyTag(tag)) << tag;
  }
  for (const std::string& tag :
       std::vector<std::string>{"..", "a/b", "a\\b", "a:b", "\t", std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsSafeReplyTag(tag)) << tag;
  }
}

TEST_F(EntryTest, CommandWordsInAnyCaseReachTheirHandlers) {
  site.Request("GRP", 0, site.own_dir, "PRE");
  RunOnce(site.platform);
  EXPECT_EQ(site.Reply("pre"),
            std::string(kReplyBanner) + "\r\nUsage: Site pre dirname\r\n");
  site.Request("GRP", 1, site.own_dir, "PreAdd a*b*c*d*e*f");
  RunOnce(site.platform);
  EXPECT_EQ(site.Reply("preadd"),
            std::string(kReplyBanner) + "\r\nSorry, you do not have access to this command.\r\n");
}

TEST_F(EntryTest, AMissingOrBadAccessFieldRefusesPreadd) {
  for (const std::string access : {"", "abc", "40000"}) {
    site.process.raw = "x|GRP|" + access + "|17|" + site.own_dir + "|preadd a*b*c*d*e*f";
    RunOnce(site.platform);
    EXPECT_EQ(site.Reply("preadd"),
              test::ExpectedReply("Sorry, you do not have access to this command.")) << access;
  }
}

TEST_F(EntryTest, FirstRunRequestCreatesSettingsWithoutHoldingTheServer) {
  test::TempFolder other;
  SiteFixture fresh(other.path());
  fresh.Request("GRP", 0, fresh.own_dir, "pre x");
  RunOnce(fresh.platform);
  EXPECT_TRUE(Exists(fresh.SettingsPath()));
  EXPECT_TRUE(fresh.notifier.messages.empty()) << "no message box waits in a server's run";
  EXPECT_EQ(fresh.Reply("pre"), "<missing>");
}

TEST(WriteReply, WritesBannerAndMessageAndReplacesEarlierReplies) {
  TempFolder temp;
  SiteFixture site(temp.path());
  Settings settings;
  settings.RaidenDir = site.raiden_dir;
  ASSERT_TRUE(WriteReply(*site.fs, settings, "17", "pre", "one\r\ntwo"));
  const std::string banner = kReplyBanner;
  EXPECT_EQ(banner.size(), 80u);
  EXPECT_EQ(site.Reply("pre"), banner + "\r\none\r\ntwo\r\n");
  ASSERT_TRUE(WriteReply(*site.fs, settings, "17", "pre", "three"));
  EXPECT_EQ(site.Reply("pre"), banner + "\r\nthree\r\n");
  settings.RaidenDir = Join(temp.path(), "missing");
  EXPECT_FALSE(WriteReply(*site.fs, settings, "17", "pre", "x"));
}

TEST(LogLine, KeepsEveryFieldOnOneLineAndListsTheFirstTenFailures) {
  RequestRecord record;
  record.command = "pre";
  record.group = "G\tX";
  record.name = "R";
  record.reply = "first\r\nsecond";
  for (int i = 0; i < 12; ++i) record.Fail("step", "cause\r\n" + std::to_string(i));
  record.Fail("announce", FsStatus::kNotCopyable);
  const std::string line = LogLine(record, {{2026, 1, 2}, 3, 4, 5});
  const std::string start = "2026-01-02T03:04:05\tpre\tG X\tR\tfailed\tfirst\t-\t-\t-\t0\t";
  EXPECT_EQ(line.substr(0, start.size()), start);
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 9 + 11);
  EXPECT_NE(line.find("\tstep: cause  0\t"), std::string::npos);
  const std::string end = "\tstep: cause  9\t3 more failures";
  EXPECT_EQ(line.substr(line.size() - end.size()), end);
}

}  // namespace
}  // namespace ovpre
