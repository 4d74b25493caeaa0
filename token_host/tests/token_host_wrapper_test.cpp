#include "token_host/token_host_wrapper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/token_store.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "token_host/driver_domain.h"
#include "token_host/keychain_items.h"
#include "token_host/token_host_error.h"
#include "token_host/unlock_token_configuration.h"

namespace brellis::token_host {
namespace {

namespace ctk = platform::crypto_token_kit;
using ctk::test_support::makeTestCertificate;
using ctk::test_support::TestKeyKind;
using platform::foundation::Bytes;
using platform::os_log::LogLevel;
using platform::os_log::ScopedLogCapture;

std::vector<std::string> errorLines(ScopedLogCapture& capture) {
  std::vector<std::string> lines;
  for (const auto& record : capture.sink().records()) {
    if (record.level == LogLevel::error && record.category == "TokenUtilities") {
      lines.push_back(record.text);
    }
  }
  return lines;
}

TEST(TokenHostTest, ConstantsAndDriverDomains) {
  EXPECT_STREQ(tokenInstanceID, "UnlockToken");
  EXPECT_STREQ(keyLabel, "Unlock-Key");
  EXPECT_STREQ(certificateLabel, "VelkorUnlock");
  EXPECT_EQ(keyObjectID, 6275328);
  const auto& constraints = keyConstraints();
  ASSERT_EQ(constraints.size(), 5u);
  for (int64_t operation = 0; operation <= 4; ++operation) {
    EXPECT_EQ(*constraints.at(operation).string(), "PINAlways") << operation;
  }
  EXPECT_STREQ(rawValue(DriverDomain::unlock), "com.velkor.tarvo.unlock.token");
  EXPECT_STREQ(rawValue(DriverDomain::brellis), "com.velkor.tarvo.brellis.token");
  EXPECT_EQ(driverDomain("com.velkor.tarvo.brellis.token"), DriverDomain::brellis);
  EXPECT_EQ(driverDomain("com.velkor.tarvo.unlock.token"), DriverDomain::unlock);
  EXPECT_FALSE(driverDomain("com.velkor.tarvo.Brellis.token").has_value());
  EXPECT_FALSE(driverDomain("").has_value());
}

class KeychainItemsTest : public ::testing::TestWithParam<TestKeyKind> {};

TEST_P(KeychainItemsTest, KeyItemThenCertificateItem) {
  auto generated = makeTestCertificate(GetParam());
  auto items = makeKeychainItems(generated.der);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 2u);
  auto key = std::dynamic_pointer_cast<ctk::TKTokenKeychainKey>((*items)[0]);
  auto certificate = std::dynamic_pointer_cast<ctk::TKTokenKeychainCertificate>((*items)[1]);
  ASSERT_NE(key, nullptr);
  ASSERT_NE(certificate, nullptr);
  EXPECT_EQ(std::get<int64_t>(key->objectID()), 6275328);
  EXPECT_EQ(key->label(), "Unlock-Key");
  EXPECT_TRUE(key->canSign());
  EXPECT_TRUE(key->canDecrypt());
  EXPECT_TRUE(key->canPerformKeyExchange());
  EXPECT_TRUE(key->suitableForLogin());
  EXPECT_EQ(key->constraints(), keyConstraints());
  EXPECT_EQ(key->publicKeyData(), generated.expectedPublicKeyData);
  EXPECT_EQ(std::get<Bytes>(certificate->objectID()), (Bytes{0x5F, 0xC1, 0x00}));
  EXPECT_EQ(certificate->label(), "VelkorUnlock");
  EXPECT_EQ(certificate->data(), generated.der);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeychainItemsTest,
                         ::testing::Values(TestKeyKind::p256, TestKeyKind::p384,
                                           TestKeyKind::rsa2048));

TEST(KeychainItemsFailureTest, EachFailingStepLogsItsLineThenTheSummary) {
  {
    ScopedLogCapture capture;
    EXPECT_FALSE(makeKeychainItems(Bytes{1, 2, 3}).has_value());
    EXPECT_EQ(errorLines(capture),
              (std::vector<std::string>{"Failed to init SecCertificate with certificate data",
                                        "Failed to get keychain items"}));
  }
  {
    ScopedLogCapture capture;
    EXPECT_FALSE(makeKeychainItems(makeTestCertificate(TestKeyKind::ed25519).der).has_value());
    EXPECT_EQ(errorLines(capture),
              (std::vector<std::string>{"Failed to init TKTokenKeychainKey with SecCertificate",
                                        "Failed to get keychain items"}));
  }
}

TEST(KeychainItemsMatchTest, MatchGoesOneWay) {
  auto a = *makeKeychainItems(makeTestCertificate(TestKeyKind::p256).der);
  auto b = *makeKeychainItems(makeTestCertificate(TestKeyKind::p256).der);
  EXPECT_TRUE(keychainItemsMatch(a, a));
  EXPECT_FALSE(keychainItemsMatch(a, b));
  EXPECT_TRUE(keychainItemsMatch({}, b));
  EXPECT_TRUE(keychainItemsMatch({a[0]}, a));   // a subset of the new items matches
  EXPECT_FALSE(keychainItemsMatch(a, {a[0]}));  // the certificate has no counterpart
  EXPECT_TRUE(keychainItemsMatch({a[1], a[0]}, a));
  // A key item against a certificate item with the same bytes is no counterpart.
  EXPECT_FALSE(keychainItemsMatch({a[0]}, {a[1]}));
  // Two keys without public key data count as equal.
  auto bare =
      std::make_shared<ctk::TKTokenKeychainKey>(int64_t{1}, ctk::KeyType::rsa, 2048, std::nullopt);
  auto bare2 =
      std::make_shared<ctk::TKTokenKeychainKey>(int64_t{2}, ctk::KeyType::rsa, 1024, std::nullopt);
  EXPECT_TRUE(keychainItemsMatch({bare}, {bare2}));
  EXPECT_FALSE(keychainItemsMatch({bare}, {a[0]}));
}

class TokenHostWrapperTest : public ::testing::Test {
 protected:
  std::filesystem::path classFile() const {
    return root_.path() / "token" / "com.velkor.tarvo.brellis.token.plist";
  }
  ino_t inode() const {
    struct stat info {};
    ::stat(classFile().c_str(), &info);
    return info.st_ino;
  }
  ctk::TKTokenKeychainItems installed() const {
    auto all = ctk::TKTokenDriverConfiguration::driverConfigurations();
    auto configurations = all.at(rawValue(DriverDomain::brellis)).tokenConfigurations();
    auto found = configurations.find("UnlockToken");
    if (found == configurations.end()) return {};
    return found->second.keychainItems();
  }
  brellis::testing::TemporaryStateRoot root_;
};

TEST_F(TokenHostWrapperTest, AClassWithoutConfigurationRaisesAndTheAnswerIsKept) {
  TokenHostWrapper wrapper(DriverDomain::brellis);
  auto der = makeTestCertificate(TestKeyKind::p256).der;
  try {
    wrapper.addTokenData(der);
    FAIL();
  } catch (const TokenHostError& error) {
    EXPECT_EQ(error.code(), TokenHostError::Code::noDriverConfiguration);
    EXPECT_EQ(error.description(), "noDriverConfiguration");
  }
  // Registered later: the same wrapper keeps its first answer; a new one sees the class.
  ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass(rawValue(DriverDomain::unlock)));
  ASSERT_TRUE(
      ctk::TKTokenDriverConfiguration::registerDriverClass(rawValue(DriverDomain::brellis)));
  EXPECT_FALSE(wrapper.driverConfiguration().has_value());
  TokenHostWrapper fresh(DriverDomain::brellis);
  ASSERT_TRUE(fresh.driverConfiguration().has_value());
  EXPECT_EQ(fresh.driverConfiguration()->classID(), "com.velkor.tarvo.brellis.token");
}

