#include "connectivity_protocol/coding_keys.h"

#include <array>
#include <utility>

#include "connectivity_protocol/record_keys.h"

namespace brellis::connectivity_protocol {

namespace {

constexpr std::array<std::pair<CodingKeys, const char*>, 6> kKeys{{
    {CodingKeys::tag, keys::kTag},
    {CodingKeys::deviceName, keys::kDeviceName},
    {CodingKeys::result, keys::kResult},
    {CodingKeys::success, keys::kSuccess},
    {CodingKeys::failure, keys::kFailure},
    {CodingKeys::unlockVersion, keys::kUnlockVersion},
}};

}  // namespace

const char* stringValue(CodingKeys key) {
  for (const auto& [candidate, text] : kKeys) {
    if (candidate == key) return text;
  }
  return keys::kTag;
}

std::optional<CodingKeys> codingKey(std::string_view stringValue) {
  for (const auto& [key, text] : kKeys) {
    if (stringValue == text) return key;
  }
  return std::nullopt;
}

}  // namespace brellis::connectivity_protocol
