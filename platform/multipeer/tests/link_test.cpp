#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <thread>

#include "platform/multipeer/service_type.h"
#include "platform/multipeer/tests/link_test_support.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::platform::multipeer {
namespace {

using namespace testing;
using State = SessionState;
using Answer = ScriptedAdvertiserDelegate::Answer;

constexpr const char* kType = "brellis-test";

// One advertiser and one browser in this process, each with its own session.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    advertiserSession = Session::create(PeerID("PHONE-1"), EncryptionPreference::required);
    browserSession = Session::create(PeerID("MAC-1"), EncryptionPreference::required);
    advertiserSession->setDelegate(advertiserEvents);
    browserSession->setDelegate(browserEvents);
  }

  // Ends every link, then waits until no handler on the pool holds its objects any more: a
  // handler still queued finds them gone and does nothing, so nothing of this test runs on into
  // the next one.
  void TearDown() override {
    if (advertiser) advertiser->stopAdvertisingPeer();
    if (browser) browser->stopBrowsingForPeers();
    if (browserSession) browserSession->disconnect();
    if (advertiserSession) advertiserSession->disconnect();
    std::vector<std::weak_ptr<void>> held{advertiser, browser, browserSession, advertiserSession};
    answerer.reset();
    advertiser.reset();
    browser.reset();
    browserSession.reset();
    advertiserSession.reset();
    EXPECT_TRUE(brellis::testing::waitUntil([&] {
      return std::all_of(held.begin(), held.end(), [](const auto& w) { return w.expired(); });
    }));
  }

  void advertise(Answer answer) {
    answerer = std::make_shared<ScriptedAdvertiserDelegate>(advertiserSession, answer);
    advertiser =
        NearbyServiceAdvertiser::create(advertiserSession->myPeerID(), kType, fastOptions());
    advertiser->setDelegate(answerer);
    advertiser->startAdvertisingPeer();
  }

  PeerID browseAndFind() {
    browser = NearbyServiceBrowser::create(browserSession->myPeerID(), kType, fastOptions());
    browser->setDelegate(browserDelegate);
    browser->startBrowsingForPeers();
    auto found = browserDelegate->waitForFound();
    EXPECT_TRUE(found.has_value());
    return found.value_or(PeerID("none"));
  }

  PeerID connect() {
    advertise(Answer::accept);
    PeerID phone = browseAndFind();
    browser->invitePeer(phone, browserSession, Bytes{1, 2, 3}, 0);
    EXPECT_TRUE(browserEvents->waitForStates({State::connecting, State::connected}));
    EXPECT_TRUE(advertiserEvents->waitForStates({State::connecting, State::connected}));
    return phone;
  }

  brellis::testing::TemporaryStateRoot root;
  std::shared_ptr<Session> advertiserSession;
  std::shared_ptr<Session> browserSession;
  std::shared_ptr<RecordingSessionDelegate> advertiserEvents =
      std::make_shared<RecordingSessionDelegate>();
  std::shared_ptr<RecordingSessionDelegate> browserEvents =
      std::make_shared<RecordingSessionDelegate>();
  std::shared_ptr<RecordingBrowserDelegate> browserDelegate =
      std::make_shared<RecordingBrowserDelegate>();
  std::shared_ptr<ScriptedAdvertiserDelegate> answerer;
  std::shared_ptr<NearbyServiceAdvertiser> advertiser;
  std::shared_ptr<NearbyServiceBrowser> browser;
};

