#include "login_app/unlock_data_operations.h"

#include <mutex>

#include "daemon_client/tarvo_daemon_connection.h"
#include "platform/foundation/keyed_unarchiver.h"
#include "platform/os_log/logger.h"
#include "token_host/unlock_archive.h"

namespace brellis::login_app {

namespace {

using platform::foundation::Bytes;

constexpr const char* kErrorDomain = "Brellis.UnlockDataError";
constexpr const char* kDecodeFailed = "decodeFailed";
constexpr const char* kLogSubsystem = "Brellis";
constexpr const char* kLogCategory = "UnlockData";
constexpr const char* kSendFailed = "error setting unlock status: %{public}s";

const platform::os_log::Logger& log() {
  static const platform::os_log::Logger logger(kLogSubsystem, kLogCategory);
  return logger;
}

// The daemon client: every call moves itself onto DaemonActor and back.
class DaemonClientUnlockDaemon : public UnlockDaemon {
 public:
  asio::awaitable<Bytes> unlockData() override {
    co_return co_await daemon_client::TarvoDaemonConnection::shared().unlockData();
  }
  asio::awaitable<Bytes> unlockData(std::string forAccount) override {
    co_return co_await daemon_client::TarvoDaemonConnection::shared().unlockData(
        std::move(forAccount));
  }
  asio::awaitable<Bytes> unlockStatus() override {
    co_return co_await daemon_client::TarvoDaemonConnection::shared().unlockStatus();
  }
  asio::awaitable<void> setUnlockStatus(Bytes status) override {
    co_await daemon_client::TarvoDaemonConnection::shared().setUnlockStatus(std::move(status));
  }
};

std::mutex& daemonMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<UnlockDaemon>& daemonOverride() {
  static std::shared_ptr<UnlockDaemon> daemon;
  return daemon;
}

platform::foundation::PlistValue rootOf(const Bytes& archive) {
  auto root = platform::foundation::unarchiveDecodable(archive);
  if (!root) throw UnlockDataError(UnlockDataError::Code::decodeFailed);
  return std::move(*root);
}

}  // namespace

platform::foundation::ErrorRecord UnlockDataError::toRecord() const {
  return platform::foundation::ErrorRecord{kErrorDomain, static_cast<int64_t>(code_), {}};
}

std::string UnlockDataError::description() const { return kDecodeFailed; }

std::shared_ptr<UnlockDaemon> UnlockDaemon::shared() {
  std::lock_guard lock(daemonMutex());
  if (daemonOverride()) return daemonOverride();
  static const auto client = std::make_shared<DaemonClientUnlockDaemon>();
  return client;
}

void UnlockDaemon::setSharedForTesting(std::shared_ptr<UnlockDaemon> daemon) {
  std::lock_guard lock(daemonMutex());
  daemonOverride() = std::move(daemon);
}

token_host::UnlockData decodeUnlockDataArchive(const Bytes& archive) {
  return token_host::UnlockData::decode(rootOf(archive));
}

token_host::UnlockStatus decodeUnlockStatusArchive(const Bytes& archive) {
  return token_host::UnlockStatus::decode(rootOf(archive));
}

asio::awaitable<token_host::UnlockData> fetchUnlockData() {
  auto daemon = UnlockDaemon::shared();
  Bytes archive = co_await daemon->unlockData();
  co_return decodeUnlockDataArchive(archive);
}

asio::awaitable<token_host::UnlockData> fetchUnlockData(std::string forAccount) {
  auto daemon = UnlockDaemon::shared();
  Bytes archive = co_await daemon->unlockData(std::move(forAccount));
  co_return decodeUnlockDataArchive(archive);
}

asio::awaitable<bool> fetchUnlockStatus() {
  auto daemon = UnlockDaemon::shared();
  Bytes archive = co_await daemon->unlockStatus();
  co_return decodeUnlockStatusArchive(archive).isEnabled;
}

asio::awaitable<void> sendUnlockStatus(bool isEnabled) {
  Bytes archive;
  try {
    archive = token_host::archiveUnlockStatus(token_host::UnlockStatus{isEnabled});
  } catch (...) {
    log().error(kSendFailed, platform::foundation::currentExceptionRecord().localizedDescription());
    throw;
  }
  auto daemon = UnlockDaemon::shared();
  std::exception_ptr failure;
  try {
    co_await daemon->setUnlockStatus(std::move(archive));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    log().error(kSendFailed, platform::foundation::exceptionRecord(failure).localizedDescription());
    std::rethrow_exception(failure);
  }
}

}  // namespace brellis::login_app
