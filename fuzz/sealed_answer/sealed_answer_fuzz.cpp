// What a phone can send, taken as the controller takes it apart: open the sealed frame under the
// session key, decode the answer, match its tag. The first byte chooses the road: odd, the rest is
// a sealed frame as it arrives on the link; even, the rest is a plaintext that is sealed first, so
// that the decoder behind the seal is reached with arbitrary bytes too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "connectivity_protocol/authentication_response.h"
#include "persistent_token/sealed_message.h"
#include "platform/crypto/crypto.h"
#include "platform/foundation/decoding_error.h"

namespace cp = brellis::connectivity_protocol;
namespace fnd = brellis::platform::foundation;
namespace crypto = brellis::platform::crypto;
using brellis::persistent_token::deriveSessionKey;
using brellis::persistent_token::openMessage;
using brellis::persistent_token::sealMessage;
using brellis::persistent_token::SymmetricKey;

namespace {

const SymmetricKey& sessionKey() {
  static const SymmetricKey key = [] {
    fnd::Bytes secret(32);
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(i);
    return deriveSessionKey(secret);
  }();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fnd::Bytes input(data + 1, data + size);
  fnd::Bytes frame = (data[0] & 1) ? input : sealMessage(sessionKey(), input);
  fnd::Bytes plaintext;
  try {
    plaintext = openMessage(sessionKey(), frame);
  } catch (const crypto::CryptoError& error) {
    // An unopenable frame is ignored by the controller; only these two reasons may occur.
    if (error.status() != crypto::CryptoError::Status::incorrectParameterSize &&
        error.status() != crypto::CryptoError::Status::authenticationFailure) {
      std::abort();
    }
    if ((data[0] & 1) == 0) std::abort();  // what was sealed here must open
    return 0;
  }
  try {
    cp::AuthenticationResponse response = cp::AuthenticationResponse::decode(plaintext);
    static const fnd::Uuid expected = fnd::Uuid::random();
    volatile bool matches = response.tag() == expected;
    (void)matches;
    if (!(cp::AuthenticationResponse::decode(response.encode()) == response)) std::abort();
  } catch (const fnd::DecodingError&) {
  }
  return 0;
}
