#include "platform/security/code_signing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "platform/crypto/crypto.h"
#include "platform/foundation/decoding_error.h"
#include "platform/security/x509_certificate.h"

namespace brellis::platform::security {
namespace {

constexpr size_t kMaxExecutableSize = size_t{1} << 31;
constexpr size_t kMaxSignatureFileSize = 1 << 20;

std::string procPath(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Reads a whole descriptor, bounded; absent on a read error or when over `limit`.
std::optional<foundation::Bytes> readAll(int fd, size_t limit) {
  foundation::Bytes bytes;
  uint8_t buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    if (bytes.size() + static_cast<size_t>(n) > limit) return std::nullopt;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
}

struct FileDescriptor {
  explicit FileDescriptor(int fd) : fd(fd) {}
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int fd;
};

std::optional<std::filesystem::path> readExecutableLink(pid_t pid) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink(procPath(pid, "exe"), error);
  if (error) return std::nullopt;
  return path;
}

bool verifyLeafSignature(const X509Certificate& leaf, const foundation::Bytes& data,
                         const foundation::Bytes& signature) {
  EVP_PKEY* key = X509_get0_pubkey(leaf.get());
  if (key == nullptr) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context) return false;
  const EVP_MD* digest = EVP_PKEY_get_id(key) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
  if (EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr, key) != 1) return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                          data.size()) == 1;
}

// Verifies the chain up to the anchor store; returns the verified chain (leaf first, anchor
// last) or absent.
std::optional<std::vector<foundation::Bytes>> verifyChain(
    const std::vector<X509Certificate>& chain) {
  std::vector<foundation::Bytes> anchors = loadAnchors();
  if (anchors.empty()) return std::nullopt;
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), &X509_STORE_free);
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
      sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_free(stack); });
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                          &X509_STORE_CTX_free);
  if (!store || !untrusted || !context) return std::nullopt;
  std::vector<X509Certificate> anchorCertificates;
  for (const auto& der : anchors) {
    if (auto certificate = X509Certificate::fromDer(der)) {
      X509_STORE_add_cert(store.get(), certificate->get());
      anchorCertificates.push_back(std::move(*certificate));
    }
  }
  for (size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted.get(), chain[i].get());
  if (X509_STORE_CTX_init(context.get(), store.get(), chain[0].get(), untrusted.get()) != 1) {
    return std::nullopt;
  }
  if (X509_verify_cert(context.get()) != 1) return std::nullopt;
  std::vector<foundation::Bytes> verified;
  STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context.get());
  for (int i = 0; i < sk_X509_num(built); ++i) {
    X509* x509 = sk_X509_value(built, i);
    unsigned char* der = nullptr;
    int length = i2d_X509(x509, &der);
    if (length <= 0) return std::nullopt;
    verified.emplace_back(der, der + length);
    OPENSSL_free(der);
  }
  return verified;
}

ValidityResult failure(OSStatus status, const std::string& message,
                       std::optional<std::filesystem::path> path) {
  return ValidityResult{status, message, std::move(path)};
}

// `stillTheSame` is asked after the executable was read: a guest that exec'ed or whose pid was
// reused meanwhile is not trusted with the old answer.
ValidityResult evaluate(int executableFd, const std::filesystem::path& path,
                        const Requirement* requirement,
                        const std::function<bool()>& stillTheSame = nullptr) {
  SigningInformation information;
  try {
    information = verifySignature(executableFd, signaturePath(path));
  } catch (const SecurityError& error) {
    if (stillTheSame && !stillTheSame()) {
      return failure(errSecCSNoSuchCode, *errorMessage(errSecCSNoSuchCode), path);
    }
    return failure(error.status(), error.what(), path);
  }
  if (stillTheSame && !stillTheSame()) {
    return failure(errSecCSNoSuchCode, *errorMessage(errSecCSNoSuchCode), path);
  }
  if (requirement != nullptr && !requirement->isSatisfiedBy(information)) {
    return failure(errSecCSReqFailed, *errorMessage(errSecCSReqFailed), path);
  }
  return ValidityResult{errSecSuccess, "", path};
}

}  // namespace

