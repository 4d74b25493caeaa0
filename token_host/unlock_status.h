#pragma once

#include "platform/foundation/plist_value.h"

namespace brellis::token_host {

// Whether the unlock feature is switched on, as the daemon reports and receives it.
struct UnlockStatus {
  static constexpr const char* kIsEnabledKey = "isEnabled";

  bool isEnabled = false;

  platform::foundation::PlistValue encode() const;
  // Raises platform::foundation::DecodingError when "isEnabled" is missing or not a boolean.
  static UnlockStatus decode(const platform::foundation::PlistValue& tree);
};

}  // namespace brellis::token_host
