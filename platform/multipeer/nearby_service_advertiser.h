#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/once_callback.h"
#include "platform/foundation/error_record.h"
#include "platform/multipeer/link_options.h"
#include "platform/multipeer/peer_id.h"
#include "platform/multipeer/session.h"

namespace brellis::platform::multipeer {

class NearbyServiceAdvertiser;

// The answer to one invitation: accept (true with a session) or decline. It runs at most once;
// dropped without an answer, it declines.
using InvitationHandler = dispatch::OnceCallback<void(bool, std::shared_ptr<Session>)>;

// Receives an advertiser's events on the advertiser's own serial queue. Held weakly.
class NearbyServiceAdvertiserDelegate {
 public:
  virtual ~NearbyServiceAdvertiserDelegate() = default;
  virtual void didReceiveInvitationFromPeer(
      const std::shared_ptr<NearbyServiceAdvertiser>& advertiser, const PeerID& peer,
      const std::optional<Bytes>& context, InvitationHandler invitationHandler) = 0;
  virtual void didNotStartAdvertisingPeer(
      const std::shared_ptr<NearbyServiceAdvertiser>& advertiser,
      const foundation::ErrorRecord& error) = 0;
};

// Publishes the local peer in the discovery directory of its service type (a descriptor file and
// a listening Unix socket) and turns every hello that arrives into an invitation for the
// delegate. Stopping (or releasing the advertiser) unpublishes; sessions already joined stay.
// Invitations that arrive with no delegate, or after the advertiser is gone, are declined.
class NearbyServiceAdvertiser : public std::enable_shared_from_this<NearbyServiceAdvertiser> {
 public:
  // Discovery information is not supported by the local link.
  static std::shared_ptr<NearbyServiceAdvertiser> create(PeerID myPeer, std::string serviceType,
                                                         LinkOptions options = {});
  ~NearbyServiceAdvertiser();
  NearbyServiceAdvertiser(const NearbyServiceAdvertiser&) = delete;
  NearbyServiceAdvertiser& operator=(const NearbyServiceAdvertiser&) = delete;

  const PeerID& myPeerID() const { return myPeer_; }
  const std::string& serviceType() const { return serviceType_; }

  std::shared_ptr<NearbyServiceAdvertiserDelegate> delegate() const;
  void setDelegate(std::weak_ptr<NearbyServiceAdvertiserDelegate> delegate);

  // Failures (invalid service type: invalidParameter; no directory or socket: unavailable) are
  // reported through didNotStartAdvertisingPeer.
  void startAdvertisingPeer();
  void stopAdvertisingPeer();

 private:
  struct Core;
  NearbyServiceAdvertiser(PeerID myPeer, std::string serviceType, LinkOptions options);

  const PeerID myPeer_;
  const std::string serviceType_;
  const LinkOptions options_;
  std::shared_ptr<Core> core_;
};

}  // namespace brellis::platform::multipeer
