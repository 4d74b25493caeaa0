#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fstream>

#include "platform/crypto/crypto.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token.h"
#include "platform/crypto_token_kit/tk_token_auth_operation.h"
#include "platform/crypto_token_kit/tk_token_key_algorithm.h"
#include "platform/crypto_token_kit/tk_token_keychain_contents.h"
#include "platform/crypto_token_kit/tk_token_session.h"
#include "platform/crypto_token_kit/token_service.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::platform::crypto_token_kit {
namespace {

using foundation::Bytes;

TEST(TokenClassesTest, AlgorithmChainsCompareTheCurrentStageOrAnyStage) {
  TKTokenKeyAlgorithm rsa({"algid:sign:RSA:digest-PKCS1v15:SHA256",
                           "algid:sign:RSA:digest-PKCS1v15", "algid:sign:RSA:raw"});
  EXPECT_TRUE(rsa.isAlgorithm(kSecKeyAlgorithmRSASignatureRaw));
  EXPECT_FALSE(rsa.isAlgorithm(kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw));
  EXPECT_TRUE(rsa.supportsAlgorithm(kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw));
  EXPECT_TRUE(rsa.supportsAlgorithm(kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256));
  EXPECT_FALSE(rsa.supportsAlgorithm("algid:sign:RSA"));  // whole stages only
  EXPECT_FALSE(TKTokenKeyAlgorithm().isAlgorithm(""));
  EXPECT_FALSE(TKTokenKeyAlgorithm().supportsAlgorithm(""));

  // The chains the service hands the token.
  EXPECT_EQ(algorithmChain(TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256).chain(),
            rsa.chain());
  EXPECT_EQ(algorithmChain(TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15SHA256).chain(),
            rsa.chain());
  EXPECT_EQ(algorithmChain(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256).chain(),
            std::vector<std::string>{"algid:sign:ECDSA:message-X962:SHA256"});
  EXPECT_EQ(algorithmChain(TokenKeyAlgorithm::rsaEncryptionPKCS1).chain(),
            (std::vector<std::string>{"algid:encrypt:RSA:PKCS1", "algid:encrypt:RSA:raw"}));
  EXPECT_EQ(algorithmChain(TokenKeyAlgorithm::ecdhKeyExchangeStandard).chain(),
            std::vector<std::string>{"algid:keyexchange:ECDH"});
  EXPECT_EQ(operationForAlgorithm(TokenKeyAlgorithm::rsaEncryptionRaw),
            TKTokenOperation::decryptData);
  EXPECT_EQ(operationForAlgorithm(TokenKeyAlgorithm::ecdhKeyExchangeStandard),
            TKTokenOperation::performKeyExchange);
  EXPECT_EQ(operationForAlgorithm(TokenKeyAlgorithm::rsaSignatureRaw), TKTokenOperation::signData);
}

TEST(TokenClassesTest, KeychainContentsFindItemsByKindAndID) {
  TKTokenKeychainContents contents;
  auto key = std::make_shared<TKTokenKeychainKey>(int64_t{0x5FC100}, KeyType::ecSECPrimeRandom, 256,
                                                  std::nullopt);
  auto certificate =
      std::make_shared<TKTokenKeychainCertificate>(Bytes{0x5F, 0xC1, 0x00}, Bytes{0x30});
  auto named = std::make_shared<TKTokenKeychainKey>(std::string("6275328"), KeyType::rsa, 2048,
                                                    std::nullopt);
  contents.fillWithItems({nullptr, certificate, key, named});

  auto found = contents.keyForObjectID(int64_t{0x5FC100});
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, key);
  EXPECT_EQ(*contents.keyForObjectID(std::string("6275328")), named);
  EXPECT_EQ(*contents.certificateForObjectID(Bytes{0x5F, 0xC1, 0x00}), certificate);
  // Absent, of another kind, or the same number in another form: -6.
  for (const ObjectID& id :
       {ObjectID{int64_t{1}}, ObjectID{Bytes{0x5F, 0xC1, 0x00}}, ObjectID{std::string("5FC100")}}) {
    auto missing = contents.keyForObjectID(id);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), tkErrorRecord(TKErrorCode::objectNotFound));
  }
  EXPECT_FALSE(contents.certificateForObjectID(int64_t{0x5FC100}));
  contents.fillWithItems({});
  EXPECT_FALSE(contents.keyForObjectID(int64_t{0x5FC100}));
}

