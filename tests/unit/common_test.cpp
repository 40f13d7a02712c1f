#include "cli/ou_path.h"
#include "common/text.h"
#include "run_harness.h"

namespace agewarden::testing {
namespace {

TEST(Text, Utf8Edges) {
  const std::tuple<std::string, size_t, bool> cases[] = {
      {"", 0, true}, {"a", 1, true}, {"\x80", 1, false}, {"\xC0\x80", 2, false}, {"\xC1\xBF", 2, false},
      {"\xC2\x80", 1, true}, {"\xDF\xBF", 1, true}, {"\xE0\x9F\xBF", 3, false}, {"\xE0\xA0\x80", 1, true},
      {"\xED\xA0\x80", 3, false}, {"\xEF\xBF\xBF", 1, true}, {"\xF0\x8F\xBF\xBF", 4, false},
      {"\xF0\x90\x80\x80", 2, true}, {"\xF4\x8F\xBF\xBF", 2, true}, {"\xF4\x90\x80\x80", 4, false},
      {"\xF5\x80\x80\x80", 4, false}, {"\x84\x80\x80\x80", 4, false}, {"\xFF", 1, false}, {"\xE2\x82", 2, false},
      {"\xC3\x28", 2, false},
  };
  for (const auto& [bytes, utf16, valid] : cases) {
    EXPECT_EQ(std::pair(Utf16Length(bytes), IsValidUtf8(bytes)), std::pair(utf16, valid)) << bytes;
  }
  EXPECT_EQ(WidenLatin1("a\x80\xBF\xC0\xFF"), "a\xC2\x80\xC2\xBF\xC3\x80\xC3\xBF");
  EXPECT_TRUE(EqualsIgnoreAsciiCase("Domain Users AZ", "dOMAIN uSERS az"));
  const std::pair<std::string, std::string> unequal[] = {{"@", "`"}, {"[", "{"}, {"\xC3\xA9", "\xC3\x89"}, {"a", "ab"}};
  for (const auto& [a, b] : unequal) EXPECT_FALSE(EqualsIgnoreAsciiCase(a, b)) << a;
}

TEST(Format, ConversionsAndMissingArguments) {
  EXPECT_EQ(Format("%s=%d %x %.1f%% %q", "a", -5, -2147467259, 190.06), "a=-5 80004005 190.1% %q");
  EXPECT_EQ(Format("%s|%d|%x|%.1f|%", 1, "a"), "||||%");
}

TEST(FileTime, CivilDatesAndTheirBounds) {
  const std::pair<int64_t, std::string> cases[] = {
      {TicksOf(1601, 12, 31, 23, 59, 58), "12/31/1601 11:59:58 PM"},
      {TicksOf(2000, 2, 29, 12, 1, 2), "2/29/2000 12:01:02 PM"},
      {TicksOf(2100, 3, 1, 0, 59, 9), "3/1/2100 12:59:09 AM"},
      {TicksOf(1999, 10, 10, 13, 7, 40), "10/10/1999 1:07:40 PM"},
      {TicksOf(9999, 12, 31, 23, 59, 59), "12/31/9999 11:59:59 PM"},
  };
  SystemTime fields;
  for (const auto& [ticks, text] : cases) {
    ASSERT_TRUE(FileTimeToSystemTime(ticks + 9'999'999, fields)) << text;
    EXPECT_EQ(FormatDateText(fields), text);
    EXPECT_TRUE(CanBeDateValue(fields));
  }
  EXPECT_FALSE(FileTimeToSystemTime(-1, fields));
  EXPECT_TRUE(FileTimeToSystemTime(TicksOf(30827, 12, 31, 23, 59, 59), fields));
  EXPECT_FALSE(FileTimeToSystemTime(TicksOf(30828, 1, 1, 0, 0, 0), fields));
  for (const int year : {99, 100, 10000}) {
    fields.year = year;
    EXPECT_EQ(CanBeDateValue(fields), year == 100) << year;
  }
}

TEST(FileTime, LocalTimeStaysInsideTheRange) {
  int64_t local = 0;
  EXPECT_FALSE(FileTimeToLocalFileTime(-1, local, FixedZone(0)));
  EXPECT_FALSE(FileTimeToLocalFileTime(INT64_MAX - 3600 * kTicksPerSecond + 1, local, FixedZone(1)));
  ASSERT_TRUE(FileTimeToLocalFileTime(INT64_MAX - 3600 * kTicksPerSecond, local, FixedZone(1)));
  EXPECT_EQ(local, INT64_MAX);
  ASSERT_TRUE(FileTimeToLocalFileTime(INT64_MAX, local, FixedZone(-1)));
  EXPECT_EQ(local, INT64_MAX - 3600 * kTicksPerSecond);
  EXPECT_FALSE(FileTimeToLocalFileTime(0, local, [](int64_t, int64_t&) { return false; }));
}

TEST(OuPath, ChainIsTheNonEmptyComponentsLastFirstAsTyped) {
  const std::pair<std::string, std::string> cases[] = {
      {"Your OU/Your Staff/Admins", "OU=\"Admins\",OU=\"Your Staff\",OU=\"Your OU\""}, {"//A", "OU=\"A\""},
      {"/A//B/", "OU=\"B\",OU=\"A\""}, {"A / B", "OU=\" B\",OU=\"A \""}, {"a\"b,c=\\d", "OU=\"a\"b,c=\\d\""},
      {"///", ""},
  };
  for (const auto& [path, chain] : cases) EXPECT_EQ(OuRdnChainOf(path), chain) << path;
}

}  // namespace
}  // namespace agewarden::testing
