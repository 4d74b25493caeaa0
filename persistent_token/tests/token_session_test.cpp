#include "persistent_token/token_session.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "connectivity/peer_defaults.h"
#include "persistent_token/pin_authentication.h"
#include "persistent_token/token.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::persistent_token {
namespace {

using connectivity_protocol::AuthenticationResult;
using connectivity_protocol::AuthenticationUsage;
using connectivity_protocol::ConnectivityError;
using group_defaults::GroupDefaults;
using platform::crypto_token_kit::isTKError;
using platform::crypto_token_kit::KeyType;
using platform::crypto_token_kit::ObjectID;
using platform::crypto_token_kit::TKErrorCode;
using platform::crypto_token_kit::TKTokenKeyAlgorithm;
using platform::crypto_token_kit::TKTokenKeychainContents;
using platform::crypto_token_kit::TKTokenKeychainKey;
using platform::crypto_token_kit::TKTokenOperation;
using platform::foundation::Bytes;
namespace ctk = platform::crypto_token_kit;

constexpr int64_t kKeyID = 0x5FC100;
const Bytes kCertificateID{0x5F, 0xC1, 0x00};

struct Call {
  AuthenticationUsage usage;
  Bytes data;
  int64_t certID;
  std::optional<std::string> pin;
  std::optional<ctk::TKTokenKeyExchangeParameters> parameters;
};

// Records every request and answers with the scripted result (none: no completion at all).
class FakeRequester : public AuthenticationRequester {
 public:
  void requestAuthentication(AuthenticationUsage usage, const Bytes& data, int64_t certID,
                             const std::optional<std::string>& pin,
                             const std::optional<ctk::TKTokenKeyExchangeParameters>& parameters,
                             const std::function<void(AuthenticationResult)>& completion) override {
    std::lock_guard lock(mutex);
    calls.push_back(Call{usage, data, certID, pin, parameters});
    if (answer) completion(*answer);
  }
  std::mutex mutex;
  std::vector<Call> calls;
  std::optional<AuthenticationResult> answer = AuthenticationResult(Bytes{1, 2, 3});
};

std::shared_ptr<TKTokenKeychainKey> makeKey(ObjectID id, KeyType type, int64_t bits) {
  auto key = std::make_shared<TKTokenKeychainKey>(std::move(id), type, bits, std::nullopt);
  key->setCanSign(true);
  key->setCanDecrypt(true);
  key->setCanPerformKeyExchange(true);
  return key;
}

class TokenSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    defaults = GroupDefaults::init(GroupDefaults::name);
    ASSERT_TRUE(defaults);
    connectivity::PeerDefaults::makePeer("6E3C1F0A-6F43-4A8B-9C39-1D2A3B4C5D6E", "ContainerPeer");
    connectivity::PeerDefaults::makePeer("Driver", "DriverPeer");
    contents = std::make_shared<TKTokenKeychainContents>();
  }

  std::shared_ptr<TokenSession> makeSession() {
    auto token = std::make_shared<Token>(std::make_shared<ctk::TKSmartCard>(), std::nullopt,
                                         "UnlockToken", nullptr, factory());
    token->setKeychainContents(contents);
    return std::make_shared<TokenSession>(token, factory());
  }

  AuthenticationRequesterFactory factory() {
    return [this](const platform::multipeer::PeerID&, const platform::multipeer::PeerID&) {
      return requester;
    };
  }

  // The PIN protocol as the service runs it.
  void enterPIN(TokenSession& session, const std::string& pin) {
    auto operation = session.beginAuthForOperation(TKTokenOperation::signData, "PINAlways");
    ASSERT_TRUE(operation);
    auto* pinOperation = (*operation)->asPINOperation();
    ASSERT_NE(pinOperation, nullptr);
    pinOperation->setPIN(pin);
    ASSERT_TRUE((*operation)->finishWithError());
  }

  testing::TemporaryStateRoot root;
  std::optional<GroupDefaults> defaults;
  std::shared_ptr<TKTokenKeychainContents> contents;
  std::shared_ptr<FakeRequester> requester = std::make_shared<FakeRequester>();
  platform::os_log::ScopedLogCapture capture;
};

