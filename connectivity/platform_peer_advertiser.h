#pragma once

#include <memory>

#include "connectivity/peer_advertiser.h"
#include "platform/multipeer/nearby_service_advertiser.h"

namespace brellis::connectivity {

// The platform's nearby-service advertiser as a PeerAdvertiser; releasing it stops advertising.
class PlatformPeerAdvertiser : public PeerAdvertiser {
 public:
  explicit PlatformPeerAdvertiser(
      std::shared_ptr<platform::multipeer::NearbyServiceAdvertiser> advertiser);

  const std::shared_ptr<platform::multipeer::NearbyServiceAdvertiser>& platformAdvertiser() const {
    return advertiser_;
  }

  std::shared_ptr<PeerAdvertiserDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<PeerAdvertiserDelegate> delegate) override;
  void startAdvertisingPeer() override;
  void stopAdvertisingPeer() override;

 private:
  std::shared_ptr<platform::multipeer::NearbyServiceAdvertiser> advertiser_;
};

}  // namespace brellis::connectivity