TEST_F(LinkTest, AcceptedInvitationConnectsBothSidesAndCarriesDataBothWays) {
  PeerID phone = connect();
  EXPECT_EQ(phone.displayName(), "PHONE-1");
  EXPECT_EQ(phone, advertiserSession->myPeerID());

  auto invitations = answerer->invitations.snapshot();
  ASSERT_EQ(invitations.size(), 1u);
  EXPECT_EQ(invitations[0].peer, browserSession->myPeerID());
  EXPECT_EQ(invitations[0].context, (Bytes{1, 2, 3}));

  EXPECT_EQ(browserSession->connectedPeers(), std::vector<PeerID>{phone});
  EXPECT_EQ(advertiserSession->connectedPeers(), std::vector<PeerID>{browserSession->myPeerID()});

  browserSession->sendData({0x10}, {phone}, SendDataMode::reliable);
  browserSession->sendData({0x11}, {phone}, SendDataMode::reliable);
  advertiserSession->sendData({0x20}, {browserSession->myPeerID()}, SendDataMode::reliable);
  ASSERT_TRUE(advertiserEvents->waitForData(2));
  ASSERT_TRUE(browserEvents->waitForData(1));
  EXPECT_EQ(advertiserEvents->data(), (std::vector<Bytes>{{0x10}, {0x11}}));
  EXPECT_EQ(browserEvents->data(), (std::vector<Bytes>{{0x20}}));
  for (const auto& event : advertiserEvents->events.snapshot()) EXPECT_TRUE(event.onSessionQueue);
  for (const auto& event : browserEvents->events.snapshot()) EXPECT_TRUE(event.onSessionQueue);
}

TEST_F(LinkTest, MissingContextArrivesAsAbsent) {
  advertise(Answer::decline);
  PeerID phone = browseAndFind();
  browser->invitePeer(phone, browserSession, std::nullopt, 0);
  ASSERT_TRUE(answerer->invitations.waitFor([](auto& all) { return all.size() == 1; }));
  EXPECT_FALSE(answerer->invitations.snapshot()[0].context.has_value());
}

TEST_F(LinkTest, DeclinedOrDroppedInvitationReachesTheInviterAsNotConnected) {
  for (Answer answer : {Answer::decline, Answer::drop}) {
    advertise(answer);
    PeerID phone = browseAndFind();
    browser->invitePeer(phone, browserSession, Bytes{9}, 0);
    EXPECT_TRUE(browserEvents->waitForStates({State::notConnected}));
    EXPECT_TRUE(advertiserEvents->states().empty());
    EXPECT_TRUE(browserSession->connectedPeers().empty());
    browserEvents->events.clear();
    advertiser->stopAdvertisingPeer();
    browser->stopBrowsingForPeers();
    browserDelegate = std::make_shared<RecordingBrowserDelegate>();
  }
}

TEST_F(LinkTest, UnansweredInvitationTimesOutAndALateAcceptDoesNotConnect) {
  advertise(Answer::hold);
  PeerID phone = browseAndFind();
  auto started = std::chrono::steady_clock::now();
  browser->invitePeer(phone, browserSession, Bytes{9}, 0.2);
  ASSERT_TRUE(browserEvents->waitForStates({State::notConnected}));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 190ms);
  ASSERT_TRUE(answerer->invitations.waitFor([](auto& all) { return all.size() == 1; }));
  auto held = answerer->takeHeld();
  ASSERT_EQ(held.size(), 1u);
  held[0](true, advertiserSession);
  // The inviter has left: the advertiser's side ends in state 0 too.
  EXPECT_TRUE(
      advertiserEvents->waitForStates({State::connecting, State::connected, State::notConnected}));
  EXPECT_TRUE(browserSession->connectedPeers().empty());
}

TEST_F(LinkTest, ZeroTimeoutMeansTheDefault) {
  advertise(Answer::hold);
  PeerID phone = browseAndFind();
  browser->invitePeer(phone, browserSession, Bytes{9}, 0);
  // Not an immediate give-up: nothing within the first second of the 2-second default...
  EXPECT_FALSE(browserEvents->events.waitFor([](auto& all) { return !all.empty(); }, 1s));
  // ...and the wait does end.
  EXPECT_TRUE(browserEvents->waitForStates({State::notConnected}, 10s));
}

