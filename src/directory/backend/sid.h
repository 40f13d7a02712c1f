// Security identifiers: the binary form objectSid holds and the "S-1-..."
// text form that names principals of other domains.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace agewarden::ldap {

/// A binary security identifier as "S-1-5-21-...". Nothing when the bytes are
/// not a well-formed SID (revision 1, at most 15 sub-authorities, the length
/// the count says).
std::optional<std::string> SidToText(std::string_view bytes);

/// The binary form of "S-1-..." text; nothing when it is not SID text.
std::optional<std::string> SidFromText(std::string_view text);

/// The last sub-authority of a binary SID (the RID of an account or group).
std::optional<uint32_t> SidRid(std::string_view bytes);

}  // namespace agewarden::ldap