TKTokenKeyAlgorithm chain(std::vector<std::string> stages) {
  return TKTokenKeyAlgorithm(std::move(stages));
}

TEST_F(TokenSessionTest, SupportsOperationTableForSigningAndDecryption) {
  contents->fillWithItems({makeKey(kKeyID, KeyType::ecSECPrimeRandom, 256),
                           makeKey(int64_t{2}, KeyType::ecSECPrimeRandom, 384),
                           makeKey(int64_t{3}, KeyType::rsa, 2048)});
  auto noSign = makeKey(int64_t{4}, KeyType::rsa, 2048);
  noSign->setCanSign(false);
  noSign->setCanDecrypt(false);
  auto items = contents->items();
  items.push_back(noSign);
  contents->fillWithItems(items);
  auto session = makeSession();
  const auto ecdsa = chain({ctk::kSecKeyAlgorithmECDSASignatureMessageX962SHA256});
  const auto rsaPKCS1 = chain({ctk::kSecKeyAlgorithmRSASignatureDigestPKCS1v15SHA256,
                               ctk::kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw,
                               ctk::kSecKeyAlgorithmRSASignatureRaw});
  const auto rsaRaw = chain({ctk::kSecKeyAlgorithmRSAEncryptionRaw});

  struct Row {
    TKTokenOperation operation;
    ObjectID key;
    TKTokenKeyAlgorithm algorithm;
    bool expected;
    const char* log;  // nullptr: no log at all
  };
  const std::vector<Row> rows = {
      {TKTokenOperation::signData, kKeyID, ecdsa, true, "Signing supported for ECDSA key"},
      {TKTokenOperation::signData, int64_t{2}, ecdsa, false, nullptr},
      {TKTokenOperation::signData, kKeyID,
       chain({ctk::kSecKeyAlgorithmECDSASignatureDigestX962SHA256,
              ctk::kSecKeyAlgorithmECDSASignatureDigestX962}),
       false, nullptr},
      // The message stage must be the current one, not merely part of the chain.
      {TKTokenOperation::signData, kKeyID,
       chain({ctk::kSecKeyAlgorithmECDSASignatureMessageX962SHA256,
              ctk::kSecKeyAlgorithmECDSASignatureDigestX962}),
       false, nullptr},
      {TKTokenOperation::signData, int64_t{3}, rsaPKCS1, true, "Signing supported for RSA key"},
      {TKTokenOperation::signData, int64_t{3}, chain({ctk::kSecKeyAlgorithmRSASignatureRaw}), false,
       nullptr},
      {TKTokenOperation::signData, int64_t{3},
       chain({ctk::kSecKeyAlgorithmRSASignatureDigestPKCS1v15Raw}), false, nullptr},
      {TKTokenOperation::signData, int64_t{4}, rsaPKCS1, false, "Key can not be used for signing"},
      {TKTokenOperation::decryptData, kKeyID, rsaRaw, false,
       "Decryption support enquiry for ECDSA key"},
      {TKTokenOperation::decryptData, int64_t{3}, rsaRaw, true, "Decryption supported for RSA key"},
      {TKTokenOperation::decryptData, int64_t{3},
       chain({ctk::kSecKeyAlgorithmRSAEncryptionPKCS1, ctk::kSecKeyAlgorithmRSAEncryptionRaw,
              "algid:encrypt:RSA:OAEP"}),
       false, nullptr},
      {TKTokenOperation::decryptData, int64_t{4}, rsaRaw, false,
       "Key can not be used for decryption"},
      {TKTokenOperation::readData, kKeyID, ecdsa, false, nullptr},
      {static_cast<TKTokenOperation>(9), kKeyID, ecdsa, false, nullptr},
      {TKTokenOperation::signData, int64_t{99}, ecdsa, false, "Key item undefined"},
      // The certificate's object ID names no key.
      {TKTokenOperation::signData, kCertificateID, ecdsa, false, "Key item undefined"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    capture.sink().clear();
    EXPECT_EQ(session->supportsOperation(row.operation, row.key, row.algorithm), row.expected)
        << "row " << i;
    auto logs = capture.sink().texts("TokenSession");
    if (row.log) {
      EXPECT_EQ(logs, std::vector<std::string>{row.log}) << "row " << i;
    } else {
      EXPECT_TRUE(logs.empty()) << "row " << i << ": " << (logs.empty() ? "" : logs[0]);
    }
  }
  EXPECT_TRUE(requester->calls.empty());
}

TEST_F(TokenSessionTest, StringKeyIDFallsBackToTheConfigurationItems) {
  ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass("test.class"));
  auto drivers = ctk::TKTokenDriverConfiguration::driverConfigurations();
  auto configuration = drivers.at("test.class").addTokenConfigurationForTokenInstanceID("T");
  auto certificateFirst =
      std::make_shared<ctk::TKTokenKeychainCertificate>(ObjectID{std::string("cert")}, Bytes{1});
  ASSERT_TRUE(configuration.setKeychainItems(
      {certificateFirst, makeKey(std::string("key"), KeyType::ecSECPrimeRandom, 256),
       makeKey(std::string("cert"), KeyType::ecSECPrimeRandom, 256)}));
  auto session = makeSession();
  session->token()->setConfiguration(configuration);
  const auto ecdsa = chain({ctk::kSecKeyAlgorithmECDSASignatureMessageX962SHA256});
  EXPECT_TRUE(session->supportsOperation(TKTokenOperation::signData, std::string("key"), ecdsa));
  // Only the first item with that ID is looked at, and it is no key.
  EXPECT_FALSE(session->supportsOperation(TKTokenOperation::signData, std::string("cert"), ecdsa));
  // Numbers are never looked up in the configuration.
  EXPECT_FALSE(session->supportsOperation(TKTokenOperation::signData, int64_t{5}, ecdsa));
}

