#pragma once

#include <string>

namespace brellis::platform::foundation {

// The identifier of the running program's bundle, the subsystem of the system's log handles:
// our programs have no bundle, so it is what the installation names in the environment
// (BRELLIS_BUNDLE_IDENTIFIER), or the empty string.
std::string mainBundleIdentifier();

}  // namespace brellis::platform::foundation
