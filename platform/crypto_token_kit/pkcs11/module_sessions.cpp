// Module: sessions and login.
#include "platform/crypto_token_kit/pkcs11/module.h"
#include "platform/crypto_token_kit/pkcs11/module_internal.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

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
  if (userType == CKU_CONTEXT_SPECIFIC) {
    // The PIN belongs to the operation just initialised on a key that asks on every use, and
    // ends with it; anything else is refused and leaves the operation as it is.
    if (!session->lastInitialised) return CKR_OPERATION_NOT_INITIALIZED;
    auto& operation = activeOf(*session, *session->lastInitialised);
    if (!operation || !operation->key.alwaysAuthenticate || operation->running) {
      return CKR_OPERATION_NOT_INITIALIZED;
    }
    auto given = std::make_shared<ContextPin>();
    given->text.assign(reinterpret_cast<const char*>(pin), pinLength);
    operation->contextPin = std::move(given);
    return CKR_OK;
  }
  std::string text(reinterpret_cast<const char*>(pin), pinLength);
  Slot* slot = slotLocked(session->slot);
  if (slot->loggedIn) {
    wipe(text);
    return CKR_USER_ALREADY_LOGGED_IN;
  }
  // The PIN cannot be checked here: the phone checks it when an operation asks for it.
  slot->userPin = std::move(text);
  slot->loggedIn = true;
  ++slot->login;
  return CKR_OK;
}

CK_RV Module::logout(CK_SESSION_HANDLE handle) {
  Lock lock(mutex_);
  Session* session = sessionLocked(handle);
  if (!session) return CKR_SESSION_HANDLE_INVALID;
  Slot* slot = slotLocked(session->slot);
  if (!slot->loggedIn) return CKR_USER_NOT_LOGGED_IN;
  const CK_SLOT_ID slotID = session->slot;
  forgetPinLocked(slotID);
  // Context PINs given for operations in progress go too.
  for (auto& [other, entry] : sessions_) {
    if (entry.slot != slotID) continue;
    for (auto* operation : {&entry.sign, &entry.decrypt}) {
      if (*operation) (*operation)->contextPin.reset();
    }
  }
  return CKR_OK;
}

CK_RV Module::unsupportedWithSession(CK_SESSION_HANDLE handle) {
  Lock lock(mutex_);
  return sessionLocked(handle) ? CKR_FUNCTION_NOT_SUPPORTED : CKR_SESSION_HANDLE_INVALID;
}

}  // namespace brellis::platform::crypto_token_kit::pkcs11
