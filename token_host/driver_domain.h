#pragma once

#include <optional>
#include <string_view>

namespace brellis::token_host {

// The token driver classes: the token plug-in's (`unlock`) and the main program's (`brellis`).
enum class DriverDomain { unlock, brellis };

const char* rawValue(DriverDomain domain);
// Absent for any text other than the two class identifiers (exact match).
std::optional<DriverDomain> driverDomain(std::string_view rawValue);

}  // namespace brellis::token_host
