#pragma once

#include <optional>

#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/foundation/plist_value.h"

namespace brellis::token_host {

// What the token manager needs of the token host: the driver configuration of its class (absent
// when the class has none) and the installation of a certificate's token configuration.
class TokenHostProtocol {
 public:
  virtual ~TokenHostProtocol() = default;
  virtual std::optional<platform::crypto_token_kit::TKTokenDriverConfiguration>
  driverConfiguration() = 0;
  // Raises TokenHostError on failure.
  virtual void addTokenData(const platform::foundation::Bytes& certificate) = 0;
};

}  // namespace brellis::token_host
