// An entry of a search result as the backend keeps it: plain strings copied
// out of libldap's message, so nothing refers into a freed message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace agewarden::ldap {

/// One attribute of an entry as the server returned it.
struct Attribute {
  std::string name;  ///< the description as returned ("member;range=0-1499")
  std::vector<std::string> values;
};

/// The attribute type of a description: everything before the first ';'.
std::string_view AttributeType(std::string_view description);

struct Entry {
  std::string dn;
  std::vector<Attribute> attributes;

  /// The attribute whose type (the description before any ';') is `type`,
  /// ignoring ASCII case; nullptr when the entry has none.
  const Attribute* Find(std::string_view type) const;
  /// Its first value; nullptr when there is none.
  const std::string* First(std::string_view type) const;
  /// True when objectClass holds `objectClass` (ignoring ASCII case).
  bool HasClass(std::string_view objectClass) const;
};

}  // namespace agewarden::ldap
