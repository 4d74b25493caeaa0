#include <gtest/gtest.h>

#include <fstream>

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
