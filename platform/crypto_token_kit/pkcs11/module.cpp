#include "platform/crypto_token_kit/pkcs11/module.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/crypto_token_kit/pkcs11/module_internal.h"
#include "platform/foundation/utf_text.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

using foundation::Bytes;

constexpr const char* kManufacturer = "Velkor";
constexpr const char* kModel = "BrellisToken";

// Copies `text` into a fixed-size, blank-padded PKCS#11 text field, cut at a UTF-8 boundary.
void copyPadded(CK_UTF8CHAR* field, size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  const size_t length = foundation::utf8BoundaryAtOrBefore(text, std::min(size, text.size()));
  std::memcpy(field, text.data(), length);
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

}  // namespace

// Wipes a PIN held in a string.
void wipe(std::string& secret) {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
  secret.clear();
}

std::optional<TKTokenKeychainItems> itemsIn(const std::vector<TokenSnapshot>& tokens,
                                            const TokenIdentity& identity) {
  for (const auto& token : tokens) {
    if (token.identity == identity) return token.items;
  }
  return std::nullopt;
}

Module::Module(std::shared_ptr<TokenBackend> backend) : backend_(std::move(backend)) {}

Module::~Module() {
  for (auto& [id, slot] : slots_) wipe(slot.userPin);
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
    for (const auto& token : tokens) {
      if (token.identity == slot.identity) slot.pinRequired = token.pinRequired;
    }
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
  const CK_SESSION_HANDLE handle = session->first;
  // Its operations (and the context PIN given for one) end with it, and so do its objects.
  sessions_.erase(session);
  std::erase_if(sessionObjects_, [&](const auto& entry) { return entry.second.owner == handle; });
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
  std::erase_if(sessionObjects_, [&](const auto& entry) {
    return entry.second.slot == slotID && entry.second.isPrivate;
  });
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
  if (slot->pinRequired) info->flags |= CKF_LOGIN_REQUIRED;
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

}  // namespace brellis::platform::crypto_token_kit::pkcs11
