#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/error_record.h"
#include "platform/multipeer/link_options.h"
#include "platform/multipeer/peer_id.h"
#include "platform/multipeer/session.h"

namespace brellis::platform::multipeer {

class NearbyServiceBrowser;

// Receives a browser's events on the browser's own serial queue. Held weakly by the browser.
class NearbyServiceBrowserDelegate {
 public:
  virtual ~NearbyServiceBrowserDelegate() = default;
  // Advertisers publish no discovery information on the local link, so none is passed.
  virtual void foundPeer(const std::shared_ptr<NearbyServiceBrowser>& browser,
                         const PeerID& peer) = 0;
  virtual void lostPeer(const std::shared_ptr<NearbyServiceBrowser>& browser,
                        const PeerID& peer) = 0;
  virtual void didNotStartBrowsingForPeers(const std::shared_ptr<NearbyServiceBrowser>& browser,
                                           const foundation::ErrorRecord& error) = 0;
};

// Looks for advertisers of one service type in the discovery directory, which it reads every
// `pollInterval`. A peer is found when its descriptor appears (and its process runs) and lost when
// the descriptor goes or the process ends. Thread-safe; made only as a shared object.
class NearbyServiceBrowser : public std::enable_shared_from_this<NearbyServiceBrowser> {
 public:
  static std::shared_ptr<NearbyServiceBrowser> create(PeerID myPeer, std::string serviceType,
                                                      LinkOptions options = {});
  ~NearbyServiceBrowser();
  NearbyServiceBrowser(const NearbyServiceBrowser&) = delete;
  NearbyServiceBrowser& operator=(const NearbyServiceBrowser&) = delete;

  const PeerID& myPeerID() const { return myPeer_; }
  const std::string& serviceType() const { return serviceType_; }

  std::shared_ptr<NearbyServiceBrowserDelegate> delegate() const;
  void setDelegate(std::weak_ptr<NearbyServiceBrowserDelegate> delegate);

  // An invalid service type is reported through didNotStartBrowsingForPeers (invalidParameter).
  void startBrowsingForPeers();
  // Peers found so far are forgotten without being reported lost.
  void stopBrowsingForPeers();

  // Invites a found peer into `session`. `timeoutSeconds` of 0 (or below, or not a number) means
  // the default; the answer, a decline, or the end of the wait reach the session as its state
  // for `peer` (2 after 1, or 0). A peer this browser has not found is reported as state 0.
  void invitePeer(const PeerID& peer, const std::shared_ptr<Session>& session,
                  std::optional<Bytes> context, double timeoutSeconds);

 private:
  struct Core;
  NearbyServiceBrowser(PeerID myPeer, std::string serviceType, LinkOptions options);

  const PeerID myPeer_;
  const std::string serviceType_;
  const LinkOptions options_;
  std::shared_ptr<Core> core_;
};

}  // namespace brellis::platform::multipeer