TEST(TokenClassesTest, BaseClassesImplementNothingAndPINOperationOnlyFailsWhenCancelled) {
  auto driver = std::make_shared<TKSmartCardTokenDriver>();
  EXPECT_EQ(driver->tokenForConfiguration(TKTokenConfiguration("c", "i")).error(),
            tkErrorRecord(TKErrorCode::notImplemented));
  EXPECT_EQ(driver->createTokenForSmartCard(nullptr, std::nullopt).error().code, -1);
  auto token = std::make_shared<TKSmartCardToken>(std::make_shared<TKSmartCard>("slot"),
                                                  std::nullopt, "i", driver);
  EXPECT_EQ(token->tokenDriver(), driver);
  EXPECT_EQ(token->createSession().error().code, -1);
  EXPECT_FALSE(token->keychainContents());
  EXPECT_FALSE(token->configuration());
  TKSmartCardTokenSession session(token);
  EXPECT_EQ(session.smartCard()->slotName(), "slot");
  EXPECT_FALSE(
      session.supportsOperation(TKTokenOperation::signData, int64_t{1}, TKTokenKeyAlgorithm()));
  EXPECT_EQ(session.signData({}, int64_t{1}, {}).error().code, -1);
  EXPECT_EQ(session.decryptData({}, int64_t{1}, {}).error().code, -1);
  EXPECT_EQ(session.performKeyExchangeWithPublicKey({}, int64_t{1}, {}, {}).error().code, -1);
  EXPECT_EQ(session.beginAuthForOperation(TKTokenOperation::signData, "").error().code, -1);

  TKTokenSmartCardPINAuthOperation operation;
  EXPECT_EQ(operation.asPINOperation(), &operation);
  EXPECT_TRUE(operation.finishWithError());  // no PIN to check here
  operation.setPIN("1234");
  EXPECT_TRUE(operation.finishWithError());
  operation.cancel();
  EXPECT_EQ(operation.finishWithError().error(), tkErrorRecord(TKErrorCode::canceledByUser));
  EXPECT_EQ(TKTokenAuthOperation().asPINOperation(), nullptr);
}

TEST(TokenClassesTest, ServiceRefusesWhatItCannotLoad) {
  brellis::testing::TemporaryStateRoot root;
  auto absent = TokenService::load(root.path() / "Info.plist");
  ASSERT_FALSE(absent);
  EXPECT_TRUE(isTokenServiceError(absent.error(), TokenServiceErrorCode::pluginUnavailable));
  EXPECT_TRUE(absent.error().userInfo.contains(foundation::kDebugDescriptionKey));

  // A manifest whose library is not beside it.
  std::ofstream(root.path() / "Info.plist")
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
         "<key>CFBundleExecutable</key><string>libc.so.6</string>"
         "<key>PrincipalClass</key><string>TokenDriver</string>"
         "<key>TokenClassID</key><string>test.class</string>"
         "<key>FactorySymbol</key><string>BrellisTokenPluginFactory</string></dict></plist>";
  auto notPlugin = TokenService::load(root.path() / "Info.plist");
  ASSERT_FALSE(notPlugin);
  EXPECT_TRUE(isTokenServiceError(notPlugin.error(), TokenServiceErrorCode::pluginUnavailable));
}

}  // namespace
}  // namespace brellis::platform::crypto_token_kit

namespace brellis::platform::crypto_token_kit {
namespace {

using foundation::Bytes;

// The RSA key of a test certificate, for raw private-key operations and checks with OpenSSL.
struct RsaKey {
  explicit RsaKey(const Bytes& pkcs8) {
    const unsigned char* p = pkcs8.data();
    key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(pkcs8.size()));
  }
  ~RsaKey() { EVP_PKEY_free(key); }
  // m^d mod n, no padding.
  Bytes rawPrivate(const Bytes& block, bool decrypt) const {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(256);
    size_t size = out.size();
    bool ok =
        (decrypt ? EVP_PKEY_decrypt_init(context) : EVP_PKEY_sign_init(context)) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) == 1 &&
        (decrypt ? EVP_PKEY_decrypt(context, out.data(), &size, block.data(), block.size())
                 : EVP_PKEY_sign(context, out.data(), &size, block.data(), block.size())) == 1;
    EVP_PKEY_CTX_free(context);
    out.resize(ok ? size : 0);
    return out;
  }
  bool verifiesSHA256(const Bytes& message, const Bytes& signature) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(context, signature.data(), signature.size(), message.data(),
                               message.size()) == 1;
    EVP_MD_CTX_free(context);
    return ok;
  }
  Bytes encryptPKCS1(const Bytes& plaintext) const {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out(256);
    size_t size = out.size();
    EVP_PKEY_encrypt_init(context);
    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
    EVP_PKEY_encrypt(context, out.data(), &size, plaintext.data(), plaintext.size());
    EVP_PKEY_CTX_free(context);
    out.resize(size);
    return out;
  }
  EVP_PKEY* key = nullptr;
};