TEST_F(TokenSessionTest, KeyExchangeEnquiryChecksVersionThenLoginFlagThenKey) {
  auto cannot = makeKey(int64_t{7}, KeyType::ecSECPrimeRandom, 256);
  cannot->setCanPerformKeyExchange(false);
  contents->fillWithItems({makeKey(kKeyID, KeyType::ecSECPrimeRandom, 256),
                           makeKey(int64_t{2}, KeyType::ecSECPrimeRandom, 384),
                           makeKey(int64_t{3}, KeyType::rsa, 2048), cannot});
  const auto ecdh = chain({ctk::kSecKeyAlgorithmECDHKeyExchangeStandard});
  const std::string update = "Key exchange unavailable; please update version of Velkor Unlock";

  auto ask = [&](TokenSession& session, ObjectID key, const TKTokenKeyAlgorithm& algorithm) {
    capture.sink().clear();
    bool answer = session.supportsOperation(TKTokenOperation::performKeyExchange, key, algorithm);
    return std::make_pair(answer, capture.sink().texts("TokenSession"));
  };
  using Logs = std::vector<std::string>;

  // Login flag on, version absent then 0: refused by the version rule.
  defaults->set(true, GroupDefaults::Key::enableUnlockForLogin);
  auto loginOn = makeSession();
  EXPECT_EQ(ask(*loginOn, kKeyID, ecdh), std::make_pair(false, Logs{update}));
  defaults->set(int64_t{0}, GroupDefaults::Key::unlockVersion);
  EXPECT_EQ(ask(*loginOn, kKeyID, ecdh), std::make_pair(false, Logs{update}));
  // The version is read at every enquiry: the same session now offers it.
  defaults->set(int64_t{1}, GroupDefaults::Key::unlockVersion);
  EXPECT_EQ(ask(*loginOn, kKeyID, ecdh),
            std::make_pair(true, Logs{"Key exchange supported for ECDSA key"}));
  EXPECT_EQ(ask(*loginOn, int64_t{2}, ecdh), std::make_pair(false, Logs{}));
  EXPECT_EQ(ask(*loginOn, int64_t{3}, ecdh), std::make_pair(false, Logs{}));
  EXPECT_EQ(ask(*loginOn, kKeyID, chain({"algid:keyexchange:ECDH:cofactor"})),
            std::make_pair(false, Logs{}));
  EXPECT_EQ(ask(*loginOn, int64_t{7}, ecdh),
            std::make_pair(false, Logs{"Key can not be used for key exchange"}));

  // The login flag is read once, at creation.
  defaults->set(false, GroupDefaults::Key::enableUnlockForLogin);
  EXPECT_TRUE(ask(*loginOn, kKeyID, ecdh).first);
  auto loginOff = makeSession();
  EXPECT_EQ(ask(*loginOff, kKeyID, ecdh), std::make_pair(false, Logs{}));
  // The version rule comes first, with its log, even with the login flag off.
  defaults->removeValue(GroupDefaults::Key::unlockVersion);
  EXPECT_EQ(ask(*loginOff, kKeyID, ecdh), std::make_pair(false, Logs{update}));
}

