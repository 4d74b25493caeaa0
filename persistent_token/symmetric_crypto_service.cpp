#include "persistent_token/symmetric_crypto_service.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "daemon_client/daemon_actor.h"
#include "daemon_client/tarvo_daemon_connection.h"
#include "platform/crypto/crypto.h"
#include "platform/dispatch/task.h"

namespace brellis::persistent_token {

namespace fnd = platform::foundation;
namespace crypto = platform::crypto;

namespace {

std::mutex& connectionMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<daemon_client::TarvoDaemonConnection>& injectedConnection() {
  static std::shared_ptr<daemon_client::TarvoDaemonConnection> connection;
  return connection;
}

// Runs on DaemonActor: the process-wide connection (or the injected one) and its shared secret.
asio::awaitable<fnd::Bytes> fetchSharedSecret(std::string account) {
  std::shared_ptr<daemon_client::TarvoDaemonConnection> injected;
  {
    std::lock_guard lock(connectionMutex());
    injected = injectedConnection();
  }
  daemon_client::TarvoDaemonConnection& connection =
      injected ? *injected : daemon_client::TarvoDaemonConnection::shared();
  co_return co_await connection.sharedSecret(std::move(account));
}

}  // namespace

void SymmetricCryptoService::setDaemonConnection(
    std::shared_ptr<daemon_client::TarvoDaemonConnection> connection) {
  std::lock_guard lock(connectionMutex());
  injectedConnection() = std::move(connection);
}

std::string SymmetricCryptoService::accountName() {
  uid_t uid = geteuid();
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_name) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

asio::awaitable<SymmetricKey> SymmetricCryptoService::symmetricKey() {
  fnd::Bytes secret = co_await platform::dispatch::runOn(
      daemon_client::DaemonActor::shared().executor(), fetchSharedSecret(accountName()));
  VelkorSharedSecret shared(std::move(secret));
  co_return shared.x963DerivedSymmetricKey(SHA256{}, fnd::Bytes{}, kKeyByteCount);
}

asio::awaitable<fnd::Bytes> SymmetricCryptoService::encrypt(fnd::Bytes plaintext) {
  SymmetricKey key = co_await symmetricKey();
  co_return sealMessage(key, plaintext);
}

asio::awaitable<fnd::Bytes> SymmetricCryptoService::decrypt(fnd::Bytes sealed) {
  SymmetricKey key = co_await symmetricKey();
  co_return openMessage(key, sealed);
}

}  // namespace brellis::persistent_token
