#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto_token_kit/object_id.h"
#include "platform/crypto_token_kit/tk_result.h"
#include "platform/crypto_token_kit/tk_token_key_exchange_parameters.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"
#include "platform/crypto_token_kit/token_service.h"
#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// One configured token instance, named as the driver-configuration store names it.
struct TokenIdentity {
  std::string classID;
  std::string instanceID;

  auto operator<=>(const TokenIdentity&) const = default;
};

struct TokenSnapshot {
  TokenIdentity identity;
  TKTokenKeychainItems items;
  // The token's sessions ask for a PIN before every key operation.
  bool pinRequired = false;
};

// Where the PIN protocol takes its PIN from: called on one of the token service's threads, at
// most once per operation and only when the token asks for a PIN (possibly after the caller has
// stopped waiting, so it owns what it uses). Absent means that no PIN was given: the protocol
// then ends without reaching the phone.
using PinSource = std::function<std::optional<std::string>()>;

// What the module needs of the token service: the configured tokens with their keychain items,
// the token's own answer to "does this key support this algorithm", and the key operations
// (with the algorithm chain and input the service builds, as the operating system does). The
// module does no token work itself. Every method may be called from any thread, concurrently;
// `perform` blocks its caller until the token answers (the phone may take its full time-out),
// the service's limit passes, or `shutdown` is called.
class TokenBackend {
 public:
  virtual ~TokenBackend() = default;

  // The token instances configured now (re-read at every call: configurations come and go
  // while the module is loaded).
  virtual std::vector<TokenSnapshot> tokens() = 0;
  virtual bool supports(const TokenIdentity& token, const ObjectID& keyObjectID,
                        TokenKeyAlgorithm algorithm) = 0;
  // The result bytes, or the error record of the token (TKErrorDomain) or of the service
  // (kTokenServiceErrorDomain). `pinSource` is absent when the module has no PIN to give.
  virtual TKResult<foundation::Bytes> perform(
      const TokenIdentity& token, const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
      const foundation::Bytes& input, const std::optional<TKTokenKeyExchangeParameters>& parameters,
      PinSource pinSource) = 0;
  // Answers every operation in flight at once (TKErrorDomain -4) and refuses new ones; called
  // once, when the module is finalised, before the backend is released.
  virtual void shutdown() = 0;
};

// Makes the backend of a newly initialised module. The default serves the installed token
// service; tests and the fuzz target install their own before C_Initialize.
using TokenBackendFactory = std::function<std::shared_ptr<TokenBackend>()>;
void setTokenBackendFactory(TokenBackendFactory factory);
std::shared_ptr<TokenBackend> makeTokenBackend();

}  // namespace brellis::platform::crypto_token_kit::pkcs11
