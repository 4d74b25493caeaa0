#include "daemon_client/tarvo_daemon_connection.h"

#include <asio/error.hpp>
#include <asio/system_error.hpp>
#include <chrono>
#include <utility>

#include "daemon_client/reply_handler.h"
#include "daemon_client/tarvo_daemon_wire.h"
#include "ipc/module_logger.h"
#include "platform/dispatch/task.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::daemon_client {

namespace {

namespace dispatch = platform::dispatch;
using platform::xpc::Value;

constexpr const char* kModuleQualifiedName = "TarvoDaemonXPC.TarvoDaemonConnection";
constexpr const char* kTypeName = "TarvoDaemonConnection";
constexpr const char* kFallbackSubsystem = "TarvoXPC";
constexpr const char* kEntryFormat = "%{public}s";

constexpr uint64_t kFirstRegistrationDelaySeconds = 1;
constexpr uint64_t kRegistrationDelayCeilingSeconds = 60;

// delay × 2 while delay is below 60, else 60: 1, 2, 4, 8, 16, 32, 64, 60, 60, ...
uint64_t nextRegistrationDelay(uint64_t delay) {
  return delay < kRegistrationDelayCeilingSeconds ? delay * 2 : kRegistrationDelayCeilingSeconds;
}

bool isCancellation(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const asio::system_error& e) {
    return e.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

// Whether a failed call is itself the loss of the connection, which the delegate also reports:
// the XPC layer's interrupted, invalid and code-signing errors all end the connection.
bool isConnectionLoss(const std::exception_ptr& error) {
  auto record = platform::foundation::exceptionRecord(error);
  return record.domain == platform::foundation::kCocoaErrorDomain &&
         (record.code == platform::xpc::kErrorConnectionInterrupted ||
          record.code == platform::xpc::kErrorConnectionInvalid ||
          record.code == platform::xpc::kErrorCodeSigningRequirementFailure);
}

// Built outside the coroutines: g++ 12 rejects braced lists in a co_await expression.
template <class... A>
std::vector<Value> wireArguments(A... arguments) {
  std::vector<Value> values;
  (values.push_back(arguments), ...);
  return values;
}

}  // namespace

platform::os_log::Logger tarvoDaemonConnectionLogger() {
  return ipc::moduleLogger(ipc::TypeName{kModuleQualifiedName, kTypeName}, kFallbackSubsystem);
}

TarvoDaemonConnection::TarvoDaemonConnection(std::shared_ptr<DaemonChannel> channel,
                                             std::shared_ptr<dispatch::Clock> clock)
    : channel_(std::move(channel)), clock_(std::move(clock)), actor_(DaemonActor::shared()) {}

TarvoDaemonConnection::~TarvoDaemonConnection() {
  // A re-registration still waiting would otherwise wait on a clock nobody advances any more.
  if (registerListenerEndpointTask_.valid()) registerListenerEndpointTask_.cancel();
}

std::shared_ptr<TarvoDaemonConnection> TarvoDaemonConnection::makeWithChannel(
    std::shared_ptr<DaemonChannel> channel, std::shared_ptr<dispatch::Clock> clock) {
  return std::shared_ptr<TarvoDaemonConnection>(
      new TarvoDaemonConnection(std::move(channel), std::move(clock)));
}

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
  co_return handleReply(row, std::move(reply), log, ReplyTag<R>{});
}

asio::awaitable<std::optional<Endpoint>> TarvoDaemonConnection::listenerEndpoint() {
  co_return co_await dispatch::runOn(actor_.executor(), readListenerEndpoint());
}

asio::awaitable<std::optional<Endpoint>> TarvoDaemonConnection::readListenerEndpoint() {
  co_return listenerEndpoint_;
}

asio::awaitable<void> TarvoDaemonConnection::connection(std::shared_ptr<ipc::AnyConnection>,
                                                        std::exception_ptr) {
  co_await dispatch::runOn(actor_.executor(), didInvalidateOnActor());
}

asio::awaitable<void> TarvoDaemonConnection::didInvalidateOnActor() {
  if (registrationsInFlight_ > 0) {
    // The registration under way fails or has succeeded just before; it decides what follows.
    invalidatedDuringRegistration_ = true;
    co_return;
  }
  if (absorbNextInvalidation_) {
    // The report of the loss that a failed registration has already rescheduled for.
    absorbNextInvalidation_ = false;
    co_return;
  }
  scheduleListenerEndpointRegistration(kFirstRegistrationDelaySeconds);
}

void TarvoDaemonConnection::scheduleListenerEndpointRegistration(uint64_t afterSeconds) {
  if (!listenerEndpoint_) return;
  if (registerListenerEndpointTask_.valid()) registerListenerEndpointTask_.cancel();
  registerListenerEndpointTask_ = dispatch::TaskHandle::spawn(
      actor_.executor(),
      registerListenerEndpoint(weak_from_this(), *listenerEndpoint_, afterSeconds));
}

// The task holds the connection only weakly while it waits: a pending re-registration must not
// keep a connection (and its clock, which holds the waiting task) alive for ever.
asio::awaitable<void> TarvoDaemonConnection::registerListenerEndpoint(
    std::weak_ptr<TarvoDaemonConnection> weakSelf, Endpoint endpoint, uint64_t delaySeconds) {
  std::exception_ptr failure;
  try {
    auto owner = weakSelf.lock();
    if (!owner) co_return;
    auto wait = owner->clock_->sleep(std::chrono::seconds(delaySeconds));
    owner.reset();
    co_await std::move(wait);
  } catch (...) {
    failure = std::current_exception();
  }
  auto self = weakSelf.lock();
  if (!self) co_return;
  if (failure) {
    if (!isCancellation(failure))
      self->scheduleListenerEndpointRegistration(nextRegistrationDelay(delaySeconds));
    co_return;
  }
  self->absorbNextInvalidation_ = false;
  if (self->registrationsInFlight_++ == 0) self->invalidatedDuringRegistration_ = false;
  try {
    co_await self->registerBrellisListenerEndpoint(endpoint);
  } catch (...) {
    failure = std::current_exception();
  }
  bool invalidated = self->invalidatedDuringRegistration_;
  if (--self->registrationsInFlight_ == 0) self->invalidatedDuringRegistration_ = false;
  if (failure) {
    if (isCancellation(failure)) co_return;
    // The delegate's report of this same loss may still be on its way; it must not reset the
    // doubled delay. (When it came first, it was recorded above and is not expected again.) A
    // failure that is no loss (a malformed reply, say) has no such report: the next one is a
    // new loss and restarts the wait at 1 s.
    self->absorbNextInvalidation_ = !invalidated && isConnectionLoss(failure);
    self->scheduleListenerEndpointRegistration(nextRegistrationDelay(delaySeconds));
    co_return;
  }
  // Registered, but the connection was lost right after: the endpoint must be registered anew.
  if (invalidated) self->scheduleListenerEndpointRegistration(kFirstRegistrationDelaySeconds);
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
