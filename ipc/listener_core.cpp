#include "ipc/listener_core.h"

#include "ipc/codesign_security_policy_error.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/os_version.h"

namespace brellis::ipc {
namespace {

using platform::xpc::XpcConnection;

constexpr const char* kActivatingFormat = "activating listener(0x%lx)";
constexpr const char* kActivatingLateCheckFormat =
    "activating listener(0x%lx) with client verification only at connection time";
constexpr const char* kActivatingUnverifiedFormat =
    "activating listener(0x%lx) WITHOUT client verification";
constexpr const char* kInvalidatingFormat = "invalidating listener(0x%lx)";
constexpr const char* kDeallocatedFormat = "listener(0x%lx) deallocated";
constexpr const char* kRejectedFormat =
    "listener(0x%lx) rejected connection from process %d with error: %{public}s";
constexpr const char* kAcceptedFormat = "listener(0x%lx) connection accepted from process %d";
constexpr const char* kAddingFormat = "listener(0x%lx) adding connection from process %d";
constexpr const char* kConnectionInvalidatedFormat =
    "listener(0x%lx) connection invalidated from process %d";

}  // namespace

ListenerCore::ListenerCore(std::shared_ptr<const platform::xpc::InterfaceDescription> interface,
                           std::shared_ptr<platform::xpc::ExportedObject> exportedObject,
                           std::shared_ptr<platform::xpc::XpcListener> listener,
                           std::shared_ptr<CodeSigningRequirement> codeSigningRequirement,
                           std::weak_ptr<ListenerDelegate> delegate)
    : queue_("Listener<" + interface->name() + ">"),
      interface_(std::move(interface)),
      exportedObject_(std::move(exportedObject)),
      listener_(std::move(listener)),
      codeSigningRequirement_(std::move(codeSigningRequirement)),
      typeName_(moduleTypeName(kModuleName, "Listener<" + interface_->name() + ">")),
      delegate_(std::move(delegate)) {}

ListenerCore::~ListenerCore() {
  moduleLogger(typeName_).info(kDeallocatedFormat, id());
  listener_->invalidate();
}

asio::awaitable<void> ListenerCore::activate() {
  co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ListenerCore> self) -> asio::awaitable<void> {
        auto logger = moduleLogger(self->typeName_);
        std::string text;
        if (self->codeSigningRequirement_) {
          text = combinedRequirementText(self->codeSigningRequirement_->requirements());
        }
        if (!text.empty()) {
          if (platform::foundation::isMacOS13OrLater()) {
            try {
              self->listener_->setConnectionCodeSigningRequirement(text);
            } catch (...) {
              // Fail closed: without the requirement every client is refused.
              logger.error("%{public}s",
                           platform::foundation::currentExceptionRecord().localizedDescription());
              self->refuseEveryClient_ = true;
            }
            logger.info(kActivatingFormat, self->id());
          } else {
            logger.info(kActivatingLateCheckFormat, self->id());
          }
        } else {
          logger.error(kActivatingUnverifiedFormat, self->id());
        }
        std::weak_ptr<ListenerCore> weak = self;
        self->listener_->setDelegate([weak](const std::shared_ptr<XpcConnection>& connection) {
          auto listener = weak.lock();
          return listener && listener->shouldAcceptNewConnection(connection);
        });
        self->listener_->activate();
        co_return;
      }(shared_from_this()));
}

asio::awaitable<void> ListenerCore::invalidate() {
  co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ListenerCore> self) -> asio::awaitable<void> {
        moduleLogger(self->typeName_).info(kInvalidatingFormat, self->id());
        self->listener_->invalidate();
        co_return;
      }(shared_from_this()));
}

bool ListenerCore::shouldAcceptNewConnection(std::shared_ptr<XpcConnection> connection) {
  auto logger = moduleLogger(typeName_);
  int32_t pid = connection->processIdentifier();
  if (refuseEveryClient_) {
    logger.fault(kRejectedFormat, id(), pid,
                 CodesignSecurityPolicyError::requirementIsNil().toRecord().localizedDescription());
    return false;
  }
  if (!platform::foundation::isMacOS13OrLater() && codeSigningRequirement_) {
    try {
      auto peer = connection->peerCredentials();
      codeSigningRequirement_->shouldAccept(
          peer ? peer->guestIdentity() : platform::xpc::PeerCredentials{}.guestIdentity());
    } catch (...) {
      auto record = platform::foundation::currentExceptionRecord();
      logger.fault(kRejectedFormat, id(), pid, record.localizedDescription());
      return false;
    }
  }
  logger.notice(kAcceptedFormat, id(), pid);
  auto accepted = std::make_shared<ListenerConnection>(exportedObject_, std::move(connection));
  platform::dispatch::detach(addConnection(shared_from_this(), std::move(accepted)));
  return true;
}

asio::awaitable<void> ListenerCore::addConnection(std::shared_ptr<ListenerCore> self,
                                                  std::shared_ptr<ListenerConnection> connection) {
  moduleLogger(self->typeName_).debug(kAddingFormat, self->id(), connection->processIdentifier());
  auto delegate = co_await platform::dispatch::runOn(
      self->executor(),
      [](std::shared_ptr<ListenerCore> listener, std::shared_ptr<ListenerConnection> added)
          -> asio::awaitable<std::shared_ptr<ListenerDelegate>> {
        listener->connections_.insert(added);
        co_return listener->delegate_.lock();
      }(self, connection));
  if (delegate) co_await delegate->listener(self, connection);

  const auto& xpc = connection->connection();
  xpc->setExportedInterface(self->interface_);
  xpc->setExportedObject(self->exportedObject_);
  std::weak_ptr<ListenerCore> weak = self;
  auto handler = [weak, connection] { endOfConnection(weak, connection); };
  xpc->setInvalidationHandler(handler);
  xpc->setInterruptionHandler(handler);
  xpc->activate();
}

void ListenerCore::endOfConnection(const std::weak_ptr<ListenerCore>& weak,
                                   const std::shared_ptr<ListenerConnection>& connection) {
  auto self = weak.lock();
  if (!self) return;
  moduleLogger(self->typeName_)
      .notice(kConnectionInvalidatedFormat, self->id(), connection->processIdentifier());
  platform::dispatch::detach(removeConnection(std::move(self), connection));
}

asio::awaitable<void> ListenerCore::removeConnection(
    std::shared_ptr<ListenerCore> self, std::shared_ptr<ListenerConnection> connection) {
  auto delegate =
      co_await platform::dispatch::runOn(self->executor(),
                                         [](std::shared_ptr<ListenerCore> listener)
                                             -> asio::awaitable<std::shared_ptr<ListenerDelegate>> {
                                           co_return listener->delegate_.lock();
                                         }(self));
  if (delegate) co_await delegate->listener(self, connection, connection->connection());
  co_await platform::dispatch::runOn(
      self->executor(),
      [](std::shared_ptr<ListenerCore> listener,
         std::shared_ptr<ListenerConnection> ended) -> asio::awaitable<void> {
        listener->connections_.erase(ended);
        co_return;
      }(self, connection));
}

asio::awaitable<size_t> ListenerCore::connectionCount() {
  co_return co_await platform::dispatch::runOn(
      executor(), [](std::shared_ptr<ListenerCore> self) -> asio::awaitable<size_t> {
        co_return self->connections_.size();
      }(shared_from_this()));
}

}  // namespace brellis::ipc
