#include "ipc/connection_core.h"

#include "platform/dispatch/task.h"
#include "platform/foundation/os_version.h"

namespace brellis::ipc {
namespace {

using platform::xpc::XpcConnection;

constexpr const char* kSettingRequirementFormat =
    "setting code signing requirement for connection(0x%lx)";
constexpr const char* kActivatingFormat = "activating connection(0x%lx)";
constexpr const char* kInvalidatedFormat = "invalidated connection(0x%lx)";
constexpr const char* kInvalidatedErrorFormat = "connection(0x%lx) invalidated error";
constexpr const char* kInterruptedErrorFormat =
    "connection(0x%lx) interrupted error (will be invalidated)";
constexpr const char* kWillProvideProxyFormat = "connection(0x%lx) will provide proxy for: %s";
constexpr const char* kProxyErrorFormat = "connection(0x%lx) proxy error: %{public}s";

}  // namespace

ConnectionCore::ConnectionCore(std::shared_ptr<const platform::xpc::InterfaceDescription> interface,
                               Factory factory,
                               std::shared_ptr<CodeSigningRequirement> codeSigningRequirement,
                               std::weak_ptr<ConnectionDelegate> delegate)
    : queue_("Connection<" + interface->name() + ">"),
      interface_(std::move(interface)),
      factory_(std::move(factory)),
      typeName_(moduleTypeName(kModuleName, "Connection<" + interface_->name() + ">")),
      delegate_(std::move(delegate)) {
  if (codeSigningRequirement) {
    auto text = combinedRequirementText(codeSigningRequirement->requirements());
    if (!text.empty()) requirementText_ = std::move(text);
  }
  connection_ = makeXpcConnection();
}

ConnectionCore::~ConnectionCore() = default;

void ConnectionCore::setDelegate(std::weak_ptr<ConnectionDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<XpcConnection> ConnectionCore::makeXpcConnection() const {
  struct Maker {
    std::shared_ptr<XpcConnection> operator()(const ServiceName& f) const {
      return XpcConnection::makeWithServiceName(f.name);
    }
    std::shared_ptr<XpcConnection> operator()(const MachServiceName& f) const {
      return XpcConnection::makeWithMachServiceName(f.name, f.options);
    }
    std::shared_ptr<XpcConnection> operator()(const ListenerEndpoint& f) const {
      return XpcConnection::makeWithEndpoint(f.endpoint);
    }
  };
  return std::visit(Maker{}, factory_);
}

void ConnectionCore::activationStep() {
  std::lock_guard lock(mutex_);
  if (state_ == State::active) return;
  if (state_ == State::invalid) {
    connection_ = makeXpcConnection();
    ++generation_;
  }
  connection_->setRemoteObjectInterface(interface_);
  // The handlers hold this object strongly until invalidate() clears them.
  auto self = shared_from_this();
  auto generation = generation_;
  connection_->setInvalidationHandler(
      [self, generation] { self->handlerFired(generation, ConnectionError::Case::invalidated); });
  connection_->setInterruptionHandler(
      [self, generation] { self->handlerFired(generation, ConnectionError::Case::interrupted); });
  state_ = State::active;
  auto logger = moduleLogger(typeName_);
  if (platform::foundation::isMacOS13OrLater() && requirementText_) {
    logger.info(kSettingRequirementFormat, id());
    try {
      connection_->setCodeSigningRequirement(*requirementText_);
    } catch (...) {
      // The text compiled when it was added, so only a platform compiler that disagrees gets
      // here. Fail closed: the connection is never activated, so no message reaches or comes
      // from the unverified server; calls fail as on an invalidated connection and the
      // delegate hears of it.
      logger.error("%{public}s",
                   platform::foundation::currentExceptionRecord().localizedDescription());
      connection_->invalidate();
      return;
    }
  }
  logger.info(kActivatingFormat, id());
  connection_->activate();
}

platform::xpc::RemoteProxy ConnectionCore::activateAndMakeProxy(
    std::function<void(std::exception_ptr)> complete) {
  activationStep();
  std::shared_ptr<XpcConnection> connection;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    connection = connection_;
    generation = generation_;
  }
  std::weak_ptr<ConnectionCore> weak = shared_from_this();
  return connection->remoteObjectProxyWithErrorHandler(
      [weak, generation,
       complete = std::move(complete)](const platform::foundation::ErrorRecord& error) {
        // Separate exception objects for the delegate's task and the caller, which live on
        // different threads.
        if (auto self = weak.lock()) {
          moduleLogger(self->typeName_)
              .error(kProxyErrorFormat, self->id(), error.localizedDescription());
          self->failureStep(generation,
                            std::make_exception_ptr(platform::foundation::ErrorException(error)));
        }
        complete(std::make_exception_ptr(platform::foundation::ErrorException(error)));
      });
}

void ConnectionCore::logWillProvideProxy(const std::string& function) const {
  moduleLogger(typeName_).debug(kWillProvideProxyFormat, id(), function);
}

void ConnectionCore::invalidateLocked(std::unique_lock<std::mutex>& lock) {
  (void)lock;
  connection_->setInvalidationHandler(nullptr);
  connection_->setInterruptionHandler(nullptr);
  connection_->invalidate();
  state_ = State::invalid;
  moduleLogger(typeName_).info(kInvalidatedFormat, id());
}

asio::awaitable<void> ConnectionCore::invalidate() {
  auto self = shared_from_this();
  co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ConnectionCore> core) -> asio::awaitable<void> {
        std::unique_lock lock(core->mutex_);
        core->invalidateLocked(lock);
        co_return;
      }(self));
}

