#pragma once

#include <memory>
#include <optional>

#include "logging/file_logger.h"
#include "persistent_token/authentication_requester.h"
#include "platform/crypto_token_kit/tk_token_driver.h"

namespace brellis::token_extension {

// The principal class of the token plug-in `BrellisToken`: makes the token of the configured
// instance. Physical smart cards are not served. The only class of the plug-in that writes the
// shared log file.
class TokenDriver : public platform::crypto_token_kit::TKSmartCardTokenDriver {
 public:
  static constexpr const char* kLogFile = "velkor_brellis";
  static constexpr const char* kFallbackSubsystem = "BrellisToken";
  static constexpr const char* kCategory = "TokenDriver";

  // `makeRequester` is handed to every token (and so to every session) this driver makes.
  explicit TokenDriver(persistent_token::AuthenticationRequesterFactory makeRequester =
                           persistent_token::connectivityControllerFactory());

  // tokenDriver:tokenForConfiguration:error: never fails.
  platform::crypto_token_kit::TKResult<std::shared_ptr<platform::crypto_token_kit::TKToken>>
  tokenForConfiguration(
      const platform::crypto_token_kit::TKTokenConfiguration& configuration) override;
  // tokenDriver:createTokenForSmartCard:AID:error: always TKErrorDomain -1.
  platform::crypto_token_kit::TKResult<std::shared_ptr<platform::crypto_token_kit::TKToken>>
  createTokenForSmartCard(std::shared_ptr<platform::crypto_token_kit::TKSmartCard> smartCard,
                          std::optional<platform::foundation::Bytes> AID) override;

  const logging::FileLogger& logger() const { return logger_; }

 private:
  logging::FileLogger logger_;
  persistent_token::AuthenticationRequesterFactory makeRequester_;
};

}  // namespace brellis::token_extension
