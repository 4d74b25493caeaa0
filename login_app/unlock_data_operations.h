#pragma once

#include <asio/awaitable.hpp>
#include <memory>
#include <string>

#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"
#include "token_host/unlock_data.h"
#include "token_host/unlock_status.h"

namespace brellis::login_app {

// Raised when the daemon's archive holds no record.
class UnlockDataError : public platform::foundation::BridgedError {
 public:
  enum class Code { decodeFailed };
  explicit UnlockDataError(Code code = Code::decodeFailed) : code_(code) {}
  Code code() const { return code_; }
  platform::foundation::ErrorRecord toRecord() const override;
  std::string description() const override;  // "decodeFailed"

 private:
  Code code_;
};

// The four daemon calls behind the unlock operations, each returning or taking the keyed
// archive. The process-wide instance is the daemon client (each call runs on DaemonActor);
// tests put another in its place.
class UnlockDaemon {
 public:
  virtual ~UnlockDaemon() = default;
  virtual asio::awaitable<platform::foundation::Bytes> unlockData() = 0;
  virtual asio::awaitable<platform::foundation::Bytes> unlockData(std::string forAccount) = 0;
  virtual asio::awaitable<platform::foundation::Bytes> unlockStatus() = 0;
  virtual asio::awaitable<void> setUnlockStatus(platform::foundation::Bytes status) = 0;

  static std::shared_ptr<UnlockDaemon> shared();
  // Replaces the process-wide instance; null restores the daemon client.
  static void setSharedForTesting(std::shared_ptr<UnlockDaemon> daemon);
};

// Reads a daemon archive: the unarchiver's error (NSCocoaErrorDomain 4864) for bytes that are no
// keyed archive, UnlockDataError::decodeFailed for an archive without a root object, the
// decoder's error for a root that is not the record.
token_host::UnlockData decodeUnlockDataArchive(const platform::foundation::Bytes& archive);
token_host::UnlockStatus decodeUnlockStatusArchive(const platform::foundation::Bytes& archive);

// UnlockData.fetch(): the daemon's unlock data. Raises whatever the daemon or decoding raises.
asio::awaitable<token_host::UnlockData> fetchUnlockData();
// UnlockData.fetch(forAccount:).
asio::awaitable<token_host::UnlockData> fetchUnlockData(std::string forAccount);
// UnlockData.fetchStatus(): the daemon's `isEnabled`.
asio::awaitable<bool> fetchUnlockStatus();
// UnlockData.sendStatus(isEnabled:). A failure is logged ("error setting unlock status: ...",
// subsystem "Brellis", category "UnlockData") and raised.
asio::awaitable<void> sendUnlockStatus(bool isEnabled);

}  // namespace brellis::login_app
