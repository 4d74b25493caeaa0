#pragma once

#include <cstddef>
#include <string_view>

namespace brellis::testing {

// How many times `part` occurs in `text`, overlapping occurrences included.
size_t occurrences(std::string_view text, std::string_view part);

}  // namespace brellis::testing
