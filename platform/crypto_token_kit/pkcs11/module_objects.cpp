// Module: the objects a session sees, their attributes and the search for them.
#include <algorithm>
#include <cstring>

#include "platform/crypto_token_kit/pkcs11/module.h"
#include "platform/crypto_token_kit/pkcs11/module_internal.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

}  // namespace

std::vector<std::pair<CK_OBJECT_HANDLE, TokenObject>> Module::tokenObjectsLocked(
    const Slot& slot, const TKTokenKeychainItems& items) {
  std::vector<std::pair<CK_OBJECT_HANDLE, TokenObject>> result;
  for (auto& object : objectsForItems(items, slot.pinRequired)) {
    // A private object is seen only while the user is logged in.
    if (object.attributes[CKA_PRIVATE] == boolValue(true) && !slot.loggedIn) continue;
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
  if (auto made = sessionObjects_.find(object);
      made != sessionObjects_.end() && made->second.slot == session->slot) {
    return made->second.object;
  }
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
  if (auto made = sessionObjects_.find(object);
      made != sessionObjects_.end() && made->second.slot == session->slot) {
    sessionObjects_.erase(made);
    return CKR_OK;
  }
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
    for (const auto& [objectHandle, made] : sessionObjects_) {
      if (made.slot == session->slot) candidates.emplace_back(objectHandle, made.object);
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

}  // namespace brellis::platform::crypto_token_kit::pkcs11
