#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "connectivity_protocol/authentication_usage.h"
#include "group_defaults/group_defaults.h"
#include "persistent_token/authentication_requester.h"
#include "platform/crypto_token_kit/tk_token_session.h"
#include "platform/multipeer/peer_id.h"
#include "platform/os_log/logger.h"

namespace brellis::persistent_token {

// The session of one client with the token: answers which keys support which operation and hands
// every sign, decrypt and key-exchange request to the phone through the connectivity controller.
// Performs no cryptography itself. Called by the token service on its worker threads; an
// operation blocks its thread for as long as the controller waits for the phone.
class TokenSession : public platform::crypto_token_kit::TKSmartCardTokenSession {
 public:
  static constexpr const char* kContainerPeerKey = "ContainerPeer";
  static constexpr const char* kDriverPeerKey = "DriverPeer";

  // Opens the group-defaults suite; absent when the platform refuses it.
  using GroupDefaultsOpener = std::function<std::optional<group_defaults::GroupDefaults>()>;
  // The product's: the suite GroupDefaults::name.
  static std::optional<group_defaults::GroupDefaults> openGroupDefaults();

  // initWithToken: reads the settings and the peers once; the controller is made only when both
  // peers are stored. Without the suite no PIN is required and key exchange is never offered.
  explicit TokenSession(
      std::shared_ptr<platform::crypto_token_kit::TKToken> token,
      const AuthenticationRequesterFactory& makeRequester = connectivityControllerFactory(),
      const GroupDefaultsOpener& openDefaults = openGroupDefaults);

  platform::crypto_token_kit::TKResult<
      std::shared_ptr<platform::crypto_token_kit::TKTokenAuthOperation>>
  beginAuthForOperation(platform::crypto_token_kit::TKTokenOperation operation,
                        const platform::foundation::PlistValue& constraint) override;
  bool supportsOperation(platform::crypto_token_kit::TKTokenOperation operation,
                         const platform::crypto_token_kit::ObjectID& keyObjectID,
                         const platform::crypto_token_kit::TKTokenKeyAlgorithm& algorithm) override;
  platform::crypto_token_kit::TKResult<platform::foundation::Bytes> signData(
      const platform::foundation::Bytes& dataToSign,
      const platform::crypto_token_kit::ObjectID& keyObjectID,
      const platform::crypto_token_kit::TKTokenKeyAlgorithm& algorithm) override;
  platform::crypto_token_kit::TKResult<platform::foundation::Bytes> decryptData(
      const platform::foundation::Bytes& ciphertext,
      const platform::crypto_token_kit::ObjectID& keyObjectID,
      const platform::crypto_token_kit::TKTokenKeyAlgorithm& algorithm) override;
  platform::crypto_token_kit::TKResult<platform::foundation::Bytes> performKeyExchangeWithPublicKey(
      const platform::foundation::Bytes& otherPartyPublicKeyData,
      const platform::crypto_token_kit::ObjectID& objectID,
      const platform::crypto_token_kit::TKTokenKeyAlgorithm& algorithm,
      const platform::crypto_token_kit::TKTokenKeyExchangeParameters& parameters) override;

  bool pinRequired() const { return pinRequired_; }
  bool unlockEnabledForLogin() const { return unlockEnabledForLogin_; }
  bool hasConnectivityController() const { return connectivityController_ != nullptr; }
  // Stores the PIN of a completed PIN authentication for the next operation (any thread).
  void setPin(std::string pin);
  bool hasPin() const;

 private:
  platform::crypto_token_kit::TKResult<platform::foundation::Bytes> performAuthenticatedOperation(
      connectivity_protocol::AuthenticationUsage usage, const platform::foundation::Bytes& data,
      const platform::crypto_token_kit::ObjectID& keyObjectID,
      const std::optional<platform::crypto_token_kit::TKTokenKeyExchangeParameters>& parameters);
  // Takes the PIN and clears it in one step, so a PIN is used by exactly one operation.
  std::optional<std::string> takePin();

  std::shared_ptr<AuthenticationRequester> connectivityController_;
  bool pinRequired_ = false;
  bool unlockEnabledForLogin_ = false;
  mutable std::mutex pinMutex_;
  std::optional<std::string> pin_;
  std::optional<platform::multipeer::PeerID> containerPeer_;
  std::optional<platform::multipeer::PeerID> driverPeer_;
  std::optional<group_defaults::GroupDefaults> groupDefaults_;
  platform::os_log::Logger log_;
};

}  // namespace brellis::persistent_token
