// The token service's session: runs key operations as the system does (the enquiry, the
// algorithm chain and input, the operation, the PIN protocol) on the service's workers.
#include "platform/crypto_token_kit/token_service_core.h"

namespace brellis::platform::crypto_token_kit::service_internal {

class ServiceSession : public TokenServiceSession {
 public:
  ServiceSession(std::shared_ptr<Core> core, std::string instanceID, std::shared_ptr<TKToken> token,
                 std::shared_ptr<TKTokenSession> session)
      : core_(std::move(core)),
        instanceID_(std::move(instanceID)),
        token_(std::move(token)),
        session_(std::move(session)) {}

  const std::string& instanceID() const override { return instanceID_; }

  // Called by the service's unload, after every worker ended: nothing of the plug-in may be
  // kept beyond it.
  void release() {
    std::lock_guard lock(mutex_);
    session_.reset();
    token_.reset();
  }

  bool supportsOperation(TKTokenOperation operation, const ObjectID& keyObjectID,
                         const TKTokenKeyAlgorithm& algorithm) override {
    auto session = current();
    if (!session) return false;
    try {
      return session->supportsOperation(operation, keyObjectID, algorithm);
    } catch (...) {
      return false;
    }
  }

  bool supports(TokenKeyAlgorithm algorithm, const ObjectID& keyObjectID) override {
    return supportsOperation(operationForAlgorithm(algorithm), keyObjectID,
                             algorithmChain(algorithm));
  }

  TKResult<Bytes> sign(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm, const Bytes& input,
                       const TokenOperationOptions& options) override {
    if (operationForAlgorithm(algorithm) != TKTokenOperation::signData) {
      return failure(TokenServiceErrorCode::invalidInput);
    }
    return run(keyObjectID, algorithm, input, std::nullopt, options);
  }

  TKResult<Bytes> decrypt(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
                          const Bytes& ciphertext, const TokenOperationOptions& options) override {
    if (operationForAlgorithm(algorithm) != TKTokenOperation::decryptData) {
      return failure(TokenServiceErrorCode::invalidInput);
    }
    return run(keyObjectID, algorithm, ciphertext, std::nullopt, options);
  }

  TKResult<Bytes> keyExchange(const ObjectID& keyObjectID, const Bytes& otherPartyPublicKey,
                              const TKTokenKeyExchangeParameters& parameters,
                              const TokenOperationOptions& options) override {
    return run(keyObjectID, TokenKeyAlgorithm::ecdhKeyExchangeStandard, otherPartyPublicKey,
               parameters, options);
  }

 private:
  std::shared_ptr<TKTokenSession> current() const {
    std::lock_guard lock(mutex_);
    return core_->unloaded() ? nullptr : session_;
  }

  // The key's modulus size in bytes, from the token's keychain contents.
  TKResult<size_t> rsaModulusSize(const ObjectID& keyObjectID) const {
    std::shared_ptr<TKToken> token;
    {
      std::lock_guard lock(mutex_);
      token = token_;
    }
    auto contents = token ? token->keychainContents() : nullptr;
    if (!contents) return failure(TKErrorCode::objectNotFound);
    auto key = contents->keyForObjectID(keyObjectID);
    if (!key) return tl::unexpected(key.error());
    if ((*key)->keyType() != KeyType::rsa || (*key)->keySizeInBits() <= 0) {
      return failure(TokenServiceErrorCode::invalidInput);
    }
    return static_cast<size_t>(((*key)->keySizeInBits() + 7) / 8);
  }

  // The input the token receives for `algorithm`, as the system builds it.
  TKResult<Bytes> tokenInput(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm,
                             const Bytes& input) const {
    switch (algorithm) {
      case TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256:
        return input;
      case TokenKeyAlgorithm::ecdsaSignatureDigestX962SHA256:
        if (input.size() != kSHA256DigestSize) return failure(TokenServiceErrorCode::invalidInput);
        return input;
      case TokenKeyAlgorithm::ecdhKeyExchangeStandard:
        if (input.empty() || input[0] != 0x04 || input.size() % 2 == 0) {
          return failure(TokenServiceErrorCode::invalidInput);
        }
        return input;
      default:
        break;
    }
    auto size = rsaModulusSize(keyObjectID);
    if (!size) return tl::unexpected(size.error());
    auto block = rsaTokenInput(algorithm, input, *size);
    if (!block) return failure(TokenServiceErrorCode::invalidInput);
    return *block;
  }

