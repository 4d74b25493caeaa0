#include "platform/crypto_token_kit/tk_token.h"

#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_session.h"

namespace brellis::platform::crypto_token_kit {

TKToken::TKToken(std::shared_ptr<TKTokenDriver> tokenDriver, std::string instanceID)
    : tokenDriver_(tokenDriver), instanceID_(std::move(instanceID)) {}

TKResult<std::shared_ptr<TKTokenSession>> TKToken::createSession() {
  return tl::unexpected(tkErrorRecord(TKErrorCode::notImplemented));
}

std::optional<TKTokenConfiguration> TKToken::configuration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

void TKToken::setConfiguration(std::optional<TKTokenConfiguration> configuration) {
  std::lock_guard lock(mutex_);
  configuration_ = std::move(configuration);
}

std::shared_ptr<TKTokenKeychainContents> TKToken::keychainContents() const {
  std::lock_guard lock(mutex_);
  return keychainContents_;
}

void TKToken::setKeychainContents(std::shared_ptr<TKTokenKeychainContents> contents) {
  std::lock_guard lock(mutex_);
  keychainContents_ = std::move(contents);
}

TKSmartCardToken::TKSmartCardToken(std::shared_ptr<TKSmartCard> smartCard,
                                   std::optional<foundation::Bytes> AID, std::string instanceID,
                                   std::shared_ptr<TKSmartCardTokenDriver> tokenDriver)
    : TKToken(std::move(tokenDriver), std::move(instanceID)),
      smartCard_(std::move(smartCard)),
      AID_(std::move(AID)) {}

}  // namespace brellis::platform::crypto_token_kit
