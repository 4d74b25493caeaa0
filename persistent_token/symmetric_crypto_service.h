#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <memory>
#include <string>

#include "persistent_token/sealed_message.h"
#include "persistent_token/velkor_shared_secret.h"
#include "platform/foundation/plist_value.h"

namespace brellis::daemon_client {
class TarvoDaemonConnection;
}

namespace brellis::persistent_token {

// Seals and opens the messages exchanged with the paired phone: AES-256-GCM under a key derived
// (X9.63 over SHA-256, no shared info) from the daemon's shared secret of the effective user.
// The key is fetched and derived anew for every operation and wiped after it; nothing is cached.
// Sealed form: nonce (12) ‖ ciphertext ‖ tag (16), no additional data.
class SymmetricCryptoService {
 public:
  using SymmetricCryptoServiceError = persistent_token::SymmetricCryptoServiceError;

  SymmetricCryptoService() = delete;

  // Each fetches the key first (the daemon client's error is raised unchanged). encrypt raises
  // platform::crypto::CryptoError randomSourceFailed when no nonce can be had; decrypt raises
  // CryptoError incorrectParameterSize under 28 bytes and authenticationFailure for a tag that
  // does not verify. May run on any executor; the daemon call runs on DaemonActor.
  static asio::awaitable<platform::foundation::Bytes> encrypt(
      platform::foundation::Bytes plaintext);
  static asio::awaitable<platform::foundation::Bytes> decrypt(platform::foundation::Bytes sealed);
  static asio::awaitable<SymmetricKey> symmetricKey();

  // The daemon client used for the shared secret: the process-wide one unless a test or a host
  // has put another in place (null restores the process-wide one). Thread-safe.
  static void setDaemonConnection(std::shared_ptr<daemon_client::TarvoDaemonConnection> connection);

  // The login name of the effective user (the account whose shared secret is asked for); its
  // numeric id when the user database has no entry.
  static std::string accountName();
};

}  // namespace brellis::persistent_token
