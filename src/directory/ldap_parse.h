// Pure functions over the text and bytes the directory server sends, and over
// the paths and filters the backend builds. None of them touches the network
// or libldap, so each can be tested (and fuzzed) on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace agewarden::ldap {

/// An attribute description with a range option, as a server names the slice
/// of a multi-valued attribute it returned: "member;range=1500-2999" or
/// "member;range=3000-*".
struct RangedName {
  std::string attribute;  ///< the description without its range option
  uint32_t low = 0;
  uint32_t high = 0;      ///< meaningless when `last`
  bool last = false;      ///< the high bound was "*": no values follow
};

/// Splits an attribute description into its base and range option. Nothing
/// when it carries no range option or the option is malformed (bounds that
/// are not decimal, overflow, high below low, a second range option).
std::optional<RangedName> ParseRangedName(std::string_view description);

/// The attribute type of a description: everything before the first ';'.
std::string_view AttributeType(std::string_view description);

/// Signed decimal text of a large integer ("-9223372036854775808" to
/// "9223372036854775807"): an optional '-', then one or more digits, nothing
/// else. Nothing for anything else, including overflow.
std::optional<int64_t> ParseLargeInteger(std::string_view text);

/// A 32-bit integer attribute in decimal text. Values from -2^31 to 2^32-1 are
/// accepted; those above 2^31-1 are taken as the unsigned form of the same
/// bits (flags such as 0x80000000 are written either way by servers).
std::optional<int32_t> ParseInteger32(std::string_view text);

/// True for the attributes whose syntax is the 64-bit large integer
/// (pwdLastSet, accountExpires, lastLogon...), ignoring ASCII case.
bool IsLargeIntegerAttribute(std::string_view name);

/// True for the attributes whose syntax is the 32-bit integer
/// (userAccountControl, primaryGroupID, groupType...), ignoring ASCII case.
bool IsInteger32Attribute(std::string_view name);

/// A binary security identifier as "S-1-5-21-...". Nothing when the bytes are
/// not a well-formed SID (revision 1, at most 15 sub-authorities, the length
/// the count says).
std::optional<std::string> SidToText(std::string_view bytes);

/// The binary form of "S-1-..." text; nothing when it is not SID text.
std::optional<std::string> SidFromText(std::string_view text);

/// The last sub-authority of a binary SID (the RID of an account or group).
std::optional<uint32_t> SidRid(std::string_view bytes);

/// The binary SID of the domain part: every sub-authority but the last.
std::optional<std::string> SidDomainPart(std::string_view bytes);

/// A binary SID of a domain followed by one more sub-authority.
std::string SidWithRid(std::string_view domainSid, uint32_t rid);

/// An assertion value escaped for a search filter (RFC 4515): '*', '(', ')',
/// '\' and NUL become \2a, \28, \29, \5c, \00; other bytes stay.
std::string EscapeFilterValue(std::string_view value);

/// Every byte escaped as \xx: for binary assertion values such as objectSid.
std::string EscapeFilterBytes(std::string_view bytes);

/// One relative name of a DN: its attribute type and value, the value with
/// its escapes (RFC 4514 "\," and "\2C", or an RFC 1779 quoted string)
/// resolved. A "#" hex value is left as written.
struct Rdn {
  std::string type;
  std::string value;
};

/// Splits DN text into its RDNs, outermost last. A multi-valued RDN
/// ("CN=a+UID=b") yields its first type and value. Nothing when the text is
/// not a DN (a component without "=", an escape cut short, an open quote).
std::optional<std::vector<Rdn>> SplitDn(std::string_view dn);

/// The value of the first RDN ("Slash/User" for "CN=Slash/User,OU=Staff,...");
/// empty when the DN cannot be split.
std::string FirstRdnValue(std::string_view dn);

/// The first RDN as written ("CN=Staff 200 A"), without unescaping.
std::string FirstRdnText(std::string_view dn);

/// The DNS domain named by the DC= components ("agewarden.lab" for
/// "...,DC=agewarden,DC=lab"), lower-cased; empty when there are none.
std::string DnsDomainOfDn(std::string_view dn);

/// True when `dn` is `suffix` or lies below it, ignoring ASCII case.
bool DnIsWithin(std::string_view dn, std::string_view suffix);

/// ASCII case-insensitive equality (DNs and attribute names as servers give
/// them: AD and Samba keep one spelling for a DN, so case is all that varies).
bool SameText(std::string_view a, std::string_view b);

/// The ASCII lower-case form, used as a key.
std::string LowerAscii(std::string_view text);

/// What a "WinNT://" path names.
struct WinNtPath {
  enum class Kind { Account, Sid };
  Kind kind = Kind::Account;
  std::string domain;     ///< Account: the domain part
  std::string name;       ///< Account: the account name; Sid: the SID text
  std::string className;  ///< an optional ",group" / ",user" suffix
};

/// "WinNT://DOMAIN/name[,class]" or "WinNT://S-1-...". Nothing for any other
/// shape: no prefix, an empty part, one part that is not a SID, three parts.
std::optional<WinNtPath> ParseWinNtPath(std::string_view path);

/// What an "LDAP://" path names.
struct LdapPath {
  bool rootDse = false;
  std::string dn;  ///< everything after "LDAP://" ("/" included)
};

/// "LDAP://rootDSE" or "LDAP://" + DN. Nothing for any other prefix or an
/// empty DN.
std::optional<LdapPath> ParseLdapPath(std::string_view path);

/// What one krb5.conf(5) file says that the backend needs.
struct Krb5ConfigScan {
  std::optional<std::string> defaultRealm;  ///< [libdefaults] default_realm
  std::vector<std::string> includes;        ///< "include FILE" lines
  std::vector<std::string> includeDirs;     ///< "includedir DIR" lines
};

/// Reads default_realm from the [libdefaults] section of krb5.conf text (the
/// first one wins), and the include directives to follow.
Krb5ConfigScan ScanKrb5Config(std::string_view text);

/// "host:port host:port" as ldap_domain2hostlist gives it, as a URI list for
/// ldap_initialize ("ldap://host:port ldap://host:port"). Empty for no hosts.
std::string HostListToUris(std::string_view hostList);

}  // namespace agewarden::ldap
