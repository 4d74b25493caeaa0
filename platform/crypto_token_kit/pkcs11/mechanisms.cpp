#include "platform/crypto_token_kit/pkcs11/mechanisms.h"

#include <array>

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

constexpr std::array<MechanismUse, 6> kUses{{
    {CKM_ECDSA, TKTokenOperation::signData, KeyType::ecSECPrimeRandom,
     TokenKeyAlgorithm::ecdsaSignatureDigestX962SHA256, false, CKF_SIGN},
    {CKM_ECDSA_SHA256, TKTokenOperation::signData, KeyType::ecSECPrimeRandom,
     TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, true, CKF_SIGN},
    {CKM_RSA_PKCS, TKTokenOperation::signData, KeyType::rsa,
     TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw, false, CKF_SIGN},
    {CKM_RSA_PKCS, TKTokenOperation::decryptData, KeyType::rsa,
     TokenKeyAlgorithm::rsaEncryptionPKCS1, false, CKF_DECRYPT},
    {CKM_SHA256_RSA_PKCS, TKTokenOperation::signData, KeyType::rsa,
     TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, true, CKF_SIGN},
    {CKM_ECDH1_DERIVE, TKTokenOperation::performKeyExchange, KeyType::ecSECPrimeRandom,
     TokenKeyAlgorithm::ecdhKeyExchangeStandard, false, CKF_DERIVE},
}};

}  // namespace

std::span<const MechanismUse> mechanismUses() { return kUses; }

std::optional<MechanismUse> mechanismUse(CK_MECHANISM_TYPE mechanism, TKTokenOperation operation) {
  for (const auto& use : kUses) {
    if (use.mechanism == mechanism && use.operation == operation) return use;
  }
  return std::nullopt;
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
