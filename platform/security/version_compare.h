#pragma once

#include <string_view>

namespace brellis::platform::security {

// Orders two version texts the way the requirement language's comparisons do: component by
// dot-separated component, numbers by value ("10.0" > "9.1", "1.02" == "1.2"), other components
// as text; a missing component counts as "0". Returns <0, 0 or >0.
int compareVersions(std::string_view a, std::string_view b);

}  // namespace brellis::platform::security
