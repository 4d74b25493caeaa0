#include "token_extension/token_driver.h"

#include "persistent_token/token.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/foundation/main_bundle.h"

namespace brellis::token_extension {

namespace {

constexpr const char* kSystemEntered = "System entered TokenDriver";
constexpr const char* kSmartCardEntry =
    "System entered TokenDriver via physical smart card entry point";

std::string subsystem() {
  std::string identifier = platform::foundation::mainBundleIdentifier();
  return identifier.empty() ? TokenDriver::kFallbackSubsystem : identifier;
}

}  // namespace

TokenDriver::TokenDriver(persistent_token::AuthenticationRequesterFactory makeRequester)
    : logger_(kLogFile, subsystem(), kCategory), makeRequester_(std::move(makeRequester)) {}

platform::crypto_token_kit::TKResult<std::shared_ptr<platform::crypto_token_kit::TKToken>>
TokenDriver::tokenForConfiguration(
    const platform::crypto_token_kit::TKTokenConfiguration& configuration) {
  logger_.info(kSystemEntered);
  auto self = std::static_pointer_cast<TokenDriver>(shared_from_this());
  return std::make_shared<persistent_token::Token>(
      std::make_shared<platform::crypto_token_kit::TKSmartCard>(), std::nullopt,
      configuration.instanceID(), self, makeRequester_);
}

platform::crypto_token_kit::TKResult<std::shared_ptr<platform::crypto_token_kit::TKToken>>
TokenDriver::createTokenForSmartCard(std::shared_ptr<platform::crypto_token_kit::TKSmartCard>,
                                     std::optional<platform::foundation::Bytes>) {
  logger_.error(kSmartCardEntry);
  return tl::unexpected(platform::crypto_token_kit::tkErrorRecord(
      platform::crypto_token_kit::TKErrorCode::notImplemented));
}

}  // namespace brellis::token_extension
