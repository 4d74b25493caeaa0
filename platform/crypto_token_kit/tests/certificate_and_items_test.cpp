#include <gtest/gtest.h>

#include "platform/crypto_token_kit/keychain_item_coding.h"
#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_bertlv_record.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace brellis::platform::crypto_token_kit {
namespace {

using foundation::Bytes;
using foundation::PlistDict;
using foundation::PlistValue;
using test_support::makeTestCertificate;
using test_support::TestKeyKind;

struct KeyCase {
  TestKeyKind kind;
  KeyType type;
  int64_t bits;
  size_t keyDataSize;  // 0: not fixed
};

class CertificateKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(CertificateKeyTest, KeyItemDescribesTheCertificatesPublicKey) {
  const auto& param = GetParam();
  auto generated = makeTestCertificate(param.kind);
  auto certificate = SecCertificate::createWithData(generated.der);
  ASSERT_NE(certificate, nullptr);
  EXPECT_EQ(certificate->data(), generated.der);

  auto key = TKTokenKeychainKey::initWithCertificate(*certificate, int64_t{6275328});
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->keyType(), param.type);
  EXPECT_EQ(key->keySizeInBits(), param.bits);
  ASSERT_TRUE(key->publicKeyData().has_value());
  EXPECT_EQ(*key->publicKeyData(), generated.expectedPublicKeyData);
  if (param.keyDataSize) {
    EXPECT_EQ(key->publicKeyData()->size(), param.keyDataSize);
  }
  EXPECT_EQ(std::get<int64_t>(key->objectID()), 6275328);
  EXPECT_FALSE(key->canSign());
  EXPECT_FALSE(key->canDecrypt());
  EXPECT_FALSE(key->canPerformKeyExchange());
  EXPECT_FALSE(key->suitableForLogin());
  EXPECT_FALSE(key->label().has_value());

