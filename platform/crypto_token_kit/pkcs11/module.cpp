#include "platform/crypto_token_kit/pkcs11/module.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "platform/crypto_token_kit/pkcs11/error_table.h"
#include "platform/crypto_token_kit/pkcs11/key_encoding.h"
#include "platform/foundation/utf_text.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

constexpr const char* kManufacturer = "Velkor";
constexpr const char* kModel = "BrellisToken";
// PKCS#1 v1.5 padding takes at least 11 bytes of a block.
constexpr size_t kPKCS1PaddingBytes = 11;

// Copies `text` into a fixed-size, blank-padded PKCS#11 text field, cut at a UTF-8 boundary.
void copyPadded(CK_UTF8CHAR* field, size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  const size_t length = foundation::utf8BoundaryAtOrBefore(text, std::min(size, text.size()));
  std::memcpy(field, text.data(), length);
}

// Wipes a PIN held in a string.
void wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

// A short serial number that stays the same for a token instance.
std::string serialFor(const TokenIdentity& identity) {
  uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (char c : identity.classID + '\n' + identity.instanceID) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::optional<TKTokenKeychainItems> itemsIn(const std::vector<TokenSnapshot>& tokens,
                                            const TokenIdentity& identity) {
  for (const auto& token : tokens) {
    if (token.identity == identity) return token.items;
  }
  return std::nullopt;
}

// A list handed out the PKCS#11 way: its size alone for a null list, CKR_BUFFER_TOO_SMALL (with
// the size) for a short one.
template <class T>
CK_RV copyList(const std::vector<T>& values, T* list, CK_ULONG_PTR count) {
  if (list && *count < values.size()) {
    *count = values.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list) std::copy(values.begin(), values.end(), list);
  *count = values.size();
  return CKR_OK;
}

size_t modulusBytes(const KeyDescription& key) { return ecFieldBytes(key.keySizeInBits); }

// The template attributes a derived secret accepts, besides CKA_CLASS, CKA_KEY_TYPE and
// CKA_VALUE_LEN (all booleans but the label and ID).
constexpr CK_ATTRIBUTE_TYPE kDerivedBooleans[] = {
    CKA_TOKEN,   CKA_PRIVATE,    CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_ENCRYPT,
    CKA_DECRYPT, CKA_SIGN,       CKA_VERIFY,    CKA_WRAP,        CKA_UNWRAP,
    CKA_DERIVE,  CKA_MODIFIABLE, CKA_COPYABLE,  CKA_DESTROYABLE};

}  // namespace

Module::Module(std::shared_ptr<TokenBackend> backend) : backend_(std::move(backend)) {}

Module::~Module() {
  for (auto& [id, slot] : slots_) wipe(slot.userPin);
  for (auto& [handle, session] : sessions_) wipe(session.contextPin);
}

void Module::shutdown(std::chrono::milliseconds limit) {
  {
    Lock lock(mutex_);
    shutDown_ = true;
  }
  backend_->shutdown();
  Lock lock(mutex_);
  idle_.wait_for(lock, limit, [this] { return running_ == 0; });
  while (!sessions_.empty()) closeSessionLocked(sessions_.begin());
  for (auto& [id, slot] : slots_) {
    wipe(slot.userPin);
    slot.loggedIn = false;
  }
}

// ---- Slots and tokens --------------------------------------------------------------------

void Module::refreshLocked(const std::vector<TokenSnapshot>& tokens) {
  for (const auto& token : tokens) {
    if (slotIDs_.count(token.identity)) continue;
    Slot slot;
    slot.id = nextSlot_++;
    slot.identity = token.identity;
    slotIDs_[token.identity] = slot.id;
    slots_[slot.id] = std::move(slot);
  }
  for (auto& [id, slot] : slots_) {
    const bool present = itemsIn(tokens, slot.identity).has_value();
    if (slot.present && !present) {
      // The configuration was removed: the token left the slot, and its sessions with it.
      for (auto it = sessions_.begin(); it != sessions_.end();) {
        auto next = std::next(it);
        if (it->second.slot == id) closeSessionLocked(it);
        it = next;
      }
      wipe(slot.userPin);
      slot.loggedIn = false;
    }
    slot.present = present;
  }
}

void Module::refresh() {
  auto tokens = backend_->tokens();
  Lock lock(mutex_);
  refreshLocked(tokens);
}

