#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "connectivity/advertiser_handler.h"
#include "connectivity/browser_handler.h"
#include "connectivity/pairing_identity.h"
#include "connectivity/peer_advertiser.h"
#include "connectivity/peer_browser.h"
#include "connectivity/peer_session.h"
#include "platform/multipeer/link_options.h"
#include "platform/multipeer/peer_id.h"

namespace brellis::connectivity {

// The link side of one local peer: makes encrypted sessions, browses for the paired device and
// invites it with the pairing's invitation context, and advertises the local peer, accepting only
// invitations that prove a pairing salt. Its operations may be called from several threads (the
// owner's and the link's queues); the advertiser and browser in use are guarded, and a replaced
// one is stopped. None of the operations raises.
class PeerManager {
 public:
  static constexpr const char* serviceType = "velkor-unlock";

  // `linkOptions` sets the timings of the browsers and advertisers made here.
  explicit PeerManager(platform::multipeer::PeerID peer,
                       platform::multipeer::LinkOptions linkOptions = {});
  virtual ~PeerManager();
  PeerManager(const PeerManager&) = delete;
  PeerManager& operator=(const PeerManager&) = delete;

  // A new platform session for `peer`: no security identity, encryption required.
  static std::shared_ptr<PeerSession> makeSession(const platform::multipeer::PeerID& peer);
  // Whether a paired device is stored.
  static bool isPaired();

  // Pairing as advertiser: keeps the salt (it admits one invitation) and advertises.
  virtual void pair(const platform::foundation::Bytes& forSalt,
                    std::shared_ptr<PeerSession> session);
  // Pairing as browser: stores the identities and browses.
  virtual void pair(const std::vector<PairingIdentity>& forPairingIdentities,
                    std::shared_ptr<PeerSession> session);
  // Stops both sides, forgets the salt and removes the stored identities.
  virtual void unpair();
  virtual void startAdvertising(std::shared_ptr<PeerSession> forSession);
  virtual void stopAdvertising();
  virtual void startBrowsing(std::shared_ptr<PeerSession> forSession);
  virtual void stopBrowsing();

  const platform::multipeer::PeerID& peer() const { return peer_; }
  std::shared_ptr<PeerAdvertiser> advertiser() const;
  std::shared_ptr<PeerBrowser> browser() const;
  const std::shared_ptr<AdvertiserHandler>& advertiserHandler() const { return advertiserHandler_; }
  const std::shared_ptr<BrowserHandler>& browserHandler() const { return browserHandler_; }

 protected:
  void beginAdvertising(std::shared_ptr<PeerAdvertiser> advertiser,
                        std::shared_ptr<PeerSession> session);
  void beginBrowsing(std::shared_ptr<PeerBrowser> browser, std::shared_ptr<PeerSession> session);

 private:
  const platform::multipeer::PeerID peer_;
  const platform::multipeer::LinkOptions linkOptions_;
  mutable std::mutex mutex_;
  std::shared_ptr<PeerAdvertiser> advertiser_;
  std::shared_ptr<PeerBrowser> browser_;
  const std::shared_ptr<AdvertiserHandler> advertiserHandler_;
  const std::shared_ptr<BrowserHandler> browserHandler_;
};

}  // namespace brellis::connectivity
