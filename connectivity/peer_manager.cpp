#include "connectivity/peer_manager.h"

#include "connectivity/peer_defaults.h"
#include "connectivity/platform_peer_advertiser.h"
#include "connectivity/platform_peer_browser.h"
#include "connectivity/platform_peer_session.h"
#include "platform/foundation/main_bundle.h"
#include "platform/os_log/logger.h"

namespace brellis::connectivity {

namespace mp = platform::multipeer;

namespace {

constexpr const char* kLogCategory = "PeerManager";
constexpr const char* kInitiatingPairing = "Initiating pairing";
constexpr const char* kUnpairing = "Unpairing";
constexpr const char* kStartAdvertising = "Start advertising";
constexpr const char* kStopAdvertising = "Stop advertising";
constexpr const char* kStartBrowsing = "Start browsing";
constexpr const char* kStopBrowsing = "Stop browsing";

const platform::os_log::Logger& log() {
  static const platform::os_log::Logger logger(platform::foundation::mainBundleIdentifier(),
                                               kLogCategory);
  return logger;
}

}  // namespace

PeerManager::PeerManager(mp::PeerID peer, mp::LinkOptions linkOptions)
    : peer_(std::move(peer)),
      linkOptions_(linkOptions),
      advertiserHandler_(std::make_shared<AdvertiserHandler>(peer_.displayName())),
      browserHandler_(std::make_shared<BrowserHandler>()) {}

PeerManager::~PeerManager() = default;

std::shared_ptr<PeerSession> PeerManager::makeSession(const mp::PeerID& peer) {
  return PlatformPeerSession::make(peer);
}

bool PeerManager::isPaired() { return !PeerDefaults::pairingIdentities().empty(); }

void PeerManager::pair(const platform::foundation::Bytes& forSalt,
                       std::shared_ptr<PeerSession> session) {
  log().info(kInitiatingPairing);
  advertiserHandler_->setSalt(forSalt);
  startAdvertising(std::move(session));
}

void PeerManager::pair(const std::vector<PairingIdentity>& forPairingIdentities,
                       std::shared_ptr<PeerSession> session) {
  log().info(kInitiatingPairing);
  PeerDefaults::setPairingIdentities(forPairingIdentities);
  startBrowsing(std::move(session));
}

void PeerManager::unpair() {
  log().info(kUnpairing);
  stopAdvertising();
  stopBrowsing();
  advertiserHandler_->setSalt(std::nullopt);
  PeerDefaults::setPairingIdentities(std::nullopt);
}

void PeerManager::startAdvertising(std::shared_ptr<PeerSession> forSession) {
  auto advertiser = std::make_shared<PlatformPeerAdvertiser>(
      mp::NearbyServiceAdvertiser::create(peer_, serviceType, linkOptions_));
  beginAdvertising(std::move(advertiser), std::move(forSession));
}

void PeerManager::startBrowsing(std::shared_ptr<PeerSession> forSession) {
  auto browser = std::make_shared<PlatformPeerBrowser>(
      mp::NearbyServiceBrowser::create(peer_, serviceType, linkOptions_));
  beginBrowsing(std::move(browser), std::move(forSession));
}

void PeerManager::beginAdvertising(std::shared_ptr<PeerAdvertiser> advertiser,
                                   std::shared_ptr<PeerSession> session) {
  log().info(kStartAdvertising);
  std::shared_ptr<PeerAdvertiser> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(advertiser_, advertiser);
  }
  // A replaced advertiser would otherwise keep answering invitations.
  if (previous && previous != advertiser) previous->stopAdvertisingPeer();
  advertiser->setDelegate(advertiserHandler_);
  advertiserHandler_->setSession(std::move(session));
  advertiser->startAdvertisingPeer();
}

void PeerManager::beginBrowsing(std::shared_ptr<PeerBrowser> browser,
                                std::shared_ptr<PeerSession> session) {
  log().info(kStartBrowsing);
  std::shared_ptr<PeerBrowser> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(browser_, browser);
  }
  if (previous && previous != browser) previous->stopBrowsingForPeers();
  browser->setDelegate(browserHandler_);
  browserHandler_->setSession(std::move(session));
  browser->startBrowsingForPeers();
}

void PeerManager::stopAdvertising() {
  log().info(kStopAdvertising);
  std::shared_ptr<PeerAdvertiser> advertiser;
  {
    std::lock_guard lock(mutex_);
    advertiser = std::move(advertiser_);
    advertiser_.reset();
  }
  if (advertiser) advertiser->stopAdvertisingPeer();
  advertiserHandler_->setSession(nullptr);
}

void PeerManager::stopBrowsing() {
  log().info(kStopBrowsing);
  std::shared_ptr<PeerBrowser> browser;
  {
    std::lock_guard lock(mutex_);
    browser = std::move(browser_);
    browser_.reset();
  }
  if (browser) browser->stopBrowsingForPeers();
  browserHandler_->setSession(nullptr);
}

std::shared_ptr<PeerAdvertiser> PeerManager::advertiser() const {
  std::lock_guard lock(mutex_);
  return advertiser_;
}

std::shared_ptr<PeerBrowser> PeerManager::browser() const {
  std::lock_guard lock(mutex_);
  return browser_;
}

}  // namespace brellis::connectivity
