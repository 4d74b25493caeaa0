// The module of this process: C_Initialize makes it, C_Finalize ends it, and a child forked after
// C_Initialize starts without it, as the standard asks.
#include "platform/crypto_token_kit/pkcs11/entry_points.h"

#include <pthread.h>
#include <unistd.h>

#include <memory>

#include "platform/crypto_token_kit/pkcs11/module_calls.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {

namespace {

// How long C_Finalize waits for operations in flight to leave once they were canceled.
constexpr std::chrono::seconds kFinalizeWait{10};

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

}  // namespace

std::shared_ptr<Module> currentModule() {
  StateLock lock;
  if (!module || owner != ::getpid()) return nullptr;
  return *module;
}

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
      // CKF_LIBRARY_CANT_CREATE_OS_THREADS is accepted (p11-kit passes it to every module): the
      // token service's threads are the module's own, started outside any of the caller's calls.
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

}  // namespace brellis::platform::crypto_token_kit::pkcs11

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR initArgs) {
  return brellis::platform::crypto_token_kit::pkcs11::initialize(initArgs);
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
  return brellis::platform::crypto_token_kit::pkcs11::finalize(reserved);
}

}  // extern "C"
