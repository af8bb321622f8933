#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/sfv_check.h"
#include "text/fields.h"
#include "text/text.h"
#include "text/unicode.h"

namespace ovpre {
namespace {

struct FieldCase {
  std::string text;
  char delimiter;
  int index;
  std::string expected;
};

TEST(GetField, CutsAtTheDelimiterButKeepsOneInLastPosition) {
  const FieldCase cases[] = {
      {"a|b|c", '|', 1, "b"},        {"a|b|c", '|', 2, "c"},
      {"a|b|c", '|', 3, ""},         {"abc", '|', 0, "abc"},
      {"a||c", '|', 1, ""},          {"a||c", '|', 2, "c"},
      {"|a", '|', 0, ""},            {"|a", '|', 1, "a"},
      {"a|b|", '|', 1, "b|"},        {"a|b|", '|', 2, ""},
      {"sitename=", '=', 0, "sitename="}, {"sitename=", '=', 1, ""},
      {"admin:", ':', 0, "admin:"},  {"admin:", ':', 1, ""},
      {"pre ", ' ', 0, "pre "},      {"pre x", ' ', 0, "pre"},
      {"x=1=2", '=', 1, "1"},        {"", '|', 0, ""},
      {"|", '|', 0, "|"},            {"||", '|', 0, ""},
      {"||", '|', 1, "|"},           {"a", '|', -1, ""},
  };
  for (const FieldCase& c : cases) {
    EXPECT_EQ(GetField(c.text, c.delimiter, c.index), c.expected)
        << "text \"" << c.text << "\" index " << c.index;
  }
}

TEST(GetField, HasNoSixteenBitLimit) {
  std::string text(40000, 'a');
  text += "|tail";
  EXPECT_EQ(GetField(text, '|', 1), "tail");
  EXPECT_EQ(GetField(text, '|', 0).size(), 40000u);
  std::string many;
  for (int i = 0; i < 40000; ++i) many += "x|";
  many += "end";
  EXPECT_EQ(CountFields(many, '|'), 40001);
  EXPECT_EQ(GetField(many, '|', 40000), "end");
}

TEST(CountFields, CountsEveryDelimiterPlusOne) {
  EXPECT_EQ(CountFields("a|b|c", '|'), 3);
  EXPECT_EQ(CountFields("abc", '|'), 1);
  EXPECT_EQ(CountFields("a||", '|'), 3);
  EXPECT_EQ(CountFields("a|b|", '|'), 3);
  EXPECT_EQ(CountFields("", '|'), 1);
}

TEST(Decimal, RoundsHalvesToEven) {
  EXPECT_EQ(RoundDecimalToInt16("0"), 0);
  EXPECT_EQ(RoundDecimalToInt16("+7"), 7);
  EXPECT_EQ(RoundDecimalToInt16("-7"), -7);
  EXPECT_EQ(RoundDecimalToInt16("0.5"), 0);
  EXPECT_EQ(RoundDecimalToInt16("1.5"), 2);
  EXPECT_EQ(RoundDecimalToInt16("2.5"), 2);
  EXPECT_EQ(RoundDecimalToInt16("2.50001"), 3);
  EXPECT_EQ(RoundDecimalToInt16("2.49999"), 2);
  EXPECT_EQ(RoundDecimalToInt16("-0.5"), 0);
  EXPECT_EQ(RoundDecimalToInt16("-1.5"), -2);
  EXPECT_EQ(RoundDecimalToInt16(".7"), 1);
  EXPECT_EQ(RoundDecimalToInt16("3."), 3);
  EXPECT_EQ(RoundDecimalToInt16("32767.4"), 32767);
  EXPECT_EQ(RoundDecimalToInt16("-32768.5"), -32768);
  EXPECT_EQ(RoundDecimalToInt16("0000000000001"), 1);
}

TEST(Decimal, RefusesWhatIsNotANumberOrDoesNotFit) {
  for (const char* bad : {"", " ", "+", "-", ".", "abc", "1a", "1 2", " 1", "1e3", "0x10",
                          "32767.5", "32768", "-32769", "99999999999999999999", "1.2.3"}) {
    EXPECT_FALSE(RoundDecimalToInt16(bad).has_value()) << bad;
  }
}

TEST(Decimal, FloorsTowardsMinusInfinity) {
  EXPECT_EQ(FloorDecimalToInt16("2.7"), 2);
  EXPECT_EQ(FloorDecimalToInt16("-0.5"), -1);
  EXPECT_EQ(FloorDecimalToInt16("-2.0"), -2);
  EXPECT_EQ(FloorDecimalToInt16("-32768"), -32768);
  EXPECT_FALSE(FloorDecimalToInt16("-32768.1").has_value());
  EXPECT_EQ(FloorDecimalToInt16("32767.9"), 32767);
  EXPECT_FALSE(FloorDecimalToInt16("abc").has_value());
}

TEST(Text, TrimsOnlySpacesAndLowersOnlyAscii) {
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(LowerAscii("OwnDIR\xC3\x89"), "owndir\xC3\x89");
  EXPECT_TRUE(HasControlChar("a\rb"));
  EXPECT_TRUE(HasControlChar(std::string("a\0b", 3)));
  EXPECT_FALSE(HasControlChar("caf\xC3\xA9"));
}

TEST(Text, MasksEveryCodePointOrByteThatWouldNotShowAsItIs) {
  const struct {
    std::string text, masked, one_line;
  } cases[] = {
      {"caf\xC3\xA9 \xE4\xB8\xAD", "caf\xC3\xA9 \xE4\xB8\xAD", "caf\xC3\xA9 \xE4\xB8\xAD"},
      {"a\x1B[31mb\r\nc\x7F", "a?[31mb??c?", "a [31mb  c "},
      {"a\xC2\x85" "b\xC2\x9B" "c", "a?b?c", "a?b?c"},         // C1: NEL, CSI
      {"x\xE2\x80\xAE" "y\xE2\x80\x8B" "z\xEF\xBB\xBF", "x?y?z?", "x?y?z?"},  // RLO, ZWSP, BOM
      {"\xF3\xA0\x80\x81" "\xCD\x8F", "??", "??"},               // language tag, CGJ
      {"a\xFF" "b\xC0\xAF" "c\xE0\x80\xAF", "a?b??c???", "a?b??c???"},  // invalid, overlong
      {"\xED\xA0\x80" "\xF4\x90\x80\x80" "\xE2\x82", "?????????", "?????????"},  // surrogate
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskControlChars(c.text), c.masked) << c.text;
    EXPECT_EQ(OneLineField(c.text), c.one_line) << c.text;
    EXPECT_EQ(HasHiddenText(c.text), c.masked != c.text) << c.text;
  }
}

TEST(FoldName, FoldsByTheSimpleMappingsOfCaseFoldingOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\x84rger-GRP", "\xC3\xA4rger-grp"},                // Ä -> ä
      {"Stra\xC3\x9F" "e", "stra\xC3\x9F" "e"},                  // ß stays (full folding: ss)
      {"\xE1\xBA\x9E", "\xC3\x9F"},                             // ẞ -> ß (S)
      {"\xCE\xA3\xCF\x82\xCF\x83", "\xCF\x83\xCF\x83\xCF\x83"},  // Σ ς σ -> σ
      {"I\xC4\xB0\xC4\xB1", "i\xC4\xB0\xC4\xB1"},              // İ (F, T only) and ı stay
      {"\xE2\x84\xAA", "k"},                                      // Kelvin sign
      {"\xF0\x90\x90\x80\xFF", "\xF0\x90\x90\xA8\xFF"},        // Deseret; a bad byte stays
  };
  for (const auto& [text, folded] : cases) EXPECT_EQ(FoldName(text), folded) << text;
}

