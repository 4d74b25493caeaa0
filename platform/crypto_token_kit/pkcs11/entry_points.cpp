// The module's C interface: C_GetFunctionList and the functions of its table. Each call takes
// the current module (made by C_Initialize in this process) and hands the call to it; what the
// module does not offer answers CKR_FUNCTION_NOT_SUPPORTED. No exception leaves a call.
#include "platform/crypto_token_kit/pkcs11/entry_points.h"

#include <p11-kit/pkcs11.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/crypto_token_kit/pkcs11/module.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

// How long C_Finalize waits for operations in flight to leave once they were canceled.
constexpr std::chrono::seconds kFinalizeWait{10};

constexpr const char* kLibraryManufacturer = "Velkor";
constexpr const char* kLibraryDescription = "Brellis token";

// Guards `module` and `owner`. A plain pthread mutex: it is held across fork() (see the
// handlers below) so a child never inherits it locked by a thread that does not exist there.
pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;
// Heap-held so that a forked child can abandon its parent's module without running its
// destructor (the threads it would join do not exist in the child).
std::shared_ptr<Module>* module = nullptr;
pid_t owner = 0;
pthread_once_t forkHandlersOnce = PTHREAD_ONCE_INIT;

void lockState() { pthread_mutex_lock(&stateMutex); }
void unlockState() { pthread_mutex_unlock(&stateMutex); }

void installForkHandlers() { pthread_atfork(lockState, unlockState, unlockState); }

struct StateLock {
  StateLock() { lockState(); }
  ~StateLock() { unlockState(); }
};

// The module initialised in this process; null before C_Initialize, after C_Finalize, and in a
// child forked after C_Initialize until it calls C_Initialize itself.
std::shared_ptr<Module> current() {
  StateLock lock;
  if (!module || owner != ::getpid()) return nullptr;
  return *module;
}

template <class F>
CK_RV guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

// Runs `body` with the current module, or answers CKR_CRYPTOKI_NOT_INITIALIZED.
template <class F>
CK_RV withModule(F&& body) {
  return guarded([&]() -> CK_RV {
    auto current_ = current();
    if (!current_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return body(*current_);
  });
}

void copyPadded(CK_UTF8CHAR* field, size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::min(size, std::strlen(text)));
}

