#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace brellis::platform::crypto_token_kit {

std::shared_ptr<TKTokenKeychainKey> TKTokenKeychainKey::initWithCertificate(
    const SecCertificate& certificate, ObjectID objectID) {
  const auto& key = certificate.publicKey();
  if (!key) return nullptr;
  return std::make_shared<TKTokenKeychainKey>(std::move(objectID), key->keyType, key->keySizeInBits,
                                              key->publicKeyData);
}

TKTokenKeychainKey::TKTokenKeychainKey(ObjectID objectID, KeyType keyType, int64_t keySizeInBits,
                                       std::optional<foundation::Bytes> publicKeyData)
    : TKTokenKeychainItem(std::move(objectID)),
      keyType_(keyType),
      keySizeInBits_(keySizeInBits),
      publicKeyData_(std::move(publicKeyData)) {}

}  // namespace brellis::platform::crypto_token_kit
