#pragma once

#include <memory>
#include <string>

namespace brellis::connectivity {

// What an advertiser's delegate offers besides the platform's advertiser callbacks.
class PeerAdvertiserDelegate {
 public:
  virtual ~PeerAdvertiserDelegate() = default;
  // The identifier that the advertiser hashes into the invitation context it expects.
  virtual std::string localIdentifier() const = 0;
};

// A nearby-service advertiser as the peer manager sees it.
class PeerAdvertiser {
 public:
  virtual ~PeerAdvertiser() = default;

  // The delegate is held weakly; it must also be the platform advertiser's delegate to receive
  // the platform's callbacks (the advertiser handler is both).
  virtual std::shared_ptr<PeerAdvertiserDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<PeerAdvertiserDelegate> delegate) = 0;
  virtual void startAdvertisingPeer() = 0;
  virtual void stopAdvertisingPeer() = 0;
};

}  // namespace brellis::connectivity
