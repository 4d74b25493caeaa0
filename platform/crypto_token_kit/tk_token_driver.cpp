#include "platform/crypto_token_kit/tk_token_driver.h"

#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token.h"

namespace brellis::platform::crypto_token_kit {

TKResult<std::shared_ptr<TKToken>> TKTokenDriver::tokenForConfiguration(
    const TKTokenConfiguration&) {
  return tl::unexpected(tkErrorRecord(TKErrorCode::notImplemented));
}

TKResult<std::shared_ptr<TKToken>> TKSmartCardTokenDriver::createTokenForSmartCard(
    std::shared_ptr<TKSmartCard>, std::optional<foundation::Bytes>) {
  return tl::unexpected(tkErrorRecord(TKErrorCode::notImplemented));
}

}  // namespace brellis::platform::crypto_token_kit
