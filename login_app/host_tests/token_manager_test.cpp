#include "login_app/token_manager.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "connectivity/peer_defaults.h"
#include "login_app/host_tests/host_test_support.h"
#include "login_app/peer_defaults_wrapper.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "token_host/token_host_wrapper.h"
#include "token_host/unlock_archive.h"

namespace brellis::login_app {
namespace {

namespace ctk = platform::crypto_token_kit;
using group_defaults::GroupDefaults;
using platform::foundation::Bytes;
using test::waitUntil;

constexpr const char* kBrellisClass = "com.velkor.tarvo.brellis.token";

class TokenManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ensureMainQueue();
    ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass(kBrellisClass));
    certificate_ = ctk::test_support::makeTestCertificate(ctk::test_support::TestKeyKind::p256).der;
    data_ = std::make_unique<token_host::UnlockData>(test::sampleUnlockData(certificate_));
    (*daemon_).setUnlockData(token_host::archiveUnlockData(*data_));
  }
  void TearDown() override {
    // Let the last runs finish before the state root goes away.
    if (manager_) waitUntil([&] { return manager_.use_count() == 1; });
  }
  BrellisTokenManagerDependencies dependencies() {
    return {std::make_shared<PeerDefaultsWrapper>(), GroupDefaults::init(GroupDefaults::name),
            std::make_shared<token_host::TokenHostWrapper>(token_host::DriverDomain::brellis)};
  }
  void setCertificate(std::optional<Bytes> certificate) {
    auto suite = GroupDefaults::init(GroupDefaults::name);
    if (certificate) {
      suite->set(*certificate, GroupDefaults::Key::certificate);
    } else {
      suite->removeValue(GroupDefaults::Key::certificate);
    }
  }
  std::optional<ctk::TKTokenKeychainItems> installedItems() {
    auto configurations = ctk::TKTokenDriverConfiguration::driverConfigurations()
                              .at(kBrellisClass)
                              .tokenConfigurations();
    auto found = configurations.find("UnlockToken");
    if (found == configurations.end()) return std::nullopt;
    return found->second.keychainItems();
  }
  std::vector<std::string> lines() { return capture_.sink().texts("TokenManager"); }
  bool logged(const std::string& text) {
    auto all = lines();
    return std::find(all.begin(), all.end(), text) != all.end();
  }
  size_t count(const std::string& text) {
    auto all = lines();
    return static_cast<size_t>(std::count(all.begin(), all.end(), text));
  }

  brellis::testing::TemporaryStateRoot root_;
  platform::os_log::ScopedLogCapture capture_;
  test::ScopedFakeDaemon daemon_;
  Bytes certificate_;
  std::unique_ptr<token_host::UnlockData> data_;
  std::shared_ptr<TokenManager> manager_;
};

TEST_F(TokenManagerTest, DaemonReportsEnabledInstallsAndReportsTrue) {
  setCertificate(certificate_);
  daemon_->setUnlockStatusArchive(token_host::archiveUnlockStatus({true}));
  manager_ = TokenManager::make(dependencies());
  ASSERT_TRUE(waitUntil([&] { return daemon_->sentStatuses().size() == 1; }));
  EXPECT_EQ(daemon_->sentStatuses(), std::vector<bool>{true});
  EXPECT_TRUE(manager_->didFinishUnlockStatus());
  bool shown = false;
  test::onMain([&] { shown = manager_->isEnabled().get(); });
  EXPECT_TRUE(shown);

  auto items = installedItems();
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ(std::get<int64_t>((*items)[0]->objectID()), 6275328);
  EXPECT_EQ((*items)[0]->label(), "Unlock-Key");
  EXPECT_EQ(std::get<Bytes>((*items)[1]->objectID()), (Bytes{0x5F, 0xC1, 0x00}));
  EXPECT_EQ((*items)[1]->label(), "VelkorUnlock");

  // The peers were made from the unlock data.
  EXPECT_EQ(connectivity::PeerDefaults::getPeer("ContainerPeer")->displayName(),
            data_->containerID());
  EXPECT_EQ(connectivity::PeerDefaults::getPeer("DriverPeer")->displayName(), data_->driverID());
  for (const char* line : {"Initializing token manager", "checking Unlock status", "isEnabled=true",
                           "didFinishUnlockStatus=false", "didFinishUnlockStatus=true",
                           "Enabling Velkor Unlock", "Enabled Velkor Unlock"}) {
    EXPECT_TRUE(logged(line)) << line;
  }
}

