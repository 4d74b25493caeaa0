#include "connectivity/peer_manager.h"

#include <gtest/gtest.h>

#include <thread>

#include "connectivity/peer_defaults.h"
#include "connectivity/platform_peer_session.h"
#include "group_defaults/group_defaults.h"
#include "platform/foundation/defaults.h"
#include "platform/multipeer/tests/link_test_support.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::connectivity {
namespace {

namespace mp = platform::multipeer;
using platform::foundation::Bytes;
using platform::os_log::ScopedLogCapture;

constexpr const char* kKey = "PairingIdentities";

platform::foundation::Defaults suite() {
  return *platform::foundation::Defaults::open(group_defaults::GroupDefaults::name);
}

class CountingBrowser : public PeerBrowser {
 public:
  std::shared_ptr<PeerBrowserDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<PeerBrowserDelegate> delegate) override { delegate_ = delegate; }
  void startBrowsingForPeers() override { ++starts; }
  void stopBrowsingForPeers() override { ++stops; }
  void invitePeer(const mp::PeerID&, const std::shared_ptr<PeerSession>&, std::optional<Bytes>,
                  double) override {}
  int starts = 0;
  int stops = 0;

 private:
  std::weak_ptr<PeerBrowserDelegate> delegate_;
};

class CountingAdvertiser : public PeerAdvertiser {
 public:
  std::shared_ptr<PeerAdvertiserDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<PeerAdvertiserDelegate> delegate) override {
    delegate_ = delegate;
  }
  void startAdvertisingPeer() override { ++starts; }
  void stopAdvertisingPeer() override { ++stops; }
  int starts = 0;
  int stops = 0;

 private:
  std::weak_ptr<PeerAdvertiserDelegate> delegate_;
};

class TestablePeerManager : public PeerManager {
 public:
  using PeerManager::beginAdvertising;
  using PeerManager::beginBrowsing;
  using PeerManager::PeerManager;
};

class PeerManagerTest : public ::testing::Test {
 protected:
  brellis::testing::TemporaryStateRoot root_;
  ScopedLogCapture capture_;
  TestablePeerManager manager_{mp::PeerID("MAC-1"), mp::testing::fastOptions()};
};

TEST_F(PeerManagerTest, HandlersAreMadeFromThePeer) {
  EXPECT_EQ(manager_.advertiserHandler()->localIdentifier(), "MAC-1");
  EXPECT_EQ(manager_.browserHandler()->session(), nullptr);
  EXPECT_EQ(manager_.advertiser(), nullptr);
  EXPECT_EQ(manager_.browser(), nullptr);
  auto session = PeerManager::makeSession(manager_.peer());
  auto platformSession = std::dynamic_pointer_cast<PlatformPeerSession>(session);
  ASSERT_NE(platformSession, nullptr);
  EXPECT_EQ(platformSession->platformSession()->encryptionPreference(),
            mp::EncryptionPreference::required);
  EXPECT_EQ(platformSession->platformSession()->myPeerID(), manager_.peer());
}

TEST_F(PeerManagerTest, StopBrowsingWithoutBrowserOnlyLogsAndClearsTheSession) {
  manager_.browserHandler()->setSession(PeerManager::makeSession(manager_.peer()));
  manager_.stopBrowsing();
  EXPECT_EQ(capture_.sink().texts("PeerManager"), std::vector<std::string>{"Stop browsing"});
  EXPECT_EQ(manager_.browserHandler()->session(), nullptr);
}

TEST_F(PeerManagerTest, ReplacedBrowserAndAdvertiserAreStopped) {
  auto session = PeerManager::makeSession(manager_.peer());
  auto first = std::make_shared<CountingBrowser>();
  auto second = std::make_shared<CountingBrowser>();
  manager_.beginBrowsing(first, session);
  EXPECT_EQ(first->delegate(), manager_.browserHandler());
  EXPECT_EQ(manager_.browserHandler()->session(), session);
  manager_.beginBrowsing(second, session);
  EXPECT_EQ(first->stops, 1);
  EXPECT_EQ(second->starts, 1);
  EXPECT_EQ(manager_.browser(), second);

  auto advertiserA = std::make_shared<CountingAdvertiser>();
  auto advertiserB = std::make_shared<CountingAdvertiser>();
  manager_.beginAdvertising(advertiserA, session);
  manager_.beginAdvertising(advertiserB, session);
  EXPECT_EQ(advertiserA->stops, 1);
  EXPECT_EQ(advertiserB->starts, 1);
  EXPECT_EQ(advertiserB->delegate(), manager_.advertiserHandler());

  manager_.stopAdvertising();
  manager_.stopBrowsing();
  EXPECT_EQ(advertiserB->stops, 1);
  EXPECT_EQ(second->stops, 1);
  EXPECT_EQ(manager_.advertiser(), nullptr);
  EXPECT_EQ(manager_.advertiserHandler()->session(), nullptr);
}

TEST_F(PeerManagerTest, PairingAsBrowserStoresIdentitiesAndUnpairRemovesThem) {
  EXPECT_FALSE(PeerManager::isPaired());
  suite().set(kKey, std::string("not base64!"));
  EXPECT_FALSE(PeerManager::isPaired());

  auto session = PeerManager::makeSession(manager_.peer());
  manager_.pair(std::vector<PairingIdentity>{PairingIdentity("PHONE-1", "Phone", {1}, {2})},
                session);
  EXPECT_TRUE(PeerManager::isPaired());
  EXPECT_NE(manager_.browser(), nullptr);
  EXPECT_EQ(manager_.browserHandler()->session(), session);

  manager_.advertiserHandler()->setSalt(Bytes{9});
  manager_.unpair();
  EXPECT_FALSE(suite().object(kKey).has_value());
  EXPECT_FALSE(PeerManager::isPaired());
  EXPECT_FALSE(manager_.advertiserHandler()->salt().has_value());
  EXPECT_EQ(manager_.browserHandler()->session(), nullptr);
  EXPECT_EQ(capture_.sink().texts("PeerManager"),
            (std::vector<std::string>{"Initiating pairing", "Start browsing", "Unpairing",
                                      "Stop advertising", "Stop browsing"}));
}

TEST_F(PeerManagerTest, PairingAsAdvertiserKeepsTheSaltUntilUnpair) {
  auto session = PeerManager::makeSession(manager_.peer());
  manager_.pair(Bytes{1, 2, 3}, session);
  EXPECT_EQ(manager_.advertiserHandler()->salt(), (Bytes{1, 2, 3}));
  // Published under the service type.
  auto directory = root_.path() / "multipeer" / PeerManager::serviceType;
  EXPECT_TRUE(brellis::testing::waitUntil([&] { return std::filesystem::exists(directory); }));
  EXPECT_EQ(manager_.advertiserHandler()->session(), session);
  manager_.stopAdvertising();
  EXPECT_EQ(manager_.advertiserHandler()->salt(), (Bytes{1, 2, 3}));
  EXPECT_EQ(
      capture_.sink().texts("PeerManager"),
      (std::vector<std::string>{"Initiating pairing", "Start advertising", "Stop advertising"}));
}

}  // namespace
}  // namespace brellis::connectivity
