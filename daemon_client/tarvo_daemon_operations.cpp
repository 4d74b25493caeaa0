// The operations of the daemon's interface: each moves onto DaemonActor, logs its entry, sends
// its selector with its arguments in their wire forms and hands the reply to its row's handler.
#include <string>
#include <utility>
#include <vector>

#include "daemon_client/reply_handler.h"
#include "daemon_client/tarvo_daemon_connection.h"
#include "daemon_client/tarvo_daemon_wire.h"
#include "platform/dispatch/task.h"

namespace brellis::daemon_client {

namespace {

namespace dispatch = platform::dispatch;
using platform::xpc::Value;

constexpr const char* kEntryFormat = "%{public}s";

// Built outside the coroutines: g++ 12 rejects braced lists in a co_await expression.
template <class... A>
std::vector<Value> wireArguments(A... arguments) {
  std::vector<Value> values;
  (values.push_back(arguments), ...);
  return values;
}

}  // namespace

template <class R>
asio::awaitable<R> TarvoDaemonConnection::perform(Operation operation,
                                                  std::vector<Value> arguments) {
  co_return co_await dispatch::runOn(actor_.executor(),
                                     performOnActor<R>(operation, std::move(arguments)));
}

template <class R>
asio::awaitable<R> TarvoDaemonConnection::performOnActor(Operation operation,
                                                         std::vector<Value> arguments) {
  const OperationDescriptor& row = descriptor(operation);
  auto log = tarvoDaemonConnectionLogger();
  log.debug(kEntryFormat, row.signature);
  if (operation == Operation::registerBrellisListenerEndpoint) {
    // Stored before anything is sent, whatever the outcome.
    if (const auto* endpoint = arguments.at(0).asEndpoint()) listenerEndpoint_ = *endpoint;
  }
  // The actor is free while the reply is awaited; the reply is handled when it comes.
  auto reply = co_await channel_->send(std::string(row.signature), std::string(row.selector),
                                       std::move(arguments));
  co_return handleReply(row, decodeReply(row, std::move(reply)), log, ReplyTag<R>{});
}

asio::awaitable<Bytes> TarvoDaemonConnection::publicKeyData(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::publicKeyData, wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setExternalPublicKey(Bytes key,
                                                                  std::string forAccount) {
  co_return co_await perform<void>(Operation::setExternalPublicKey,
                                   wireArguments(toWire(key), toWire(forAccount)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::sharedSecret(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::sharedSecret, wireArguments(toWire(forAccount)));
}

asio::awaitable<EphemeralSecret> TarvoDaemonConnection::makeEphemeralSecret(
    std::string forAccount) {
  co_return co_await perform<EphemeralSecret>(Operation::makeEphemeralSecret,
                                              wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setLoginPairingIdentifier(std::string identifier,
                                                                       std::string forAccount) {
  co_return co_await perform<void>(Operation::setLoginPairingIdentifier,
                                   wireArguments(toWire(identifier), toWire(forAccount)));
}

asio::awaitable<std::string> TarvoDaemonConnection::loginPairingIdentifier(std::string forAccount) {
  co_return co_await perform<std::string>(Operation::loginPairingIdentifier,
                                          wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setExternalPairingIdentifier(std::string identifier,
                                                                          std::string forAccount) {
  co_return co_await perform<void>(Operation::setExternalPairingIdentifier,
                                   wireArguments(toWire(identifier), toWire(forAccount)));
}

asio::awaitable<std::string> TarvoDaemonConnection::externalPairingIdentifier(
    std::string forAccount) {
  co_return co_await perform<std::string>(Operation::externalPairingIdentifier,
                                          wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setExternalPairingSaltData(Bytes salt,
                                                                        std::string forAccount) {
  co_return co_await perform<void>(Operation::setExternalPairingSaltData,
                                   wireArguments(toWire(salt), toWire(forAccount)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::externalPairingSaltData(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::externalPairingSaltData,
                                    wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setMode(std::string mode, std::string forAccount) {
  co_return co_await perform<void>(Operation::setMode,
                                   wireArguments(toWire(mode), toWire(forAccount)));
}

asio::awaitable<std::string> TarvoDaemonConnection::mode(std::string forAccount) {
  co_return co_await perform<std::string>(Operation::mode, wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setEncryptedPasswordData(Bytes data,
                                                                      std::string forAccount) {
  co_return co_await perform<void>(Operation::setEncryptedPasswordData,
                                   wireArguments(toWire(data), toWire(forAccount)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::encryptedPasswordData(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::encryptedPasswordData,
                                    wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setEmphemeralPublicKeyData(Bytes key,
                                                                        std::string forAccount) {
  co_return co_await perform<void>(Operation::setEmphemeralPublicKeyData,
                                   wireArguments(toWire(key), toWire(forAccount)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::emphemeralPublicKeyData(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::emphemeralPublicKeyData,
                                    wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::unpair(std::string forAccount) {
  co_return co_await perform<void>(Operation::unpair, wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::smartCardPair(std::string username,
                                                           std::string certHash) {
  co_return co_await perform<void>(Operation::smartCardPair,
                                   wireArguments(toWire(username), toWire(certHash)));
}

asio::awaitable<void> TarvoDaemonConnection::smartCardUnpair(std::string username,
                                                             std::string certHash) {
  co_return co_await perform<void>(Operation::smartCardUnpair,
                                   wireArguments(toWire(username), toWire(certHash)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::unlockData(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::unlockDataForAccount,
                                    wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setUnlockData(Bytes data, std::string forAccount) {
  co_return co_await perform<void>(Operation::setUnlockDataForAccount,
                                   wireArguments(toWire(data), toWire(forAccount)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::unlockStatus(std::string forAccount) {
  co_return co_await perform<Bytes>(Operation::unlockStatusForAccount,
                                    wireArguments(toWire(forAccount)));
}

asio::awaitable<void> TarvoDaemonConnection::setUnlockStatus(Bytes status, std::string forAccount) {
  co_return co_await perform<void>(Operation::setUnlockStatusForAccount,
                                   wireArguments(toWire(status), toWire(forAccount)));
}

asio::awaitable<Bytes> TarvoDaemonConnection::unlockData() {
  co_return co_await perform<Bytes>(Operation::unlockData, wireArguments());
}

asio::awaitable<Bytes> TarvoDaemonConnection::unlockStatus() {
  co_return co_await perform<Bytes>(Operation::unlockStatus, wireArguments());
}

asio::awaitable<void> TarvoDaemonConnection::setUnlockStatus(Bytes status) {
  co_return co_await perform<void>(Operation::setUnlockStatus, wireArguments(toWire(status)));
}

asio::awaitable<void> TarvoDaemonConnection::registerBrellisListenerEndpoint(Endpoint endpoint) {
  co_return co_await perform<void>(Operation::registerBrellisListenerEndpoint,
                                   wireArguments(toWire(endpoint)));
}

asio::awaitable<Endpoint> TarvoDaemonConnection::brellisListenerEndpoint() {
  co_return co_await perform<Endpoint>(Operation::brellisListenerEndpoint, wireArguments());
}

asio::awaitable<TOTPPairingInformation> TarvoDaemonConnection::TOTPPairingInfo(std::string for_) {
  co_return co_await perform<TOTPPairingInformation>(Operation::TOTPPairingInfo,
                                                     wireArguments(toWire(for_)));
}

asio::awaitable<void> TarvoDaemonConnection::setTOTPPairingInfo(Bytes secret,
                                                                std::string backupCode,
                                                                std::string for_) {
  co_return co_await perform<void>(Operation::setTOTPPairingInfo,
                                   wireArguments(toWire(secret), toWire(backupCode), toWire(for_)));
}

asio::awaitable<void> TarvoDaemonConnection::deleteTOTPPairingInfo(std::string for_) {
  co_return co_await perform<void>(Operation::deleteTOTPPairingInfo, wireArguments(toWire(for_)));
}

asio::awaitable<void> TarvoDaemonConnection::incrementUnsentOfflineMFAEvents(std::string user) {
  co_return co_await perform<void>(Operation::incrementUnsentOfflineMFAEvents,
                                   wireArguments(toWire(user)));
}

asio::awaitable<void> TarvoDaemonConnection::grantAdminPrivilegesToUserForTime(
    std::string for_, double durationSeconds, std::optional<std::string> reason) {
  co_return co_await perform<void>(
      Operation::grantAdminPrivilegesToUserForTime,
      wireArguments(toWire(for_), toWire(durationSeconds), toWire(reason)));
}

asio::awaitable<void> TarvoDaemonConnection::revokeAdminPrivileges(std::string username) {
  co_return co_await perform<void>(Operation::revokeAdminPrivileges,
                                   wireArguments(toWire(username)));
}

asio::awaitable<std::optional<Number>> TarvoDaemonConnection::userElevationTimeRemaining(
    std::string for_) {
  co_return co_await perform<std::optional<Number>>(Operation::userElevationTimeRemaining,
                                                    wireArguments(toWire(for_)));
}

asio::awaitable<std::optional<Number>> TarvoDaemonConnection::monthlyUserElevationCount(
    std::string for_) {
  co_return co_await perform<std::optional<Number>>(Operation::monthlyUserElevationCount,
                                                    wireArguments(toWire(for_)));
}

asio::awaitable<DesktopPicture> TarvoDaemonConnection::desktopPicture(std::string displayUUIDString,
                                                                      std::string userName) {
  co_return co_await perform<DesktopPicture>(
      Operation::desktopPicture, wireArguments(toWire(displayUUIDString), toWire(userName)));
}

asio::awaitable<DesktopAsset> TarvoDaemonConnection::desktopAsset(std::string displayUUIDString,
                                                                  std::string userName) {
  co_return co_await perform<DesktopAsset>(
      Operation::desktopAsset, wireArguments(toWire(displayUUIDString), toWire(userName)));
}

asio::awaitable<std::string> TarvoDaemonConnection::version() {
  co_return co_await perform<std::string>(Operation::version, wireArguments());
}

asio::awaitable<Bytes> TarvoDaemonConnection::data(std::string forAccount, std::string key) {
  co_return co_await perform<Bytes>(Operation::data,
                                    wireArguments(toWire(forAccount), toWire(key)));
}

asio::awaitable<void> TarvoDaemonConnection::setData(Bytes data, std::string forAccount,
                                                     std::string key) {
  co_return co_await perform<void>(Operation::setData,
                                   wireArguments(toWire(data), toWire(forAccount), toWire(key)));
}

asio::awaitable<std::vector<Bytes>> TarvoDaemonConnection::identities(std::vector<Bytes> issuers,
                                                                      std::string password) {
  co_return co_await perform<std::vector<Bytes>>(Operation::identities,
                                                 wireArguments(toWire(issuers), toWire(password)));
}

asio::awaitable<StringListsDictionary> TarvoDaemonConnection::logEntries(
    std::vector<std::string> for_, Date startDate) {
  co_return co_await perform<StringListsDictionary>(Operation::logEntries,
                                                    wireArguments(toWire(for_), toWire(startDate)));
}

asio::awaitable<std::string> TarvoDaemonConnection::getDeliverablesInformation() {
  co_return co_await perform<std::string>(Operation::getDeliverablesInformation, wireArguments());
}

asio::awaitable<std::string> TarvoDaemonConnection::getUserElevationReasonsLog() {
  co_return co_await perform<std::string>(Operation::getUserElevationReasonsLog, wireArguments());
}

}  // namespace brellis::daemon_client
