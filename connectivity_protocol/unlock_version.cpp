#include "connectivity_protocol/unlock_version.h"

namespace brellis::connectivity_protocol {

int64_t rawValue(UnlockVersion version) { return static_cast<int64_t>(version); }

std::optional<UnlockVersion> unlockVersion(int64_t rawValue) {
  switch (rawValue) {
    case 0:
      return UnlockVersion::undefined;
    case 1:
      return UnlockVersion::unlock_1_2_0;
    default:
      return std::nullopt;
  }
}

UnlockVersion unlockVersionLeniently(const platform::foundation::PlistValue* value) {
  if (value == nullptr) return UnlockVersion::undefined;
  std::optional<int64_t> number = value->int64();
  if (!number) return UnlockVersion::undefined;
  return unlockVersion(*number).value_or(UnlockVersion::undefined);
}

}  // namespace brellis::connectivity_protocol
