#include "daemon_client/tarvo_daemon_connection.h"

#include <asio/error.hpp>
#include <asio/system_error.hpp>
#include <chrono>
#include <utility>

#include "ipc/module_logger.h"
#include "platform/dispatch/task.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::daemon_client {

namespace {

namespace dispatch = platform::dispatch;

constexpr const char* kModuleQualifiedName = "TarvoDaemonXPC.TarvoDaemonConnection";
constexpr const char* kTypeName = "TarvoDaemonConnection";
constexpr const char* kFallbackSubsystem = "TarvoXPC";

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

}  // namespace brellis::daemon_client