CK_RV notSupported() {
  return withModule([](Module&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

CK_RV notSupported(CK_SESSION_HANDLE session) {
  return withModule([&](Module& m) { return m.unsupportedWithSession(session); });
}

}  // namespace

CK_RV initialize(CK_VOID_PTR initArgs) {
  return guarded([&]() -> CK_RV {
    pthread_once(&forkHandlersOnce, installForkHandlers);
    if (initArgs) {
      const auto& args = *static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
      if (args.pReserved) return CKR_ARGUMENTS_BAD;
      const int given = (args.CreateMutex != nullptr) + (args.DestroyMutex != nullptr) +
                        (args.LockMutex != nullptr) + (args.UnlockMutex != nullptr);
      if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
      // The module locks with the operating system's primitives only.
      if (given == 4 && !(args.flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
      // The token service runs operations on threads of its own.
      if (args.flags & CKF_LIBRARY_CANT_CREATE_OS_THREADS) return CKR_NEED_TO_CREATE_THREADS;
    }
    StateLock lock;
    if (module && owner == ::getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    // A module inherited over fork() is left as it is: this process only forgets it.
    module = nullptr;
    auto backend = makeTokenBackend();
    if (!backend) return CKR_GENERAL_ERROR;
    module = new std::shared_ptr<Module>(std::make_shared<Module>(std::move(backend)));
    owner = ::getpid();
    return CKR_OK;
  });
}

CK_RV finalize(CK_VOID_PTR reserved) {
  return guarded([&]() -> CK_RV {
    if (reserved) return CKR_ARGUMENTS_BAD;
    std::shared_ptr<Module> ending;
    {
      StateLock lock;
      if (!module || owner != ::getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
      ending = std::move(*module);
      delete module;
      module = nullptr;
    }
    // Operations in flight are answered at once; the last holder releases the token service.
    ending->shutdown(kFinalizeWait);
    return CKR_OK;
  });
}

namespace {

CK_RV getInfo(CK_INFO_PTR info) {
  return withModule([&](Module&) -> CK_RV {
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    copyPadded(info->manufacturerID, sizeof info->manufacturerID, kLibraryManufacturer);
    copyPadded(info->libraryDescription, sizeof info->libraryDescription, kLibraryDescription);
    info->libraryVersion = {1, 0};
    return CKR_OK;
  });
}

CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  return withModule([&](Module& m) { return m.getSlotList(present, list, count); });
}
CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  return withModule([&](Module& m) { return m.getSlotInfo(slot, info); });
}
CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  return withModule([&](Module& m) { return m.getTokenInfo(slot, info); });
}
CK_RV getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  return withModule([&](Module& m) { return m.getMechanismList(slot, list, count); });
}
CK_RV getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  return withModule([&](Module& m) { return m.getMechanismInfo(slot, type, info); });
}
CK_RV initToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) { return notSupported(); }
CK_RV initPIN(CK_SESSION_HANDLE s, CK_UTF8CHAR_PTR, CK_ULONG) { return notSupported(s); }
CK_RV setPIN(CK_SESSION_HANDLE s, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
  return notSupported(s);
}
CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                  CK_SESSION_HANDLE_PTR session) {
  return withModule([&](Module& m) { return m.openSession(slot, flags, session); });
}
CK_RV closeSession(CK_SESSION_HANDLE s) {
  return withModule([&](Module& m) { return m.closeSession(s); });
}
CK_RV closeAllSessions(CK_SLOT_ID slot) {
  return withModule([&](Module& m) { return m.closeAllSessions(slot); });
}
CK_RV getSessionInfo(CK_SESSION_HANDLE s, CK_SESSION_INFO_PTR info) {
  return withModule([&](Module& m) { return m.getSessionInfo(s, info); });
}
CK_RV getOperationState(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(s); }
CK_RV setOperationState(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
                        CK_OBJECT_HANDLE) {
  return notSupported(s);
}
CK_RV login(CK_SESSION_HANDLE s, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  return withModule([&](Module& m) { return m.login(s, type, pin, length); });
}
CK_RV logout(CK_SESSION_HANDLE s) {
  return withModule([&](Module& m) { return m.logout(s); });
}
CK_RV createObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return notSupported(s);
}
CK_RV copyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                 CK_OBJECT_HANDLE_PTR) {
  return notSupported(s);
}
CK_RV destroyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object) {
  return withModule([&](Module& m) { return m.destroyObject(s, object); });
}
CK_RV getObjectSize(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ULONG_PTR size) {
  return withModule([&](Module& m) { return m.getObjectSize(s, object, size); });
}
CK_RV getAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
  return withModule([&](Module& m) { return m.getAttributeValue(s, object, attributes, count); });
}
CK_RV setAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
  return notSupported(s);
}
CK_RV findObjectsInit(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  return withModule([&](Module& m) { return m.findObjectsInit(s, attributes, count); });
}
CK_RV findObjects(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                  CK_ULONG_PTR count) {
  return withModule([&](Module& m) { return m.findObjects(s, objects, max, count); });
}
CK_RV findObjectsFinal(CK_SESSION_HANDLE s) {
  return withModule([&](Module& m) { return m.findObjectsFinal(s); });
}
CK_RV encryptInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
  return notSupported(s);
}
CK_RV encrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV encryptUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV encryptFinal(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(s); }
CK_RV decryptInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return withModule(
      [&](Module& m) { return m.operationInit(s, mechanism, key, TKTokenOperation::decryptData); });
}
CK_RV decrypt(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG inLength, CK_BYTE_PTR out,
              CK_ULONG_PTR outLength) {
  return withModule([&](Module& m) {
    return m.operationRun(s, TKTokenOperation::decryptData, in, inLength, out, outLength);
  });
}
CK_RV decryptUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG inLength, CK_BYTE_PTR,
                    CK_ULONG_PTR) {
  return withModule(
      [&](Module& m) { return m.operationUpdate(s, TKTokenOperation::decryptData, in, inLength); });
}
CK_RV decryptFinal(CK_SESSION_HANDLE s, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
  return withModule([&](Module& m) {
    return m.operationFinal(s, TKTokenOperation::decryptData, out, outLength);
  });
}
CK_RV digestInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR) { return notSupported(s); }
CK_RV digest(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV digestUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) { return notSupported(s); }
CK_RV digestKey(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE) { return notSupported(s); }
CK_RV digestFinal(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(s); }
CK_RV signInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return withModule(
      [&](Module& m) { return m.operationInit(s, mechanism, key, TKTokenOperation::signData); });
}
CK_RV sign(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG inLength, CK_BYTE_PTR out,
           CK_ULONG_PTR outLength) {
  return withModule([&](Module& m) {
    return m.operationRun(s, TKTokenOperation::signData, in, inLength, out, outLength);
  });
}
CK_RV signUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR in, CK_ULONG inLength) {
  return withModule(
      [&](Module& m) { return m.operationUpdate(s, TKTokenOperation::signData, in, inLength); });
}
CK_RV signFinal(CK_SESSION_HANDLE s, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
  return withModule(
      [&](Module& m) { return m.operationFinal(s, TKTokenOperation::signData, out, outLength); });
}
CK_RV signRecoverInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
  return notSupported(s);
}
CK_RV signRecover(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV verifyInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
  return notSupported(s);
}
CK_RV verify(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
  return notSupported(s);
}
CK_RV verifyUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) { return notSupported(s); }
CK_RV verifyFinal(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) { return notSupported(s); }
CK_RV verifyRecoverInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
  return notSupported(s);
}
CK_RV verifyRecover(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV digestEncryptUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV decryptDigestUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV signEncryptUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV decryptVerifyUpdate(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV generateKey(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) {
  return notSupported(s);
}
CK_RV generateKeyPair(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                      CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
  return notSupported(s);
}
CK_RV wrapKey(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
              CK_BYTE_PTR, CK_ULONG_PTR) {
  return notSupported(s);
}
CK_RV unwrapKey(CK_SESSION_HANDLE s, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return notSupported(s);
}
CK_RV deriveKey(CK_SESSION_HANDLE s, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE base,
                CK_ATTRIBUTE_PTR attributes, CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
  return withModule(
      [&](Module& m) { return m.deriveKey(s, mechanism, base, attributes, count, key); });
}
CK_RV seedRandom(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) {
  return withModule([&](Module& m) {
    const CK_RV rv = m.unsupportedWithSession(s);
    return rv == CKR_FUNCTION_NOT_SUPPORTED ? CKR_RANDOM_SEED_NOT_SUPPORTED : rv;
  });
}
CK_RV generateRandom(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) { return notSupported(s); }
CK_RV getFunctionStatus(CK_SESSION_HANDLE s) {
  return withModule([&](Module& m) {
    const CK_RV rv = m.unsupportedWithSession(s);
    return rv == CKR_FUNCTION_NOT_SUPPORTED ? CKR_FUNCTION_NOT_PARALLEL : rv;
  });
}
CK_RV cancelFunction(CK_SESSION_HANDLE s) { return getFunctionStatus(s); }
CK_RV waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved) {
  return withModule([&](Module&) -> CK_RV {
    if (!slot || reserved) return CKR_ARGUMENTS_BAD;
    // Slot events are not tracked: a caller that would block is told the function is absent.
    return (flags & CKF_DONT_BLOCK) ? CKR_NO_EVENT : CKR_FUNCTION_NOT_SUPPORTED;
  });
}

CK_FUNCTION_LIST kFunctionList = {
    {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
    C_Initialize,
    C_Finalize,
    getInfo,
    C_GetFunctionList,
    getSlotList,
    getSlotInfo,
    getTokenInfo,
    getMechanismList,
    getMechanismInfo,
    initToken,
    initPIN,
    setPIN,
    openSession,
    closeSession,
    closeAllSessions,
    getSessionInfo,
    getOperationState,
    setOperationState,
    login,
    logout,
    createObject,
    copyObject,
    destroyObject,
    getObjectSize,
    getAttributeValue,
    setAttributeValue,
    findObjectsInit,
    findObjects,
    findObjectsFinal,
    encryptInit,
    encrypt,
    encryptUpdate,
    encryptFinal,
    decryptInit,
    decrypt,
    decryptUpdate,
    decryptFinal,
    digestInit,
    digest,
    digestUpdate,
    digestKey,
    digestFinal,
    signInit,
    sign,
    signUpdate,
    signFinal,
    signRecoverInit,
    signRecover,
    verifyInit,
    verify,
    verifyUpdate,
    verifyFinal,
    verifyRecoverInit,
    verifyRecover,
    digestEncryptUpdate,
    decryptDigestUpdate,
    signEncryptUpdate,
    decryptVerifyUpdate,
    generateKey,
    generateKeyPair,
    wrapKey,
    unwrapKey,
    deriveKey,
    seedRandom,
    generateRandom,
    getFunctionStatus,
    cancelFunction,
    waitForSlotEvent,
};

}  // namespace

CK_FUNCTION_LIST* functionList() { return &kFunctionList; }

}  // namespace brellis::platform::crypto_token_kit::pkcs11

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR initArgs) {
  return brellis::platform::crypto_token_kit::pkcs11::initialize(initArgs);
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
  return brellis::platform::crypto_token_kit::pkcs11::finalize(reserved);
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (!list) return CKR_ARGUMENTS_BAD;
  *list = brellis::platform::crypto_token_kit::pkcs11::functionList();
  return CKR_OK;
}

}  // extern "C"
