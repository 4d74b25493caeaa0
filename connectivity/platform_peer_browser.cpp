#include "connectivity/platform_peer_browser.h"

#include "connectivity/platform_peer_session.h"

namespace brellis::connectivity {

namespace mp = platform::multipeer;

PlatformPeerBrowser::PlatformPeerBrowser(std::shared_ptr<mp::NearbyServiceBrowser> browser)
    : browser_(std::move(browser)) {}

std::shared_ptr<PeerBrowserDelegate> PlatformPeerBrowser::delegate() const {
  return std::dynamic_pointer_cast<PeerBrowserDelegate>(browser_->delegate());
}

void PlatformPeerBrowser::setDelegate(std::weak_ptr<PeerBrowserDelegate> delegate) {
  browser_->setDelegate(
      std::dynamic_pointer_cast<mp::NearbyServiceBrowserDelegate>(delegate.lock()));
}

void PlatformPeerBrowser::startBrowsingForPeers() { browser_->startBrowsingForPeers(); }

void PlatformPeerBrowser::stopBrowsingForPeers() { browser_->stopBrowsingForPeers(); }

void PlatformPeerBrowser::invitePeer(const mp::PeerID& peer,
                                     const std::shared_ptr<PeerSession>& session,
                                     std::optional<platform::foundation::Bytes> context,
                                     double timeout) {
  if (auto platformSession = platformSessionOf(session)) {
    browser_->invitePeer(peer, platformSession, std::move(context), timeout);
  }
}

}  // namespace brellis::connectivity