Module::Slot* Module::slotLocked(CK_SLOT_ID id) {
  auto found = slots_.find(id);
  return found == slots_.end() ? nullptr : &found->second;
}

Module::Session* Module::sessionLocked(CK_SESSION_HANDLE handle) {
  if (shutDown_) return nullptr;
  auto found = sessions_.find(handle);
  return found == sessions_.end() ? nullptr : &found->second;
}

void Module::closeSessionLocked(std::map<CK_SESSION_HANDLE, Session>::iterator session) {
  const CK_SLOT_ID slotID = session->second.slot;
  wipe(session->second.contextPin);
  sessions_.erase(session);
  // The login state belongs to the token while the application has a session with it.
  const bool last = std::none_of(sessions_.begin(), sessions_.end(),
                                 [&](const auto& entry) { return entry.second.slot == slotID; });
  if (last) forgetPinLocked(slotID);
}

void Module::forgetPinLocked(CK_SLOT_ID slotID) {
  if (Slot* slot = slotLocked(slotID)) {
    wipe(slot->userPin);
    slot->loggedIn = false;
  }
}

std::optional<TKTokenKeychainItems> Module::itemsOf(const TokenIdentity& identity) {
  return itemsIn(backend_->tokens(), identity);
}

CK_RV Module::getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  auto tokens = backend_->tokens();
  Lock lock(mutex_);
  refreshLocked(tokens);
  std::vector<CK_SLOT_ID> ids;
  for (const auto& [id, slot] : slots_) {
    if (!tokenPresent || slot.present) ids.push_back(id);
  }
  return copyList(ids, list, count);
}

CK_RV Module::getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  refresh();
  Lock lock(mutex_);
  const Slot* slot = slotLocked(id);
  if (!slot) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  copyPadded(info->slotDescription, sizeof info->slotDescription, slot->identity.instanceID);
  copyPadded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
  info->flags = CKF_REMOVABLE_DEVICE | (slot->present ? CKF_TOKEN_PRESENT : 0);
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  return CKR_OK;
}

CK_RV Module::getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  auto tokens = backend_->tokens();
  Lock lock(mutex_);
  refreshLocked(tokens);
  const Slot* slot = slotLocked(id);
  if (!slot) return CKR_SLOT_ID_INVALID;
  auto items = itemsIn(tokens, slot->identity);
  if (!slot->present || !items) return CKR_TOKEN_NOT_PRESENT;
  std::memset(info, 0, sizeof *info);
  copyPadded(info->label, sizeof info->label, slot->identity.instanceID);
  copyPadded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
  copyPadded(info->model, sizeof info->model, kModel);
  const std::string serial = serialFor(slot->identity);
  std::memcpy(info->serialNumber, serial.data(), sizeof info->serialNumber);
  info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
  if (itemsRequireLogin(*items)) info->flags |= CKF_LOGIN_REQUIRED;
  CK_ULONG all = 0;
  CK_ULONG readWrite = 0;
  for (const auto& [handle, session] : sessions_) {
    if (session.slot != id) continue;
    ++all;
    if (session.flags & CKF_RW_SESSION) ++readWrite;
  }
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = all;
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulRwSessionCount = readWrite;
  info->ulMaxPinLen = kMaxPinLength;
  info->ulMinPinLen = kMinPinLength;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  return CKR_OK;
}

// ---- Mechanisms --------------------------------------------------------------------------

CK_RV Module::getMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  std::vector<CK_MECHANISM_TYPE> offered;
  for (const auto& use : mechanismUses()) {
    if (std::find(offered.begin(), offered.end(), use.mechanism) != offered.end()) continue;
    CK_MECHANISM_INFO info;
    const CK_RV rv = getMechanismInfo(id, use.mechanism, &info);
    if (rv == CKR_OK) {
      offered.push_back(use.mechanism);
    } else if (rv != CKR_MECHANISM_INVALID) {
      return rv;
    }
  }
  return copyList(offered, list, count);
}

