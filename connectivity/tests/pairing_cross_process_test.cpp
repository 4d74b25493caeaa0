// Pairing across two processes: the connectivity peer program is the advertising phone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "connectivity/pairing_digest.h"
#include "connectivity/peer_defaults.h"
#include "connectivity/peer_manager.h"
#include "connectivity/platform_peer_session.h"
#include "platform/foundation/hex.h"
#include "platform/multipeer/tests/child_process.h"
#include "platform/multipeer/tests/link_test_support.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"

using brellis::platform::foundation::hexEncode;

namespace brellis::connectivity {
namespace {

namespace mp = platform::multipeer;
namespace os_log = platform::os_log;
using platform::foundation::Bytes;
using State = mp::SessionState;

// The browsing side, in this process.
class PairingAcrossProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    salt_ = {0x10, 0x20, 0x30, 0x40};
    phone_ = std::make_unique<mp::testing::ChildProcess>(
        CONNECTIVITY_PEER, std::vector<std::string>{"pairing-child", hexEncode(salt_)});
    ASSERT_TRUE(phone_->started());
    ASSERT_TRUE(phone_->waitForLine("ready"));
  }

  // Invites the phone straight through the platform, with any context, as `inviter`.
  std::shared_ptr<mp::testing::RecordingSessionDelegate> rawInvite(
      const std::string& inviter, const std::optional<Bytes>& context) {
    auto session = mp::Session::create(mp::PeerID(inviter), mp::EncryptionPreference::required);
    auto events = std::make_shared<mp::testing::RecordingSessionDelegate>();
    session->setDelegate(events);
    auto found = std::make_shared<mp::testing::RecordingBrowserDelegate>();
    auto browser = mp::NearbyServiceBrowser::create(session->myPeerID(), PeerManager::serviceType,
                                                    mp::testing::fastOptions());
    browser->setDelegate(found);
    browser->startBrowsingForPeers();
    auto phone = found->waitForFound();
    EXPECT_TRUE(phone.has_value());
    if (phone) browser->invitePeer(*phone, session, context, 0);
    keep_.push_back(session);
    keepEvents_.push_back(events);
    return events;
  }

  brellis::testing::TemporaryStateRoot root_;
  Bytes salt_;
  std::unique_ptr<mp::testing::ChildProcess> phone_;
  std::vector<std::shared_ptr<mp::Session>> keep_;
  std::vector<std::shared_ptr<mp::testing::RecordingSessionDelegate>> keepEvents_;
};

TEST_F(PairingAcrossProcesses, SaltAdmitsOneInvitationAndEveryOtherIsDeclined) {
  // Browsing with the matching pairing identity: accepted through the salt.
  PeerManager mac(mp::PeerID("MAC-A"), mp::testing::fastOptions());
  auto session = PeerManager::makeSession(mac.peer());
  auto events = std::make_shared<mp::testing::RecordingSessionDelegate>();
  platformSessionOf(session)->setDelegate(events);
  mac.pair(std::vector<PairingIdentity>{PairingIdentity("PHONE-A", "Phone", salt_, {})}, session);
  ASSERT_TRUE(phone_->waitForLine("log Received invitation from peer: MAC-A"));
  ASSERT_TRUE(phone_->waitForLine("log Accepting invitation"));
  ASSERT_TRUE(events->waitForStates({State::connecting, State::connected}));
  ASSERT_TRUE(phone_->waitForLine("state 1"));
  ASSERT_TRUE(phone_->waitForLine("state 2"));
  auto phone = session->connectedPeers().at(0);
  EXPECT_EQ(phone.displayName(), "PHONE-A");
  session->send({0x0A, 0x0B}, {phone}, mp::SendDataMode::reliable);
  ASSERT_TRUE(phone_->waitForLine("data 0a0b"));
  ASSERT_TRUE(events->waitForData(1));
  EXPECT_EQ(events->data(), (std::vector<Bytes>{{0xEE, 0x0A, 0x0B}}));

  // The salt is spent: the same invitation again is looked up among the stored identities,
  // which hold only the phone itself.
  session->disconnect();
  ASSERT_TRUE(phone_->waitForLine("state 0"));
  auto again = PeerManager::makeSession(mac.peer());
  auto againEvents = std::make_shared<mp::testing::RecordingSessionDelegate>();
  platformSessionOf(again)->setDelegate(againEvents);
  mac.startBrowsing(again);
  ASSERT_TRUE(phone_->waitForLine("log Verifying inviting peer is paired"));
  ASSERT_TRUE(
      phone_->waitForLine("log Denying invitation: stored pairing identities: [\"PHONE-A\"]"));
  EXPECT_TRUE(againEvents->waitForStates({State::notConnected}));
  mac.stopBrowsing();

  // No context at all.
  auto missing = rawInvite("MAC-A", std::nullopt);
  ASSERT_TRUE(phone_->waitForLine("log Invitation context is undefined"));
  EXPECT_TRUE(missing->waitForStates({State::notConnected}));

  // A stored identity for the inviter: wrong salt, 31 and 33 bytes are declined.
  Bytes macSalt = {0x77, 0x66};
  PeerDefaults::setPairingIdentities(
      std::vector<PairingIdentity>{PairingIdentity("PHONE-A", "Phone", salt_, {}),
                                   PairingIdentity("MAC-A", "Mac", macSalt, {})});
  Bytes digest = pairingDigest("PHONE-A", macSalt);
  Bytes shorter(digest.begin(), digest.end() - 1);
  Bytes longer = digest;
  longer.push_back(digest.back());
  for (const Bytes& context : {pairingDigest("PHONE-A", {0x77}), shorter, longer}) {
    auto declined = rawInvite("MAC-A", context);
    ASSERT_TRUE(phone_->waitForLine("log Pairing identity exists for inviting peer"));
    ASSERT_TRUE(phone_->waitForLine("log Denying invitation"));
    EXPECT_TRUE(declined->waitForStates({State::notConnected}));
  }

  // An inviter that is not paired.
  auto stranger = rawInvite("MAC-UNKNOWN", digest);
  ASSERT_TRUE(phone_->waitForLine(
      "log Denying invitation: stored pairing identities: [\"PHONE-A\", \"MAC-A\"]"));
  EXPECT_TRUE(stranger->waitForStates({State::notConnected}));

  // The stored identity's own context is accepted; killing the phone ends the session.
  auto accepted = rawInvite("MAC-A", digest);
  ASSERT_TRUE(phone_->waitForLine("log Accepting invitation"));
  ASSERT_TRUE(accepted->waitForStates({State::connecting, State::connected}));
  phone_->kill();
  EXPECT_TRUE(accepted->waitForStates({State::connecting, State::connected, State::notConnected}));
}

}  // namespace
}  // namespace brellis::connectivity
