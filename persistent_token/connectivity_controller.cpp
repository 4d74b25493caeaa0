#include "persistent_token/connectivity_controller.h"

namespace brellis::persistent_token {

struct ConnectivityController::State {};

std::shared_ptr<ConnectivityController> ConnectivityController::create(
    platform::multipeer::PeerID containerPeer, platform::multipeer::PeerID driverPeer,
    ConnectivityControllerOptions options) {
  return std::shared_ptr<ConnectivityController>(new ConnectivityController(
      std::move(containerPeer), std::move(driverPeer), std::move(options)));
}

ConnectivityController::ConnectivityController(platform::multipeer::PeerID /*containerPeer*/,
                                               platform::multipeer::PeerID driverPeer,
                                               ConnectivityControllerOptions options)
    : localPeer_(std::move(driverPeer)),
      options_(std::move(options)),
      peerManager_(std::make_unique<connectivity::PeerManager>(localPeer_, options_.linkOptions)),
      state_(std::make_unique<State>()) {}

ConnectivityController::~ConnectivityController() = default;

void ConnectivityController::requestAuthentication(
    connectivity_protocol::AuthenticationUsage, const platform::foundation::Bytes&, int64_t,
    std::optional<std::string>,
    std::optional<platform::crypto_token_kit::TKTokenKeyExchangeParameters>,
    Completion completion) {
  completion(tl::unexpected(connectivity_protocol::ConnectivityError(
      connectivity_protocol::ConnectivityError::Case::timedOut)));
}

void ConnectivityController::waitForBeaconTasks() {}

void ConnectivityController::didChangeState(const std::shared_ptr<platform::multipeer::Session>&,
                                            const platform::multipeer::PeerID&,
                                            platform::multipeer::SessionState) {}
void ConnectivityController::didReceiveData(const std::shared_ptr<platform::multipeer::Session>&,
                                            const platform::foundation::Bytes&,
                                            const platform::multipeer::PeerID&) {}
void ConnectivityController::didReceiveStream(const std::shared_ptr<platform::multipeer::Session>&,
                                              const std::string&,
                                              const platform::multipeer::PeerID&) {}
void ConnectivityController::didStartReceivingResource(
    const std::shared_ptr<platform::multipeer::Session>&, const std::string&,
    const platform::multipeer::PeerID&) {}
void ConnectivityController::didFinishReceivingResource(
    const std::shared_ptr<platform::multipeer::Session>&, const std::string&,
    const platform::multipeer::PeerID&, const std::optional<platform::foundation::ErrorRecord>&) {}
void ConnectivityController::session(const std::shared_ptr<connectivity::PeerSession>&,
                                     const platform::multipeer::PeerID&) {}
void ConnectivityController::session(const std::shared_ptr<connectivity::PeerSession>&,
                                     const platform::foundation::Bytes&) {}

}  // namespace brellis::persistent_token