CK_RV Module::getMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  auto tokens = backend_->tokens();
  TokenIdentity identity;
  {
    Lock lock(mutex_);
    refreshLocked(tokens);
    const Slot* slot = slotLocked(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    identity = slot->identity;
  }
  auto items = itemsIn(tokens, identity);
  if (!items) return CKR_TOKEN_NOT_PRESENT;
  // A mechanism is offered when the token supports it for at least one of its keys.
  CK_MECHANISM_INFO result{};
  bool offered = false;
  for (const auto& object : objectsForItems(*items)) {
    if (!object.key) continue;
    for (const auto& use : mechanismUses()) {
      if (use.mechanism != type || use.keyType != object.key->keyType) continue;
      if (!backend_->supports(identity, object.key->keyObjectID, use.algorithm)) {
        continue;
      }
      const auto bits = static_cast<CK_ULONG>(object.key->keySizeInBits);
      if (!offered || bits < result.ulMinKeySize) result.ulMinKeySize = bits;
      if (!offered || bits > result.ulMaxKeySize) result.ulMaxKeySize = bits;
      offered = true;
      result.flags |= use.flag | CKF_HW;
      if (use.keyType == KeyType::ecSECPrimeRandom) {
        result.flags |= CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;
      }
    }
  }
  if (!offered) return CKR_MECHANISM_INVALID;
  *info = result;
  return CKR_OK;
}

// ---- Sessions and login ------------------------------------------------------------------

CK_RV Module::openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session) {
  if (!session) return CKR_ARGUMENTS_BAD;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  auto tokens = backend_->tokens();
  Lock lock(mutex_);
  if (shutDown_) return CKR_CRYPTOKI_NOT_INITIALIZED;
  refreshLocked(tokens);
  const Slot* slot = slotLocked(id);
  if (!slot) return CKR_SLOT_ID_INVALID;
  if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
  Session created;
  created.handle = nextSession_++;
  created.slot = id;
  created.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
  *session = created.handle;
  sessions_.emplace(created.handle, std::move(created));
  return CKR_OK;
}

CK_RV Module::closeSession(CK_SESSION_HANDLE handle) {
  Lock lock(mutex_);
  if (!sessionLocked(handle)) return CKR_SESSION_HANDLE_INVALID;
  closeSessionLocked(sessions_.find(handle));
  return CKR_OK;
}

CK_RV Module::closeAllSessions(CK_SLOT_ID id) {
  Lock lock(mutex_);
  if (!slotLocked(id)) return CKR_SLOT_ID_INVALID;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    auto next = std::next(it);
    if (it->second.slot == id) closeSessionLocked(it);
    it = next;
  }
  return CKR_OK;
}