TEST(TokenServiceInputsTest, RsaInputsAreWhatOpenSSLExpects) {
  auto certificate = test_support::makeTestCertificate(test_support::TestKeyKind::rsa2048);
  RsaKey key(certificate.privateKeyDer);
  ASSERT_NE(key.key, nullptr);
  const Bytes message{'m', 'e', 's', 's', 'a', 'g', 'e'};
  const Bytes digest = crypto::sha256(message);
  Bytes digestInfo{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                   0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  digestInfo.insert(digestInfo.end(), digest.begin(), digest.end());

  // Each signature input, signed raw by the private key, verifies as PKCS#1 v1.5 SHA-256.
  for (auto [algorithm, input] : std::vector<std::pair<TokenKeyAlgorithm, Bytes>>{
           {TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, message},
           {TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, digest},
           {TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw, digestInfo}}) {
    auto block = rsaTokenInput(algorithm, input, 256);
    ASSERT_TRUE(block);
    ASSERT_EQ(block->size(), 256u);
    EXPECT_TRUE(key.verifiesSHA256(message, key.rawPrivate(*block, false)));
  }
  // Inputs that do not fit.
  EXPECT_FALSE(
      rsaTokenInput(TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, Bytes(31, 1), 256));
  EXPECT_FALSE(rsaTokenInput(TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw, digestInfo,
                             digestInfo.size() + 10));
  EXPECT_TRUE(rsaTokenInput(TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw, digestInfo,
                            digestInfo.size() + 11));
  EXPECT_FALSE(rsaTokenInput(TokenKeyAlgorithm::rsaSignatureRaw, Bytes(255, 1), 256));
  EXPECT_FALSE(rsaTokenInput(TokenKeyAlgorithm::rsaEncryptionPKCS1, Bytes(257, 1), 256));
  EXPECT_FALSE(rsaTokenInput(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, message, 256));

  // What OpenSSL encrypted, decrypted raw, loses its padding; leading zero bytes may be left out.
  const Bytes plaintext{'s', 0x00, 'e', 'c', 'r', 'e', 't'};
  auto raw = key.rawPrivate(key.encryptPKCS1(plaintext), true);
  ASSERT_EQ(raw.size(), 256u);
  EXPECT_EQ(removePKCS1v15EncryptionPadding(raw, 256), plaintext);
  EXPECT_EQ(removePKCS1v15EncryptionPadding(Bytes(raw.begin() + 1, raw.end()), 256), plaintext);
  // Blocks that are not so padded.
  auto padded = [](std::vector<uint8_t> head, size_t psLength) {
    Bytes block = std::move(head);
    block.insert(block.end(), psLength, 0x55);
    block.push_back(0x00);
    block.resize(64, 0x41);
    return block;
  };
  EXPECT_TRUE(removePKCS1v15EncryptionPadding(padded({0x00, 0x02}, 8), 64));
  EXPECT_FALSE(removePKCS1v15EncryptionPadding(padded({0x00, 0x02}, 7), 64));
  EXPECT_FALSE(removePKCS1v15EncryptionPadding(padded({0x00, 0x01}, 8), 64));
  EXPECT_FALSE(removePKCS1v15EncryptionPadding(padded({0x01, 0x02}, 8), 64));
  EXPECT_FALSE(removePKCS1v15EncryptionPadding(Bytes(65, 0x02), 64));
  Bytes noSeparator{0x00, 0x02};
  noSeparator.resize(64, 0x55);
  EXPECT_FALSE(removePKCS1v15EncryptionPadding(noSeparator, 64));
}

}  // namespace
}  // namespace brellis::platform::crypto_token_kit
