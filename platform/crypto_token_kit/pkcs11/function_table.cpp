// The module's function table: each function takes the module of this process and hands the
// call to it; what the module does not offer answers CKR_FUNCTION_NOT_SUPPORTED. No exception
// leaves a call.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstring>

#include "platform/crypto_token_kit/pkcs11/entry_points.h"
#include "platform/crypto_token_kit/pkcs11/module_calls.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

constexpr const char* kLibraryManufacturer = "Velkor";
constexpr const char* kLibraryDescription = "Brellis token";

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
// The token has no random-number generator (CKF_RNG is not set).
CK_RV noRandomNumberGenerator(CK_SESSION_HANDLE s) {
  return withModule([&](Module& m) {
    const CK_RV rv = m.unsupportedWithSession(s);
    return rv == CKR_FUNCTION_NOT_SUPPORTED ? CKR_RANDOM_NO_RNG : rv;
  });
}
CK_RV seedRandom(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) { return noRandomNumberGenerator(s); }
CK_RV generateRandom(CK_SESSION_HANDLE s, CK_BYTE_PTR, CK_ULONG) {
  return noRandomNumberGenerator(s);
}
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

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (!list) return CKR_ARGUMENTS_BAD;
  *list = brellis::platform::crypto_token_kit::pkcs11::functionList();
  return CKR_OK;
}

}  // extern "C"