TEST(ParseSfv, TakesTheLastTokenAsTheCrcAndEverythingBeforeAsTheName) {
  const struct {
    const char* what;
    std::string text;
    std::vector<SfvEntry> expected;
  } cases[] = {
      {"CR LF and LF, comments, no end at the end",
       "; made by a tool\r\na.rar 352441C2\r\n;b.rar 00000000\nc.r00 cbf43926",
       {{"a.rar", 0x352441C2}, {"c.r00", 0xCBF43926}}},
      {"names with spaces, padding around the line",
       "  My Song 01.mp3 0000000A  \r\nx  y.mp3   FFFFFFFF\r\n",
       {{"My Song 01.mp3", 0xA}, {"x  y.mp3", 0xFFFFFFFF}}},
      {"bad lines list nothing",
       "\r\n\r\nnocrc\r\n 352441C2\r\nshort 1234567\r\nlong 123456789\r\n"
       "hex.rar 1234567G\r\ntab.rar\t352441C2\r\nok.rar 00000000\r\n",
       {{"ok.rar", 0}}},
      {"a byte-order mark and a lone CR inside a name",
       "\xEF\xBB\xBF" "first.rar 00000001\nodd\rname 00000002\n",
       {{"first.rar", 1}, {"odd\rname", 2}}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ParseSfv(c.text), c.expected);
  }
}

}  // namespace
}  // namespace ovpre
