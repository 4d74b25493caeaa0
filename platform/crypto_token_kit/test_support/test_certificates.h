#pragma once

#include <string>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit::test_support {

enum class TestKeyKind { p256, p384, p521, rsa2048, ed25519, secp256k1 };

// A self-signed certificate and its private key, generated with OpenSSL for each call.
struct TestCertificate {
  foundation::Bytes der;
  std::string pem;
  foundation::Bytes privateKeyDer;  // PKCS#8
  // The public key as the keychain describes it, computed independently of the layer under
  // test: for RSA the PKCS#1 structure, for EC the uncompressed point.
  foundation::Bytes expectedPublicKeyData;
};

TestCertificate makeTestCertificate(TestKeyKind kind, const std::string& commonName = "Brellis");

}  // namespace brellis::platform::crypto_token_kit::test_support