void ConnectionCore::handlerFired(uint64_t generation, ConnectionError::Case errorCase) {
  {
    std::lock_guard lock(mutex_);
    // A handler of an XPC connection that has since been replaced reports nothing.
    if (generation != generation_ || state_ == State::invalid) return;
  }
  moduleLogger(typeName_).error(errorCase == ConnectionError::Case::invalidated
                                    ? kInvalidatedErrorFormat
                                    : kInterruptedErrorFormat,
                                id());
  failureStep(generation,
              std::make_exception_ptr(ConnectionError(errorCase, typeName_.reflecting + ".Error")));
}

void ConnectionCore::failureStep(uint64_t generation, std::exception_ptr error) {
  {
    std::unique_lock lock(mutex_);
    if (generation != generation_ || state_ == State::invalid) return;
    invalidateLocked(lock);
  }
  platform::dispatch::detach(executor(), notifyDelegate(shared_from_this(), std::move(error)));
}

asio::awaitable<void> ConnectionCore::notifyDelegate(std::shared_ptr<ConnectionCore> self,
                                                     std::exception_ptr error) {
  auto delegate = self->delegate();
  if (!delegate) co_return;
  co_await delegate->connection(self, std::move(error));
}

template <class T>
T ConnectionCore::readConnection(T (XpcConnection::*getter)() const) const {
  std::lock_guard lock(mutex_);
  return ((*connection_).*getter)();
}

asio::awaitable<int32_t> ConnectionCore::auditSessionIdentifier() {
  co_return co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ConnectionCore> core) -> asio::awaitable<int32_t> {
        co_return core->readConnection(&XpcConnection::auditSessionIdentifier);
      }(shared_from_this()));
}

asio::awaitable<int32_t> ConnectionCore::processIdentifier() {
  co_return co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ConnectionCore> core) -> asio::awaitable<int32_t> {
        co_return core->readConnection(&XpcConnection::processIdentifier);
      }(shared_from_this()));
}

asio::awaitable<uint32_t> ConnectionCore::effectiveUserIdentifier() {
  co_return co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ConnectionCore> core) -> asio::awaitable<uint32_t> {
        co_return core->readConnection(&XpcConnection::effectiveUserIdentifier);
      }(shared_from_this()));
}

asio::awaitable<uint32_t> ConnectionCore::effectiveGroupIdentifier() {
  co_return co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ConnectionCore> core) -> asio::awaitable<uint32_t> {
        co_return core->readConnection(&XpcConnection::effectiveGroupIdentifier);
      }(shared_from_this()));
}

ConnectionCore::State ConnectionCore::stateForTesting() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::shared_ptr<XpcConnection> ConnectionCore::xpcConnectionForTesting() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

}  // namespace brellis::ipc
