#include "connectivity/platform_peer_advertiser.h"

namespace brellis::connectivity {

namespace mp = platform::multipeer;

PlatformPeerAdvertiser::PlatformPeerAdvertiser(
    std::shared_ptr<mp::NearbyServiceAdvertiser> advertiser)
    : advertiser_(std::move(advertiser)) {}

std::shared_ptr<PeerAdvertiserDelegate> PlatformPeerAdvertiser::delegate() const {
  return std::dynamic_pointer_cast<PeerAdvertiserDelegate>(advertiser_->delegate());
}

void PlatformPeerAdvertiser::setDelegate(std::weak_ptr<PeerAdvertiserDelegate> delegate) {
  advertiser_->setDelegate(
      std::dynamic_pointer_cast<mp::NearbyServiceAdvertiserDelegate>(delegate.lock()));
}

void PlatformPeerAdvertiser::startAdvertisingPeer() { advertiser_->startAdvertisingPeer(); }

void PlatformPeerAdvertiser::stopAdvertisingPeer() { advertiser_->stopAdvertisingPeer(); }

}  // namespace brellis::connectivity
