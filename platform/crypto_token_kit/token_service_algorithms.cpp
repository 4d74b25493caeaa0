#include "platform/crypto_token_kit/token_service.h"

namespace brellis::platform::crypto_token_kit {

foundation::ErrorRecord tokenServiceError(TokenServiceErrorCode code) {
  return foundation::ErrorRecord{kTokenServiceErrorDomain, static_cast<int64_t>(code), {}};
}

bool isTokenServiceError(const foundation::ErrorRecord& record, TokenServiceErrorCode code) {
  return record.domain == kTokenServiceErrorDomain && record.code == static_cast<int64_t>(code);
}

TKTokenOperation operationForAlgorithm(TokenKeyAlgorithm algorithm) {
  switch (algorithm) {
    case TokenKeyAlgorithm::rsaEncryptionPKCS1:
    case TokenKeyAlgorithm::rsaEncryptionRaw:
      return TKTokenOperation::decryptData;
    case TokenKeyAlgorithm::ecdhKeyExchangeStandard:
      return TKTokenOperation::performKeyExchange;
    default:
      return TKTokenOperation::signData;
  }
}

TKTokenKeyAlgorithm algorithmChain(TokenKeyAlgorithm algorithm) {
  using Chain = std::vector<std::string>;
  switch (algorithm) {
    case TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256:
      return TKTokenKeyAlgorithm(Chain{kSecKeyAlgorithmECDSASignatureMessageX962SHA256});
    case TokenKeyAlgorithm::ecdsaSignatureDigestX962SHA256:
      return TKTokenKeyAlgorithm(Chain{kSecKeyAlgorithmECDSASignatureDigestX962SHA256,
                                       kSecKeyAlgorithmECDSASignatureDigestX962});
    // The message is hashed by the service first, so both reach the token as a digest.
    case TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256:
    case TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15SHA256:
      return TKTokenKeyAlgorithm(Chain{kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256,
                                       kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw,
                                       kSecKeyAlgorithmRSASignatureRaw});
    case TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw:
      return TKTokenKeyAlgorithm(
          Chain{kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw, kSecKeyAlgorithmRSASignatureRaw});
    case TokenKeyAlgorithm::rsaSignatureRaw:
      return TKTokenKeyAlgorithm(Chain{kSecKeyAlgorithmRSASignatureRaw});
    case TokenKeyAlgorithm::rsaEncryptionPKCS1:
      return TKTokenKeyAlgorithm(
          Chain{kSecKeyAlgorithmRSAEncryptionPKCS1, kSecKeyAlgorithmRSAEncryptionRaw});
    case TokenKeyAlgorithm::rsaEncryptionRaw:
      return TKTokenKeyAlgorithm(Chain{kSecKeyAlgorithmRSAEncryptionRaw});
    case TokenKeyAlgorithm::ecdhKeyExchangeStandard:
      return TKTokenKeyAlgorithm(Chain{kSecKeyAlgorithmECDHKeyExchangeStandard});
  }
  return TKTokenKeyAlgorithm();
}

}  // namespace brellis::platform::crypto_token_kit
