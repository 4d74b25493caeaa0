// Module: signing and decryption, single- and multi-part, and the PIN an operation takes.
#include <cstring>

#include "platform/crypto_token_kit/pkcs11/error_table.h"
#include "platform/crypto_token_kit/pkcs11/key_encoding.h"
#include "platform/crypto_token_kit/pkcs11/module.h"
#include "platform/crypto_token_kit/pkcs11/module_internal.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

// PKCS#1 v1.5 padding takes at least 11 bytes of a block.
constexpr size_t kPKCS1PaddingBytes = 11;

size_t modulusBytes(const KeyDescription& key) { return ecFieldBytes(key.keySizeInBits); }

}  // namespace

CK_RV Module::operationInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                            CK_OBJECT_HANDLE keyHandle, TKTokenOperation operation) {
  if (!mechanism) return CKR_ARGUMENTS_BAD;
  {
    Lock lock(mutex_);
    Session* session = sessionLocked(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    if (activeOf(*session, operation)) return CKR_OPERATION_ACTIVE;
  }
  auto use = mechanismUse(mechanism->mechanism, operation);
  if (!use) return CKR_MECHANISM_INVALID;
  if (mechanism->pParameter || mechanism->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
  CK_RV missing = CKR_OK;
  auto object = objectFor(handle, keyHandle, &missing);
  if (!object) return missing == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : missing;
  if (!object->key) {
    return object->objectClass == CKO_PUBLIC_KEY ? CKR_KEY_FUNCTION_NOT_PERMITTED
                                                 : CKR_KEY_TYPE_INCONSISTENT;
  }
  if (object->key->keyType != use->keyType) return CKR_KEY_TYPE_INCONSISTENT;
  TokenIdentity token;
  {
    Lock lock(mutex_);
    Session* session = sessionLocked(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    token = slotLocked(session->slot)->identity;
  }
  if (!backend_->supports(token, object->key->keyObjectID, use->algorithm)) {
    return capability(token, *object->key, operation) ? CKR_MECHANISM_INVALID
                                                      : CKR_KEY_FUNCTION_NOT_PERMITTED;
  }
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  auto& active = activeOf(*session, operation);
  if (active) return CKR_OPERATION_ACTIVE;
  active = Operation{*use, *object->key, token, {}, false, false, std::nullopt, nullptr};
  session->lastInitialised = operation;
  return CKR_OK;
}

Module::ContextPin::~ContextPin() { wipe(text); }

std::optional<Module::Operation>& Module::activeOf(Session& session, TKTokenOperation operation) {
  return operation == TKTokenOperation::signData ? session.sign : session.decrypt;
}

CK_RV Module::continuingOperationLocked(CK_SESSION_HANDLE handle, TKTokenOperation operationKind,
                                        bool singlePart, bool argumentsPresent,
                                        std::optional<Operation>** active) {
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  auto& operation = activeOf(*session, operationKind);
  if (!operation) return CKR_OPERATION_NOT_INITIALIZED;
  if (operation->running) return CKR_OPERATION_ACTIVE;
  // A single-part call always ends the operation, also when it was fed by C_*Update.
  if (singlePart && operation->updated) {
    operation.reset();
    return CKR_OPERATION_ACTIVE;
  }
  if (!argumentsPresent) {
    operation.reset();
    return CKR_ARGUMENTS_BAD;
  }
  *active = &operation;
  return CKR_OK;
}

CK_ULONG Module::resultLength(const Operation& operation) const {
  if (operation.use.keyType == KeyType::ecSECPrimeRandom) {
    return 2 * ecFieldBytes(operation.key.keySizeInBits);
  }
  return modulusBytes(operation.key);
}

Module::OperationPin Module::pinForOperationLocked(const Session& session,
                                                   const KeyDescription& key,
                                                   std::shared_ptr<ContextPin> contextPin,
                                                   bool initialised) {
  const Slot* slot = slotLocked(session.slot);
  const bool loggedIn = slot && slot->loggedIn;
  if (contextPin) {
    OperationPin pin{contextPin->text, std::nullopt};
    // The login's own PIN given again: refused, it is the login's PIN that the phone refused.
    if (loggedIn && contextPin->text == slot->userPin) pin.login = slot->login;
    wipe(contextPin->text);
    return pin;
  }
  if (!loggedIn) return {};
  // A key that asks for its PIN on every use takes only a PIN given for this use, where the
  // operation has an initialisation to give it to.
  if (key.alwaysAuthenticate && initialised) return {};
  return {slot->userPin, slot->login};
}

void Module::pinRefusedLocked(CK_SLOT_ID slotID, const OperationPin& pin) {
  const Slot* slot = slotLocked(slotID);
  if (pin.login && slot && slot->loggedIn && slot->login == *pin.login) forgetPinLocked(slotID);
}

TKResult<Bytes> Module::performUnlocked(
    const TokenIdentity& token, const KeyDescription& key, const MechanismUse& use,
    const Bytes& input, const std::optional<TKTokenKeyExchangeParameters>& parameters,
    std::optional<std::string> pin, PinUse* pinUse) {
  // Shared with the PIN source, which the service may call after this caller stopped waiting.
  struct PinState {
    std::mutex mutex;
    std::optional<std::string> pin;
    PinUse use;
  };
  auto state = std::make_shared<PinState>();
  state->pin = std::move(pin);
  PinSource source = [state]() -> std::optional<std::string> {
    std::lock_guard guard(state->mutex);
    if (state->use.requested) return std::nullopt;  // one PIN per operation
    state->use.requested = true;
    if (!state->pin) return std::nullopt;
    state->use.given = true;
    std::optional<std::string> taken = std::move(state->pin);
    state->pin.reset();
    return taken;
  };
  auto result = backend_->perform(token, key.keyObjectID, use.algorithm, input, parameters, source);
  std::lock_guard guard(state->mutex);
  *pinUse = state->use;
  if (state->pin) wipe(*state->pin);
  return result;
}

CK_RV Module::operationRun(CK_SESSION_HANDLE handle, TKTokenOperation operationKind,
                           CK_BYTE_PTR input, CK_ULONG inputLength, CK_BYTE_PTR output,
                           CK_ULONG_PTR outputLength) {
  Lock lock(mutex_);
  std::optional<Operation>* found = nullptr;
  CK_RV rv = continuingOperationLocked(handle, operationKind, true,
                                       outputLength && (input || inputLength == 0), &found);
  if (rv != CKR_OK) return rv;
  auto& active = *found;
  if (!active->result) {
    if (inputLength > kMaxMessageBytes) {
      active.reset();
      return CKR_DATA_LEN_RANGE;
    }
    active->message.assign(input, input + inputLength);
  }
  return finishOperation(handle, operationKind, output, outputLength, lock);
}

CK_RV Module::operationUpdate(CK_SESSION_HANDLE handle, TKTokenOperation operationKind,
                              CK_BYTE_PTR input, CK_ULONG inputLength) {
  Lock lock(mutex_);
  std::optional<Operation>* found = nullptr;
  CK_RV rv =
      continuingOperationLocked(handle, operationKind, false, input || inputLength == 0, &found);
  if (rv != CKR_OK) return rv;
  auto& active = *found;
  if (!active->use.multiPart) {
    // The mechanism takes its input in one block.
    active.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  if (inputLength > kMaxMessageBytes - active->message.size()) {
    active.reset();
    return CKR_DATA_LEN_RANGE;
  }
  active->message.insert(active->message.end(), input, input + inputLength);
  active->updated = true;
  return CKR_OK;
}

CK_RV Module::operationFinal(CK_SESSION_HANDLE handle, TKTokenOperation operationKind,
                             CK_BYTE_PTR output, CK_ULONG_PTR outputLength) {
  Lock lock(mutex_);
  std::optional<Operation>* found = nullptr;
  CK_RV rv =
      continuingOperationLocked(handle, operationKind, false, outputLength != nullptr, &found);
  if (rv != CKR_OK) return rv;
  auto& active = *found;
  if (!active->use.multiPart) {
    active.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return finishOperation(handle, operationKind, output, outputLength, lock);
}

CK_RV Module::finishOperation(CK_SESSION_HANDLE handle, TKTokenOperation operationKind,
                              CK_BYTE_PTR output, CK_ULONG_PTR outputLength, Lock& lock) {
  auto deliver = [&](std::optional<Operation>& active) -> CK_RV {
    const Bytes& result = *active->result;
    if (!output) {
      *outputLength = result.size();
      return CKR_OK;
    }
    if (*outputLength < result.size()) {
      *outputLength = result.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    if (!result.empty()) std::memcpy(output, result.data(), result.size());
    *outputLength = result.size();
    active.reset();
    return CKR_OK;
  };

  Session* session = sessionLocked(handle);
  auto& active = activeOf(*session, operationKind);
  if (active->result) return deliver(active);
  const CK_ULONG expected = resultLength(*active);
  if (!output) {
    *outputLength = expected;
    return CKR_OK;
  }
  if (operationKind == TKTokenOperation::signData && *outputLength < expected) {
    *outputLength = expected;
    return CKR_BUFFER_TOO_SMALL;
  }
  const size_t modulus = modulusBytes(active->key);
  if (active->use.mechanism == CKM_RSA_PKCS && operationKind == TKTokenOperation::signData &&
      active->message.size() + kPKCS1PaddingBytes > modulus) {
    active.reset();
    return CKR_DATA_LEN_RANGE;
  }
  if (operationKind == TKTokenOperation::decryptData && active->message.size() != modulus) {
    active.reset();
    return CKR_ENCRYPTED_DATA_LEN_RANGE;
  }
  active->running = true;
  ++running_;
  // The context PIN is this run's: the operation ends with it or keeps its result.
  auto pin = pinForOperationLocked(*session, active->key, std::move(active->contextPin), true);
  const Operation prepared = *active;
  lock.unlock();
  PinUse pinUse;
  auto outcome = performUnlocked(prepared.token, prepared.key, prepared.use, prepared.message,
                                 std::nullopt, std::move(pin.text), &pinUse);
  lock.lock();
  --running_;
  idle_.notify_all();
  if (shutDown_) return CKR_CRYPTOKI_NOT_INITIALIZED;
  session = sessionLocked(handle);
  if (!session || !activeOf(*session, operationKind)) return CKR_SESSION_CLOSED;
  auto& finished = activeOf(*session, operationKind);
  finished->running = false;
  if (!outcome) {
    const CK_RV rv = returnValueForError(outcome.error(), operationKind, pinUse);
    if (rv == CKR_PIN_INCORRECT) pinRefusedLocked(session->slot, pin);
    finished.reset();
    return rv;
  }
  Bytes result = std::move(*outcome);
  if (prepared.use.keyType == KeyType::ecSECPrimeRandom) {
    auto raw = ecdsaSignatureToRaw(result, ecFieldBytes(prepared.key.keySizeInBits));
    if (!raw) {
      finished.reset();
      return CKR_DEVICE_ERROR;  // the token's answer is not a signature of this key
    }
    result = std::move(*raw);
  } else if (operationKind == TKTokenOperation::signData) {
    if (result.size() > modulus) {
      finished.reset();
      return CKR_DEVICE_ERROR;
    }
    result.insert(result.begin(), modulus - result.size(), 0);  // a raw result may be shorter
  }
  finished->result = std::move(result);
  return deliver(finished);
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