TEST_F(TokenManagerTest, DaemonReportsDisabledRemovesAndReportsFalse) {
  ctk::TKTokenDriverConfiguration::driverConfigurations()
      .at(kBrellisClass)
      .addTokenConfigurationForTokenInstanceID("UnlockToken");
  daemon_->setUnlockStatusArchive(token_host::archiveUnlockStatus({false}));
  manager_ = TokenManager::make(dependencies());
  ASSERT_TRUE(waitUntil([&] { return daemon_->sentStatuses().size() == 1; }));
  EXPECT_EQ(daemon_->sentStatuses(), std::vector<bool>{false});
  EXPECT_FALSE(installedItems().has_value());
  EXPECT_TRUE(logged("isEnabled=false"));
  EXPECT_TRUE(logged("Disabling Velkor Unlock"));
}

TEST_F(TokenManagerTest, WithoutAStatusFlipsChangeNothing) {
  setCertificate(certificate_);
  daemon_->setUnlockStatusArchive(std::nullopt);
  manager_ = TokenManager::make(dependencies());
  ASSERT_TRUE(waitUntil([&] { return logged("checking Unlock status"); }));
  test::onMain([&] { manager_->isEnabled().set(true); });
  test::onMain([&] { manager_->isEnabled().set(false); });
  ASSERT_TRUE(waitUntil([&] { return count("didFinishUnlockStatus=false") == 3; }));
  EXPECT_FALSE(manager_->didFinishUnlockStatus());
  EXPECT_TRUE(daemon_->sentStatuses().empty());
  EXPECT_FALSE(installedItems().has_value());
  EXPECT_FALSE(logged("Enabling Velkor Unlock"));
}

TEST_F(TokenManagerTest, EnablingWithoutACertificateSpringsBack) {
  ctk::TKTokenDriverConfiguration::driverConfigurations()
      .at(kBrellisClass)
      .addTokenConfigurationForTokenInstanceID("UnlockToken");
  daemon_->setUnlockStatusArchive(token_host::archiveUnlockStatus({false}));
  manager_ = TokenManager::make(dependencies());
  ASSERT_TRUE(waitUntil([&] { return daemon_->sentStatuses().size() == 1; }));
  ctk::TKTokenDriverConfiguration::driverConfigurations()
      .at(kBrellisClass)
      .addTokenConfigurationForTokenInstanceID("UnlockToken");

  test::onMain([&] { manager_->isEnabled().set(true); });
  // The failed run reports what it reads afterwards (false); the run started by the reset
  // removes the configuration and reports false again.
  ASSERT_TRUE(waitUntil([&] { return daemon_->sentStatuses().size() == 3; }))
      << ::testing::PrintToString(lines()) << " uses " << manager_.use_count();
  EXPECT_EQ(daemon_->sentStatuses(), (std::vector<bool>{false, false, false}));
  EXPECT_TRUE(logged("Failed to get certificate data"));
  bool shown = true;
  test::onMain([&] { shown = manager_->isEnabled().get(); });
  EXPECT_FALSE(shown);
  EXPECT_FALSE(installedItems().has_value());
}

TEST_F(TokenManagerTest, AFailedInstallSpringsBackAndASendFailureIsLogged) {
  setCertificate(Bytes{'n', 'o', 't', ' ', 'D', 'E', 'R'});
  daemon_->setUnlockStatusArchive(token_host::archiveUnlockStatus({true}));
  daemon_->setFailSend(true);
  manager_ = TokenManager::make(dependencies());
  ASSERT_TRUE(waitUntil([&] { return count("Failed to set unlock status") == 2; }));
  EXPECT_TRUE(logged("Failed to get keychain items"));
  EXPECT_EQ(daemon_->sentStatuses(), (std::vector<bool>{false, false}));
  EXPECT_FALSE(installedItems().has_value());
}

}  // namespace
}  // namespace brellis::login_app
