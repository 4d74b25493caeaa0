#pragma once

#include <memory>
#include <mutex>

#include "connectivity/peer_browser.h"
#include "connectivity/peer_session.h"
#include "platform/multipeer/nearby_service_browser.h"
#include "platform/os_log/logger.h"

namespace brellis::connectivity {

// Decides whom the local browser invites: a found peer whose display name is the identifier of a
// stored paired device, with that pairing's invitation context. The platform calls it on the
// browser's queue while its owner sets `session` from its own threads, so `session` is guarded.
class BrowserHandler : public PeerBrowserDelegate,
                       public platform::multipeer::NearbyServiceBrowserDelegate {
 public:
  BrowserHandler();

  std::shared_ptr<PeerSession> session() const override;
  void setSession(std::shared_ptr<PeerSession> session);

  void foundPeer(const std::shared_ptr<platform::multipeer::NearbyServiceBrowser>& browser,
                 const platform::multipeer::PeerID& peer) override;
  void lostPeer(const std::shared_ptr<platform::multipeer::NearbyServiceBrowser>& browser,
                const platform::multipeer::PeerID& peer) override;
  void didNotStartBrowsingForPeers(
      const std::shared_ptr<platform::multipeer::NearbyServiceBrowser>& browser,
      const platform::foundation::ErrorRecord& error) override;

 private:
  const platform::os_log::Logger log_;
  mutable std::mutex mutex_;
  std::shared_ptr<PeerSession> session_;
};

}  // namespace brellis::connectivity