TEST_F(LinkTest, HandlerAnswersOnlyOnce) {
  advertise(Answer::hold);
  PeerID phone = browseAndFind();
  browser->invitePeer(phone, browserSession, Bytes{9}, 0);
  ASSERT_TRUE(answerer->invitations.waitFor([](auto& all) { return all.size() == 1; }));
  auto held = answerer->takeHeld();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_TRUE(held[0](true, advertiserSession));
  EXPECT_FALSE(held[0](false, nullptr));
  EXPECT_TRUE(browserEvents->waitForStates({State::connecting, State::connected}));
  // Anything the second answer had sent would come before this frame on the link.
  auto peers = advertiserSession->connectedPeers();
  ASSERT_EQ(peers.size(), 1u);
  advertiserSession->sendData({7}, peers, SendDataMode::reliable);
  ASSERT_TRUE(browserEvents->waitForData(1));
  EXPECT_EQ(browserEvents->states(), (std::vector<State>{State::connecting, State::connected}));
}

TEST_F(LinkTest, DisconnectIsSeenByTheOtherSideOnly) {
  PeerID phone = connect();
  browserSession->disconnect();
  EXPECT_TRUE(
      advertiserEvents->waitForStates({State::connecting, State::connected, State::notConnected}));
  EXPECT_TRUE(advertiserSession->connectedPeers().empty());
  EXPECT_TRUE(browserSession->connectedPeers().empty());
  // That no event comes can only be seen over time: a report of its own disconnect would be
  // posted at once, well within this wait.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(browserEvents->states(), (std::vector<State>{State::connecting, State::connected}));
  // The session can be invited into again.
  browserEvents->events.clear();
  browser->invitePeer(phone, browserSession, Bytes{1}, 0);
  EXPECT_TRUE(browserEvents->waitForStates({State::connecting, State::connected}));
}

TEST_F(LinkTest, CutLinkIsSeenOnBothSides) {
  PeerID phone = connect();
  browserSession->cutLink(phone);
  EXPECT_TRUE(
      advertiserEvents->waitForStates({State::connecting, State::connected, State::notConnected}));
  EXPECT_TRUE(
      browserEvents->waitForStates({State::connecting, State::connected, State::notConnected}));
}

TEST_F(LinkTest, ReleasingASessionIsSeenByTheOtherSide) {
  connect();
  browserSession.reset();
  EXPECT_TRUE(
      advertiserEvents->waitForStates({State::connecting, State::connected, State::notConnected}));
}

TEST_F(LinkTest, SendErrorsCarryTheLinkDomainAndCodes) {
  auto code = [&](const Bytes& data, const std::vector<PeerID>& peers) -> int64_t {
    try {
      browserSession->sendData(data, peers, SendDataMode::reliable);
    } catch (const foundation::ErrorException& error) {
      EXPECT_EQ(error.record().domain, kErrorDomain);
      return error.record().code;
    }
    return -1;
  };
  PeerID stranger("STRANGER");
  EXPECT_EQ(code({1}, {stranger}), 1);
  EXPECT_EQ(code({1}, {}), 2);
  PeerID phone = connect();
  EXPECT_EQ(code({}, {phone}), 2);
  EXPECT_EQ(code(Bytes(kMaxFramePayload + 1, 0), {phone}), 2);
  EXPECT_EQ(code({1}, {phone, stranger}), 1);
  browserSession->failNextSend();
  EXPECT_EQ(code({1}, {phone}), 0);
  EXPECT_EQ(code({2}, {phone}), -1);
  ASSERT_TRUE(advertiserEvents->waitForData(1));
  // Nothing of the refused sends went out: it would have arrived before {2}.
  EXPECT_EQ(advertiserEvents->data(), std::vector<Bytes>{{2}});
}

TEST_F(LinkTest, DroppedFrameIsLostAndTheNextArrives) {
  PeerID phone = connect();
  browserSession->dropNextFrame();
  browserSession->sendData({1}, {phone}, SendDataMode::reliable);
  browserSession->sendData({2}, {phone}, SendDataMode::reliable);
  ASSERT_TRUE(advertiserEvents->waitForData(1));
  EXPECT_EQ(advertiserEvents->data(), std::vector<Bytes>{{2}});  // {1} would have come first
}

TEST_F(LinkTest, ReleasedDelegateReceivesNothing) {
  PeerID phone = connect();
  std::weak_ptr<RecordingSessionDelegate> weak = advertiserEvents;
  advertiserEvents.reset();
  EXPECT_TRUE(weak.expired());  // the session holds its delegate weakly
  browserSession->sendData({1}, {phone}, SendDataMode::reliable);
  browserSession->disconnect();
  // {1} comes before the end of the link: once the advertiser has seen the end, it has handled
  // {1} with no delegate to tell (a use of the released one would not go unnoticed under ASan).
  EXPECT_TRUE(
      brellis::testing::waitUntil([&] { return advertiserSession->connectedPeers().empty(); }));
}

