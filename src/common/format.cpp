#include "common/format.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace agewarden {

std::string FormatList(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(format.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      // The literal text up to the next conversion, in one piece.
      const size_t end = std::min(format.find('%', i + 1), format.size());
      out.append(format.substr(i, end - i));
      i = end - 1;
      continue;
    }
    std::string_view rest = format.substr(i + 1);
    const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
    if (rest[0] == '%') {
      out += '%';
      i += 1;
    } else if (rest[0] == 's') {
      if (arg && std::holds_alternative<std::string_view>(*arg)) out += std::get<std::string_view>(*arg);
      ++next;
      i += 1;
    } else if (rest[0] == 'd') {
      if (arg && std::holds_alternative<int64_t>(*arg)) out += std::to_string(std::get<int64_t>(*arg));
      ++next;
      i += 1;
    } else if (rest[0] == 'x') {
      if (arg && std::holds_alternative<int64_t>(*arg)) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%x", static_cast<uint32_t>(std::get<int64_t>(*arg)));
        out += buffer;
      }
      ++next;
      i += 1;
    } else if (rest.substr(0, 3) == ".1f") {
      if (arg && std::holds_alternative<double>(*arg)) {
        // The same digits as printf's %.1f, without its machinery.
        char buffer[400];
        const auto written = std::to_chars(buffer, buffer + sizeof buffer, std::get<double>(*arg),
                                           std::chars_format::fixed, 1);
        out.append(buffer, written.ptr);
      }
      ++next;
      i += 3;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace agewarden
