// The token service driving the built BrellisToken plug-in, without a phone: loading, the
// configuration seen without a restart, the operation limit, cancellation and unloading while a
// controller's beacon task still runs.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stop_token>

#include "connectivity/pairing_identity.h"
#include "connectivity/peer_defaults.h"
#include "group_defaults/group_defaults.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/token_service.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"
#include "token_host/keychain_items.h"
#include "token_host/unlock_token_configuration.h"

namespace brellis::token_extension {
namespace {

namespace ctk = platform::crypto_token_kit;
namespace fs = std::filesystem;
using ctk::TKErrorCode;
using ctk::TokenKeyAlgorithm;
using ctk::TokenService;
using group_defaults::GroupDefaults;
using platform::foundation::Bytes;
using namespace std::chrono_literals;

constexpr const char* kClassID = "com.velkor.tarvo.brellis.token";
constexpr int64_t kKeyID = token_host::keyObjectID;
const fs::path kManifest = fs::path(BRELLIS_TOKEN_PLUGIN_DIR) / "Info.plist";

class TokenServicePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root.path() / "radio");
    auto defaults = GroupDefaults::init(GroupDefaults::name);
    ASSERT_TRUE(defaults);
    connectivity::PeerDefaults::setPairingIdentities(std::vector<connectivity::PairingIdentity>{
        connectivity::PairingIdentity("PHONE-1", "Phone", Bytes{1, 2}, Bytes{3})});
    connectivity::PeerDefaults::makePeer("6E3C1F0A-6F43-4A8B-9C39-1D2A3B4C5D6E", "ContainerPeer");
    connectivity::PeerDefaults::makePeer("BrellisToken", "DriverPeer");
  }

  std::unique_ptr<TokenService> load(TokenService::Options options = {}) {
    options.watchInterval = 10ms;
    options.pluginSettings.set("AuthTimeoutMilliseconds", int64_t{300});
    options.pluginSettings.set("BeaconDelayMilliseconds", int64_t{10});
    options.pluginSettings.set("BeaconIntervalSeconds", 30.0);
    auto service = TokenService::load(kManifest, options);
    EXPECT_TRUE(service) << service.error().description();
    return service ? std::move(*service) : nullptr;
  }

  void install(ctk::test_support::TestKeyKind kind) {
    auto items = token_host::makeKeychainItems(ctk::test_support::makeTestCertificate(kind).der);
    ASSERT_TRUE(items);
    ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass(kClassID));
    auto configuration = ctk::TKTokenDriverConfiguration::driverConfigurations()
                             .at(kClassID)
                             .addTokenConfigurationForTokenInstanceID("UnlockToken");
    ASSERT_TRUE(configuration.setKeychainItems(*items));
  }
  // New items for the configured instance, in one write of the store.
  void replaceItems(ctk::test_support::TestKeyKind kind) {
    auto items = token_host::makeKeychainItems(ctk::test_support::makeTestCertificate(kind).der);
    ASSERT_TRUE(items);
    ASSERT_TRUE(ctk::TKTokenDriverConfiguration::driverConfigurations()
                    .at(kClassID)
                    .tokenConfigurations()
                    .at("UnlockToken")
                    .setKeychainItems(*items));
  }

  brellis::testing::TemporaryStateRoot root;
};

TEST_F(TokenServicePluginTest, ConfigurationChangesAreSeenWithoutRestart) {
  auto service = load();
  ASSERT_TRUE(service);
  EXPECT_EQ(service->classID(), kClassID);
  EXPECT_EQ(service->principalClass(), "TokenDriver");
  EXPECT_TRUE(service->tokenInstances().empty());
  auto missing = service->openSession("UnlockToken");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(ctk::isTKError(missing.error(), TKErrorCode::tokenNotFound));

  std::atomic<int> changes{0};
  service->addConfigurationObserver([&] { changes++; });
  install(ctk::test_support::TestKeyKind::rsa2048);
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return changes >= 1; }));
  auto instances = service->tokenInstances();
  ASSERT_EQ(instances.size(), 1u);
  EXPECT_EQ(instances[0].instanceID, "UnlockToken");
  ASSERT_EQ(instances[0].keychainItems.size(), 2u);
  EXPECT_EQ(instances[0].keychainItems[0]->label(), std::optional<std::string>("Unlock-Key"));

  auto session = service->openSession("UnlockToken");
  ASSERT_TRUE(session);
  // The RSA chain as the system builds it passes; ECDSA and decryption of EC do not apply.
  EXPECT_TRUE((*session)->supports(TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, kKeyID));
  EXPECT_TRUE((*session)->supports(TokenKeyAlgorithm::rsaSignatureDigestPKCS1v15Raw, kKeyID));
  EXPECT_FALSE((*session)->supports(TokenKeyAlgorithm::rsaSignatureRaw, kKeyID));
  EXPECT_TRUE((*session)->supports(TokenKeyAlgorithm::rsaEncryptionPKCS1, kKeyID));
  EXPECT_FALSE((*session)->supports(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, kKeyID));

  // New items reach the existing token's keychain contents. The watcher may not have seen the
  // first install's last write yet, so a count of changes taken now can be passed by that
  // write: what is waited for is the RSA key leaving the token. Each replacement is one write,
  // so the token goes from one key to the next with no empty state between.
  replaceItems(ctk::test_support::TestKeyKind::p384);
  ASSERT_TRUE(brellis::testing::waitUntil([&] {
    return !(*session)->supports(TokenKeyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, kKeyID);
  }));
  EXPECT_FALSE((*session)->supports(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, kKeyID));
  replaceItems(ctk::test_support::TestKeyKind::p256);
  ASSERT_TRUE(brellis::testing::waitUntil([&] {
    return (*session)->supports(TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, kKeyID);
  }));
  EXPECT_FALSE((*session)->supports(TokenKeyAlgorithm::ecdsaSignatureDigestX962SHA256, kKeyID));

  // Removed: the open session and new ones get -7 (both read the store itself).
  int seen = changes;
  ctk::TKTokenDriverConfiguration::driverConfigurations()
      .at(kClassID)
      .removeTokenConfigurationForTokenInstanceID("UnlockToken");
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return changes > seen; }));
  EXPECT_TRUE(service->tokenInstances().empty());
  auto result =
      (*session)->sign(kKeyID, TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256, Bytes{1});
  ASSERT_FALSE(result);
  EXPECT_TRUE(ctk::isTKError(result.error(), TKErrorCode::tokenNotFound));
}

