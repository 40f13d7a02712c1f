// The pure functions of the LDAP backend: what it makes of the text and
// bytes a server sends, the paths it is given, and its status mapping. None
// of these needs a server.
#include <gtest/gtest.h>

#include <string>

#include "directory/ldap_columns.h"
#include "directory/ldap_parse.h"
#include "directory/ldap_status.h"

namespace agewarden::ldap {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

// S-1-5-21-1004336348-1177238915-682003330-512 as stored in objectSid.
const std::string kDomainAdminsSid = Bytes({0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x15, 0x00, 0x00, 0x00,
                                            0xdc, 0xf4, 0xdc, 0x3b, 0x83, 0x3d, 0x2b, 0x46, 0x82, 0x8b, 0xa6, 0x28,
                                            0x00, 0x02, 0x00, 0x00});

TEST(LdapParse, RangedNames) {
  auto ranged = ParseRangedName("member;range=1500-2999");
  ASSERT_TRUE(ranged);
  EXPECT_EQ(ranged->attribute, "member");
  EXPECT_EQ(ranged->low, 1500u);
  EXPECT_EQ(ranged->high, 2999u);
  EXPECT_FALSE(ranged->last);

  ranged = ParseRangedName("member;Range=3000-*");
  ASSERT_TRUE(ranged);
  EXPECT_EQ(ranged->low, 3000u);
  EXPECT_TRUE(ranged->last);

  ranged = ParseRangedName("member;binary;range=0-9");
  ASSERT_TRUE(ranged);
  EXPECT_EQ(ranged->attribute, "member;binary");

  EXPECT_FALSE(ParseRangedName("member"));
  EXPECT_FALSE(ParseRangedName("member;range="));
  EXPECT_FALSE(ParseRangedName("member;range=5"));
  EXPECT_FALSE(ParseRangedName("member;range=10-5"));
  EXPECT_FALSE(ParseRangedName("member;range=-5"));
  EXPECT_FALSE(ParseRangedName("member;range=0-4294967296"));
  EXPECT_FALSE(ParseRangedName("member;range=0-9;range=10-19"));
  EXPECT_FALSE(ParseRangedName(";range=0-9"));
  EXPECT_FALSE(ParseRangedName("member;;range=0-9"));
  EXPECT_FALSE(ParseRangedName("member;range=a-9"));
}

TEST(LdapParse, AttributeTypeDropsOptions) {
  EXPECT_EQ(AttributeType("member;range=0-*"), "member");
  EXPECT_EQ(AttributeType("cn"), "cn");
}

TEST(LdapParse, LargeIntegers) {
  EXPECT_EQ(ParseLargeInteger("0"), 0);
  EXPECT_EQ(ParseLargeInteger("133000000000000000"), 133000000000000000);
  EXPECT_EQ(ParseLargeInteger("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseLargeInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseLargeInteger("-1"), -1);
  EXPECT_EQ(ParseLargeInteger("0007"), 7);
  EXPECT_FALSE(ParseLargeInteger("9223372036854775808"));
  EXPECT_FALSE(ParseLargeInteger("-9223372036854775809"));
  EXPECT_FALSE(ParseLargeInteger("99999999999999999999999"));
  EXPECT_FALSE(ParseLargeInteger(""));
  EXPECT_FALSE(ParseLargeInteger("-"));
  EXPECT_FALSE(ParseLargeInteger("+1"));
  EXPECT_FALSE(ParseLargeInteger(" 1"));
  EXPECT_FALSE(ParseLargeInteger("1 "));
  EXPECT_FALSE(ParseLargeInteger("12x"));
  EXPECT_FALSE(ParseLargeInteger(std::string("1\0", 2)));
}

TEST(LdapParse, Integer32) {
  EXPECT_EQ(ParseInteger32("512"), 512);
  EXPECT_EQ(ParseInteger32("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInteger32("4294967295"), -1);
  EXPECT_EQ(ParseInteger32("2147483648"), INT32_MIN);
  EXPECT_FALSE(ParseInteger32("4294967296"));
  EXPECT_FALSE(ParseInteger32("-2147483649"));
  EXPECT_FALSE(ParseInteger32("x"));
}

TEST(LdapParse, AttributeSyntaxes) {
  EXPECT_TRUE(IsLargeIntegerAttribute("pwdLastSet"));
  EXPECT_TRUE(IsLargeIntegerAttribute("PWDLASTSET"));
  EXPECT_TRUE(IsLargeIntegerAttribute("lastLogonTimestamp"));
  EXPECT_TRUE(IsLargeIntegerAttribute("uSNChanged"));
  EXPECT_FALSE(IsLargeIntegerAttribute("userAccountControl"));
  EXPECT_FALSE(IsLargeIntegerAttribute("name"));
  EXPECT_TRUE(IsInteger32Attribute("userAccountControl"));
  EXPECT_TRUE(IsInteger32Attribute("primaryGroupID"));
  EXPECT_FALSE(IsInteger32Attribute("pwdLastSet"));
}

TEST(LdapParse, SidText) {
  EXPECT_EQ(SidToText(kDomainAdminsSid), "S-1-5-21-1004336348-1177238915-682003330-512");
  EXPECT_EQ(SidToText(Bytes({1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0})), "S-1-5-11");
  EXPECT_EQ(SidToText(Bytes({1, 0, 0, 0, 0, 0, 0, 1})), "S-1-1");
  // An authority of 2^32 or more is written in hex.
  EXPECT_EQ(SidToText(Bytes({1, 0, 0, 1, 0, 0, 0, 0})), "S-1-0x000100000000");
  EXPECT_FALSE(SidToText(""));
  EXPECT_FALSE(SidToText(Bytes({2, 0, 0, 0, 0, 0, 0, 5})));           // revision
  EXPECT_FALSE(SidToText(Bytes({1, 2, 0, 0, 0, 0, 0, 5, 1, 0, 0, 0})));  // short
  EXPECT_FALSE(SidToText(kDomainAdminsSid + "x"));                    // long
  std::string sixteen = Bytes({1, 16, 0, 0, 0, 0, 0, 5});
  sixteen.append(64, '\0');
  EXPECT_FALSE(SidToText(sixteen));
}

TEST(LdapParse, SidRoundTripAndParts) {
  EXPECT_EQ(SidFromText("S-1-5-21-1004336348-1177238915-682003330-512"), kDomainAdminsSid);
  EXPECT_EQ(SidRid(kDomainAdminsSid), 512u);
  const auto domain = SidDomainPart(kDomainAdminsSid);
  ASSERT_TRUE(domain);
  EXPECT_EQ(SidToText(*domain), "S-1-5-21-1004336348-1177238915-682003330");
  EXPECT_EQ(SidWithRid(*domain, 513), *SidFromText("S-1-5-21-1004336348-1177238915-682003330-513"));
  EXPECT_EQ(SidToText(*SidFromText("S-1-0x000100000000")), "S-1-0x000100000000");
  EXPECT_FALSE(SidFromText("S-2-5"));
  EXPECT_FALSE(SidFromText("S-1-"));
  EXPECT_FALSE(SidFromText("S-1-5-"));
  EXPECT_FALSE(SidFromText("S-1-5-4294967296"));
  EXPECT_FALSE(SidFromText("S-1-281474976710656"));
  EXPECT_FALSE(SidFromText("Administrator"));
  EXPECT_FALSE(SidRid(""));
}

TEST(LdapParse, FilterEscaping) {
  EXPECT_EQ(EscapeFilterValue("a*b(c)d\\e"), "a\\2ab\\28c\\29d\\5ce");
  EXPECT_EQ(EscapeFilterValue(std::string("x\0y", 3)), "x\\00y");
  EXPECT_EQ(EscapeFilterValue("José Núñez"), "José Núñez");
  EXPECT_EQ(EscapeFilterValue("CN=Slash/User,OU=Staff"), "CN=Slash/User,OU=Staff");
  EXPECT_EQ(EscapeFilterBytes(Bytes({0x01, 0xab, 0x00})), "\\01\\ab\\00");
}

TEST(LdapParse, SplittingDns) {
  auto rdns = SplitDn("CN=Slash/User,OU=Staff,DC=agewarden,DC=lab");
  ASSERT_TRUE(rdns);
  ASSERT_EQ(rdns->size(), 4u);
  EXPECT_EQ((*rdns)[0].type, "CN");
  EXPECT_EQ((*rdns)[0].value, "Slash/User");
  EXPECT_EQ((*rdns)[3].value, "lab");

  EXPECT_EQ(FirstRdnValue("CN=Smith\\, John,OU=Staff,DC=x"), "Smith, John");
  EXPECT_EQ(FirstRdnValue("CN=Smith\\2C John,DC=x"), "Smith, John");
  EXPECT_EQ(FirstRdnValue("OU=\"Your OU\",DC=x"), "Your OU");
  EXPECT_EQ(FirstRdnValue("CN=a+UID=b,DC=x"), "a");
  EXPECT_EQ(FirstRdnValue("CN=trailing\\ ,DC=x"), "trailing ");
  EXPECT_EQ(FirstRdnValue("CN=S-1-5-21-1-2-3-1105,CN=ForeignSecurityPrincipals,DC=x"), "S-1-5-21-1-2-3-1105");
  EXPECT_EQ(FirstRdnText("CN=Staff 200 A,OU=Staff,DC=x"), "CN=Staff 200 A");
  EXPECT_EQ(FirstRdnText("CN=a\\,b,DC=x"), "CN=a\\,b");

  EXPECT_TRUE(SplitDn(""));
  EXPECT_TRUE(SplitDn("")->empty());
  EXPECT_FALSE(SplitDn("nonsense"));
  EXPECT_FALSE(SplitDn("CN=a,"));
  EXPECT_FALSE(SplitDn("CN=a\\"));
  EXPECT_FALSE(SplitDn("CN=\"open"));
  EXPECT_FALSE(SplitDn("=a"));
}

TEST(LdapParse, DnDomainsAndSuffixes) {
  EXPECT_EQ(DnsDomainOfDn("CN=x,OU=y,DC=Agewarden,DC=Lab"), "agewarden.lab");
  EXPECT_EQ(DnsDomainOfDn("CN=x"), "");
  EXPECT_TRUE(DnIsWithin("CN=x,DC=agewarden,DC=lab", "dc=AGEWARDEN,dc=lab"));
  EXPECT_TRUE(DnIsWithin("DC=agewarden,DC=lab", "DC=agewarden,DC=lab"));
  EXPECT_FALSE(DnIsWithin("CN=x,DC=other,DC=lab", "DC=agewarden,DC=lab"));
  EXPECT_FALSE(DnIsWithin("CN=x,DC=notagewarden,DC=lab", "DC=agewarden,DC=lab"));
  EXPECT_FALSE(DnIsWithin("CN=x\\,DC=agewarden,DC=lab", "DC=agewarden,DC=lab"));
}

TEST(LdapParse, WinNtPaths) {
  auto path = ParseWinNtPath("WinNT://AGEWARDEN/Domain Admins");
  ASSERT_TRUE(path);
  EXPECT_EQ(path->kind, WinNtPath::Kind::Account);
  EXPECT_EQ(path->domain, "AGEWARDEN");
  EXPECT_EQ(path->name, "Domain Admins");

  path = ParseWinNtPath("WinNT://AGEWARDEN/Lab Group A,group");
  ASSERT_TRUE(path);
  EXPECT_EQ(path->name, "Lab Group A");
  EXPECT_EQ(path->className, "group");

  path = ParseWinNtPath("WinNT://S-1-5-21-1-2-3-1105");
  ASSERT_TRUE(path);
  EXPECT_EQ(path->kind, WinNtPath::Kind::Sid);
  EXPECT_EQ(path->name, "S-1-5-21-1-2-3-1105");

  EXPECT_FALSE(ParseWinNtPath("WinNT://AGEWARDEN/DC1/Administrator"));
  EXPECT_FALSE(ParseWinNtPath("WinNT://Administrator"));
  EXPECT_FALSE(ParseWinNtPath("WinNT://AGEWARDEN/"));
  EXPECT_FALSE(ParseWinNtPath("WinNT:///name"));
  EXPECT_FALSE(ParseWinNtPath("WinNT://"));
  EXPECT_FALSE(ParseWinNtPath("LDAP://CN=x"));
  EXPECT_FALSE(ParseWinNtPath("winnt://AGEWARDEN/x"));
}

TEST(LdapParse, LdapPaths) {
  auto path = ParseLdapPath("LDAP://rootDSE");
  ASSERT_TRUE(path);
  EXPECT_TRUE(path->rootDse);
  path = ParseLdapPath("LDAP://CN=Slash/User,OU=Staff,DC=agewarden,DC=lab");
  ASSERT_TRUE(path);
  EXPECT_FALSE(path->rootDse);
  EXPECT_EQ(path->dn, "CN=Slash/User,OU=Staff,DC=agewarden,DC=lab");
  EXPECT_FALSE(ParseLdapPath("LDAP://"));
  EXPECT_FALSE(ParseLdapPath("WinNT://AGEWARDEN/x"));
  EXPECT_FALSE(ParseLdapPath("CN=x"));
}

TEST(LdapParse, Krb5DefaultRealm) {
  const auto scan = ScanKrb5Config(
      "# comment\n"
      "include /etc/krb5.extra\n"
      "includedir /etc/krb5.conf.d/\n"
      "[realms]\n"
      "\tdefault_realm = WRONG.SECTION\n"
      "[libdefaults]\n"
      "  EXAMPLE.ORG = {\n"
      "    default_realm = NESTED.WRONG\n"
      "  }\n"
      "\tdefault_realm = AGEWARDEN.LAB\r\n"
      "\tdefault_realm = SECOND.IGNORED\n");
  ASSERT_TRUE(scan.defaultRealm);
  EXPECT_EQ(*scan.defaultRealm, "AGEWARDEN.LAB");
  ASSERT_EQ(scan.includes.size(), 1u);
  EXPECT_EQ(scan.includes[0], "/etc/krb5.extra");
  ASSERT_EQ(scan.includeDirs.size(), 1u);
  EXPECT_FALSE(ScanKrb5Config("[libdefaults]\n dns_lookup_kdc = true\n").defaultRealm);
  EXPECT_FALSE(ScanKrb5Config("").defaultRealm);
}

TEST(LdapParse, HostListsBecomeUris) {
  EXPECT_EQ(HostListToUris("dc1.example.org:389 dc2.example.org:3268"),
            "ldap://dc1.example.org:389 ldap://dc2.example.org:3268");
  EXPECT_EQ(HostListToUris(""), "");
}

TEST(LdapStatus, Mapping) {
  EXPECT_EQ(StatusFromLdapResult(0), S_OK);
  EXPECT_EQ(StatusFromLdapResult(-7), MakeStatus(0x8007203E));   // libldap's filter error
  EXPECT_EQ(StatusFromLdapResult(87), MakeStatus(0x8007203E));   // the same, as a server numbers it
  EXPECT_EQ(StatusFromLdapResult(32), MakeStatus(0x80072030));   // noSuchObject
  EXPECT_EQ(StatusFromLdapResult(50), MakeStatus(0x80070005));   // insufficientAccessRights
  EXPECT_EQ(StatusFromLdapResult(-1), MakeStatus(0x8007203A));   // server down
  EXPECT_EQ(StatusFromLdapResult(-11), MakeStatus(0x8007203A));  // connect error
  EXPECT_EQ(StatusFromLdapResult(-5), MakeStatus(0x800705B4));   // time-out
  EXPECT_EQ(StatusFromLdapResult(8), MakeStatus(0x80072028));    // strongerAuthRequired
  EXPECT_EQ(StatusFromLdapResult(49), MakeStatus(0x8007052E));   // invalidCredentials
  EXPECT_EQ(StatusFromLdapResult(19), MakeStatus(0x8007202F));   // constraintViolation
  EXPECT_EQ(StatusFromLdapResult(53), MakeStatus(0x80072035));   // unwillingToPerform
  EXPECT_EQ(StatusFromLdapResult(4), MakeStatus(0x80072023));    // sizeLimitExceeded
  EXPECT_EQ(StatusFromLdapResult(34), MakeStatus(0x80072032));   // invalidDNSyntax
  EXPECT_EQ(StatusFromLdapResult(16), MakeStatus(0x8007200A));   // noSuchAttribute
  EXPECT_EQ(StatusFromLdapResult(80), E_FAIL);                   // other
  EXPECT_EQ(StatusFromLdapResult(12345), E_FAIL);
}

TEST(LdapColumns, NamesAsRequestedAndOnlyThoseRequested) {
  Entry entry;
  entry.dn = "CN=Staff 200 A,OU=Staff,DC=agewarden,DC=lab";
  entry.attributes = {{"distinguishedName", {entry.dn}},
                      {"pwdLastSet", {"133000000000000000"}},
                      {"objectGUID", {"0123456789abcdef"}},
                      {"member;range=0-1", {"CN=a", "CN=b"}}};
  const auto columns = ReportColumns(entry, {"DISTINGUISHEDNAME", "pwdlastset", "member", "ADsPath", "mail"});
  ASSERT_EQ(columns.size(), 4u);
  EXPECT_EQ(columns[0].name, "DISTINGUISHEDNAME");
  EXPECT_EQ(columns[1].name, "pwdlastset");
  EXPECT_EQ(columns[2].name, "member");
  EXPECT_EQ(columns[3].name, "ADsPath");

  Column column;
  ASSERT_EQ(ColumnValues(columns[1], column), S_OK);
  ASSERT_EQ(column.values.size(), 1u);
  EXPECT_EQ(std::get<int64_t>(column.values[0]), 133000000000000000);
  ASSERT_EQ(ColumnValues(columns[3], column), S_OK);
  EXPECT_EQ(std::get<std::string>(column.values[0]), "LDAP://" + entry.dn);
  ASSERT_EQ(ColumnValues(columns[2], column), S_OK);
  EXPECT_EQ(column.values.size(), 2u);

  // Nothing asked for: everything returned, under the server's names.
  EXPECT_EQ(ReportColumns(entry, {}).size(), 4u);
}

TEST(LdapColumns, GarbageLargeIntegerFailsTheColumn) {
  Entry entry;
  entry.dn = "CN=x";
  entry.attributes = {{"pwdLastSet", {"13300000000000000x"}}, {"accountExpires", {"99999999999999999999"}}};
  const auto columns = ReportColumns(entry, {"pwdLastSet", "accountExpires"});
  ASSERT_EQ(columns.size(), 2u);
  Column column;
  EXPECT_EQ(ColumnValues(columns[0], column), E_ADS_CANT_CONVERT_DATATYPE);
  EXPECT_TRUE(column.values.empty());
  EXPECT_EQ(ColumnValues(columns[1], column), E_ADS_CANT_CONVERT_DATATYPE);
}

TEST(LdapColumns, DistinguishedNameMadeWhenTheServerOmitsIt) {
  Entry entry;
  entry.dn = "CN=x,DC=y";
  entry.attributes = {{"name", {"x"}}};
  const auto columns = ReportColumns(entry, {"name", "distinguishedName"});
  ASSERT_EQ(columns.size(), 2u);
  Column column;
  ASSERT_EQ(ColumnValues(columns[1], column), S_OK);
  EXPECT_EQ(std::get<std::string>(column.values[0]), "CN=x,DC=y");
}

}  // namespace
}  // namespace agewarden::ldap
