#pragma once

#include <memory>
#include <optional>

#include "connectivity/peer_session.h"
#include "platform/foundation/plist_value.h"
#include "platform/multipeer/peer_id.h"

namespace brellis::connectivity {

// What a browser's delegate offers besides the platform's browser callbacks.
class PeerBrowserDelegate {
 public:
  virtual ~PeerBrowserDelegate() = default;
  // The session that found peers are invited into, if any.
  virtual std::shared_ptr<PeerSession> session() const = 0;
};

// A nearby-service browser as the peer manager sees it.
class PeerBrowser {
 public:
  virtual ~PeerBrowser() = default;

  // The delegate is held weakly; it must also be the platform browser's delegate to receive the
  // platform's callbacks (the browser handler is both).
  virtual std::shared_ptr<PeerBrowserDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<PeerBrowserDelegate> delegate) = 0;
  virtual void startBrowsingForPeers() = 0;
  virtual void stopBrowsingForPeers() = 0;
  // Invites a found peer into a session; a time-out of 0 means the platform's default.
  virtual void invitePeer(const platform::multipeer::PeerID& peer,
                          const std::shared_ptr<PeerSession>& session,
                          std::optional<platform::foundation::Bytes> context, double timeout) = 0;
};

}  // namespace brellis::connectivity
