#include "connectivity/platform_peer_session.h"

namespace brellis::connectivity {

namespace mp = platform::multipeer;

PlatformPeerSession::PlatformPeerSession(std::shared_ptr<mp::Session> session)
    : session_(std::move(session)) {}

std::shared_ptr<PlatformPeerSession> PlatformPeerSession::make(const mp::PeerID& peer) {
  return std::make_shared<PlatformPeerSession>(
      mp::Session::create(peer, mp::EncryptionPreference::required));
}

std::shared_ptr<PeerSessionDelegate> PlatformPeerSession::sessionDelegate() const {
  return std::dynamic_pointer_cast<PeerSessionDelegate>(session_->delegate());
}

void PlatformPeerSession::setSessionDelegate(std::weak_ptr<PeerSessionDelegate> sessionDelegate) {
  session_->setDelegate(std::dynamic_pointer_cast<mp::SessionDelegate>(sessionDelegate.lock()));
}

std::vector<mp::PeerID> PlatformPeerSession::connectedPeers() const {
  return session_->connectedPeers();
}

void PlatformPeerSession::send(const platform::foundation::Bytes& data,
                               const std::vector<mp::PeerID>& toPeers, mp::SendDataMode with) {
  session_->sendData(data, toPeers, with);
}

void PlatformPeerSession::disconnect() { session_->disconnect(); }

std::shared_ptr<mp::Session> platformSessionOf(const std::shared_ptr<PeerSession>& session) {
  auto platform = std::dynamic_pointer_cast<PlatformPeerSession>(session);
  return platform ? platform->platformSession() : nullptr;
}

}  // namespace brellis::connectivity
