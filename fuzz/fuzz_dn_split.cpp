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

#include "directory/platform/dn_split.h"

namespace agewarden::ldap {
std::optional<std::vector<DnRdn>> SplitDnByHand(std::string_view text);
}

using namespace agewarden::ldap;

namespace {

bool Same(const std::optional<std::vector<DnRdn>>& a, const std::optional<std::vector<DnRdn>>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->size() != b->size()) return false;
  for (size_t i = 0; i < a->size(); ++i) {
    const DnRdn& x = (*a)[i];
    const DnRdn& y = (*b)[i];
    if (x.size() != y.size()) return false;
    for (size_t k = 0; k < x.size(); ++k) {
      if (x[k].type != y[k].type || x[k].value != y[k].value || x[k].hex != y[k].hex) return false;
    }
  }
  return true;
}

void Print(const char* who, const std::optional<std::vector<DnRdn>>& dn) {
  std::fprintf(stderr, "%s:", who);
  if (!dn) std::fprintf(stderr, " refused");
  for (const DnRdn& rdn : dn ? *dn : std::vector<DnRdn>{}) {
    std::fprintf(stderr, " [");
    for (const DnAva& ava : rdn) {
      std::fprintf(stderr, " %s=%s<%s>", ava.type.c_str(), ava.hex ? "hex" : "", ava.value.c_str());
    }
    std::fprintf(stderr, " ]");
  }
  std::fprintf(stderr, "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto libldap = SplitDn(text);
  const auto byHand = SplitDnByHand(text);
  if (!Same(libldap, byHand)) {
    Print("libldap", libldap);
    Print("by hand", byHand);
    std::abort();
  }
  return 0;
}
