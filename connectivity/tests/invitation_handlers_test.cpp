#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "connectivity/advertiser_handler.h"
#include "connectivity/browser_handler.h"
#include "connectivity/pairing_digest.h"
#include "connectivity/peer_manager.h"
#include "connectivity/platform_peer_session.h"
#include "connectivity/tests/peer_manager_test_support.h"
#include "platform/foundation/plist_value.h"
#include "platform/os_log/logger.h"

namespace brellis::connectivity {
namespace {

namespace mp = platform::multipeer;
using platform::foundation::Bytes;
using platform::os_log::ScopedLogCapture;
using testing::recordingHandler;
using testing::ScopedIdentities;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string hex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : bytes) {
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

TEST(PairingDigest, IsTheDigestOfIdentifierThenSalt) {
  EXPECT_EQ(hex(pairingDigest("abc", {})),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // No separator: moving bytes between identifier and salt keeps the digest.
  EXPECT_EQ(pairingDigest("ab", text("c")), pairingDigest("abc", {}));
  EXPECT_EQ(pairingDigest("PHONE-1", {0x00, 0xFF}).size(), 32u);
  // "é" is hashed as its UTF-8 bytes.
  EXPECT_EQ(pairingDigest("\xC3\xA9", {}), pairingDigest("", {0xC3, 0xA9}));
}

TEST(PairingDigest, OnlyTheExactBytesMatch) {
  Bytes digest = pairingDigest("PHONE-1", {1, 2, 3});
  EXPECT_TRUE(contextMatches(digest, digest));
  Bytes shorter(digest.begin(), digest.end() - 1);
  Bytes longer = digest;
  longer.push_back(0);
  EXPECT_FALSE(contextMatches(digest, shorter));
  EXPECT_FALSE(contextMatches(digest, longer));
  EXPECT_FALSE(contextMatches(digest, {}));
  for (size_t i = 0; i < digest.size(); ++i) {
    Bytes flipped = digest;
    flipped[i] ^= 0x01;
    EXPECT_FALSE(contextMatches(digest, flipped)) << i;
  }
}

class AdvertiserHandlerTest : public ::testing::Test {
 protected:
  std::optional<testing::Answer> invite(const std::string& inviter,
                                        const std::optional<Bytes>& context) {
    auto [handler, answer] = recordingHandler();
    handler_->didReceiveInvitationFromPeer(nullptr, mp::PeerID(inviter), context, handler);
    return *answer;
  }
  std::vector<std::string> texts() { return capture_.sink().texts("AdvertiserHandler"); }

  ScopedLogCapture capture_;
  std::shared_ptr<AdvertiserHandler> handler_ = std::make_shared<AdvertiserHandler>("MAC-1");
  std::shared_ptr<PlatformPeerSession> session_ = PlatformPeerSession::make(mp::PeerID("MAC-1"));
  Bytes salt_ = {0x5A, 0x17};
};

TEST_F(AdvertiserHandlerTest, WithoutSessionEveryInvitationIsDeclinedWithoutSession) {
  ScopedIdentities identities({PairingIdentity("PHONE-1", "Phone", salt_, {})});
  auto answer = invite("PHONE-1", pairingDigest("MAC-1", salt_));
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(answer->accepted);
  EXPECT_EQ(answer->session, nullptr);
  EXPECT_EQ(texts(), (std::vector<std::string>{"Received invitation from peer: PHONE-1",
                                               "Session is undefined"}));
  EXPECT_EQ(capture_.sink().records().back().level, platform::os_log::LogLevel::error);
}

TEST_F(AdvertiserHandlerTest, MissingContextIsDeclinedWithTheSession) {
  handler_->setSession(session_);
  auto answer = invite("PHONE-1", std::nullopt);
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(answer->accepted);
  EXPECT_EQ(answer->session, session_->platformSession());
  EXPECT_EQ(texts().back(), "Invitation context is undefined");
}

TEST_F(AdvertiserHandlerTest, PairingSaltAdmitsExactlyOneInvitation) {
  ScopedIdentities identities({});
  handler_->setSession(session_);
  handler_->setSalt(salt_);
  auto first = invite("PHONE-NEW", pairingDigest("MAC-1", salt_));
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first->accepted);
  EXPECT_EQ(first->session, session_->platformSession());
  EXPECT_FALSE(handler_->salt().has_value());
  EXPECT_EQ(texts(), (std::vector<std::string>{"Received invitation from peer: PHONE-NEW",
                                               "Accepting invitation"}));
  auto second = invite("PHONE-NEW", pairingDigest("MAC-1", salt_));
  EXPECT_FALSE(second->accepted);
  EXPECT_EQ(texts().back(), "Denying invitation: stored pairing identities: []");
}

TEST_F(AdvertiserHandlerTest, SaltIsTakenByOneOfManyConcurrentInvitations) {
  ScopedIdentities identities({});
  handler_->setSession(session_);
  handler_->setSalt(salt_);
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (invite("PHONE-NEW", pairingDigest("MAC-1", salt_))->accepted) ++accepted;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(accepted.load(), 1);
}

TEST_F(AdvertiserHandlerTest, WrongSaltOrWrongLengthWithoutStoredIdentityIsDenied) {
  ScopedIdentities identities(
      {PairingIdentity("OTHER", "x", {1}, {}), PairingIdentity("THIRD", "y", {2}, {})});
  handler_->setSession(session_);
  handler_->setSalt(salt_);
  Bytes digest = pairingDigest("MAC-1", salt_);
  Bytes truncated(digest.begin(), digest.end() - 1);
  Bytes extended = digest;
  extended.push_back(0);
  for (const Bytes& context : {truncated, extended, pairingDigest("MAC-1", {0x5A})}) {
    auto answer = invite("PHONE-1", context);
    EXPECT_FALSE(answer->accepted);
    EXPECT_EQ(texts().back(),
              "Denying invitation: stored pairing identities: [\"OTHER\", \"THIRD\"]");
  }
  EXPECT_TRUE(handler_->salt().has_value());
}

TEST_F(AdvertiserHandlerTest, StoredIdentifiersAreEscapedInTheDenialLine) {
  ScopedIdentities identities({PairingIdentity("A\", \"FORGED", "x", {1}, {}),
                               PairingIdentity("line\nbreak\t'\\\x01\x7F\x1B", "y", {2}, {}),
                               PairingIdentity("caf\xC3\xA9", "z", {3}, {})});
  handler_->setSession(session_);
  EXPECT_FALSE(invite("PHONE-1", pairingDigest("MAC-1", salt_))->accepted);
  EXPECT_EQ(texts().back(),
            "Denying invitation: stored pairing identities: [\"A\\\", \\\"FORGED\", "
            "\"line\\nbreak\\t\\'\\\\\\u{01}\\u{7F}\\u{1B}\", \"caf\xC3\xA9\"]");
}

TEST_F(AdvertiserHandlerTest, StoredIdentityIsCheckedAgainstItsOwnSalt) {
  ScopedIdentities identities({PairingIdentity("PHONE-1", "first", {7}, {}),
                               PairingIdentity("PHONE-1", "second", {8}, {})});
  handler_->setSession(session_);
  // The first identity in list order counts; the duplicate's salt is never tried.
  auto good = invite("PHONE-1", pairingDigest("MAC-1", {7}));
  EXPECT_TRUE(good->accepted);
  EXPECT_EQ(texts(),
            (std::vector<std::string>{
                "Received invitation from peer: PHONE-1", "Verifying inviting peer is paired",
                "Pairing identity exists for inviting peer", "Accepting invitation"}));
  auto duplicate = invite("PHONE-1", pairingDigest("MAC-1", {8}));
  EXPECT_FALSE(duplicate->accepted);
  EXPECT_EQ(texts().back(), "Denying invitation");
  Bytes digest = pairingDigest("MAC-1", {7});
  auto shortContext = invite("PHONE-1", Bytes(digest.begin(), digest.begin() + 31));
  EXPECT_FALSE(shortContext->accepted);
  EXPECT_EQ(texts().back(), "Denying invitation");
}

// A session that is not the platform's: invitations are answered without a session.
class ForeignSession : public PeerSession {
 public:
  std::shared_ptr<PeerSessionDelegate> sessionDelegate() const override { return nullptr; }
  void setSessionDelegate(std::weak_ptr<PeerSessionDelegate>) override {}
  std::vector<mp::PeerID> connectedPeers() const override { return {}; }
  void send(const Bytes&, const std::vector<mp::PeerID>&, mp::SendDataMode) override {}
  void disconnect() override {}
};

TEST_F(AdvertiserHandlerTest, ForeignSessionIsNeverHandedToThePlatform) {
  handler_->setSession(std::make_shared<ForeignSession>());
  handler_->setSalt(salt_);
  auto answer = invite("PHONE-1", pairingDigest("MAC-1", salt_));
  EXPECT_TRUE(answer->accepted);
  EXPECT_EQ(answer->session, nullptr);
}

TEST_F(AdvertiserHandlerTest, StartFailureIsLogged) {
  handler_->didNotStartAdvertisingPeer(nullptr, mp::makeError(mp::ErrorCode::invalidParameter));
  EXPECT_EQ(texts().back(),
            "Failed to start advertising with error: The operation couldn\u2019t be completed. "
            "(MCErrorDomain error 2.)");
}

TEST(BrowserHandlerTest, FoundPeerIsInvitedOnlyWhenPairedAndWithASession) {
  ScopedLogCapture capture;
  auto handler = std::make_shared<BrowserHandler>();
  // No browser is needed for the paths that do not invite.
  handler->foundPeer(nullptr, mp::PeerID("PHONE-1"));
  EXPECT_EQ(capture.sink().texts("BrowserHandler"),
            (std::vector<std::string>{"Found peer: PHONE-1", "Session is undefined"}));
  capture.sink().clear();

  ScopedIdentities identities({PairingIdentity("PHONE-2", "x", {1}, {})});
  handler->setSession(PlatformPeerSession::make(mp::PeerID("MAC-1")));
  handler->foundPeer(nullptr, mp::PeerID("PHONE-1"));
  EXPECT_EQ(capture.sink().texts("BrowserHandler"),
            (std::vector<std::string>{"Found peer: PHONE-1",
                                      "Pairing identity does not exist for found peer"}));
  capture.sink().clear();

  handler->lostPeer(nullptr, mp::PeerID("PHONE-1"));
  handler->didNotStartBrowsingForPeers(nullptr, mp::makeError(mp::ErrorCode::unavailable));
  EXPECT_EQ(capture.sink().texts("BrowserHandler"),
            (std::vector<std::string>{
                "Lost peer: PHONE-1",
                "Failed to start browsing with error: The operation couldn\u2019t be "
                "completed. (MCErrorDomain error 6.)"}));
}

TEST(BrowserHandlerTest, ForeignSessionIsLoggedAndNotInvited) {
  ScopedLogCapture capture;
  ScopedIdentities identities({PairingIdentity("PHONE-1", "x", {1}, {})});
  auto handler = std::make_shared<BrowserHandler>();
  handler->setSession(std::make_shared<ForeignSession>());
  handler->foundPeer(nullptr, mp::PeerID("PHONE-1"));  // would crash if it invited
  EXPECT_EQ(
      capture.sink().texts("BrowserHandler"),
      (std::vector<std::string>{"Found peer: PHONE-1", "Pairing identity exists for found peer",
                                "Session cannot be invited into; invitation not sent"}));
  EXPECT_EQ(capture.sink().records().back().level, platform::os_log::LogLevel::error);
}

TEST(BrowserHandlerTest, APeerNamedWithLineBreaksIsLoggedOnOneLineAndStillMatched) {
  ScopedLogCapture capture;
  const std::string name = "PHONE\nFound peer: FORGED\xE2\x80\xA8\xE2\x80\xAEx";
  ScopedIdentities identities({PairingIdentity(name, "x", {1}, {})});
  auto handler = std::make_shared<BrowserHandler>();
  handler->setSession(std::make_shared<ForeignSession>());
  handler->foundPeer(nullptr, mp::PeerID(name));
  handler->lostPeer(nullptr, mp::PeerID(name));
  const std::string shown = "PHONE\\nFound peer: FORGED\\u{2028}\\u{202E}x";
  EXPECT_EQ(capture.sink().texts("BrowserHandler"),
            (std::vector<std::string>{
                "Found peer: " + shown, "Pairing identity exists for found peer",
                "Session cannot be invited into; invitation not sent", "Lost peer: " + shown}));
}

TEST_F(AdvertiserHandlerTest, AnInvitingPeerNamedWithALineBreakIsLoggedOnOneLine) {
  invite("PHONE\r\nAccepting invitation", pairingDigest("MAC-1", salt_));
  EXPECT_EQ(texts().front(), "Received invitation from peer: PHONE\\r\\nAccepting invitation");
}

}  // namespace
}  // namespace brellis::connectivity
