// brellis-pkcs11-probe <module> <scenario> [files...]: a PKCS#11 client that makes the calls no
// tool makes, on the module loaded with dlopen. It prints one line per step ("<step> <rv>",
// the return value in hex) and ends 0 when every call could be made.
//   fork-sign <parent signature> <child signature>: signs, forks, and signs in the child after
//     its own C_Initialize, then once more in the parent (SHA256-RSA-PKCS, the PIN given as the key
//     asks).
//   context-pin: context-specific logins that belong to no operation, to an operation that
//     ended early, or to another operation; then a signature with the PIN given for it.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

CK_FUNCTION_LIST* p11 = nullptr;
CK_UTF8CHAR pin[] = "1234";
const std::string message = "a message the probe has signed";

void report(const char* step, CK_RV rv) {
  std::printf("%s 0x%lx\n", step, static_cast<unsigned long>(rv));
  std::fflush(stdout);
}

struct Session {
  CK_SESSION_HANDLE handle = 0;
  CK_OBJECT_HANDLE key = 0;
  bool alwaysAuthenticate = false;
};

bool openSession(Session* session) {
  CK_SLOT_ID slot = 0;
  CK_ULONG count = 1;
  if (p11->C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count != 1) return false;
  if (p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session->handle) != CKR_OK) {
    return false;
  }
  // A token that asks for a PIN shows its private key only after the user's login.
  p11->C_Login(session->handle, CKU_USER, pin, 4);
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl{CKA_CLASS, &keyClass, sizeof keyClass};
  if (p11->C_FindObjectsInit(session->handle, &tmpl, 1) != CKR_OK ||
      p11->C_FindObjects(session->handle, &session->key, 1, &count) != CKR_OK || count != 1 ||
      p11->C_FindObjectsFinal(session->handle) != CKR_OK) {
    return false;
  }
  CK_BBOOL always = CK_FALSE;
  CK_ATTRIBUTE attribute{CKA_ALWAYS_AUTHENTICATE, &always, sizeof always};
  p11->C_GetAttributeValue(session->handle, session->key, &attribute, 1);
  session->alwaysAuthenticate = always == CK_TRUE;
  return true;
}

// C_SignInit, the context PIN when the key asks for it, C_Sign; the signature into `path`.
CK_RV signInto(const Session& session, CK_MECHANISM_TYPE type, const char* path) {
  CK_MECHANISM mechanism{type, nullptr, 0};
  CK_RV rv = p11->C_SignInit(session.handle, &mechanism, session.key);
  if (rv == CKR_OK && session.alwaysAuthenticate) {
    rv = p11->C_Login(session.handle, CKU_CONTEXT_SPECIFIC, pin, 4);
  }
  if (rv != CKR_OK) return rv;
  std::vector<CK_BYTE> signature(512);
  CK_ULONG length = signature.size();
  rv = p11->C_Sign(session.handle, reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(message.data())),
                   message.size(), signature.data(), &length);
  if (rv != CKR_OK || !path) return rv;
  FILE* file = std::fopen(path, "wb");
  if (!file) return CKR_GENERAL_ERROR;
  const bool written = std::fwrite(signature.data(), 1, length, file) == length;
  return std::fclose(file) == 0 && written ? CKR_OK : CKR_GENERAL_ERROR;
}

int forkSign(const char* parentPath, const char* childPath) {
  Session session;
  report("initialize", p11->C_Initialize(nullptr));
  if (!openSession(&session)) return 2;
  report("parent-sign", signInto(session, CKM_SHA256_RSA_PKCS, parentPath));
  pid_t child = ::fork();
  if (child < 0) return 3;
  if (child == 0) {
    // The parent's module, threads and connections are the parent's: the child starts its own.
    Session own;
    report("child-initialize", p11->C_Initialize(nullptr));
    if (!openSession(&own)) ::_exit(2);
    report("child-sign", signInto(own, CKM_SHA256_RSA_PKCS, childPath));
    report("child-finalize", p11->C_Finalize(nullptr));
    std::fflush(nullptr);
    ::_exit(0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return 4;
  }
  report("parent-sign-again", signInto(session, CKM_SHA256_RSA_PKCS, nullptr));
  report("finalize", p11->C_Finalize(nullptr));
  return 0;
}

int contextPin() {
  Session session;
  report("initialize", p11->C_Initialize(nullptr));
  if (!openSession(&session)) return 2;
  CK_SESSION_HANDLE s = session.handle;
  CK_MECHANISM sign{CKM_SHA256_RSA_PKCS, nullptr, 0};
  CK_MECHANISM decrypt{CKM_RSA_PKCS, nullptr, 0};
  auto data = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(message.data()));
  std::vector<CK_BYTE> out(512);
  CK_ULONG length = out.size();
  auto signNow = [&] {
    length = out.size();
    return p11->C_Sign(s, data, message.size(), out.data(), &length);
  };

  // No operation: the PIN belongs to nothing, and a later signature has none.
  report("login-without-operation", p11->C_Login(s, CKU_CONTEXT_SPECIFIC, pin, 4));
  report("sign-init", p11->C_SignInit(s, &sign, session.key));
  report("sign-after-login-without-operation", signNow());

  // A signature that ends early takes its PIN with it.
  report("sign-init", p11->C_SignInit(s, &sign, session.key));
  report("login-for-sign", p11->C_Login(s, CKU_CONTEXT_SPECIFIC, pin, 4));
  report("sign-bad-arguments", p11->C_Sign(s, data, message.size(), out.data(), nullptr));
  report("sign-init", p11->C_SignInit(s, &sign, session.key));
  report("sign-after-ended-operation", signNow());

  // A PIN given for a signature is not a decryption's.
  report("sign-init", p11->C_SignInit(s, &sign, session.key));
  report("login-for-sign", p11->C_Login(s, CKU_CONTEXT_SPECIFIC, pin, 4));
  report("decrypt-init", p11->C_DecryptInit(s, &decrypt, session.key));
  std::vector<CK_BYTE> cipher(256, 1);
  length = out.size();
  report("decrypt-with-the-sign-pin",
         p11->C_Decrypt(s, cipher.data(), cipher.size(), out.data(), &length));
  // ... and still the signature's.
  report("sign-with-its-pin", signNow());
  report("finalize", p11->C_Finalize(nullptr));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  void* library = ::dlopen(argv[1], RTLD_NOW);
  auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(
      library ? ::dlsym(library, "C_GetFunctionList") : nullptr);
  if (!getList || getList(&p11) != CKR_OK) return 65;
  const std::string scenario = argv[2];
  if (scenario == "fork-sign" && argc == 5) return forkSign(argv[3], argv[4]);
  if (scenario == "context-pin") return contextPin();
  return 64;
}
