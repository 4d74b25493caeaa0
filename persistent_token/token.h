#pragma once

#include <memory>
#include <optional>
#include <string>

#include "persistent_token/authentication_requester.h"
#include "platform/crypto_token_kit/tk_token.h"
#include "platform/os_log/logger.h"

namespace brellis::persistent_token {

// The token of the one configured instance. Its keychain contents and configuration are given by
// the token service; the token only makes sessions.
class Token : public platform::crypto_token_kit::TKSmartCardToken {
 public:
  // initWithSmartCard:AID:instanceID:tokenDriver: `makeRequester` gives each session its
  // connection to the phone.
  Token(std::shared_ptr<platform::crypto_token_kit::TKSmartCard> smartCard,
        std::optional<platform::foundation::Bytes> AID, std::string instanceID,
        std::shared_ptr<platform::crypto_token_kit::TKSmartCardTokenDriver> tokenDriver,
        AuthenticationRequesterFactory makeRequester = connectivityControllerFactory());

  // token:createSessionWithError: never fails.
  platform::crypto_token_kit::TKResult<std::shared_ptr<platform::crypto_token_kit::TKTokenSession>>
  createSession() override;

 private:
  platform::os_log::Logger log_;
  AuthenticationRequesterFactory makeRequester_;
};

}  // namespace brellis::persistent_token
