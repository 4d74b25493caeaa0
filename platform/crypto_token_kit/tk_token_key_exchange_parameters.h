#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// The parameters the token service hands to a key-exchange operation: how many bytes of shared
// secret the caller wants (0: the raw secret as the curve gives it) and the optional shared
// information of a derivation. A plain value; copied freely between threads.
struct TKTokenKeyExchangeParameters {
  int64_t requestedSize = 0;
  std::optional<foundation::Bytes> sharedInfo;
};

}  // namespace brellis::platform::crypto_token_kit
