#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "connectivity/peer_advertiser.h"
#include "connectivity/peer_session.h"
#include "platform/multipeer/nearby_service_advertiser.h"
#include "platform/os_log/logger.h"

namespace brellis::connectivity {

// Decides which invitations the local advertiser accepts: one that proves the salt of a pairing
// in progress (once), or one from a stored paired device that proves that device's salt. Every
// invitation is answered exactly once. The platform calls it on the advertiser's queue while its
// owner sets `salt` and `session` from its own threads, so both are guarded.
class AdvertiserHandler : public PeerAdvertiserDelegate,
                          public platform::multipeer::NearbyServiceAdvertiserDelegate {
 public:
  explicit AdvertiserHandler(std::string localIdentifier);

  std::string localIdentifier() const override { return localIdentifier_; }

  std::optional<platform::foundation::Bytes> salt() const;
  void setSalt(std::optional<platform::foundation::Bytes> salt);
  std::shared_ptr<PeerSession> session() const;
  void setSession(std::shared_ptr<PeerSession> session);

  void didReceiveInvitationFromPeer(
      const std::shared_ptr<platform::multipeer::NearbyServiceAdvertiser>& advertiser,
      const platform::multipeer::PeerID& peer,
      const std::optional<platform::foundation::Bytes>& context,
      platform::multipeer::InvitationHandler invitationHandler) override;
  void didNotStartAdvertisingPeer(
      const std::shared_ptr<platform::multipeer::NearbyServiceAdvertiser>& advertiser,
      const platform::foundation::ErrorRecord& error) override;

 private:
  // Whether `context` proves the pairing salt; a proving salt is cleared in the same step, so
  // that it admits exactly one invitation even when two arrive at once.
  bool takeMatchingSalt(const platform::foundation::Bytes& context);

  const std::string localIdentifier_;
  const platform::os_log::Logger log_;
  mutable std::mutex mutex_;
  std::optional<platform::foundation::Bytes> salt_;
  std::shared_ptr<PeerSession> session_;
};

}  // namespace brellis::connectivity
