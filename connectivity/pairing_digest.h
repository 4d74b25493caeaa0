#pragma once

#include <string_view>

#include "platform/foundation/plist_value.h"

namespace brellis::connectivity {

// The invitation context of a pairing: SHA-256 over the UTF-8 bytes of the advertising peer's
// identifier immediately followed by the salt bytes (no separator, no length, no text form of
// the digest). Both ends hash the advertiser's identifier with the salt of their shared pairing.
platform::foundation::Bytes pairingDigest(std::string_view identifier,
                                          const platform::foundation::Bytes& salt);

// Whether a received context proves the pairing: same length and same bytes, compared in
// constant time. A context of any other length than the digest never matches.
bool contextMatches(const platform::foundation::Bytes& expected,
                    const platform::foundation::Bytes& received);

}  // namespace brellis::connectivity
