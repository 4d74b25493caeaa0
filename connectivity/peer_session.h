#pragma once

#include <memory>
#include <vector>

#include "platform/foundation/plist_value.h"
#include "platform/multipeer/peer_id.h"
#include "platform/multipeer/session.h"

namespace brellis::connectivity {

class PeerSession;

// Events of a session that is not the platform's own (a platform session reports through its
// platform delegate instead).
class PeerSessionDelegate {
 public:
  virtual ~PeerSessionDelegate() = default;
  virtual void session(const std::shared_ptr<PeerSession>& session,
                       const platform::multipeer::PeerID& didConnect) = 0;
  virtual void session(const std::shared_ptr<PeerSession>& session,
                       const platform::foundation::Bytes& didReceive) = 0;
};

// A peer session as the peer manager and its owner see it.
class PeerSession {
 public:
  virtual ~PeerSession() = default;

  // The delegate is held weakly.
  virtual std::shared_ptr<PeerSessionDelegate> sessionDelegate() const = 0;
  virtual void setSessionDelegate(std::weak_ptr<PeerSessionDelegate> sessionDelegate) = 0;
  virtual std::vector<platform::multipeer::PeerID> connectedPeers() const = 0;
  // Raises the platform's error (platform::foundation::ErrorException) when it cannot send.
  virtual void send(const platform::foundation::Bytes& data,
                    const std::vector<platform::multipeer::PeerID>& toPeers,
                    platform::multipeer::SendDataMode with) = 0;
  virtual void disconnect() = 0;
};

}  // namespace brellis::connectivity
