// Runs the two DN splitters on the same text: libldap's (the POSIX build's)
// and the hand-written one of the Windows build, compiled here a second time
// as SplitDnByHand (fuzz/CMakeLists.txt). They must take and refuse the same
// texts and give the same RDNs, value for value. The text is handed over
// without a '\0' after it, as a std::string_view may be.
//
// Known differences the two are allowed: none.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <tuple>

#include "directory/platform/dn_split.h"

namespace agewarden::ldap {
std::optional<std::vector<DnRdn>> SplitDnByHand(std::string_view text);

bool operator==(const DnAva& x, const DnAva& y) { return std::tie(x.type, x.value, x.hex) == std::tie(y.type, y.value, y.hex); }
}  // namespace agewarden::ldap

using namespace agewarden::ldap;

namespace {

void Print(const char* who, const std::optional<std::vector<DnRdn>>& dn) {
  std::fprintf(stderr, "%s:%s", who, dn ? "" : " refused");
  for (const DnRdn& rdn : dn.value_or(std::vector<DnRdn>{})) {
    std::fprintf(stderr, " [");
    for (const DnAva& ava : rdn) std::fprintf(stderr, " %s=%s<%s>", ava.type.c_str(), ava.hex ? "hex" : "", ava.value.c_str());
    std::fprintf(stderr, " ]");
  }
  std::fprintf(stderr, "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto libldap = SplitDn(text);
  const auto byHand = SplitDnByHand(text);
  if (libldap != byHand) {
    Print("libldap", libldap);
    Print("by hand", byHand);
    std::abort();
  }
  return 0;
}
