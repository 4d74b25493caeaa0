#pragma once

#include <memory>
#include <optional>

#include "platform/crypto_token_kit/tk_result.h"
#include "platform/crypto_token_kit/tk_smart_card.h"
#include "platform/crypto_token_kit/tk_token_configuration.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

class TKToken;

// The driver of a token class: the principal class of a token plug-in. The token service keeps
// one per loaded plug-in and calls it from its worker threads, one call at a time per token
// instance. Drivers are owned by shared pointers (tokens refer back to them weakly).
class TKTokenDriver : public std::enable_shared_from_this<TKTokenDriver> {
 public:
  virtual ~TKTokenDriver() = default;

  // tokenDriver:tokenForConfiguration:error: the token of one configured instance.
  // The base class has none: TKErrorDomain -1.
  virtual TKResult<std::shared_ptr<TKToken>> tokenForConfiguration(
      const TKTokenConfiguration& configuration);
};

// A driver whose tokens are smart cards.
class TKSmartCardTokenDriver : public TKTokenDriver {
 public:
  // tokenDriver:createTokenForSmartCard:AID:error: the token of a card inserted into a reader.
  // The base class has none: TKErrorDomain -1.
  virtual TKResult<std::shared_ptr<TKToken>> createTokenForSmartCard(
      std::shared_ptr<TKSmartCard> smartCard, std::optional<foundation::Bytes> AID);
};

}  // namespace brellis::platform::crypto_token_kit
