#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "platform/crypto/crypto.h"
#include "platform/foundation/plist_value.h"

namespace brellis::persistent_token {

// Key bytes that are overwritten when the key goes away. Move-only, so no copy outlives the wipe.
class SymmetricKey {
 public:
  SymmetricKey() = default;  // empty
  explicit SymmetricKey(platform::foundation::Bytes bytes) : bytes_(std::move(bytes)) {}
  ~SymmetricKey() { platform::crypto::wipe(bytes_); }
  SymmetricKey(SymmetricKey&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
  }
  SymmetricKey& operator=(SymmetricKey&& other) noexcept {
    if (this != &other) {
      platform::crypto::wipe(bytes_);
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }
  SymmetricKey(const SymmetricKey&) = delete;
  SymmetricKey& operator=(const SymmetricKey&) = delete;

  const platform::foundation::Bytes& bytes() const { return bytes_; }
  size_t bitCount() const { return bytes_.size() * 8; }

 private:
  platform::foundation::Bytes bytes_;
};

// SHA-256 as a hash function of the derivation: its digest length and one digest over a message.
struct SHA256 {
  static constexpr size_t byteCount = 32;
  static platform::foundation::Bytes hash(const platform::foundation::Bytes& message) {
    return platform::crypto::sha256(message);
  }
};

inline constexpr const char* kInvalidParameterSize = "Invalid parameter size";

// The shared secret as the daemon handed it out, and the key derivation over it. The secret's
// bytes are wiped when the value goes away.
struct VelkorSharedSecret {
  platform::foundation::Bytes sharedSecret;

  explicit VelkorSharedSecret(platform::foundation::Bytes secret)
      : sharedSecret(std::move(secret)) {}
  ~VelkorSharedSecret() { platform::crypto::wipe(sharedSecret); }
  VelkorSharedSecret(const VelkorSharedSecret&) = delete;
  VelkorSharedSecret& operator=(const VelkorSharedSecret&) = delete;

  template <class F>
  decltype(auto) withUnsafeBytes(F&& body) const {
    return std::forward<F>(body)(sharedSecret.data(), sharedSecret.size());
  }

  // The ANSI X9.63 key derivation: block i (counter from 1) is Hash(Z ‖ counter as 4 bytes
  // big-endian ‖ sharedInfo), and the key is the first `outputByteCount` bytes of the blocks in
  // order. A length at or above the hash's digest length × (2^32 - 1) raises
  // platform::crypto::CryptoError incorrectParameterSize "Invalid parameter size"; 0 gives an
  // empty key.
  template <class Hash, class SharedInfo>
  SymmetricKey x963DerivedSymmetricKey(Hash /*using*/, const SharedInfo& sharedInfo,
                                       uint64_t outputByteCount) const {
    constexpr uint64_t kBound = uint64_t{Hash::byteCount} * uint64_t{0xFFFFFFFFu};
    if (outputByteCount >= kBound) {
      throw platform::crypto::CryptoError(
          platform::crypto::CryptoError::Status::incorrectParameterSize, kInvalidParameterSize);
    }
    platform::foundation::Bytes key;
    key.reserve(static_cast<size_t>(outputByteCount));
    platform::foundation::Bytes block;
    uint32_t counter = 1;
    while (key.size() < outputByteCount) {
      block.assign(sharedSecret.begin(), sharedSecret.end());
      block.push_back(static_cast<uint8_t>(counter >> 24));
      block.push_back(static_cast<uint8_t>(counter >> 16));
      block.push_back(static_cast<uint8_t>(counter >> 8));
      block.push_back(static_cast<uint8_t>(counter));
      block.insert(block.end(), std::begin(sharedInfo), std::end(sharedInfo));
      platform::foundation::Bytes digest = Hash::hash(block);
      size_t take =
          static_cast<size_t>(std::min<uint64_t>(digest.size(), outputByteCount - key.size()));
      key.insert(key.end(), digest.begin(), digest.begin() + static_cast<ptrdiff_t>(take));
      platform::crypto::wipe(digest);
      ++counter;
    }
    platform::crypto::wipe(block);
    return SymmetricKey(std::move(key));
  }
};

}  // namespace brellis::persistent_token