TEST_F(LinkTest, StoppedAdvertiserIsLostAndItsFilesAreGone) {
  advertise(Answer::accept);
  browseAndFind();
  advertiser->stopAdvertisingPeer();
  EXPECT_TRUE(browserDelegate->waitForKind(BrowserEvent::lost));
  EXPECT_TRUE(brellis::testing::waitUntil(
      [] { return std::filesystem::is_empty(discoveryDirectory(kType)); }));
}

TEST_F(LinkTest, InvalidServiceTypeCannotStart) {
  auto badAdvertiser = NearbyServiceAdvertiser::create(PeerID("A"), "Bad_Type", fastOptions());
  auto delegate = std::make_shared<ScriptedAdvertiserDelegate>(nullptr, Answer::decline);
  badAdvertiser->setDelegate(delegate);
  badAdvertiser->startAdvertisingPeer();
  ASSERT_TRUE(delegate->failures.waitFor([](auto& all) { return all.size() == 1; }));
  EXPECT_EQ(delegate->failures.snapshot()[0].code, 2);

  auto badBrowser = NearbyServiceBrowser::create(PeerID("B"), "a--b", fastOptions());
  badBrowser->setDelegate(browserDelegate);
  badBrowser->startBrowsingForPeers();
  ASSERT_TRUE(browserDelegate->waitForKind(BrowserEvent::failed));
  EXPECT_EQ(browserDelegate->events.snapshot()[0].error->domain, kErrorDomain);
}

TEST_F(LinkTest, InvitingAPeerThatWasNotFoundEndsAsNotConnected) {
  browser = NearbyServiceBrowser::create(browserSession->myPeerID(), kType, fastOptions());
  browser->invitePeer(PeerID("NOBODY"), browserSession, Bytes{1}, 0);
  EXPECT_TRUE(browserEvents->waitForStates({State::notConnected}));
}

TEST_F(LinkTest, MismatchedEncryptionIsDeclined) {
  browserSession = Session::create(PeerID("MAC-2"), EncryptionPreference::none);
  browserSession->setDelegate(browserEvents);
  advertise(Answer::accept);
  PeerID phone = browseAndFind();
  browser->invitePeer(phone, browserSession, Bytes{1}, 0);
  EXPECT_TRUE(browserEvents->waitForStates({State::notConnected}));
  EXPECT_TRUE(advertiserEvents->states().empty());
}

// Raw bytes from a misbehaving client: the connection is dropped, the advertiser carries on.
TEST_F(LinkTest, GarbageOnTheAdvertiserSocketIsDropped) {
  advertise(Answer::accept);
  browseAndFind();
  std::filesystem::path socketPath;
  for (const auto& entry : std::filesystem::directory_iterator(discoveryDirectory(kType))) {
    if (entry.path().extension() == ".sock") socketPath = entry.path();
  }
  ASSERT_FALSE(socketPath.empty());
  auto rawSend = [&](const Bytes& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buffer[16];
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);  // 0: closed by the advertiser
    ::close(fd);
    return n;
  };
  EXPECT_EQ(rawSend({0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x01, 0x00, 0x00}), 0);  // oversized length
  EXPECT_EQ(rawSend({0x01, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00}),
            0);  // data before hello
  EXPECT_EQ(rawSend({0x01, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x07}), 0);  // malformed hello
  EXPECT_EQ(rawSend({}), 0);  // silence: hello time-out
  EXPECT_TRUE(answerer->invitations.snapshot().empty());

  PeerID phone = browserDelegate->waitForFound().value();
  browser->invitePeer(phone, browserSession, Bytes{1}, 0);
  EXPECT_TRUE(browserEvents->waitForStates({State::connecting, State::connected}));
}

}  // namespace
}  // namespace brellis::platform::multipeer
