// Attribute descriptions and the integer values the backend reads: range
// options of ranged retrieval, and the decimal text of integer syntaxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "directory/platform/entry.h"

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

/// Signed decimal text of a large integer: an optional '-', then one or more
/// digits, nothing else. Nothing for anything else, including overflow.
std::optional<int64_t> ParseLargeInteger(std::string_view text);

/// A 32-bit integer attribute in decimal text. Values from -2^31 to 2^32-1 are
/// accepted; those above 2^31-1 are taken as the unsigned form of the same
/// bits (flags such as 0x80000000 are written either way by servers).
std::optional<int32_t> ParseInteger32(std::string_view text);

}  // namespace agewarden::ldap