TEST_F(TokenServicePluginTest, LimitCancellationAndUnloadDuringBeaconRun) {
  install(ctk::test_support::TestKeyKind::p256);
  TokenService::Options options;
  options.operationLimitForTesting = 50ms;
  auto service = load(options);
  ASSERT_TRUE(service);
  auto session = service->openSession("UnlockToken");
  ASSERT_TRUE(session);
  const auto algorithm = TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256;

  // No phone answers: the service's limit ends first.
  auto result = (*session)->sign(kKeyID, algorithm, Bytes{1});
  ASSERT_FALSE(result);
  EXPECT_TRUE(ctk::isTokenServiceError(result.error(), ctk::TokenServiceErrorCode::timedOut));

  // A stop request ends the operation with -4.
  std::stop_source stop;
  ctk::TokenOperationOptions stoppable;
  stoppable.stopToken = stop.get_token();
  stop.request_stop();
  result = (*session)->sign(kKeyID, algorithm, Bytes{1}, stoppable);
  ASSERT_FALSE(result);
  EXPECT_TRUE(ctk::isTKError(result.error(), TKErrorCode::canceledByUser));

  // Unloading while the controllers' beacon tasks still run: their runs are cut short and the
  // unload returns once they ended; the session then refuses, and the plug-in loads again in the
  // same process.
  auto adverts = root.path() / "radio" / "adverts";
  service->unload();
  EXPECT_TRUE(!fs::exists(adverts) || fs::is_empty(adverts));
  EXPECT_FALSE((*session)->supports(algorithm, kKeyID));
  result = (*session)->sign(kKeyID, algorithm, Bytes{1});
  ASSERT_FALSE(result);
  EXPECT_TRUE(
      ctk::isTokenServiceError(result.error(), ctk::TokenServiceErrorCode::pluginUnavailable));
  service.reset();

  auto again = load();
  ASSERT_TRUE(again);
  auto reopened = again->openSession("UnlockToken");
  ASSERT_TRUE(reopened);
  EXPECT_TRUE((*reopened)->supports(algorithm, kKeyID));
  // A caller's limit below the minimum is raised to it: the controller's own limit ends the
  // request, -2 from the plug-in.
  ctk::TokenOperationOptions hasty;
  hasty.limit = 1ms;
  result = (*reopened)->sign(kKeyID, algorithm, Bytes{1}, hasty);
  ASSERT_FALSE(result);
  EXPECT_TRUE(ctk::isTKError(result.error(), TKErrorCode::communicationError));
}

TEST_F(TokenServicePluginTest, BadManifestsAreRefused) {
  auto dir = root.path() / "manifests";
  fs::create_directories(dir);
  fs::copy_file(fs::path(BRELLIS_TOKEN_PLUGIN_DIR) / "BrellisToken.so", dir / "BrellisToken.so");
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir / name) << text;
    return dir / name;
  };
  auto manifest = [](const std::string& executable, const std::string& principal,
                     const std::string& symbol) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleExecutable</key><string>" +
           executable + "</string><key>PrincipalClass</key><string>" + principal +
           "</string><key>TokenClassID</key><string>com.velkor.tarvo.brellis.token</string>"
           "<key>FactorySymbol</key><string>" +
           symbol + "</string></dict></plist>";
  };
  std::vector<fs::path> bad = {
      dir / "absent.plist",
      write("text.plist", "not a property list"),
      write("array.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
      write("nolib.plist", manifest("Missing.so", "TokenDriver", "BrellisTokenPluginFactory")),
      write("path.plist",
            manifest("../BrellisToken.so", "TokenDriver", "BrellisTokenPluginFactory")),
      write("symbol.plist", manifest("BrellisToken.so", "TokenDriver", "NoSuchFactory")),
      write("class.plist", manifest("BrellisToken.so", "Token", "BrellisTokenPluginFactory")),
  };
  for (const auto& path : bad) {
    auto service = TokenService::load(path);
    ASSERT_FALSE(service) << path;
    EXPECT_TRUE(
        ctk::isTokenServiceError(service.error(), ctk::TokenServiceErrorCode::pluginUnavailable))
        << path;
  }
  auto good = TokenService::load(
      write("good.plist", manifest("BrellisToken.so", "TokenDriver", "BrellisTokenPluginFactory")));
  EXPECT_TRUE(good);
}

}  // namespace
}  // namespace brellis::token_extension
