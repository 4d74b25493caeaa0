#pragma once

#include <string>

namespace brellis::connectivity {

// The identifier of the running program's bundle, the subsystem of this library's log handles:
// our programs have no bundle, so it is what the installation names in the environment, or the
// empty string.
std::string mainBundleIdentifier();

}  // namespace brellis::connectivity
