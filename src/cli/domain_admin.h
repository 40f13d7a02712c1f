// Whether the invoking user belongs to the domain's "Domain Admins" group.
#pragma once

#include <string>

#include "common/run_state.h"

namespace agewarden {

/// True when WinNT://<domain>/<callerName> is a member of
/// WinNT://<domain>/Domain Admins. Anything else, a failed bind included, is
/// false. Counts no error.
bool IsDomainAdmin(RunState& state, const std::string& callerName);

}  // namespace agewarden
