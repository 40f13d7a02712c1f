// The directory over LDAP: one connection and one SASL bind per run, with the
// invoking user's own Kerberos ticket (or whatever SASL_MECH names).
#pragma once

#include <cstdint>
#include <memory>

#include "directory/directory.h"

namespace agewarden {

/// Knobs of the LDAP backend. The defaults suit a real domain; tests make the
/// steps small to exercise paging and ranged retrieval.
struct LdapSettings {
  /// Entries per page when a search is paged.
  int pageSize = 1000;
  /// Values per step of ranged retrieval of `member` (0: as the server gives).
  int memberRangeStep = 0;
  /// When true every search is paged from the start; otherwise a search runs
  /// unpaged first and continues paged when the server cuts it.
  bool alwaysPage = false;
  /// Test seam: the result of every unpaged search reads as cut by a size
  /// limit, as Windows AD's does when it stops an unpaged search at its
  /// MaxPageSize (Samba never cuts one), so the search goes on paged.
  bool cutUnpaged = false;
  /// Searches that callers announce are asked for many at a time, ahead of
  /// their turn; false runs each on its own (to compare the two in tests).
  bool readAhead = true;
};

/// Counters that let tests prove how the backend talked to the server.
struct LdapStatistics {
  /// Connections opened (or tried).
  int connections = 0;
  /// SASL binds attempted.
  int binds = 0;
  /// Search requests sent, every page and every base read included.
  int searches = 0;
  /// Search requests that carried the paged-results control.
  int pages = 0;
  /// Modify requests sent.
  int modifies = 0;
};

class LdapDirectory : public Directory {
 public:
  virtual const LdapStatistics& Statistics() const = 0;
};

std::unique_ptr<LdapDirectory> CreateLdapDirectory(const LdapSettings& settings = {});

}  // namespace agewarden
