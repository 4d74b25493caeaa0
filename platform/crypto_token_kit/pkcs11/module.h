#pragma once

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/pkcs11/error_table.h"
#include "platform/crypto_token_kit/pkcs11/mechanisms.h"
#include "platform/crypto_token_kit/pkcs11/token_backend.h"
#include "platform/crypto_token_kit/pkcs11/token_objects.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

// The state of one initialised module: slots (one per configured token instance, kept for the
// module's life once seen), sessions, object handles and the login state, with every PKCS#11
// function that needs them. Every method may be called from any thread: the tables are guarded
// by one mutex, which is never held while the token service runs a key operation (that may wait
// on the phone), so other sessions go on meanwhile.
class Module {
 public:
  // The longest message a multi-part operation collects.
  static constexpr size_t kMaxMessageBytes = 1 << 20;
  static constexpr CK_ULONG kMinPinLength = 1;
  static constexpr CK_ULONG kMaxPinLength = 64;

  explicit Module(std::shared_ptr<TokenBackend> backend);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Ends the module: every key operation in flight is canceled and the call waits for them to
  // leave, at most `limit`. Later calls find no sessions.
  void shutdown(std::chrono::milliseconds limit);

  CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
  CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
  CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
  CK_RV getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
  CK_RV getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);

  CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session);
  CK_RV closeSession(CK_SESSION_HANDLE session);
  CK_RV closeAllSessions(CK_SLOT_ID slot);
  CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info);
  CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
              CK_ULONG pinLength);
  CK_RV logout(CK_SESSION_HANDLE session);

  CK_RV destroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);
  CK_RV getObjectSize(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG_PTR size);
  CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                          CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
  CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
  CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                    CK_ULONG_PTR count);
  CK_RV findObjectsFinal(CK_SESSION_HANDLE session);

  // C_SignInit and C_DecryptInit.
  CK_RV operationInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                      TKTokenOperation operation);
  // C_Sign and C_Decrypt (single part).
  CK_RV operationRun(CK_SESSION_HANDLE session, TKTokenOperation operation, CK_BYTE_PTR input,
                     CK_ULONG inputLength, CK_BYTE_PTR output, CK_ULONG_PTR outputLength);
  // C_SignUpdate and C_DecryptUpdate.
  CK_RV operationUpdate(CK_SESSION_HANDLE session, TKTokenOperation operation, CK_BYTE_PTR input,
                        CK_ULONG inputLength);
  // C_SignFinal.
  CK_RV operationFinal(CK_SESSION_HANDLE session, TKTokenOperation operation, CK_BYTE_PTR output,
                       CK_ULONG_PTR outputLength);
  CK_RV deriveKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE baseKey,
                  CK_ATTRIBUTE_PTR attributes, CK_ULONG count, CK_OBJECT_HANDLE_PTR key);

  // For a function the module does not offer: CKR_FUNCTION_NOT_SUPPORTED for a valid session.
  CK_RV unsupportedWithSession(CK_SESSION_HANDLE session);

 private:
  struct Slot {
    CK_SLOT_ID id = 0;
    TokenIdentity identity;
    bool present = false;
    // The token asks for a PIN before every key operation (read with the token's items).
    bool pinRequired = false;
    bool loggedIn = false;
    std::string userPin;
    // Counts the user's logins, so a PIN refused by the phone is known to be this login's.
    uint64_t login = 0;
  };
  // A PIN of C_Login(CKU_CONTEXT_SPECIFIC): wiped when the operation it was given for ends,
  // however it ends.
  struct ContextPin {
    std::string text;
    ContextPin() = default;
    ContextPin(const ContextPin&) = delete;
    ContextPin& operator=(const ContextPin&) = delete;
    ~ContextPin();
  };
  struct Operation {
    MechanismUse use;
    KeyDescription key;
    TokenIdentity token;
    foundation::Bytes message;
    bool updated = false;
    bool running = false;
    // A result kept after CKR_BUFFER_TOO_SMALL, so the phone is not asked twice.
    std::optional<foundation::Bytes> result;
    // The context-specific PIN given for this operation (its key asks on every use); taken by
    // the one key operation it runs.
    std::shared_ptr<ContextPin> contextPin;
  };
  struct Session {
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    std::optional<Operation> sign;
    std::optional<Operation> decrypt;
    std::optional<std::vector<CK_OBJECT_HANDLE>> found;
    size_t foundPosition = 0;
    // The kind of the operation initialised last: the one a context-specific login is for.
    std::optional<TKTokenOperation> lastInitialised;
  };
  // An object the application made (a derived secret): seen by every session of its slot,
  // destroyed with the session that made it, and, when private, at logout.
  struct SessionObject {
    CK_SESSION_HANDLE owner = 0;
    CK_SLOT_ID slot = 0;
    bool isPrivate = false;
    TokenObject object;
  };
  using Lock = std::unique_lock<std::mutex>;

  // Reads the configured tokens and brings the slot table up to date (under the lock).
  void refreshLocked(const std::vector<TokenSnapshot>& tokens);
  void refresh();
  Slot* slotLocked(CK_SLOT_ID id);
  Session* sessionLocked(CK_SESSION_HANDLE handle);
  void closeSessionLocked(std::map<CK_SESSION_HANDLE, Session>::iterator session);
  // The objects of a slot's token, each with its handle (assigned on first sight).
  std::vector<std::pair<CK_OBJECT_HANDLE, TokenObject>> tokenObjectsLocked(
      const Slot& slot, const TKTokenKeychainItems& items);
  std::optional<TKTokenKeychainItems> itemsOf(const TokenIdentity& identity);
  // Finds an object visible in the session: a session object or one of the token's.
  std::optional<TokenObject> objectFor(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                       CK_RV* missing);
  bool capability(const TokenIdentity& token, const KeyDescription& key, TKTokenOperation op);
  std::optional<foundation::Bytes> attributeValue(const TokenIdentity& token,
                                                  const TokenObject& object,
                                                  CK_ATTRIBUTE_TYPE type);
  CK_ULONG resultLength(const Operation& operation) const;
  // Runs a prepared key operation without the lock held; takes the PIN the operation may use.
  TKResult<foundation::Bytes> performUnlocked(
      const TokenIdentity& token, const KeyDescription& key, const MechanismUse& use,
      const foundation::Bytes& input, const std::optional<TKTokenKeyExchangeParameters>& parameters,
      std::optional<std::string> pin, PinUse* pinUse);
  // The PIN a key operation gives the token, and whether it is the user's login PIN.
  struct OperationPin {
    std::optional<std::string> text;
    // The login (Slot::login) whose PIN this is: the user's PIN, or a context PIN equal to it;
    // absent for any other context PIN or none.
    std::optional<uint64_t> login;
  };
  // The PIN a key operation of `session` on `key` takes: the context PIN given for it (taken
  // out of `contextPin`), else the user's. A key that asks for its PIN on every use takes the
  // user's only in an operation without an initialisation (`initialised` false: a derivation),
  // which no context-specific login can be given for.
  OperationPin pinForOperationLocked(const Session& session, const KeyDescription& key,
                                     std::shared_ptr<ContextPin> contextPin, bool initialised);
  // The phone refused the PIN an operation gave: the user is logged out only when that PIN was
  // the one of the login still in force (any other refused context PIN ends its operation
  // alone), so a PIN known to be wrong is not sent again.
  void pinRefusedLocked(CK_SLOT_ID slot, const OperationPin& pin);
  // Logs the slot's user out: the PIN and the private session objects go.
  void forgetPinLocked(CK_SLOT_ID slot);
  CK_RV finishOperation(CK_SESSION_HANDLE session, TKTokenOperation operation, CK_BYTE_PTR output,
                        CK_ULONG_PTR outputLength, Lock& lock);
  // The session's sign or decrypt slot for `operation`.
  static std::optional<Operation>& activeOf(Session& session, TKTokenOperation operation);
  // The operation in progress of `operation`'s kind, checked as every step after the init checks
  // it: the session exists, the operation was initialised and is not running on another thread
  // (nor, for a single-part call, fed by C_*Update), and the arguments are present
  // (`argumentsPresent`; a missing one ends the operation). On success `*active` is the
  // operation and the result is CKR_OK.
  CK_RV continuingOperationLocked(CK_SESSION_HANDLE session, TKTokenOperation operation,
                                  bool singlePart, bool argumentsPresent,
                                  std::optional<Operation>** active);

  std::shared_ptr<TokenBackend> backend_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int running_ = 0;
  bool shutDown_ = false;
  std::map<CK_SLOT_ID, Slot> slots_;
  std::map<TokenIdentity, CK_SLOT_ID> slotIDs_;
  std::map<CK_SESSION_HANDLE, Session> sessions_;
  std::map<CK_OBJECT_HANDLE, SessionObject> sessionObjects_;
  std::map<std::pair<CK_SLOT_ID, std::string>, CK_OBJECT_HANDLE> tokenHandles_;
  std::map<CK_OBJECT_HANDLE, std::pair<CK_SLOT_ID, std::string>> tokenObjects_;
  CK_SLOT_ID nextSlot_ = 1;
  CK_SESSION_HANDLE nextSession_ = 1;
  CK_OBJECT_HANDLE nextObject_ = 1;
};

}  // namespace brellis::platform::crypto_token_kit::pkcs11
