// The directory of the Windows build.
#pragma once

#include <memory>

#include "directory/directory.h"

namespace agewarden {

/// The Windows build's directory. Until its Wldap32 backend is in place it
/// reaches no server: every bind, search and group or user lookup fails with
/// E_ADS_SERVER_DOWN, as against a domain controller that cannot be reached,
/// so that a run ends exactly as the Linux build's does offline.
std::unique_ptr<Directory> CreateWindowsDirectory();

}  // namespace agewarden
