#include "common/format.h"

#include <cstdio>

namespace agewarden {

std::string FormatList(std::string_view format, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(format.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
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
        char buffer[400];
        std::snprintf(buffer, sizeof buffer, "%.1f", std::get<double>(*arg));
        out += buffer;
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