TEST_F(TokenHostWrapperTest, SameCertificateTwiceWritesOnceAndANewOneReplaces) {
  ASSERT_TRUE(
      ctk::TKTokenDriverConfiguration::registerDriverClass(rawValue(DriverDomain::brellis)));
  TokenHostWrapper wrapper(DriverDomain::brellis);
  auto first = makeTestCertificate(TestKeyKind::p256).der;
  wrapper.addTokenData(first);
  auto items = installed();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->label(), "Unlock-Key");
  EXPECT_EQ(std::get<int64_t>(items[0]->objectID()), 6275328);
  EXPECT_EQ(items[1]->label(), "VelkorUnlock");
  EXPECT_EQ(std::get<Bytes>(items[1]->objectID()), (Bytes{0x5F, 0xC1, 0x00}));

  const ino_t afterFirst = inode();
  {
    ScopedLogCapture capture;
    wrapper.addTokenData(first);
    EXPECT_EQ(inode(), afterFirst);  // not rewritten
    auto records = capture.sink().records();
    auto equal = std::find_if(records.begin(), records.end(),
                              [](const auto& r) { return r.text == "🔑 keychainItems are equal"; });
    ASSERT_NE(equal, records.end());
    EXPECT_EQ(equal->level, LogLevel::debug);
    EXPECT_EQ(equal->subsystem, "");
    EXPECT_EQ(equal->category, "");
  }

  auto second = makeTestCertificate(TestKeyKind::rsa2048).der;
  wrapper.addTokenData(second);
  items = installed();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::dynamic_pointer_cast<ctk::TKTokenKeychainCertificate>(items[1])->data(), second);
  EXPECT_EQ(std::dynamic_pointer_cast<ctk::TKTokenKeychainKey>(items[0])->keyType(),
            ctk::KeyType::rsa);
}

TEST_F(TokenHostWrapperTest, AnExistingConfigurationWithoutItemsCountsAsEqual) {
  ASSERT_TRUE(
      ctk::TKTokenDriverConfiguration::registerDriverClass(rawValue(DriverDomain::brellis)));
  TokenHostWrapper wrapper(DriverDomain::brellis);
  wrapper.driverConfiguration()->addTokenConfigurationForTokenInstanceID("UnlockToken");
  const ino_t before = inode();
  wrapper.addTokenData(makeTestCertificate(TestKeyKind::p256).der);
  EXPECT_EQ(inode(), before);
  EXPECT_TRUE(installed().empty());
}

TEST_F(TokenHostWrapperTest, BytesThatAreNotDerChangeNothing) {
  ASSERT_TRUE(
      ctk::TKTokenDriverConfiguration::registerDriverClass(rawValue(DriverDomain::brellis)));
  TokenHostWrapper wrapper(DriverDomain::brellis);
  auto generated = makeTestCertificate(TestKeyKind::p256);
  wrapper.addTokenData(generated.der);
  const ino_t before = inode();
  ScopedLogCapture capture;
  try {
    wrapper.addTokenData(Bytes(generated.pem.begin(), generated.pem.end()));
    FAIL();
  } catch (const TokenHostError& error) {
    EXPECT_EQ(error.code(), TokenHostError::Code::noKeychainItems);
  }
  EXPECT_EQ(errorLines(capture),
            (std::vector<std::string>{"Failed to init SecCertificate with certificate data",
                                      "Failed to get keychain items"}));
  EXPECT_EQ(inode(), before);
  EXPECT_EQ(installed().size(), 2u);
}

}  // namespace
}  // namespace brellis::token_host
