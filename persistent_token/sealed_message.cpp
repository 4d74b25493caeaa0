#include "persistent_token/sealed_message.h"

#include <array>

#include "platform/crypto/crypto.h"

namespace brellis::persistent_token {

namespace fnd = platform::foundation;
namespace crypto = platform::crypto;

namespace {

constexpr std::array<const char*, 4> kCaseNames{
    "iOSUnlockCertificateNotFound",
    "unableToParseCertificateData",
    "unableToCopyExternalRepOfThePublicKey",
    "cannotCreateCombinedEncryptedData",
};

}  // namespace

fnd::ErrorRecord SymmetricCryptoServiceError::toRecord() const {
  fnd::ErrorRecord record;
  record.domain = kDomain;
  record.code = static_cast<int64_t>(value_);
  return record;
}

std::string SymmetricCryptoServiceError::description() const {
  return kCaseNames[static_cast<size_t>(value_)];
}

SymmetricKey deriveSessionKey(const fnd::Bytes& sharedSecret) {
  VelkorSharedSecret secret(sharedSecret);
  return secret.x963DerivedSymmetricKey(SHA256{}, fnd::Bytes{}, kKeyByteCount);
}

fnd::Bytes sealMessage(const SymmetricKey& key, const fnd::Bytes& plaintext) {
  crypto::SealedBox box = crypto::aesGcmSeal(key.bytes(), plaintext);
  if (box.nonce.size() != kNonceByteCount || box.tag.size() != kTagByteCount) {
    throw SymmetricCryptoServiceError(
        SymmetricCryptoServiceError::Case::cannotCreateCombinedEncryptedData);
  }
  return box.combined();
}

fnd::Bytes openMessage(const SymmetricKey& key, const fnd::Bytes& sealed) {
  // aesGcmOpen refuses fewer than nonce + tag bytes with incorrectParameterSize itself.
  return crypto::aesGcmOpen(key.bytes(), sealed);
}

}  // namespace brellis::persistent_token
