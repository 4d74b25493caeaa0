#pragma once

#include <memory>

#include "connectivity/peer_session.h"
#include "platform/multipeer/session.h"

namespace brellis::connectivity {

// The platform's session as a PeerSession. Its `sessionDelegate` is the platform session's own
// delegate: an object given to setSessionDelegate reaches the platform only if it is also a
// platform session delegate (otherwise the platform session gets none), and the delegate read
// back is the platform delegate if it is a PeerSessionDelegate.
class PlatformPeerSession : public PeerSession {
 public:
  explicit PlatformPeerSession(std::shared_ptr<platform::multipeer::Session> session);

  // A session for `peer`, without a security identity, with encryption required.
  static std::shared_ptr<PlatformPeerSession> make(const platform::multipeer::PeerID& peer);

  const std::shared_ptr<platform::multipeer::Session>& platformSession() const { return session_; }

  std::shared_ptr<PeerSessionDelegate> sessionDelegate() const override;
  void setSessionDelegate(std::weak_ptr<PeerSessionDelegate> sessionDelegate) override;
  std::vector<platform::multipeer::PeerID> connectedPeers() const override;
  void send(const platform::foundation::Bytes& data,
            const std::vector<platform::multipeer::PeerID>& toPeers,
            platform::multipeer::SendDataMode with) override;
  void disconnect() override;

 private:
  std::shared_ptr<platform::multipeer::Session> session_;
};

// The platform session behind `session`, if it is one.
std::shared_ptr<platform::multipeer::Session> platformSessionOf(
    const std::shared_ptr<PeerSession>& session);

}  // namespace brellis::connectivity
