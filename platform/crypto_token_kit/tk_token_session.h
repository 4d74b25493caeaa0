#pragma once

#include <memory>

#include "platform/crypto_token_kit/object_id.h"
#include "platform/crypto_token_kit/tk_result.h"
#include "platform/crypto_token_kit/tk_token.h"
#include "platform/crypto_token_kit/tk_token_auth_operation.h"
#include "platform/crypto_token_kit/tk_token_key_algorithm.h"
#include "platform/crypto_token_kit/tk_token_key_exchange_parameters.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"

namespace brellis::platform::crypto_token_kit {

// One client's session with a token. The token service calls these on its worker threads; an
// operation may block its thread (the plug-in's wait for its backend). The base class supports
// nothing and refuses every operation with TKErrorDomain -1.
class TKTokenSession : public std::enable_shared_from_this<TKTokenSession> {
 public:
  // initWithToken:
  explicit TKTokenSession(std::shared_ptr<TKToken> token) : token_(std::move(token)) {}
  virtual ~TKTokenSession() = default;

  const std::shared_ptr<TKToken>& token() const { return token_; }

  // tokenSession:beginAuthForOperation:constraint:error:
  virtual TKResult<std::shared_ptr<TKTokenAuthOperation>> beginAuthForOperation(
      TKTokenOperation operation, const foundation::PlistValue& constraint);
  // tokenSession:supportsOperation:usingKey:algorithm:
  virtual bool supportsOperation(TKTokenOperation operation, const ObjectID& keyObjectID,
                                 const TKTokenKeyAlgorithm& algorithm);
  // tokenSession:signData:usingKey:algorithm:error:
  virtual TKResult<foundation::Bytes> signData(const foundation::Bytes& dataToSign,
                                               const ObjectID& keyObjectID,
                                               const TKTokenKeyAlgorithm& algorithm);
  // tokenSession:decryptData:usingKey:algorithm:error:
  virtual TKResult<foundation::Bytes> decryptData(const foundation::Bytes& ciphertext,
                                                  const ObjectID& keyObjectID,
                                                  const TKTokenKeyAlgorithm& algorithm);
  // tokenSession:performKeyExchangeWithPublicKey:usingKey:algorithm:parameters:error:
  virtual TKResult<foundation::Bytes> performKeyExchangeWithPublicKey(
      const foundation::Bytes& otherPartyPublicKeyData, const ObjectID& objectID,
      const TKTokenKeyAlgorithm& algorithm, const TKTokenKeyExchangeParameters& parameters);

 private:
  std::shared_ptr<TKToken> token_;
};

// A session with a smart-card token.
class TKSmartCardTokenSession : public TKTokenSession {
 public:
  using TKTokenSession::TKTokenSession;
  // The card of the session's token (absent when the token is not a smart-card token).
  std::shared_ptr<TKSmartCard> smartCard() const;
};

}  // namespace brellis::platform::crypto_token_kit
