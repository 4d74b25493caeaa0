#pragma once

#include <filesystem>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::security {

// The certificates that "anchor apple" and "anchor apple generic" accept as the end of a chain:
// every *.pem and *.der file of <state root>/security/anchors, or of /etc/brellis/anchors when
// no state root is set. Read afresh at each check; unreadable files are skipped.
std::filesystem::path anchorDirectory();

// DER certificates of the store (a PEM file may hold several).
std::vector<foundation::Bytes> loadAnchors();

}  // namespace brellis::platform::security
