#pragma once

#include <memory>

#include "connectivity/peer_browser.h"
#include "platform/multipeer/nearby_service_browser.h"

namespace brellis::connectivity {

// The platform's nearby-service browser as a PeerBrowser; releasing it stops browsing.
class PlatformPeerBrowser : public PeerBrowser {
 public:
  explicit PlatformPeerBrowser(std::shared_ptr<platform::multipeer::NearbyServiceBrowser> browser);

  const std::shared_ptr<platform::multipeer::NearbyServiceBrowser>& platformBrowser() const {
    return browser_;
  }

  std::shared_ptr<PeerBrowserDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<PeerBrowserDelegate> delegate) override;
  void startBrowsingForPeers() override;
  void stopBrowsingForPeers() override;
  // Sessions that are not the platform's cannot be invited into; such an invitation is dropped.
  void invitePeer(const platform::multipeer::PeerID& peer,
                  const std::shared_ptr<PeerSession>& session,
                  std::optional<platform::foundation::Bytes> context, double timeout) override;

 private:
  std::shared_ptr<platform::multipeer::NearbyServiceBrowser> browser_;
};

}  // namespace brellis::connectivity