CK_RV Module::getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  Lock lock(mutex_);
  const Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  const bool user = slotLocked(session->slot)->loggedIn;
  const bool readWrite = session->flags & CKF_RW_SESSION;
  info->slotID = session->slot;
  info->state = user ? (readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                     : (readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
  info->flags = session->flags;
  info->ulDeviceError = 0;
  return CKR_OK;
}

CK_RV Module::login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                    CK_ULONG pinLength) {
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  // The token has no security officer: the one PIN is the phone's.
  if (userType != CKU_USER && userType != CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
  // There is no protected authentication path: the PIN comes with the call.
  if (!pin) return CKR_ARGUMENTS_BAD;
  if (pinLength < kMinPinLength || pinLength > kMaxPinLength) return CKR_PIN_LEN_RANGE;
  std::string text(reinterpret_cast<const char*>(pin), pinLength);
  Slot* slot = slotLocked(session->slot);
  if (userType == CKU_CONTEXT_SPECIFIC) {
    // Kept for the session's next key operation only.
    wipe(session->contextPin);
    session->contextPin = std::move(text);
    session->hasContextPin = true;
    return CKR_OK;
  }
  if (slot->loggedIn) {
    wipe(text);
    return CKR_USER_ALREADY_LOGGED_IN;
  }
  // The PIN cannot be checked here: the phone checks it when an operation asks for it.
  slot->userPin = std::move(text);
  slot->loggedIn = true;
  return CKR_OK;
}

CK_RV Module::logout(CK_SESSION_HANDLE handle) {
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  Slot* slot = slotLocked(session->slot);
  if (!slot->loggedIn) return CKR_USER_NOT_LOGGED_IN;
  forgetPinLocked(session->slot);
  for (auto& [other, entry] : sessions_) {
    if (entry.slot == session->slot) {
      wipe(entry.contextPin);
      entry.hasContextPin = false;
    }
  }
  return CKR_OK;
}

CK_RV Module::unsupportedWithSession(CK_SESSION_HANDLE handle) {
  Lock lock(mutex_);
  return sessionLocked(handle) ? CKR_FUNCTION_NOT_SUPPORTED : CKR_SESSION_HANDLE_INVALID;
}

// ---- Objects -----------------------------------------------------------------------------

std::vector<std::pair<CK_OBJECT_HANDLE, TokenObject>> Module::tokenObjectsLocked(
    const Slot& slot, const TKTokenKeychainItems& items) {
  std::vector<std::pair<CK_OBJECT_HANDLE, TokenObject>> result;
  for (auto& object : objectsForItems(items)) {
    auto key = std::make_pair(slot.id, object.identity);
    auto found = tokenHandles_.find(key);
    CK_OBJECT_HANDLE handle;
    if (found == tokenHandles_.end()) {
      handle = nextObject_++;
      tokenHandles_.emplace(key, handle);
      tokenObjects_.emplace(handle, key);
    } else {
      handle = found->second;
    }
    result.emplace_back(handle, std::move(object));
  }
  return result;
}

std::optional<TokenObject> Module::objectFor(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                                             CK_RV* missing) {
  auto tokens = backend_->tokens();
  Lock lock(mutex_);
  refreshLocked(tokens);
  Session* session = sessionLocked(handle);
  if (!session) {
    *missing = CKR_SESSION_HANDLE_INVALID;
    return std::nullopt;
  }
  *missing = CKR_OBJECT_HANDLE_INVALID;
  if (auto own = session->objects.find(object); own != session->objects.end()) return own->second;
  auto known = tokenObjects_.find(object);
  if (known == tokenObjects_.end() || known->second.first != session->slot) return std::nullopt;
  const Slot& slot = *slotLocked(session->slot);
  auto items = itemsIn(tokens, slot.identity);
  if (!items) return std::nullopt;
  for (auto& [objectHandle, candidate] : tokenObjectsLocked(slot, *items)) {
    if (objectHandle == object) return std::move(candidate);
  }
  return std::nullopt;
}

bool Module::capability(const TokenIdentity& token, const KeyDescription& key,
                        TKTokenOperation operation) {
  for (const auto& use : mechanismUses()) {
    if (use.operation != operation || use.keyType != key.keyType) continue;
    if (backend_->supports(token, key.keyObjectID, use.algorithm)) return true;
  }
  return false;
}

std::optional<Bytes> Module::attributeValue(const TokenIdentity& token, const TokenObject& object,
                                            CK_ATTRIBUTE_TYPE type) {
  if (object.key) {
    if (auto operation = capabilityOperation(type)) {
      return boolValue(capability(token, *object.key, *operation));
    }
  }
  auto found = object.attributes.find(type);
  if (found == object.attributes.end()) return std::nullopt;
  return found->second;
}

CK_RV Module::getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle,
                                CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  if (!attributes && count > 0) return CKR_ARGUMENTS_BAD;
  CK_RV missing = CKR_OK;
  auto object = objectFor(handle, objectHandle, &missing);
  if (!object) return missing;
  TokenIdentity token;
  {
    Lock lock(mutex_);
    Session* session = sessionLocked(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    token = slotLocked(session->slot)->identity;
  }
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& attribute = attributes[i];
    if (std::find(object->sensitive.begin(), object->sensitive.end(), attribute.type) !=
        object->sensitive.end()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_SENSITIVE;
      continue;
    }
    auto value = attributeValue(token, *object, attribute.type);
    if (!value) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    if (!attribute.pValue) {
      attribute.ulValueLen = value->size();
      continue;
    }
    if (attribute.ulValueLen < value->size()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_BUFFER_TOO_SMALL;
      continue;
    }
    if (!value->empty()) std::memcpy(attribute.pValue, value->data(), value->size());
    attribute.ulValueLen = value->size();
  }
  return rv;
}

CK_RV Module::getObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle,
                            CK_ULONG_PTR size) {
  if (!size) return CKR_ARGUMENTS_BAD;
  CK_RV missing = CKR_OK;
  auto object = objectFor(handle, objectHandle, &missing);
  if (!object) return missing;
  CK_ULONG total = 0;
  for (const auto& [type, value] : object->attributes) total += value.size();
  *size = total;
  return CKR_OK;
}

CK_RV Module::destroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object) {
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (session->objects.erase(object)) return CKR_OK;
  auto known = tokenObjects_.find(object);
  if (known != tokenObjects_.end() && known->second.first == session->slot) {
    return CKR_ACTION_PROHIBITED;  // the token's objects belong to its configuration
  }
  return CKR_OBJECT_HANDLE_INVALID;
}

