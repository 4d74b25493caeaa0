#include "platform/crypto_token_kit/test_support/test_certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace brellis::platform::crypto_token_kit::test_support {

namespace {

using foundation::Bytes;

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

KeyPtr generate(TestKeyKind kind) {
  EVP_PKEY* key = nullptr;
  switch (kind) {
    case TestKeyKind::p256:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
      break;
    case TestKeyKind::p384:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384");
      break;
    case TestKeyKind::p521:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-521");
      break;
    case TestKeyKind::secp256k1:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "secp256k1");
      break;
    case TestKeyKind::rsa2048:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
      break;
    case TestKeyKind::ed25519:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
      break;
  }
  if (!key) fail("key generation failed");
  return KeyPtr(key);
}

Bytes bnBytes(EVP_PKEY* key, const char* name, int width) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) fail("bn param");
  Bytes out(static_cast<size_t>(width));
  BN_bn2binpad(bn, out.data(), width);
  BN_free(bn);
  return out;
}

// DER of a length field.
void appendLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  Bytes digits;
  while (length) {
    digits.insert(digits.begin(), static_cast<uint8_t>(length & 0xFF));
    length >>= 8;
  }
  out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
  out.insert(out.end(), digits.begin(), digits.end());
}

Bytes derInteger(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) fail("bn param");
  Bytes magnitude(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, magnitude.data());
  BN_free(bn);
  if (magnitude.empty() || (magnitude[0] & 0x80)) magnitude.insert(magnitude.begin(), 0);
  Bytes out{0x02};
  appendLength(out, magnitude.size());
  out.insert(out.end(), magnitude.begin(), magnitude.end());
  return out;
}

// The expected key data, built by hand from the key's numbers (not with i2d_PublicKey, which the
// layer itself uses for RSA).
Bytes expectedKeyData(EVP_PKEY* key, TestKeyKind kind) {
  switch (kind) {
    case TestKeyKind::rsa2048: {
      Bytes body = derInteger(key, OSSL_PKEY_PARAM_RSA_N);
      Bytes e = derInteger(key, OSSL_PKEY_PARAM_RSA_E);
      body.insert(body.end(), e.begin(), e.end());
      Bytes out{0x30};
      appendLength(out, body.size());
      out.insert(out.end(), body.begin(), body.end());
      return out;
    }
    case TestKeyKind::p256:
    case TestKeyKind::p384:
    case TestKeyKind::p521: {
      int width = kind == TestKeyKind::p256 ? 32 : kind == TestKeyKind::p384 ? 48 : 66;
      Bytes out{0x04};
      Bytes x = bnBytes(key, OSSL_PKEY_PARAM_EC_PUB_X, width);
      Bytes y = bnBytes(key, OSSL_PKEY_PARAM_EC_PUB_Y, width);
      out.insert(out.end(), x.begin(), x.end());
      out.insert(out.end(), y.begin(), y.end());
      return out;
    }
    default:
      return {};
  }
}

}  // namespace

TestCertificate makeTestCertificate(TestKeyKind kind, const std::string& commonName) {
  KeyPtr key = generate(kind);
  CertPtr cert(X509_new());
  if (!cert) fail("X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 365);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  const EVP_MD* digest = kind == TestKeyKind::ed25519 ? nullptr : EVP_sha256();
  if (X509_sign(cert.get(), key.get(), digest) <= 0) fail("X509_sign");

  TestCertificate result;
  unsigned char* out = nullptr;
  int length = i2d_X509(cert.get(), &out);
  if (length <= 0) fail("i2d_X509");
  result.der.assign(out, out + length);
  OPENSSL_free(out);

  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert.get());
  char* pemData = nullptr;
  long pemLength = BIO_get_mem_data(bio, &pemData);
  result.pem.assign(pemData, static_cast<size_t>(pemLength));
  BIO_free(bio);

  out = nullptr;
  length = i2d_PrivateKey(key.get(), &out);
  if (length > 0) {
    result.privateKeyDer.assign(out, out + length);
    OPENSSL_free(out);
  }
  result.expectedPublicKeyData = expectedKeyData(key.get(), kind);
  return result;
}

}  // namespace brellis::platform::crypto_token_kit::test_support
