#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "connectivity_protocol/authentication_response.h"
#include "connectivity_protocol/authentication_usage.h"
#include "persistent_token/connectivity_controller.h"
#include "platform/crypto_token_kit/tk_token_key_exchange_parameters.h"
#include "platform/foundation/plist_value.h"
#include "platform/multipeer/peer_id.h"

namespace brellis::persistent_token {

// What a token session needs of the connectivity controller: one synchronous request to the
// phone. `completion` runs at most once, on the calling thread, before the call returns.
class AuthenticationRequester {
 public:
  virtual ~AuthenticationRequester() = default;
  virtual void requestAuthentication(
      connectivity_protocol::AuthenticationUsage usage, const platform::foundation::Bytes& data,
      int64_t certID, const std::optional<std::string>& pin,
      const std::optional<platform::crypto_token_kit::TKTokenKeyExchangeParameters>& parameters,
      const std::function<void(connectivity_protocol::AuthenticationResult)>& completion) = 0;
};

// Makes the requester of a session from (container peer, driver peer). The product's makes a
// ConnectivityController; tests of the session give their own.
using AuthenticationRequesterFactory = std::function<std::shared_ptr<AuthenticationRequester>(
    const platform::multipeer::PeerID& containerPeer,
    const platform::multipeer::PeerID& driverPeer)>;

// Requesters that are ConnectivityControllers made with `options`; `made` (when given) sees each
// controller as it is made (the plug-in tracks them to wait for their beacon tasks).
AuthenticationRequesterFactory connectivityControllerFactory(
    ConnectivityControllerOptions options = {},
    std::function<void(const std::shared_ptr<ConnectivityController>&)> made = {});

}  // namespace brellis::persistent_token
