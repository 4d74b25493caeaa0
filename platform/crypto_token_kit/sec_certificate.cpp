#include "platform/crypto_token_kit/sec_certificate.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <climits>
#include <string>

namespace brellis::platform::crypto_token_kit {

namespace {

using foundation::Bytes;

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct BignumDeleter {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using BignumPtr = std::unique_ptr<BIGNUM, BignumDeleter>;

std::optional<CertificatePublicKey> rsaKey(EVP_PKEY* key) {
  unsigned char* out = nullptr;
  int length = i2d_PublicKey(key, &out);  // PKCS#1 RSAPublicKey for RSA keys
  if (length <= 0) return std::nullopt;
  CertificatePublicKey result;
  result.keyType = KeyType::rsa;
  result.keySizeInBits = EVP_PKEY_get_bits(key);
  result.publicKeyData.assign(out, out + length);
  OPENSSL_free(out);
  return result;
}

std::optional<CertificatePublicKey> ecKey(EVP_PKEY* key) {
  char curve[64] = {};
  size_t curveLength = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve,
                                     &curveLength) != 1) {
    return std::nullopt;
  }
  const std::string name(curve, curveLength);
  int bits = 0;
  if (name == "prime256v1" || name == "P-256") {
    bits = 256;
  } else if (name == "secp384r1" || name == "P-384") {
    bits = 384;
  } else if (name == "secp521r1" || name == "P-521") {
    bits = 521;
  } else {
    return std::nullopt;
  }
  BIGNUM* rawX = nullptr;
  BIGNUM* rawY = nullptr;
  bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &rawX) == 1;
  BignumPtr x(rawX);
  ok = ok && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &rawY) == 1;
  BignumPtr y(rawY);
  if (!ok) return std::nullopt;
  const int fieldBytes = (bits + 7) / 8;
  Bytes point(1 + 2 * static_cast<size_t>(fieldBytes));
  point[0] = 0x04;
  if (BN_bn2binpad(x.get(), point.data() + 1, fieldBytes) != fieldBytes ||
      BN_bn2binpad(y.get(), point.data() + 1 + fieldBytes, fieldBytes) != fieldBytes) {
    return std::nullopt;
  }
  CertificatePublicKey result;
  result.keyType = KeyType::ecSECPrimeRandom;
  result.keySizeInBits = bits;
  result.publicKeyData = std::move(point);
  return result;
}

}  // namespace

std::shared_ptr<const SecCertificate> SecCertificate::createWithData(const Bytes& der) {
  if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, X509Deleter> certificate(
      d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate) return nullptr;
  // One certificate and nothing after it.
  if (cursor != der.data() + der.size()) return nullptr;

  std::optional<CertificatePublicKey> publicKey;
  if (EVP_PKEY* key = X509_get0_pubkey(certificate.get())) {
    switch (EVP_PKEY_get_base_id(key)) {
      case EVP_PKEY_RSA:
        publicKey = rsaKey(key);
        break;
      case EVP_PKEY_EC:
        publicKey = ecKey(key);
        break;
      default:
        break;
    }
  }
  return std::shared_ptr<const SecCertificate>(new SecCertificate(der, std::move(publicKey)));
}

}  // namespace brellis::platform::crypto_token_kit
