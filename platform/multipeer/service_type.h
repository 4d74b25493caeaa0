#pragma once

#include <filesystem>
#include <string_view>

namespace brellis::platform::multipeer {

// A service type names one kind of nearby service: 1 to 15 characters of lower-case ASCII
// letters, digits and hyphens, with no hyphen at either end and no two hyphens in a row.
bool isValidServiceType(std::string_view serviceType);

// The directory where advertisers of `serviceType` publish themselves:
// <state root>/multipeer/<service type> (system place: /run/brellis/multipeer/<service type>).
// Only for valid service types (the name becomes a path component).
std::filesystem::path discoveryDirectory(std::string_view serviceType);

}  // namespace brellis::platform::multipeer
