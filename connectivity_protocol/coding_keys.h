#pragma once

#include <optional>
#include <string_view>

namespace brellis::connectivity_protocol {

// The keys of both responses (authentication and certificates). String form only.
enum class CodingKeys { tag, deviceName, result, success, failure, unlockVersion };

const char* stringValue(CodingKeys key);
// Exact, case-sensitive; absent for any other string.
std::optional<CodingKeys> codingKey(std::string_view stringValue);

}  // namespace brellis::connectivity_protocol