TEST_F(TokenSessionTest, OutcomesMapToTokenErrors) {
  auto session = makeSession();
  ASSERT_TRUE(session->hasConnectivityController());
  struct Row {
    std::optional<AuthenticationResult> answer;
    std::optional<TKErrorCode> code;
    const char* log;
  };
  using Case = ConnectivityError::Case;
  auto failed = [](Case c) { return AuthenticationResult(tl::unexpected(ConnectivityError(c))); };
  const std::vector<Row> rows = {
      {AuthenticationResult(Bytes{9, 8}), std::nullopt, "Returning authentication result data"},
      {std::nullopt, TKErrorCode::communicationError, "Authentication result undefined"},
      {failed(Case::incorrectPIN), TKErrorCode::badParameter, "User entered incorrect PIN"},
      {failed(Case::failedLocalAuth), TKErrorCode::authenticationFailed,
       "User failed local authentication on their iOS device"},
      {failed(Case::timedOut), TKErrorCode::communicationError,
       "Failure to return authentication result data"},
      {failed(Case::nilResult), TKErrorCode::communicationError,
       "Failure to return authentication result data"},
      {failed(Case::unknownTag), TKErrorCode::communicationError,
       "Failure to return authentication result data"},
      {failed(Case::failureSign), TKErrorCode::communicationError,
       "Failure to return authentication result data"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    requester->answer = rows[i].answer;
    capture.sink().clear();
    auto result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
    if (!rows[i].code) {
      ASSERT_TRUE(result) << "row " << i;
      EXPECT_EQ(*result, (Bytes{9, 8}));
    } else {
      ASSERT_FALSE(result) << "row " << i;
      EXPECT_TRUE(isTKError(result.error(), *rows[i].code)) << "row " << i;
      EXPECT_TRUE(result.error().userInfo.empty());
    }
    EXPECT_EQ(capture.sink().texts("TokenSession"),
              (std::vector<std::string>{"Signing data", "PIN is not required", rows[i].log}))
        << "row " << i;
  }
  // Each usage reaches the controller with its bytes, the certificate number and, for key
  // exchange only, the parameters.
  requester->answer = AuthenticationResult(Bytes{1});
  requester->calls.clear();
  ASSERT_TRUE(session->decryptData(Bytes{4}, kKeyID, TKTokenKeyAlgorithm()));
  ctk::TKTokenKeyExchangeParameters parameters{32, Bytes{0xAA}};
  ASSERT_TRUE(session->performKeyExchangeWithPublicKey(Bytes{4, 5}, kKeyID, TKTokenKeyAlgorithm(),
                                                       parameters));
  ASSERT_EQ(requester->calls.size(), 2u);
  EXPECT_EQ(requester->calls[0].usage, AuthenticationUsage::decrypt);
  EXPECT_EQ(requester->calls[0].certID, kKeyID);
  EXPECT_FALSE(requester->calls[0].parameters);
  EXPECT_EQ(requester->calls[1].usage, AuthenticationUsage::keyExchange);
  EXPECT_EQ(requester->calls[1].data, (Bytes{4, 5}));
  ASSERT_TRUE(requester->calls[1].parameters);
  EXPECT_EQ(requester->calls[1].parameters->requestedSize, 32);
  EXPECT_EQ(requester->calls[1].parameters->sharedInfo, Bytes{0xAA});
}

TEST_F(TokenSessionTest, PinCycleAndCertificateNumber) {
  defaults->set(true, GroupDefaults::Key::requirePIN);
  auto session = makeSession();
  ASSERT_TRUE(session->pinRequired());

  // No PIN: -9 and nothing sent.
  auto result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
  ASSERT_FALSE(result);
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::authenticationNeeded));
  EXPECT_TRUE(capture.sink().contains("Triggering PIN authentication"));
  // The PIN gate comes before the certificate number.
  result = session->signData(Bytes{1}, kCertificateID, TKTokenKeyAlgorithm());
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::authenticationNeeded));
  EXPECT_TRUE(requester->calls.empty());

  // With a PIN, the request carries it; the phone says it is wrong: -8.
  enterPIN(*session, "1234");
  EXPECT_TRUE(capture.sink().contains("Acquiring PIN"));
  requester->answer = AuthenticationResult(
      tl::unexpected(ConnectivityError(ConnectivityError::Case::incorrectPIN)));
  result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::badParameter));
  ASSERT_EQ(requester->calls.size(), 1u);
  EXPECT_EQ(requester->calls[0].pin, std::optional<std::string>("1234"));
  // The next operation needs a PIN again.
  result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::authenticationNeeded));

  // The certificate's object ID: -8, nothing sent, and the PIN is gone too.
  enterPIN(*session, "5678");
  capture.sink().clear();
  result = session->signData(Bytes{1}, kCertificateID, TKTokenKeyAlgorithm());
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::badParameter));
  EXPECT_TRUE(capture.sink().contains("certID = keyObjectID could not be cast to Int"));
  EXPECT_EQ(requester->calls.size(), 1u);
  EXPECT_FALSE(session->hasPin());
  result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::authenticationNeeded));

  // A string key ID is no certificate number either.
  defaults->set(false, GroupDefaults::Key::requirePIN);
  auto noPin = makeSession();
  result = noPin->decryptData(Bytes{1}, std::string("6275328"), TKTokenKeyAlgorithm());
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::badParameter));
  EXPECT_EQ(requester->calls.size(), 1u);
}

