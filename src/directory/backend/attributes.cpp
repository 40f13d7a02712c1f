#include "directory/backend/attributes.h"

#include <charconv>

#include "common/text.h"

namespace agewarden::ldap {
namespace {

// The whole text as a decimal number of type T: std::from_chars takes no
// '+', no blanks and (for unsigned T) no '-', and reports overflow.
template <typename T>
std::optional<T> ParseWhole(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<RangedName> ParseRangedName(std::string_view description) {
  RangedName ranged;
  bool found = false;
  bool first = true;
  for (size_t start = 0; start <= description.size();) {
    size_t end = description.find(';', start);
    if (end == std::string_view::npos) end = description.size();
    const std::string_view part = description.substr(start, end - start);
    start = end + 1;
    if (first) {
      if (part.empty()) return std::nullopt;
      ranged.attribute.assign(part);
      first = false;
    } else if (part.size() >= 6 && EqualsIgnoreAsciiCase(part.substr(0, 6), "range=")) {
      if (found) return std::nullopt;
      found = true;
      const std::string_view bounds = part.substr(6);
      const size_t dash = bounds.find('-');
      if (dash == std::string_view::npos) return std::nullopt;
      const auto low = ParseWhole<uint32_t>(bounds.substr(0, dash));
      if (!low) return std::nullopt;
      ranged.low = *low;
      const std::string_view high = bounds.substr(dash + 1);
      if (high == "*") {
        ranged.last = true;
      } else {
        const auto parsed = ParseWhole<uint32_t>(high);
        if (!parsed || *parsed < *low) return std::nullopt;
        ranged.high = *parsed;
      }
    } else {
      if (part.empty()) return std::nullopt;
      ranged.attribute.push_back(';');
      ranged.attribute.append(part);
    }
  }
  if (!found) return std::nullopt;
  return ranged;
}

std::optional<int64_t> ParseLargeInteger(std::string_view text) { return ParseWhole<int64_t>(text); }

std::optional<int32_t> ParseInteger32(std::string_view text) {
  const auto value = ParseLargeInteger(text);
  if (!value || *value < INT32_MIN || *value > static_cast<int64_t>(UINT32_MAX)) return std::nullopt;
  return static_cast<int32_t>(static_cast<uint32_t>(*value));
}

}  // namespace agewarden::ldap
