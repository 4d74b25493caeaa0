#include "connectivity/browser_handler.h"

#include <algorithm>

#include "connectivity/handler_messages.h"
#include "connectivity/pairing_digest.h"
#include "connectivity/pairing_identity_store.h"
#include "connectivity/platform_peer_session.h"
#include "platform/foundation/main_bundle.h"
#include "platform/os_log/log_text.h"

namespace brellis::connectivity {

namespace mp = platform::multipeer;

namespace {
constexpr const char* kLogCategory = "BrowserHandler";
constexpr const char* kFoundPeer = "Found peer: %{public}@";
constexpr const char* kIdentityMissing = "Pairing identity does not exist for found peer";
constexpr const char* kIdentityExists = "Pairing identity exists for found peer";
constexpr const char* kSendingInvitation = "Sending invitation";
constexpr const char* kNotPlatformSession = "Session cannot be invited into; invitation not sent";
constexpr const char* kLostPeer = "Lost peer: %{public}@";
constexpr const char* kFailedToStart = "Failed to start browsing with error: %{public}@";
// The platform's own default wait for an answer.
constexpr double kDefaultInvitationTimeout = 0;
}  // namespace

BrowserHandler::BrowserHandler()
    : log_(platform::foundation::mainBundleIdentifier(), kLogCategory) {}

std::shared_ptr<PeerSession> BrowserHandler::session() const {
  std::lock_guard lock(mutex_);
  return session_;
}

void BrowserHandler::setSession(std::shared_ptr<PeerSession> session) {
  std::lock_guard lock(mutex_);
  session_ = std::move(session);
}

void BrowserHandler::foundPeer(const std::shared_ptr<mp::NearbyServiceBrowser>& browser,
                               const mp::PeerID& peer) {
  // The name is the peer's own choice: escaped, it cannot make a line of its own.
  log_.info(kFoundPeer, platform::os_log::escapingControls(peer.displayName()));
  auto session = this->session();
  if (!session) {
    log_.error(kSessionUndefinedMessage);
    return;
  }
  auto identities = PairingIdentityStore::shared()->pairingIdentities();
  auto match = std::find_if(identities.begin(), identities.end(), [&](const PairingIdentity& id) {
    return id.identifier() == peer.displayName();
  });
  if (match == identities.end()) {
    log_.info(kIdentityMissing);
    return;
  }
  log_.info(kIdentityExists);
  auto context = pairingDigest(match->identifier(), match->salt());
  // Only the platform's own session can be invited into; the log says so instead of announcing
  // an invitation that is never sent.
  auto platformSession = platformSessionOf(session);
  if (!platformSession) {
    log_.error(kNotPlatformSession);
    return;
  }
  log_.info(kSendingInvitation);
  browser->invitePeer(peer, platformSession, std::move(context), kDefaultInvitationTimeout);
}

void BrowserHandler::lostPeer(const std::shared_ptr<mp::NearbyServiceBrowser>&,
                              const mp::PeerID& peer) {
  log_.info(kLostPeer, platform::os_log::escapingControls(peer.displayName()));
}

void BrowserHandler::didNotStartBrowsingForPeers(const std::shared_ptr<mp::NearbyServiceBrowser>&,
                                                 const platform::foundation::ErrorRecord& error) {
  log_.error(kFailedToStart, error.localizedDescription());
}

}  // namespace brellis::connectivity
