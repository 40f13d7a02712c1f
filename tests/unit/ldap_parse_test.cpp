// What the LDAP backend reads by hand (SIDs, range options, integers), when a
// row read ahead certainly belongs to a UPN, and the libraries' error codes.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <string>

#include "directory/backend/attributes.h"
#include "directory/backend/dn.h"
#include "directory/backend/read_ahead.h"
#include "directory/backend/sid.h"
#include "directory/platform/status.h"

namespace agewarden::ldap {
namespace {

// S-1-5-21-1004336348-1177238915-682003330-512 as objectSid holds it.
const std::string kSid("\x01\x05\0\0\0\0\0\x05\x15\0\0\0\xdc\xf4\xdc\x3b\x83\x3d\x2b\x46\x82\x8b\xa6\x28\0\x02\0\0", 28);

TEST(LdapParse, SidTextAndBytes) {
  const struct { std::string bytes; std::optional<std::string> text; } cases[] = {
      {kSid, "S-1-5-21-1004336348-1177238915-682003330-512"},
      {std::string("\x01\x00\0\x01\0\0\0\0", 8), "S-1-0x000100000000"},  // an authority of 2^32 or more
      {std::string("\x01\x01\0\0\0\0\0\x05\xff\xff\xff\xff", 12), "S-1-5-4294967295"},  // the largest sub-authority
      {std::string("\x01\x10\0\0\0\0\0\x05", 8) + std::string(64, '\0'), std::nullopt},  // 16 sub-authorities
      {std::string("\x02\x00\0\0\0\0\0\x05", 8), std::nullopt},           // revision
      {std::string("\x01\x02\0\0\0\0\0\x05\x01\0\0\0", 12), std::nullopt},  // shorter than its count
      {kSid + "x", std::nullopt}, {"", std::nullopt}};
  for (const auto& c : cases) {
    EXPECT_EQ(SidToText(c.bytes), c.text);
    EXPECT_TRUE(!c.text || SidFromText(*c.text) == c.bytes) << *c.text;
  }
  for (const char* text : {"S-2-5", "S-1-", "S-1-5-", "S-1-+5", "S-1-5-4294967296", "S-1-281474976710656", "x", "S-1-1x5",
                           "S-1-0x1000000000000", "S-1-0x0000000000001"})
    EXPECT_FALSE(SidFromText(text)) << text;
  EXPECT_EQ(SidRid(kSid), 512u);
  EXPECT_FALSE(SidRid(std::string("\x01\x00\0\0\0\0\0\x05", 8)));  // no sub-authority, so no RID
  // A member known by its RDN only: a quoted value unquoted, a "#" value not decoded.
  EXPECT_EQ(FirstRdnValue("OU=\"Your OU\",DC=x") + FirstRdnValue("CN=#04024869 ,DC=x"), "Your OU#04024869");
}

TEST(LdapParse, RangedNamesAndIntegers) {
  const struct { const char* name; const char* attribute; uint32_t low, high; bool last; } good[] = {
      {"member;range=1500-2999", "member", 1500, 2999, false}, {"member;Range=3000-*", "member", 3000, 0, true},
      {"member;binary;range=0-9", "member;binary", 0, 9, false}};
  for (const auto& c : good) {
    const auto ranged = ParseRangedName(c.name);
    ASSERT_TRUE(ranged) << c.name;
    EXPECT_EQ(std::make_tuple(ranged->attribute, ranged->low, ranged->high, ranged->last),
              std::make_tuple(c.attribute, c.low, c.high, c.last));
  }
  for (const char* bad : {"member", "member;range=5", "member;range=10-5", "member;range=-5", "member;range=+1-2",
                          "member;range=0-4294967296", "member;range=0-9;range=10-19", "member;range=;range=0-9", ";range=0-9", "member;;range=0-9",
                          "member;range=0-9;"}) {
    EXPECT_FALSE(ParseRangedName(bad)) << bad;
  }
  EXPECT_EQ(ParseLargeInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseInteger32("4294967295"), -1);  // flags written unsigned
  for (const char* bad : {"", "-", "+5", " 5", "5 ", "9223372036854775808", "12x"}) EXPECT_FALSE(ParseLargeInteger(bad)) << bad;
  EXPECT_FALSE(ParseInteger32("4294967296"));
}

// A row read ahead answers a UPN's own search only when the directory
// could not take its stored UPN for another of the batch: ASCII ends that
// differ (ignoring case) are certain; anything beyond ASCII may match.
TEST(LdapParse, ReadAheadCertainty) {
  const struct { const char* stored; const char* upn; bool might; } rows[] = {
      {"ann@corp", "ann@corp", true},        {"ANN@Corp", "ann@corp", true},
      {"ann@corp", "anne@corp", false},      {"bob@corp", "ann@corp", false},
      {"jos\xC3\xA9@corp", "JOS\xC3\x89@corp", true},  // other case beyond ASCII
      {"jos\xC3\xA9@corp", "jose@corp", true},          // one character for another
      {"jos\xC3\xA9@corp", "bob\xC3\xA9@corp", false},  // the ASCII start differs
      {"a\xC3\xA9" "b@corp", "a\xC3\xA9" "c@corp", false},    // the ASCII end differs
      {"ab\x80", "ab", true},                                  // a byte beyond ASCII left over
  };
  for (const auto& r : rows) EXPECT_EQ(MightMatch(r.stored, r.upn), r.might) << r.stored << " " << r.upn;
  for (const char* alone : {"a*@corp", "a(b@corp", "a)b@corp", "a\\5c@corp", "jos\xE9@corp"}) EXPECT_FALSE(Mergeable(alone)) << alone;
  EXPECT_FALSE(Mergeable(std::string("a\0b", 3)));
  EXPECT_TRUE(Mergeable("jos\xC3\xA9@corp"));
}

// libldap's own error codes and Wldap32's for the same condition give one
// status, and none is taken for success or for a server's result code.
TEST(LdapParse, ClientLibraryCodes) {
  for (const auto& [posix, windows] : {std::pair{-1, 81}, {-11, 91}, {-5, 85}, {-7, 87}, {-2, 82}, {-3, 83}, {-4, 84},
                                       {-6, 86}, {-9, 89}, {-10, 90}}) {
    EXPECT_EQ(StatusFromLdapResult(posix), StatusFromLdapResult(windows)) << posix;
    EXPECT_TRUE(Failed(StatusFromLdapResult(posix)));
    EXPECT_NE(StatusFromLdapResult(posix), StatusFromLdapResult(-posix)) << posix;
  }
}


}  // namespace
}  // namespace agewarden::ldap