TEST_F(TokenSessionTest, NoStoredPeersMeansNoControllerAndCommunicationError) {
  connectivity::PeerDefaults::removePeer("DriverPeer");
  auto session = makeSession();
  EXPECT_FALSE(session->hasConnectivityController());
  auto result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
  ASSERT_FALSE(result);
  EXPECT_TRUE(isTKError(result.error(), TKErrorCode::communicationError));
  EXPECT_TRUE(capture.sink().contains("Authentication result undefined"));
  EXPECT_TRUE(requester->calls.empty());
}

TEST_F(TokenSessionTest, PINAuthenticationFinish) {
  // No completion, or no PIN: -5.
  PINAuthentication lonely;
  lonely.setPIN("1");
  auto finished = lonely.finishWithError();
  ASSERT_FALSE(finished);
  EXPECT_TRUE(isTKError(finished.error(), TKErrorCode::authenticationFailed));
  EXPECT_TRUE(capture.sink().contains("Failure to acquire PIN"));

  std::optional<std::string> received;
  PINAuthentication noPIN;
  noPIN.setCompletion([&](const std::string& pin) { received = pin; });
  EXPECT_TRUE(isTKError(noPIN.finishWithError().error(), TKErrorCode::authenticationFailed));
  EXPECT_FALSE(received);

  // A cancelled operation: the base class's error, unchanged, and no completion.
  PINAuthentication cancelled(platform::foundation::PlistDict{});
  cancelled.setCompletion([&](const std::string& pin) { received = pin; });
  cancelled.setPIN("1");
  cancelled.cancel();
  EXPECT_TRUE(isTKError(cancelled.finishWithError().error(), TKErrorCode::canceledByUser));
  EXPECT_FALSE(received);

  // A session's PIN operation that outlives its session goes nowhere.
  auto session = makeSession();
  auto operation = session->beginAuthForOperation(TKTokenOperation::decryptData, "PINAlways");
  ASSERT_TRUE(operation);
  session.reset();
  (*operation)->asPINOperation()->setPIN("1");
  EXPECT_TRUE((*operation)->finishWithError());
}

