#include "platform/crypto/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

namespace brellis::platform::crypto {
namespace {

constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newCipherContext() {
  CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!context) throw CryptoError(CryptoError::Status::internal, "EVP_CIPHER_CTX_new failed");
  return context;
}

const EVP_CIPHER* gcmCipher(size_t keySize) {
  switch (keySize) {
    case 16:
      return EVP_aes_128_gcm();
    case 24:
      return EVP_aes_192_gcm();
    case 32:
      return EVP_aes_256_gcm();
    default:
      throw CryptoError(CryptoError::Status::incorrectKeySize,
                        "AES-GCM key must be 16, 24 or 32 bytes");
  }
}

int checkedLength(size_t size) {
  if (size > static_cast<size_t>(INT_MAX)) {
    throw CryptoError(CryptoError::Status::incorrectParameterSize, "input too large");
  }
  return static_cast<int>(size);
}

void expect(int result, const char* what) {
  if (result != 1) throw CryptoError(CryptoError::Status::internal, what);
}

}  // namespace

Bytes sha256(const Bytes& data) { return sha256(data.data(), data.size()); }

Bytes sha256(const void* data, size_t size) {
  Bytes digest(32);
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32) {
    throw CryptoError(CryptoError::Status::internal, "SHA-256 failed");
  }
  return digest;
}

std::optional<Bytes> sha256OfDescriptor(int fd, size_t limit) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw CryptoError(CryptoError::Status::internal, "SHA-256 failed");
  }
  std::vector<uint8_t> buffer(size_t{1} << 20);
  size_t total = 0;
  while (true) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > limit) return std::nullopt;
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) != 1) {
      throw CryptoError(CryptoError::Status::internal, "SHA-256 failed");
    }
  }
  Bytes digest(32);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != 32) {
    throw CryptoError(CryptoError::Status::internal, "SHA-256 failed");
  }
  return digest;
}

Bytes randomBytes(size_t count) {
  Bytes bytes(count);
  if (count == 0) return bytes;
  if (count > static_cast<size_t>(INT_MAX) ||
      RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
    throw CryptoError(CryptoError::Status::randomSourceFailed, "the system's random source failed");
  }
  return bytes;
}

bool constantTimeEqual(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes SealedBox::combined() const {
  Bytes out;
  out.reserve(nonce.size() + ciphertext.size() + tag.size());
  out.insert(out.end(), nonce.begin(), nonce.end());
  out.insert(out.end(), ciphertext.begin(), ciphertext.end());
  out.insert(out.end(), tag.begin(), tag.end());
  return out;
}

SealedBox aesGcmSeal(const Bytes& key, const Bytes& plaintext) {
  gcmCipher(key.size());  // a bad key is reported before the random source is touched
  return aesGcmSeal(key, plaintext, randomBytes(kNonceSize));
}

SealedBox aesGcmSeal(const Bytes& key, const Bytes& plaintext, const Bytes& nonce) {
  const EVP_CIPHER* cipher = gcmCipher(key.size());
  if (nonce.size() != kNonceSize) {
    throw CryptoError(CryptoError::Status::incorrectParameterSize, "nonce must be 12 bytes");
  }
  const int inputLength = checkedLength(plaintext.size());
  CipherContext context = newCipherContext();
  expect(EVP_EncryptInit_ex(context.get(), cipher, nullptr, key.data(), nonce.data()),
         "AES-GCM init failed");
  SealedBox box;
  box.nonce = nonce;
  box.ciphertext.resize(plaintext.size() + 16);
  int written = 0;
  if (inputLength > 0) {
    expect(EVP_EncryptUpdate(context.get(), box.ciphertext.data(), &written, plaintext.data(),
                             inputLength),
           "AES-GCM encrypt failed");
  }
  int finalWritten = 0;
  expect(EVP_EncryptFinal_ex(context.get(), box.ciphertext.data() + written, &finalWritten),
         "AES-GCM final failed");
  box.ciphertext.resize(static_cast<size_t>(written + finalWritten));
  box.tag.resize(kTagSize);
  expect(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, box.tag.data()),
         "AES-GCM tag failed");
  return box;
}

Bytes aesGcmOpen(const Bytes& key, const Bytes& combined) {
  const EVP_CIPHER* cipher = gcmCipher(key.size());
  if (combined.size() < kNonceSize + kTagSize) {
    throw CryptoError(CryptoError::Status::incorrectParameterSize,
                      "sealed box must hold at least 28 bytes");
  }
  const size_t cipherSize = combined.size() - kNonceSize - kTagSize;
  const int inputLength = checkedLength(cipherSize);
  const uint8_t* nonce = combined.data();
  const uint8_t* ciphertext = nonce + kNonceSize;
  Bytes tag(ciphertext + cipherSize, ciphertext + cipherSize + kTagSize);

  CipherContext context = newCipherContext();
  expect(EVP_DecryptInit_ex(context.get(), cipher, nullptr, key.data(), nonce),
         "AES-GCM init failed");
  Bytes plaintext(cipherSize + 16);
  int written = 0;
  if (inputLength > 0) {
    expect(EVP_DecryptUpdate(context.get(), plaintext.data(), &written, ciphertext, inputLength),
           "AES-GCM decrypt failed");
  }
  expect(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()),
         "AES-GCM tag failed");
  int finalWritten = 0;
  if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + written, &finalWritten) != 1) {
    wipe(plaintext);
    throw CryptoError(CryptoError::Status::authenticationFailure, "AES-GCM authentication failed");
  }
  plaintext.resize(static_cast<size_t>(written + finalWritten));
  return plaintext;
}

void wipe(Bytes& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

namespace {
constexpr const char* kCryptoKitErrorDomain = "CryptoKit.CryptoKitError";
}  // namespace

foundation::ErrorRecord CryptoError::toRecord() const {
  int64_t code = 3;  // underlyingCoreCryptoError
  switch (status_) {
    case Status::incorrectKeySize:
      code = 0;
      break;
    case Status::incorrectParameterSize:
      code = 1;
      break;
    case Status::authenticationFailure:
      code = 2;
      break;
    case Status::randomSourceFailed:
    case Status::internal:
      break;
  }
  foundation::ErrorRecord record{kCryptoKitErrorDomain, code, {}};
  record.userInfo.set(foundation::kDebugDescriptionKey, std::string(what()));
  return record;
}

}  // namespace brellis::platform::crypto
