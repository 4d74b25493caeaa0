#include "platform/crypto_token_kit/pkcs11/key_encoding.h"

#include <gtest/gtest.h>

namespace brellis::platform::crypto_token_kit::pkcs11 {
namespace {

using foundation::Bytes;

TEST(KeyEncodingTest, EcdsaDerBecomesPaddedRawAndMalformedInputIsRefused) {
  // r = 0x80 (needs its sign byte), s = 0x01.
  EXPECT_EQ(ecdsaSignatureToRaw({0x30, 0x07, 0x02, 0x02, 0x00, 0x80, 0x02, 0x01, 0x01}, 4),
            Bytes({0, 0, 0, 0x80, 0, 0, 0, 0x01}));
  const Bytes full{0x30, 0x0A, 0x02, 0x03, 0x11, 0x22, 0x33, 0x02, 0x03, 0x44, 0x55, 0x66};
  EXPECT_EQ(ecdsaSignatureToRaw(full, 3), Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
  EXPECT_FALSE(ecdsaSignatureToRaw(full, 2));  // an integer longer than the field
  Bytes trailing = full;
  trailing.push_back(0);
  EXPECT_FALSE(ecdsaSignatureToRaw(trailing, 3));
  EXPECT_FALSE(ecdsaSignatureToRaw({0x30, 0x06, 0x02, 0x01, 0x81, 0x02, 0x01, 0x01}, 4));
  EXPECT_FALSE(ecdsaSignatureToRaw({0x30, 0x07, 0x02, 0x02, 0x00, 0x01, 0x02, 0x01, 0x01}, 4));
  EXPECT_FALSE(ecdsaSignatureToRaw({0x30, 0x81, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}, 4));
  for (size_t cut = 0; cut < full.size(); ++cut) {
    EXPECT_FALSE(ecdsaSignatureToRaw(Bytes(full.begin(), full.begin() + cut), 3)) << cut;
  }
}

TEST(KeyEncodingTest, PeerPointIsTakenRawWrappedOrAsAPublicKeyInfo) {
  Bytes point(65, 0x11);
  point[0] = 0x04;
  EXPECT_EQ(ecPointFromPublicData(point, 32), point);
  EXPECT_EQ(ecPointFromPublicData(derOctetString(point), 32), point);
  const uint8_t header[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                            0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                            0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
  Bytes info(sizeof header + point.size());
  std::copy(std::begin(header), std::end(header), info.begin());
  std::copy(point.begin(), point.end(), info.begin() + sizeof header);
  EXPECT_EQ(ecPointFromPublicData(info, 32), point);
  EXPECT_FALSE(ecPointFromPublicData(point, 48));  // a point of another curve
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = 0x02;
  EXPECT_FALSE(ecPointFromPublicData(compressed, 32));
  EXPECT_FALSE(ecPointFromPublicData({}, 32));
}

TEST(KeyEncodingTest, RsaPublicKeyPartsDropTheSignByte) {
  auto parts = rsaPublicKeyParts({0x30, 0x08, 0x02, 0x03, 0x00, 0xC1, 0x01, 0x02, 0x01, 0x03});
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->modulus, Bytes({0xC1, 0x01}));
  EXPECT_EQ(parts->publicExponent, Bytes({0x03}));
  EXPECT_FALSE(rsaPublicKeyParts({0x30, 0x03, 0x02, 0x01, 0x01}));
}

}  // namespace
}  // namespace brellis::platform::crypto_token_kit::pkcs11