// The PIN is written by the PIN operation on one thread and taken by operations on others: of
// the operations that race for one PIN entered, all run, exactly one carries the PIN to the
// phone and the others ask for a PIN again.
TEST_F(TokenSessionTest, PinIsTakenByOneOperationOnly) {
  defaults->set(true, GroupDefaults::Key::requirePIN);
  auto session = makeSession();
  constexpr int kRounds = 50;
  constexpr size_t kOperations = 4;
  for (int round = 0; round < kRounds; ++round) {
    requester->calls.clear();
    const std::string pin = "pin" + std::to_string(round);
    session->setPin(pin);
    std::vector<std::optional<ctk::TKResult<Bytes>>> results(kOperations);
    std::latch start(kOperations);
    std::vector<std::thread> operations;
    for (size_t t = 0; t < kOperations; ++t) {
      operations.emplace_back([&, t] {
        start.arrive_and_wait();
        results[t] = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
      });
    }
    for (auto& thread : operations) thread.join();
    size_t succeeded = 0;
    for (const auto& result : results) {
      ASSERT_TRUE(result) << "round " << round;
      if (*result) {
        ++succeeded;
      } else {
        EXPECT_TRUE(isTKError(result->error(), TKErrorCode::authenticationNeeded))
            << "round " << round;
      }
    }
    EXPECT_EQ(succeeded, 1u) << "round " << round;
    ASSERT_EQ(requester->calls.size(), 1u) << "round " << round;
    EXPECT_EQ(requester->calls[0].pin, std::optional<std::string>(pin)) << "round " << round;
    EXPECT_FALSE(session->hasPin());
  }
}

// Without the group-defaults suite the session reads nothing of it: no PIN is asked for and key
// exchange is never offered, whatever the suite would say.
TEST_F(TokenSessionTest, WithoutTheGroupDefaultsSuiteNoPinAndNoKeyExchange) {
  defaults->set(true, GroupDefaults::Key::requirePIN);
  defaults->set(true, GroupDefaults::Key::enableUnlockForLogin);
  defaults->set(int64_t{1}, GroupDefaults::Key::unlockVersion);
  contents->fillWithItems({makeKey(kKeyID, KeyType::ecSECPrimeRandom, 256)});
  auto token = std::make_shared<Token>(std::make_shared<ctk::TKSmartCard>(), std::nullopt,
                                       "UnlockToken", nullptr, factory());
  token->setKeychainContents(contents);
  auto session = std::make_shared<TokenSession>(token, factory(),
                                                [] { return std::optional<GroupDefaults>(); });
  EXPECT_FALSE(session->pinRequired());
  EXPECT_FALSE(session->unlockEnabledForLogin());
  ASSERT_TRUE(session->hasConnectivityController());

  capture.sink().clear();
  EXPECT_FALSE(session->supportsOperation(TKTokenOperation::performKeyExchange, kKeyID,
                                          chain({ctk::kSecKeyAlgorithmECDHKeyExchangeStandard})));
  EXPECT_EQ(
      capture.sink().texts("TokenSession"),
      std::vector<std::string>{"Key exchange unavailable; please update version of Velkor Unlock"});
  // Signing goes to the phone without a PIN.
  auto result = session->signData(Bytes{1}, kKeyID, TKTokenKeyAlgorithm());
  ASSERT_TRUE(result);
  ASSERT_EQ(requester->calls.size(), 1u);
  EXPECT_FALSE(requester->calls[0].pin);
  EXPECT_TRUE(capture.sink().contains("PIN is not required"));
  // The same settings read through the suite: a PIN is required and key exchange is offered.
  auto withSuite = makeSession();
  EXPECT_TRUE(withSuite->pinRequired());
  EXPECT_TRUE(withSuite->supportsOperation(TKTokenOperation::performKeyExchange, kKeyID,
                                           chain({ctk::kSecKeyAlgorithmECDHKeyExchangeStandard})));
}

}  // namespace
}  // namespace brellis::persistent_token