CK_RV Module::findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes,
                              CK_ULONG count) {
  if (!attributes && count > 0) return CKR_ARGUMENTS_BAD;
  std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> wanted;
  for (CK_ULONG i = 0; i < count; ++i) {
    if (!attributes[i].pValue && attributes[i].ulValueLen > 0) return CKR_ARGUMENTS_BAD;
    if (attributes[i].ulValueLen > kMaxMessageBytes) return CKR_ATTRIBUTE_VALUE_INVALID;
    const auto* bytes = static_cast<const uint8_t*>(attributes[i].pValue);
    wanted.emplace_back(attributes[i].type,
                        bytes ? Bytes(bytes, bytes + attributes[i].ulValueLen) : Bytes{});
  }
  auto tokens = backend_->tokens();
  std::vector<std::pair<CK_OBJECT_HANDLE, TokenObject>> candidates;
  TokenIdentity token;
  {
    Lock lock(mutex_);
    refreshLocked(tokens);
    Session* session = sessionLocked(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    if (session->found) return CKR_OPERATION_ACTIVE;
    const Slot& slot = *slotLocked(session->slot);
    token = slot.identity;
    if (auto items = itemsIn(tokens, slot.identity)) candidates = tokenObjectsLocked(slot, *items);
    for (const auto& [objectHandle, object] : session->objects) {
      candidates.emplace_back(objectHandle, object);
    }
  }
  std::vector<CK_OBJECT_HANDLE> matches;
  for (const auto& candidate : candidates) {
    const TokenObject& object = candidate.second;
    const bool match = std::all_of(wanted.begin(), wanted.end(), [&](const auto& entry) {
      if (std::find(object.sensitive.begin(), object.sensitive.end(), entry.first) !=
          object.sensitive.end()) {
        return false;
      }
      auto value = attributeValue(token, object, entry.first);
      return value && *value == entry.second;
    });
    if (match) matches.push_back(candidate.first);
  }
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (session->found) return CKR_OPERATION_ACTIVE;
  session->found = std::move(matches);
  session->foundPosition = 0;
  return CKR_OK;
}

CK_RV Module::findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                          CK_ULONG_PTR count) {
  if (!count || (!objects && maxCount > 0)) return CKR_ARGUMENTS_BAD;
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (!session->found) return CKR_OPERATION_NOT_INITIALIZED;
  const auto& found = *session->found;
  const size_t available = found.size() - session->foundPosition;
  const size_t taken = std::min<size_t>(available, maxCount);
  std::copy_n(found.begin() + static_cast<std::ptrdiff_t>(session->foundPosition), taken, objects);
  session->foundPosition += taken;
  *count = taken;
  return CKR_OK;
}

CK_RV Module::findObjectsFinal(CK_SESSION_HANDLE handle) {
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  if (!session->found) return CKR_OPERATION_NOT_INITIALIZED;
  session->found.reset();
  return CKR_OK;
}

// ---- Key operations ----------------------------------------------------------------------

