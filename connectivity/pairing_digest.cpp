#include "connectivity/pairing_digest.h"

#include "platform/crypto/crypto.h"

namespace brellis::connectivity {

platform::foundation::Bytes pairingDigest(std::string_view identifier,
                                          const platform::foundation::Bytes& salt) {
  platform::foundation::Bytes input(identifier.begin(), identifier.end());
  input.insert(input.end(), salt.begin(), salt.end());
  return platform::crypto::sha256(input);
}

bool contextMatches(const platform::foundation::Bytes& expected,
                    const platform::foundation::Bytes& received) {
  return platform::crypto::constantTimeEqual(expected, received);
}

}  // namespace brellis::connectivity
