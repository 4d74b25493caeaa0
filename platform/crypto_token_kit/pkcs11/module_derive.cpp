// Module: C_DeriveKey (ECDH on the token, the secret as a session object of the application).
#include <algorithm>
#include <cstring>

#include "platform/crypto_token_kit/pkcs11/error_table.h"
#include "platform/crypto_token_kit/pkcs11/key_encoding.h"
#include "platform/crypto_token_kit/pkcs11/module.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

// The template attributes a derived secret accepts, besides CKA_CLASS, CKA_KEY_TYPE and
// CKA_VALUE_LEN (all booleans but the label and ID).
constexpr CK_ATTRIBUTE_TYPE kDerivedBooleans[] = {
    CKA_TOKEN,   CKA_PRIVATE,    CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_ENCRYPT,
    CKA_DECRYPT, CKA_SIGN,       CKA_VERIFY,    CKA_WRAP,        CKA_UNWRAP,
    CKA_DERIVE,  CKA_MODIFIABLE, CKA_COPYABLE,  CKA_DESTROYABLE};

}  // namespace

CK_RV Module::deriveKey(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                        CK_OBJECT_HANDLE baseKey, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                        CK_OBJECT_HANDLE_PTR key) {
  if (!mechanism || !key || (!attributes && count > 0)) return CKR_ARGUMENTS_BAD;
  {
    Lock lock(mutex_);
    if (!sessionLocked(handle)) return CKR_SESSION_HANDLE_INVALID;
  }
  if (mechanism->mechanism != CKM_ECDH1_DERIVE) return CKR_MECHANISM_INVALID;
  if (!mechanism->pParameter || mechanism->ulParameterLen != sizeof(CK_ECDH1_DERIVE_PARAMS)) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const auto& parameters = *static_cast<const CK_ECDH1_DERIVE_PARAMS*>(mechanism->pParameter);
  if (parameters.kdf != CKD_NULL || parameters.ulSharedDataLen != 0 || parameters.pSharedData ||
      !parameters.pPublicData || parameters.ulPublicDataLen == 0 ||
      parameters.ulPublicDataLen > kMaxMessageBytes) {
    return CKR_MECHANISM_PARAM_INVALID;
  }
  const Bytes publicData(parameters.pPublicData,
                         parameters.pPublicData + parameters.ulPublicDataLen);

  // The template: a generic secret in the session; its flags are kept as given.
  TokenObject secret;
  secret.objectClass = CKO_SECRET_KEY;
  std::optional<CK_ULONG> valueLength;
  std::map<CK_ATTRIBUTE_TYPE, Bytes> given;
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& attribute = attributes[i];
    if (!attribute.pValue && attribute.ulValueLen > 0) return CKR_ARGUMENTS_BAD;
    if (attribute.ulValueLen > kMaxMessageBytes) return CKR_ATTRIBUTE_VALUE_INVALID;
    const auto* bytes = static_cast<const uint8_t*>(attribute.pValue);
    Bytes value = bytes ? Bytes(bytes, bytes + attribute.ulValueLen) : Bytes{};
    const bool isBoolean = std::find(std::begin(kDerivedBooleans), std::end(kDerivedBooleans),
                                     attribute.type) != std::end(kDerivedBooleans);
    if (isBoolean) {
      if (value.size() != sizeof(CK_BBOOL)) return CKR_ATTRIBUTE_VALUE_INVALID;
    } else if (attribute.type == CKA_CLASS || attribute.type == CKA_KEY_TYPE ||
               attribute.type == CKA_VALUE_LEN) {
      if (value.size() != sizeof(CK_ULONG)) return CKR_ATTRIBUTE_VALUE_INVALID;
      CK_ULONG number;
      std::memcpy(&number, value.data(), sizeof number);
      if (attribute.type == CKA_CLASS && number != CKO_SECRET_KEY) {
        return CKR_TEMPLATE_INCONSISTENT;
      }
      if (attribute.type == CKA_KEY_TYPE && number != CKK_GENERIC_SECRET) {
        return CKR_TEMPLATE_INCONSISTENT;
      }
      if (attribute.type == CKA_VALUE_LEN) valueLength = number;
    } else if (attribute.type != CKA_LABEL && attribute.type != CKA_ID) {
      return CKR_ATTRIBUTE_TYPE_INVALID;
    }
    given[attribute.type] = std::move(value);
  }
  if (auto token = given.find(CKA_TOKEN); token != given.end() && token->second[0] != CK_FALSE) {
    return CKR_TEMPLATE_INCONSISTENT;  // the token holds no objects of its own making
  }

  CK_RV missing = CKR_OK;
  auto object = objectFor(handle, baseKey, &missing);
  if (!object) return missing == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : missing;
  if (!object->key || object->key->keyType != KeyType::ecSECPrimeRandom) {
    return CKR_KEY_TYPE_INCONSISTENT;
  }
  const size_t field = ecFieldBytes(object->key->keySizeInBits);
  auto point = ecPointFromPublicData(publicData, field);
  if (!point) return CKR_MECHANISM_PARAM_INVALID;
  if (valueLength && (*valueLength == 0 || *valueLength > field)) return CKR_TEMPLATE_INCONSISTENT;
  const auto use = *mechanismUse(CKM_ECDH1_DERIVE, TKTokenOperation::performKeyExchange);

  auto flag = [&](CK_ATTRIBUTE_TYPE type, bool fallback) {
    auto found = given.find(type);
    return found == given.end() ? fallback : found->second[0] != CK_FALSE;
  };
  const bool isPrivate = flag(CKA_PRIVATE, false);
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  // A private object is made only for a logged-in user.
  if (isPrivate && !slotLocked(session->slot)->loggedIn) return CKR_USER_NOT_LOGGED_IN;
  const TokenIdentity token = slotLocked(session->slot)->identity;
  lock.unlock();
  if (!backend_->supports(token, object->key->keyObjectID, use.algorithm)) {
    return CKR_KEY_FUNCTION_NOT_PERMITTED;
  }
  lock.lock();
  session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  ++running_;
  // A derivation has no initialisation to give a context PIN to: it takes the login's PIN.
  auto pin = pinForOperationLocked(*session, *object->key, nullptr, false);
  lock.unlock();
  PinUse pinUse;
  TKTokenKeyExchangeParameters exchange;
  exchange.requestedSize = static_cast<int64_t>(valueLength.value_or(field));
  auto outcome =
      performUnlocked(token, *object->key, use, *point, exchange, std::move(pin.text), &pinUse);
  lock.lock();
  --running_;
  idle_.notify_all();
  if (shutDown_) return CKR_CRYPTOKI_NOT_INITIALIZED;
  session = sessionLocked(handle);
  if (!session) return CKR_SESSION_CLOSED;
  if (!outcome) {
    const CK_RV rv = returnValueForError(outcome.error(), use.operation, pinUse);
    if (rv == CKR_PIN_INCORRECT) pinRefusedLocked(session->slot, pin);
    return rv;
  }
  // The user logged out meanwhile: no private object outlives the login.
  if (isPrivate && !slotLocked(session->slot)->loggedIn) return CKR_USER_NOT_LOGGED_IN;
  Bytes value = std::move(*outcome);
  if (valueLength) {
    if (value.size() < *valueLength) return CKR_DEVICE_ERROR;
    value.resize(*valueLength);
  }
  const bool sensitive = flag(CKA_SENSITIVE, false);
  const bool extractable = flag(CKA_EXTRACTABLE, true);
  for (auto type : kDerivedBooleans) secret.attributes[type] = boolValue(flag(type, false));
  secret.attributes[CKA_EXTRACTABLE] = boolValue(extractable);
  secret.attributes[CKA_MODIFIABLE] = boolValue(flag(CKA_MODIFIABLE, true));
  secret.attributes[CKA_COPYABLE] = boolValue(false);
  secret.attributes[CKA_DESTROYABLE] = boolValue(true);
  secret.attributes[CKA_CLASS] = ulongValue(CKO_SECRET_KEY);
  secret.attributes[CKA_KEY_TYPE] = ulongValue(CKK_GENERIC_SECRET);
  secret.attributes[CKA_VALUE_LEN] = ulongValue(value.size());
  secret.attributes[CKA_LOCAL] = boolValue(false);
  secret.attributes[CKA_ALWAYS_SENSITIVE] = boolValue(sensitive);
  secret.attributes[CKA_NEVER_EXTRACTABLE] = boolValue(!extractable);
  secret.attributes[CKA_KEY_GEN_MECHANISM] = ulongValue(CK_UNAVAILABLE_INFORMATION);
  secret.attributes[CKA_LABEL] = given.count(CKA_LABEL) ? given[CKA_LABEL] : Bytes{};
  secret.attributes[CKA_ID] = given.count(CKA_ID) ? given[CKA_ID] : Bytes{};
  secret.attributes[CKA_START_DATE] = {};
  secret.attributes[CKA_END_DATE] = {};
  if (sensitive || !extractable) {
    secret.sensitive.push_back(CKA_VALUE);
  } else {
    secret.attributes[CKA_VALUE] = std::move(value);
  }
  const CK_OBJECT_HANDLE created = nextObject_++;
  secret.identity = "session:" + std::to_string(created);
  sessionObjects_.emplace(created,
                          SessionObject{handle, session->slot, isPrivate, std::move(secret)});
  *key = created;
  return CKR_OK;
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
