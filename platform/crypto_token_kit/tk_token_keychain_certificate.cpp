#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"

namespace brellis::platform::crypto_token_kit {

std::shared_ptr<TKTokenKeychainCertificate> TKTokenKeychainCertificate::initWithCertificate(
    const SecCertificate& certificate, ObjectID objectID) {
  if (certificate.data().empty()) return nullptr;
  return std::make_shared<TKTokenKeychainCertificate>(std::move(objectID), certificate.data());
}

}  // namespace brellis::platform::crypto_token_kit