SigningInformation verifySignature(int executableFd, const std::filesystem::path& signatureFile) {
  FileDescriptor file(::open(signatureFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (file.fd < 0) {
    if (errno == ENOENT) throw SecurityError(errSecCSUnsigned, *errorMessage(errSecCSUnsigned));
    throw SecurityError(errSecCSSignatureFailed, "signature cannot be read");
  }
  struct stat status {};
  if (::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    throw SecurityError(errSecCSSignatureFailed, "signature is not a regular file");
  }
  std::optional<foundation::Bytes> bytes = readAll(file.fd, kMaxSignatureFileSize);
  if (!bytes) throw SecurityError(errSecCSSignatureFailed, "signature cannot be read");
  CodeSignature signature;
  try {
    signature = decodeCodeSignature(*bytes);
  } catch (const foundation::DecodingError& error) {
    throw SecurityError(errSecCSSignatureFailed, error.debugDescription());
  }

  // The executable is read only once there is a signature to check it against.
  std::optional<foundation::Bytes> digest =
      crypto::sha256OfDescriptor(executableFd, kMaxExecutableSize);
  if (!digest) throw SecurityError(errSecCSSignatureFailed, "the executable cannot be read");
  if (!crypto::constantTimeEqual(*digest, signature.executableHash)) {
    throw SecurityError(errSecCSSignatureFailed,
                        "the executable does not match its signature (modified after signing)");
  }
  std::vector<X509Certificate> chain;
  for (const auto& der : signature.certificates) {
    std::optional<X509Certificate> certificate = X509Certificate::fromDer(der);
    if (!certificate) throw SecurityError(errSecCSSignatureFailed, "malformed certificate");
    chain.push_back(std::move(*certificate));
  }
  if (!verifyLeafSignature(chain[0], signature.signedData, signature.signature)) {
    throw SecurityError(errSecCSSignatureFailed, *errorMessage(errSecCSSignatureFailed));
  }
  SigningInformation information;
  information.identifier = signature.identifier;
  information.info = signature.info;
  if (auto verified = verifyChain(chain)) {
    information.anchored = true;
    information.certificates = std::move(*verified);
  } else {
    information.certificates = signature.certificates;
  }
  return information;
}

GuestCode::GuestCode(GuestIdentity identity, std::filesystem::path path)
    : identity_(identity), path_(std::move(path)) {}

GuestCode GuestCode::copyGuest(const GuestIdentity& identity) {
  const std::string noSuchCode = *errorMessage(errSecCSNoSuchCode);
  if (processStartTime(identity.pid) != identity.startTime) {
    throw SecurityError(errSecCSNoSuchCode, noSuchCode);
  }
  std::optional<std::filesystem::path> path = readExecutableLink(identity.pid);
  if (!path || processStartTime(identity.pid) != identity.startTime) {
    throw SecurityError(errSecCSNoSuchCode, noSuchCode);
  }
  return GuestCode(identity, std::move(*path));
}

ValidityResult checkValidity(const GuestCode& code, const Requirement* requirement) {
  const GuestIdentity& identity = code.identity();
  const std::string noSuchCode = *errorMessage(errSecCSNoSuchCode);
  auto sameProcess = [&identity] { return processStartTime(identity.pid) == identity.startTime; };
  if (!sameProcess()) return failure(errSecCSNoSuchCode, noSuchCode, code.path());
  // /proc/<pid>/exe opens the file the process runs, even if its path was replaced since.
  FileDescriptor executable(::open(procPath(identity.pid, "exe").c_str(), O_RDONLY | O_CLOEXEC));
  if (executable.fd < 0) return failure(errSecCSNoSuchCode, noSuchCode, code.path());
  struct stat status {};
  if (::fstat(executable.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return failure(errSecCSNoSuchCode, noSuchCode, code.path());
  }
  if (identity.executableInode != 0 &&
      (status.st_dev != identity.executableDevice || status.st_ino != identity.executableInode)) {
    return failure(errSecCSNoSuchCode, "the process runs another program than when it connected",
                   code.path());
  }
  return evaluate(executable.fd, code.path(), requirement, sameProcess);
}

ValidityResult checkGuestValidity(const GuestIdentity& identity, const Requirement& requirement) {
  try {
    return checkValidity(GuestCode::copyGuest(identity), &requirement);
  } catch (const SecurityError& error) {
    return failure(error.status(), error.what(), std::nullopt);
  }
}

ValidityResult checkStaticCodeValidity(const std::filesystem::path& executablePath,
                                       const Requirement& requirement) {
  FileDescriptor executable(::open(executablePath.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (executable.fd < 0 || ::fstat(executable.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return failure(errSecCSNoSuchCode, *errorMessage(errSecCSNoSuchCode), executablePath);
  }
  return evaluate(executable.fd, executablePath, &requirement);
}

}  // namespace brellis::platform::security
