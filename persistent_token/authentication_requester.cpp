#include "persistent_token/authentication_requester.h"

namespace brellis::persistent_token {

namespace {

class ControllerRequester : public AuthenticationRequester {
 public:
  explicit ControllerRequester(std::shared_ptr<ConnectivityController> controller)
      : controller_(std::move(controller)) {}

  void requestAuthentication(
      connectivity_protocol::AuthenticationUsage usage, const platform::foundation::Bytes& data,
      int64_t certID, const std::optional<std::string>& pin,
      const std::optional<platform::crypto_token_kit::TKTokenKeyExchangeParameters>& parameters,
      const std::function<void(connectivity_protocol::AuthenticationResult)>& completion) override {
    controller_->requestAuthentication(usage, data, certID, pin, parameters, completion);
  }

 private:
  std::shared_ptr<ConnectivityController> controller_;
};

}  // namespace

AuthenticationRequesterFactory connectivityControllerFactory(
    ConnectivityControllerOptions options,
    std::function<void(const std::shared_ptr<ConnectivityController>&)> made) {
  return [options, made](const platform::multipeer::PeerID& containerPeer,
                         const platform::multipeer::PeerID& driverPeer) {
    auto controller = ConnectivityController::create(containerPeer, driverPeer, options);
    if (made) made(controller);
    return std::make_shared<ControllerRequester>(std::move(controller));
  };
}

}  // namespace brellis::persistent_token
