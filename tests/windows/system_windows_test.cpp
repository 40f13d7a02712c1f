// The Windows pieces that call the system: UTF-16 at the edges, the
// environment, the zone and standard output. Run under Wine with
// TZ=EST5EDT,M4.1.0,M10.5.0 (as scripts/windows/test does), which Wine takes
// as the system's zone. (<windows.h> defines S_OK and the other status names
// as macros, so the directory headers stay out of this file.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "cli/environment_windows.h"
#include "cli/output_windows.h"
#include "common/filetime.h"
#include "common/utf16.h"

namespace agewarden::testing {
namespace {

const std::string kEuro = "\xE2\x82\xAC";
const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair in UTF-16

TEST(Utf16, RoundTripsAndBadBytes) {
  for (const std::string& text : {std::string(""), std::string("ascii"), "jos\xC3\xA9 " + kEuro + kGrin}) {
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
  }
  EXPECT_EQ(Utf8ToUtf16(kGrin), (std::u16string{0xD83D, 0xDE00}));
  // A lone surrogate survives both ways.
  const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(Utf16ToUtf8(lone), "a\xED\xA0\x80" "b\xED\xB0\x80");
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(lone)), lone);
  // Bytes that start no whole sequence become U+FFFD, one each.
  EXPECT_EQ(Utf8ToUtf16("\x80x\xC0\xAF\xE2\x82"), (std::u16string{0xFFFD, u'x', 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), (std::u16string(4, 0xFFFD)));
}

// Values as UTF-8, longer than the first buffer; a variable that is not set.
TEST(Environment, ValuesAsUtf8AndUnsetVariables) {
  std::string value;
  const std::string text = "jos\xC3\xA9" + kGrin + std::string(5000, 'v');
  ASSERT_TRUE(SetEnvironmentVariableW(L"AGEWARDEN_TEST_VALUE", Utf8ToWide(text).c_str()));
  EXPECT_TRUE(ReadEnvironmentVariable("AGEWARDEN_TEST_VALUE", value));
  EXPECT_EQ(value, text);
  SetEnvironmentVariableW(L"AGEWARDEN_TEST_VALUE", nullptr);
  EXPECT_FALSE(ReadEnvironmentVariable("AGEWARDEN_TEST_VALUE", value));
}

// The offset of the date itself, not of today, in the zone of the run: a
// POSIX rule, which Wine takes as it is (TZ=EST5EDT,M4.1.0,M10.5.0, as the
// suite runs), or America/New_York, which Wine maps to "Eastern Standard
// Time" and its rules per year (a second run): in 2003 New York kept standard
// time into April, in 2026 not in mid-March. The zone is west of UTC, so the
// first hours of 1601 (UTC) are local times before 1601, which Windows cannot
// hold: the offset is the zone's all the same.
TEST(Zone, TheOffsetOfTheDateItself) {
  const std::string zone = std::getenv("TZ") ? std::getenv("TZ") : "";
  const bool perYear = zone == "America/New_York";
  if (!perYear && zone != "EST5EDT,M4.1.0,M10.5.0") GTEST_SKIP() << "needs TZ=EST5EDT,M4.1.0,M10.5.0 or America/New_York";
  // The offset in hours; none where the time cannot be placed.
  const std::pair<int64_t, std::optional<int64_t>> rows[] = {
      {1047634013, -5},              // 2003-03-14 09:26:53 UTC
      {1049976000, -4},              // 2003-04-10 12:00 UTC
      {1067428800, -5},              // 2003-10-29 12:00 UTC
      {1773489600, perYear ? -4 : -5},  // 2026-03-14 12:00 UTC
      {-kEpochDifferenceSeconds, -5},  // 1601-01-01 00:00 UTC
      {-kEpochDifferenceSeconds + 4 * 3600, -5},
      {-kEpochDifferenceSeconds - 1, std::nullopt},
      {INT64_MAX, std::nullopt},
  };
  for (const auto& [unixSeconds, hours] : rows) {
    int64_t offset = 0;
    EXPECT_EQ(LocalZoneOffset(unixSeconds, offset), hours.has_value()) << unixSeconds;
    if (hours) { EXPECT_EQ(offset, *hours * 3600) << unixSeconds; }
  }
  const int64_t now = SystemTimeAsFileTime();
  EXPECT_GT(now, (1577836800 + kEpochDifferenceSeconds) * kTicksPerSecond);  // after 2020-01-01
}

TEST(StandardOutput, RedirectedIsUtf8WithCrLf) {
  wchar_t folder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring path = std::wstring(folder) + L"agewarden-out.txt";
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  const std::string big = std::string(4095, 'x') + kGrin + "\n";  // a sequence across the buffer's end
  {
    const std::unique_ptr<std::streambuf> buffer = OpenStandardOutput();
    std::ostream out(buffer.get());
    out << "one\n" << kEuro << "\n\n" << big << std::flush << "last";
  }
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  std::ifstream in(path.c_str(), std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileW(path.c_str());
  EXPECT_EQ(written, "one\r\n" + kEuro + "\r\n\r\n" + big.substr(0, big.size() - 1) + "\r\nlast");
}

}  // namespace
}  // namespace agewarden::testing