  TKResult<Bytes> run(const ObjectID& keyObjectID, TokenKeyAlgorithm algorithm, const Bytes& input,
                      std::optional<TKTokenKeyExchangeParameters> parameters,
                      const TokenOperationOptions& options) {
    if (core_->unloaded()) return pluginUnavailable("unloaded");
    if (!core_->configuration(instanceID_)) return failure(TKErrorCode::tokenNotFound);
    auto session = current();
    if (!session) return pluginUnavailable("unloaded");
    auto prepared = tokenInput(keyObjectID, algorithm, input);
    if (!prepared) return tl::unexpected(prepared.error());
    std::optional<size_t> unpadTo;
    if (algorithm == TokenKeyAlgorithm::rsaEncryptionPKCS1) unpadTo = prepared->size();

    // The worker's copy of the PIN sources; the PIN itself is wiped when the work ends.
    auto work = [session, keyObjectID, algorithm, data = std::move(*prepared), parameters,
                 pin = options.pin, provider = options.pinProvider, instanceID = instanceID_,
                 unpadTo]() mutable -> TKResult<Bytes> {
      auto result =
          perform(*session, keyObjectID, algorithm, data, parameters, pin, provider, instanceID);
      wipe(pin);
      if (result && unpadTo) {
        auto plain = removePKCS1v15EncryptionPadding(*result, *unpadTo);
        std::fill(result->begin(), result->end(), 0);
        if (!plain) return failure(TKErrorCode::corruptedData);
        return *plain;
      }
      return result;
    };
    return core_->perform(std::move(work), options);
  }

  static TKResult<Bytes> invoke(TKTokenSession& session, const ObjectID& keyObjectID,
                                TokenKeyAlgorithm algorithm, const Bytes& data,
                                const std::optional<TKTokenKeyExchangeParameters>& parameters) {
    auto chain = algorithmChain(algorithm);
    switch (operationForAlgorithm(algorithm)) {
      case TKTokenOperation::decryptData:
        return session.decryptData(data, keyObjectID, chain);
      case TKTokenOperation::performKeyExchange:
        return session.performKeyExchangeWithPublicKey(
            data, keyObjectID, chain, parameters.value_or(TKTokenKeyExchangeParameters{}));
      default:
        return session.signData(data, keyObjectID, chain);
    }
  }

  // On a worker: the enquiry, the operation, and the PIN protocol when the token asks for it.
  static TKResult<Bytes> perform(TKTokenSession& session, const ObjectID& keyObjectID,
                                 TokenKeyAlgorithm algorithm, const Bytes& data,
                                 const std::optional<TKTokenKeyExchangeParameters>& parameters,
                                 std::optional<std::string>& pin, const PINProvider& provider,
                                 const std::string& instanceID) {
    TKTokenOperation operation = operationForAlgorithm(algorithm);
    if (!session.supportsOperation(operation, keyObjectID, algorithmChain(algorithm))) {
      return failure(TokenServiceErrorCode::operationNotSupported);
    }
    auto result = invoke(session, keyObjectID, algorithm, data, parameters);
    if (result || !isTKError(result.error(), TKErrorCode::authenticationNeeded)) return result;

    if (!pin && !provider) return result;
    auto constraint = constraintFor(session, operation, keyObjectID);
    auto begun = session.beginAuthForOperation(operation, constraint);
    if (!begun) return tl::unexpected(begun.error());
    auto authentication = *begun;
    if (!authentication) return result;
    if (auto* pinOperation = authentication->asPINOperation()) {
      if (!pin) pin = provider(PINRequest{instanceID, operation, keyObjectID});
      if (!pin) {
        authentication->cancel();
        return failure(TKErrorCode::canceledByUser);
      }
      pinOperation->setPIN(pin);
      wipe(pin);
    }
    auto finished = authentication->finishWithError();
    if (auto* pinOperation = authentication->asPINOperation()) pinOperation->setPIN(std::nullopt);
    if (!finished) return tl::unexpected(finished.error());
    return invoke(session, keyObjectID, algorithm, data, parameters);
  }

  // The key item's constraint for the operation (an empty string when it has none).
  static foundation::PlistValue constraintFor(TKTokenSession& session, TKTokenOperation operation,
                                              const ObjectID& keyObjectID) {
    auto token = session.token();
    auto contents = token ? token->keychainContents() : nullptr;
    if (contents) {
      if (auto key = contents->keyForObjectID(keyObjectID)) {
        auto found = (*key)->constraints().find(static_cast<int64_t>(operation));
        if (found != (*key)->constraints().end()) return found->second;
      }
    }
    return foundation::PlistValue(std::string());
  }

  std::shared_ptr<Core> core_;
  const std::string instanceID_;
  mutable std::mutex mutex_;
  std::shared_ptr<TKToken> token_;
  std::shared_ptr<TKTokenSession> session_;
};

void Core::releaseSessions() {
  std::vector<std::weak_ptr<ServiceSession>> sessions;
  {
    std::lock_guard lock(mutex_);
    sessions.swap(sessions_);
  }
  for (const auto& weak : sessions) {
    if (auto session = weak.lock()) session->release();
  }
}

std::shared_ptr<TokenServiceSession> openServiceSession(std::shared_ptr<Core> core,
                                                        std::string instanceID,
                                                        std::shared_ptr<TKToken> token,
                                                        std::shared_ptr<TKTokenSession> session) {
  auto opened = std::make_shared<ServiceSession>(core, std::move(instanceID), std::move(token),
                                                 std::move(session));
  core->registerSession(opened);
  if (core->unloaded()) opened->release();
  return opened;
}

}  // namespace brellis::platform::crypto_token_kit::service_internal