CK_RV Module::operationInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism,
                            CK_OBJECT_HANDLE keyHandle, TKTokenOperation operation) {
  if (!mechanism) return CKR_ARGUMENTS_BAD;
  {
    Lock lock(mutex_);
    Session* session = sessionLocked(handle);
    if (!session) return CKR_SESSION_HANDLE_INVALID;
    auto& active = operation == TKTokenOperation::signData ? session->sign : session->decrypt;
    if (active) return CKR_OPERATION_ACTIVE;
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
  auto& active = operation == TKTokenOperation::signData ? session->sign : session->decrypt;
  if (active) return CKR_OPERATION_ACTIVE;
  active = Operation{*use, *object->key, token, {}, false, false, std::nullopt};
  return CKR_OK;
}

CK_ULONG Module::resultLength(const Operation& operation) const {
  if (operation.use.keyType == KeyType::ecSECPrimeRandom) {
    return 2 * ecFieldBytes(operation.key.keySizeInBits);
  }
  return modulusBytes(operation.key);
}

std::optional<std::string> Module::pinForOperationLocked(Session& session,
                                                         const KeyDescription& key) {
  if (session.hasContextPin) {
    session.hasContextPin = false;
    std::string pin = std::move(session.contextPin);
    session.contextPin.clear();
    return pin;
  }
  const Slot* slot = slotLocked(session.slot);
  // A key that asks for its PIN on every use takes only a PIN given for this use.
  if (!key.alwaysAuthenticate && slot && slot->loggedIn) return slot->userPin;
  return std::nullopt;
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
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  auto& active = operationKind == TKTokenOperation::signData ? session->sign : session->decrypt;
  if (!active) return CKR_OPERATION_NOT_INITIALIZED;
  if (active->running || active->updated) return CKR_OPERATION_ACTIVE;
  if (!outputLength || (!input && inputLength > 0)) {
    active.reset();
    return CKR_ARGUMENTS_BAD;
  }
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
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  auto& active = operationKind == TKTokenOperation::signData ? session->sign : session->decrypt;
  if (!active) return CKR_OPERATION_NOT_INITIALIZED;
  if (active->running) return CKR_OPERATION_ACTIVE;
  if (!input && inputLength > 0) {
    active.reset();
    return CKR_ARGUMENTS_BAD;
  }
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
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  auto& active = operationKind == TKTokenOperation::signData ? session->sign : session->decrypt;
  if (!active) return CKR_OPERATION_NOT_INITIALIZED;
  if (active->running) return CKR_OPERATION_ACTIVE;
  if (!outputLength) {
    active.reset();
    return CKR_ARGUMENTS_BAD;
  }
  if (!active->use.multiPart) {
    active.reset();
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return finishOperation(handle, operationKind, output, outputLength, lock);
}

CK_RV Module::finishOperation(CK_SESSION_HANDLE handle, TKTokenOperation operationKind,
                              CK_BYTE_PTR output, CK_ULONG_PTR outputLength, Lock& lock) {
  auto activeOf = [&](Session& session) -> std::optional<Operation>& {
    return operationKind == TKTokenOperation::signData ? session.sign : session.decrypt;
  };
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
  auto& active = activeOf(*session);
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
  const Operation prepared = *active;
  auto pin = pinForOperationLocked(*session, prepared.key);
  lock.unlock();
  PinUse pinUse;
  auto outcome = performUnlocked(prepared.token, prepared.key, prepared.use, prepared.message,
                                 std::nullopt, std::move(pin), &pinUse);
  lock.lock();
  --running_;
  idle_.notify_all();
  if (shutDown_) return CKR_CRYPTOKI_NOT_INITIALIZED;
  session = sessionLocked(handle);
  if (!session || !activeOf(*session)) return CKR_SESSION_CLOSED;
  auto& finished = activeOf(*session);
  finished->running = false;
  if (!outcome) {
    const CK_RV rv = returnValueForError(outcome.error(), operationKind, pinUse);
    if (rv == CKR_PIN_INCORRECT) forgetPinLocked(session->slot);
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

  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  const TokenIdentity token = slotLocked(session->slot)->identity;
  lock.unlock();
  if (!backend_->supports(token, object->key->keyObjectID, use.algorithm)) {
    return CKR_KEY_FUNCTION_NOT_PERMITTED;
  }
  lock.lock();
  session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  ++running_;
  auto pin = pinForOperationLocked(*session, *object->key);
  lock.unlock();
  PinUse pinUse;
  TKTokenKeyExchangeParameters exchange;
  exchange.requestedSize = static_cast<int64_t>(valueLength.value_or(field));
  auto outcome =
      performUnlocked(token, *object->key, use, *point, exchange, std::move(pin), &pinUse);
  lock.lock();
  --running_;
  idle_.notify_all();
  if (shutDown_) return CKR_CRYPTOKI_NOT_INITIALIZED;
  session = sessionLocked(handle);
  if (!session) return CKR_SESSION_CLOSED;
  if (!outcome) {
    const CK_RV rv = returnValueForError(outcome.error(), use.operation, pinUse);
    if (rv == CKR_PIN_INCORRECT) forgetPinLocked(session->slot);
    return rv;
  }
  Bytes value = std::move(*outcome);
  if (valueLength) {
    if (value.size() < *valueLength) return CKR_DEVICE_ERROR;
    value.resize(*valueLength);
  }
  auto flag = [&](CK_ATTRIBUTE_TYPE type, bool fallback) {
    auto found = given.find(type);
    return found == given.end() ? fallback : found->second[0] != CK_FALSE;
  };
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
  session->objects.emplace(created, std::move(secret));
  *key = created;
  return CKR_OK;
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
