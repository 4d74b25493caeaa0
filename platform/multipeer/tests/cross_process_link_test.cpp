#include <gtest/gtest.h>

#include "platform/multipeer/tests/child_process.h"
#include "platform/multipeer/tests/link_test_support.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::platform::multipeer {
namespace {

using namespace testing;
using State = SessionState;

constexpr const char* kType = "brellis-xproc";

// The advertiser runs in another process: discovery, invitation, data and a killed peer all
// cross a real process boundary.
TEST(CrossProcessLink, ConnectsExchangesDataAndSeesAKilledPeerAsNotConnected) {
  brellis::testing::TemporaryStateRoot root;
  ChildProcess phone(MULTIPEER_LINK_PEER, {kType, "PHONE-X"});
  ASSERT_TRUE(phone.started());
  ASSERT_TRUE(phone.waitForLine("ready"));

  auto session = Session::create(PeerID("MAC-X"), EncryptionPreference::required);
  auto events = std::make_shared<RecordingSessionDelegate>();
  session->setDelegate(events);
  auto found = std::make_shared<RecordingBrowserDelegate>();
  auto browser = NearbyServiceBrowser::create(session->myPeerID(), kType, fastOptions());
  browser->setDelegate(found);
  browser->startBrowsingForPeers();
  auto peer = found->waitForFound();
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->displayName(), "PHONE-X");

  browser->invitePeer(*peer, session, Bytes(32, 0xAB), 0);
  ASSERT_TRUE(phone.waitForLine("invitation MAC-X"));
  ASSERT_TRUE(events->waitForStates({State::connecting, State::connected}));
  ASSERT_TRUE(phone.waitForLine("state 1"));
  ASSERT_TRUE(phone.waitForLine("state 2"));

  session->sendData({0x01, 0x02}, {*peer}, SendDataMode::reliable);
  ASSERT_TRUE(phone.waitForLine("data 0102"));
  ASSERT_TRUE(events->waitForData(1));
  EXPECT_EQ(events->data(), (std::vector<Bytes>{{0xEE, 0x01, 0x02}}));

  phone.kill();
  EXPECT_TRUE(events->waitForStates({State::connecting, State::connected, State::notConnected}));
  EXPECT_TRUE(session->connectedPeers().empty());
  // The dead advertiser's descriptor stays on disk but is no longer reported.
  EXPECT_TRUE(found->waitForKind(BrowserEvent::lost));
}

}  // namespace
}  // namespace brellis::platform::multipeer