  auto item = TKTokenKeychainCertificate::initWithCertificate(*certificate, Bytes{0x5F, 0xC1, 0});
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->data(), generated.der);
  EXPECT_EQ(std::get<Bytes>(item->objectID()), (Bytes{0x5F, 0xC1, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, CertificateKeyTest,
    ::testing::Values(KeyCase{TestKeyKind::p256, KeyType::ecSECPrimeRandom, 256, 65},
                      KeyCase{TestKeyKind::p384, KeyType::ecSECPrimeRandom, 384, 97},
                      KeyCase{TestKeyKind::p521, KeyType::ecSECPrimeRandom, 521, 133},
                      KeyCase{TestKeyKind::rsa2048, KeyType::rsa, 2048, 0}));

TEST(SecCertificateTest, RefusesEverythingButOneDerCertificate) {
  auto generated = makeTestCertificate(TestKeyKind::p256);
  EXPECT_EQ(SecCertificate::createWithData({}), nullptr);
  EXPECT_EQ(SecCertificate::createWithData(Bytes(generated.pem.begin(), generated.pem.end())),
            nullptr);
  Bytes trailing = generated.der;
  trailing.push_back(0);
  EXPECT_EQ(SecCertificate::createWithData(trailing), nullptr);
  Bytes twice = generated.der;
  twice.insert(twice.end(), generated.der.begin(), generated.der.end());
  EXPECT_EQ(SecCertificate::createWithData(twice), nullptr);
  for (size_t cut : {size_t{1}, size_t{4}, generated.der.size() / 2, generated.der.size() - 1}) {
    Bytes truncated(generated.der.begin(), generated.der.begin() + static_cast<long>(cut));
    EXPECT_EQ(SecCertificate::createWithData(truncated), nullptr) << cut;
  }
  EXPECT_EQ(SecCertificate::createWithData(Bytes{'n', 'o', 't', ' ', 'D', 'E', 'R'}), nullptr);
}

TEST(SecCertificateTest, KeysThatNoKeyItemDescribesGiveNoKeyItem) {
  for (auto kind : {TestKeyKind::ed25519, TestKeyKind::secp256k1}) {
    auto certificate = SecCertificate::createWithData(makeTestCertificate(kind).der);
    ASSERT_NE(certificate, nullptr);
    EXPECT_FALSE(certificate->publicKey().has_value());
    EXPECT_EQ(TKTokenKeychainKey::initWithCertificate(*certificate, int64_t{1}), nullptr);
    EXPECT_NE(TKTokenKeychainCertificate::initWithCertificate(*certificate, int64_t{1}), nullptr);
  }
}

TEST(TKBERTLVRecordTest, DataForTagIsTheTagsBigEndianEncoding) {
  EXPECT_EQ(TKBERTLVRecord::dataForTag(0x5FC100), (Bytes{0x5F, 0xC1, 0x00}));
  EXPECT_EQ(TKBERTLVRecord::dataForTag(6275328), (Bytes{0x5F, 0xC1, 0x00}));
  EXPECT_EQ(TKBERTLVRecord::dataForTag(0x9F), (Bytes{0x9F}));
  EXPECT_EQ(TKBERTLVRecord::dataForTag(0x5F20), (Bytes{0x5F, 0x20}));
  EXPECT_EQ(TKBERTLVRecord::dataForTag(0), (Bytes{0x00}));
  EXPECT_EQ(TKBERTLVRecord::dataForTag(0x0100000000000000ULL), (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(TKErrorTest, RecordsCarryTheDomainAndNegativeCodeWithoutUserInfo) {
  auto record = tkErrorRecord(TKErrorCode::badParameter);
  EXPECT_EQ(record.domain, "CryptoTokenKit");
  EXPECT_EQ(record.code, -8);
  EXPECT_TRUE(record.userInfo.empty());
  EXPECT_TRUE(isTKError(record, TKErrorCode::badParameter));
  EXPECT_FALSE(isTKError(record, TKErrorCode::authenticationNeeded));
  try {
    throwTKError(TKErrorCode::authenticationNeeded);
    FAIL();
  } catch (const foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, -9);
  }
}

TEST(KeychainItemCodingTest, RoundTripKeepsEveryFieldAndObjectIDKind) {
  auto certificate = SecCertificate::createWithData(makeTestCertificate(TestKeyKind::p256).der);
  ASSERT_NE(certificate, nullptr);
  auto key = TKTokenKeychainKey::initWithCertificate(*certificate, std::string("7"));
  key->setLabel("Unlock-Key");
  key->setCanSign(true);
  key->setSuitableForLogin(true);
  key->setConstraints({{0, PlistValue("PINAlways")}, {4, PlistValue("PINAlways")}});
  auto cert = TKTokenKeychainCertificate::initWithCertificate(*certificate, Bytes{0x5F, 0xC1, 0});
  auto number = TKTokenKeychainCertificate::initWithCertificate(*certificate, int64_t{7});

  auto decoded = decodeKeychainItems(encodeKeychainItems({key, cert, number}));
  ASSERT_EQ(decoded.size(), 3u);
  auto decodedKey = std::dynamic_pointer_cast<TKTokenKeychainKey>(decoded[0]);
  ASSERT_NE(decodedKey, nullptr);
  EXPECT_EQ(std::get<std::string>(decodedKey->objectID()), "7");
  EXPECT_EQ(decodedKey->label(), "Unlock-Key");
  EXPECT_TRUE(decodedKey->canSign());
  EXPECT_FALSE(decodedKey->canDecrypt());
  EXPECT_FALSE(decodedKey->canPerformKeyExchange());
  EXPECT_TRUE(decodedKey->suitableForLogin());
  EXPECT_EQ(decodedKey->publicKeyData(), key->publicKeyData());
  EXPECT_EQ(decodedKey->keySizeInBits(), 256);
  EXPECT_EQ(decodedKey->constraints(), key->constraints());
  auto decodedCert = std::dynamic_pointer_cast<TKTokenKeychainCertificate>(decoded[1]);
  ASSERT_NE(decodedCert, nullptr);
  EXPECT_EQ(std::get<Bytes>(decodedCert->objectID()), (Bytes{0x5F, 0xC1, 0}));
  EXPECT_EQ(decodedCert->data(), certificate->data());
  EXPECT_EQ(std::get<int64_t>(decoded[2]->objectID()), 7);
}

TEST(KeychainItemCodingTest, MalformedItemsAreLeftOut) {
  auto certificate = SecCertificate::createWithData(makeTestCertificate(TestKeyKind::p256).der);
  auto good = encodeKeychainItem(
      *TKTokenKeychainCertificate::initWithCertificate(*certificate, int64_t{1}));
  auto variant = [&](auto change) {
    PlistValue copy = good;
    change(*copy.dict());
    return copy;
  };
  foundation::PlistArray list{
      good,
      PlistValue("not a dictionary"),
      variant([](PlistDict& d) { d.set("kind", "secret"); }),
      variant([](PlistDict& d) { d.set("objectID", true); }),
      variant([](PlistDict& d) { d.remove("data"); }),
      variant([](PlistDict& d) { d.set("label", int64_t{3}); }),
      variant([](PlistDict& d) {
        PlistDict constraints;
        constraints.set("07", "PINAlways");
        d.set("constraints", constraints);
      }),
      variant([](PlistDict& d) {
        d.set("kind", "key");
        d.set("keyType", "DSA");
        d.set("keySizeInBits", int64_t{1024});
      }),
  };
  auto decoded = decodeKeychainItems(list);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(std::get<int64_t>(decoded[0]->objectID()), 1);
  EXPECT_TRUE(decodeKeychainItems(PlistValue("no list")).empty());
}

}  // namespace
}  // namespace brellis::platform::crypto_token_kit
