#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/crypto_token_kit/tk_result.h"
#include "platform/crypto_token_kit/tk_smart_card.h"
#include "platform/crypto_token_kit/tk_token_configuration.h"
#include "platform/crypto_token_kit/tk_token_driver.h"
#include "platform/crypto_token_kit/tk_token_keychain_contents.h"

namespace brellis::platform::crypto_token_kit {

class TKTokenSession;

// One token instance. The token service gives it its configuration and fills its keychain
// contents right after the driver made it (and refills them when the configuration changes);
// both are read by sessions on other threads, so they are set under a lock.
class TKToken : public std::enable_shared_from_this<TKToken> {
 public:
  TKToken(std::shared_ptr<TKTokenDriver> tokenDriver, std::string instanceID);
  virtual ~TKToken() = default;

  // token:createSessionWithError: a session for one client. The base class has none:
  // TKErrorDomain -1.
  virtual TKResult<std::shared_ptr<TKTokenSession>> createSession();

  const std::string& instanceID() const { return instanceID_; }
  std::shared_ptr<TKTokenDriver> tokenDriver() const { return tokenDriver_.lock(); }

  // Absent until the service has given it.
  std::optional<TKTokenConfiguration> configuration() const;
  void setConfiguration(std::optional<TKTokenConfiguration> configuration);
  // Absent until the service has filled it.
  std::shared_ptr<TKTokenKeychainContents> keychainContents() const;
  void setKeychainContents(std::shared_ptr<TKTokenKeychainContents> contents);

 private:
  std::weak_ptr<TKTokenDriver> tokenDriver_;
  std::string instanceID_;
  mutable std::mutex mutex_;
  std::optional<TKTokenConfiguration> configuration_;
  std::shared_ptr<TKTokenKeychainContents> keychainContents_;
};

// A token made by a smart-card driver.
class TKSmartCardToken : public TKToken {
 public:
  // initWithSmartCard:AID:instanceID:tokenDriver:
  TKSmartCardToken(std::shared_ptr<TKSmartCard> smartCard, std::optional<foundation::Bytes> AID,
                   std::string instanceID, std::shared_ptr<TKSmartCardTokenDriver> tokenDriver);

  const std::shared_ptr<TKSmartCard>& smartCard() const { return smartCard_; }
  const std::optional<foundation::Bytes>& AID() const { return AID_; }

 private:
  std::shared_ptr<TKSmartCard> smartCard_;
  std::optional<foundation::Bytes> AID_;
};

}  // namespace brellis::platform::crypto_token_kit
