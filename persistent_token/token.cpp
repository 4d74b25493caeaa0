#include "persistent_token/token.h"

#include "persistent_token/token_session.h"
#include "platform/foundation/main_bundle.h"

namespace brellis::persistent_token {

namespace {
constexpr const char* kCategory = "Token";
constexpr const char* kInitializingTokenSession = "Initializing TokenSession";
}  // namespace

Token::Token(std::shared_ptr<platform::crypto_token_kit::TKSmartCard> smartCard,
             std::optional<platform::foundation::Bytes> AID, std::string instanceID,
             std::shared_ptr<platform::crypto_token_kit::TKSmartCardTokenDriver> tokenDriver,
             AuthenticationRequesterFactory makeRequester)
    : TKSmartCardToken(std::move(smartCard), std::move(AID), std::move(instanceID),
                       std::move(tokenDriver)),
      log_(platform::foundation::mainBundleIdentifier(), kCategory),
      makeRequester_(std::move(makeRequester)) {}

platform::crypto_token_kit::TKResult<std::shared_ptr<platform::crypto_token_kit::TKTokenSession>>
Token::createSession() {
  log_.info(kInitializingTokenSession);
  return std::make_shared<TokenSession>(shared_from_this(), makeRequester_);
}

}  // namespace brellis::persistent_token
