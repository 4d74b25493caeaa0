#include <algorithm>
#include <iterator>

#include "platform/crypto/crypto.h"
#include "platform/crypto_token_kit/token_service.h"

namespace brellis::platform::crypto_token_kit {

namespace {

using foundation::Bytes;

// DER of the DigestInfo prefix for SHA-256 (RFC 8017, section 9.2, note 1).
constexpr uint8_t kSHA256DigestInfoPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                               0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                               0x01, 0x05, 0x00, 0x04, 0x20};

// EMSA-PKCS1-v1_5 encoding of a DigestInfo for a modulus of `size` bytes.
std::optional<Bytes> emsaPKCS1v15(const Bytes& digestInfo, size_t size) {
  if (size < digestInfo.size() + 11) return std::nullopt;
  Bytes block(size, 0xff);
  block[0] = 0x00;
  block[1] = 0x01;
  block[size - digestInfo.size() - 1] = 0x00;
  std::copy(digestInfo.begin(), digestInfo.end(), block.end() - digestInfo.size());
  return block;
}

Bytes sha256DigestInfo(const Bytes& digest) {
  Bytes info(std::begin(kSHA256DigestInfoPrefix), std::end(kSHA256DigestInfoPrefix));
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

}  // namespace

std::optional<Bytes> removePKCS1v15EncryptionPadding(const Bytes& raw, size_t size) {
  if (raw.size() > size) return std::nullopt;
  Bytes block(size - raw.size(), 0x00);
  block.insert(block.end(), raw.begin(), raw.end());
  if (block.size() < 11 || block[0] != 0x00 || block[1] != 0x02) return std::nullopt;
  auto separator = std::find(block.begin() + 2, block.end(), 0x00);
  if (separator == block.end() || separator - (block.begin() + 2) < 8) return std::nullopt;
  return Bytes(separator + 1, block.end());
}

std::optional<Bytes> rsaTokenInput(TokenKeyAlgorithm algorithm, const Bytes& input,
                                   size_t modulusSize) {
  switch (algorithm) {
    case TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256:
      return emsaPKCS1v15(sha256DigestInfo(crypto::sha256(input)), modulusSize);
    case TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15SHA256:
      if (input.size() != kSHA256DigestSize) return std::nullopt;
      return emsaPKCS1v15(sha256DigestInfo(input), modulusSize);
    case TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw:
      return emsaPKCS1v15(input, modulusSize);
    case TokenKeyAlgorithm::rsaSignatureRaw:
    case TokenKeyAlgorithm::rsaEncryptionPKCS1:
    case TokenKeyAlgorithm::rsaEncryptionRaw:
      if (input.size() != modulusSize) return std::nullopt;
      return input;
    default:
      return std::nullopt;
  }
}

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
