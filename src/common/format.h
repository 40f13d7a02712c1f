// A small type-safe stand-in for the printf family, for the conversions the
// tool's messages use: %s text, %d signed decimal, %x the 32 bits in
// lower-case hex without prefix, %.1f one decimal, %% a percent sign.
// Arguments are checked against the conversions at run time: a missing or
// mistyped argument prints as nothing rather than reading past the list.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace agewarden {

using FormatArg = std::variant<std::string_view, int64_t, double>;

std::string FormatList(std::string_view format, std::span<const FormatArg> args);

namespace format_detail {
inline FormatArg ToArg(std::string_view v) { return v; }
inline FormatArg ToArg(const std::string& v) { return std::string_view(v); }
inline FormatArg ToArg(const char* v) { return std::string_view(v); }
inline FormatArg ToArg(double v) { return v; }
template <typename T>
inline FormatArg ToArg(T v) requires std::is_integral_v<T> {
  return static_cast<int64_t>(v);
}
}  // namespace format_detail

template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  const std::array<FormatArg, sizeof...(Args)> list = {format_detail::ToArg(args)...};
  return FormatList(format, list);
}

}  // namespace agewarden
