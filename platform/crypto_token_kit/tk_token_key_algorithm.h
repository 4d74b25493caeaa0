#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brellis::platform::crypto_token_kit {

// The algorithm names a key operation is asked for with (the SecKeyAlgorithm strings).
inline constexpr const char* kSecKeyAlgorithmECDSASignatureMessageX962SHA256 =
    "algid:sign:ECDSA:message-X962:SHA256";
inline constexpr const char* kSecKeyAlgorithmECDSASignatureDigestX962SHA256 =
    "algid:sign:ECDSA:digest-X962:SHA256";
inline constexpr const char* kSecKeyAlgorithmECDSASignatureDigestX962 =
    "algid:sign:ECDSA:digest-X962";
inline constexpr const char* kSecKeyAlgorithmRSASignatureRaw = "algid:sign:RSA:raw";
inline constexpr const char* kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw =
    "algid:sign:RSA:digest-PKCS1v15";
inline constexpr const char* kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256 =
    "algid:sign:RSA:digest-PKCS1v15:SHA256";
inline constexpr const char* kSecKeyAlgorithmRSASignatureMessagePKCS1v15SHA256 =
    "algid:sign:RSA:message-PKCS1v15:SHA256";
inline constexpr const char* kSecKeyAlgorithmRSAEncryptionRaw = "algid:encrypt:RSA:raw";
inline constexpr const char* kSecKeyAlgorithmRSAEncryptionPKCS1 = "algid:encrypt:RSA:PKCS1";
inline constexpr const char* kSecKeyAlgorithmECDHKeyExchangeStandard = "algid:keyexchange:ECDH";

// The algorithm of one key operation as a chain of stages, from what the caller asked for down
// to what the token is handed (for an RSA PKCS#1 SHA-256 signature: digest-PKCS1v15:SHA256,
// digest-PKCS1v15, raw). A plain value.
class TKTokenKeyAlgorithm {
 public:
  TKTokenKeyAlgorithm() = default;
  explicit TKTokenKeyAlgorithm(std::vector<std::string> chain) : chain_(std::move(chain)) {}

  // True when the current (last) stage is `algorithm`.
  bool isAlgorithm(std::string_view algorithm) const;
  // True when `algorithm` is any stage of the chain.
  bool supportsAlgorithm(std::string_view algorithm) const;

  const std::vector<std::string>& chain() const { return chain_; }

 private:
  std::vector<std::string> chain_;
};

}  // namespace brellis::platform::crypto_token_kit
