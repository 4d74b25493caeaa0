#include "platform/xpc/xpc_connection.h"

#include <sys/socket.h>

#include <asio/post.hpp>

#include "platform/foundation/state_root.h"
#include "platform/xpc/xpc_connection_internal.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::platform::xpc {

const os_log::Logger& connectionLogger() {
  static const os_log::Logger instance("com.brellis.platform.xpc", "XpcConnection");
  return instance;
}

foundation::ErrorRecord invalidError(const std::string& why) {
  return xpcError(kErrorConnectionInvalid, why);
}

XpcConnection::XpcConnection(std::unique_ptr<Internal> internal) : internal_(std::move(internal)) {}

XpcConnection::~XpcConnection() = default;

static std::shared_ptr<XpcConnection> makeConnection(XpcConnection::Internal::Role role,
                                                     XpcConnection::Internal::Recipe recipe,
                                                     ConnectionLimits limits) {
  auto connection = std::make_shared<XpcConnection>(
      std::make_unique<XpcConnection::Internal>(role, std::move(recipe), limits));
  connection->internal().self = connection;
  return connection;
}

std::shared_ptr<XpcConnection> XpcConnection::makeWithServiceName(std::string serviceName,
                                                                  ConnectionLimits limits) {
  return makeConnection(Internal::Role::client,
                        Internal::ServiceRecipe{std::move(serviceName), true, false, false},
                        limits);
}

std::shared_ptr<XpcConnection> XpcConnection::makeWithMachServiceName(std::string name,
                                                                      uint64_t options,
                                                                      ConnectionLimits limits) {
  bool privileged = (options & kConnectionPrivileged) != 0;
  bool requireRoot = privileged && !foundation::stateRoot();
  return makeConnection(Internal::Role::client,
                        Internal::ServiceRecipe{std::move(name), false, privileged, requireRoot},
                        limits);
}

std::shared_ptr<XpcConnection> XpcConnection::makeWithEndpoint(Endpoint endpoint,
                                                               ConnectionLimits limits) {
  return makeConnection(Internal::Role::client, std::move(endpoint), limits);
}

void XpcConnection::setRemoteObjectInterface(std::shared_ptr<const InterfaceDescription> i) {
  std::lock_guard lock(internal_->mutex);
  internal_->remoteInterface = std::move(i);
}

void XpcConnection::setExportedInterface(std::shared_ptr<const InterfaceDescription> i) {
  std::lock_guard lock(internal_->mutex);
  internal_->exportedInterface = std::move(i);
}

void XpcConnection::setExportedObject(std::shared_ptr<ExportedObject> object) {
  std::lock_guard lock(internal_->mutex);
  if (!internal_->invalidated) internal_->exportedObject = std::move(object);
}

void XpcConnection::setInvalidationHandler(Handler handler) {
  std::lock_guard lock(internal_->mutex);
  if (!internal_->invalidated || !handler) internal_->invalidationHandler = std::move(handler);
}

void XpcConnection::setInterruptionHandler(Handler handler) {
  std::lock_guard lock(internal_->mutex);
  if (!internal_->invalidated || !handler) internal_->interruptionHandler = std::move(handler);
}

void XpcConnection::setCodeSigningRequirement(const std::string& requirementText) {
  security::Requirement compiled = compileRequirement(requirementText);
  std::lock_guard lock(internal_->mutex);
  internal_->requirement = std::move(compiled);
}

void XpcConnection::activate() {
  {
    std::lock_guard lock(internal_->mutex);
    if (internal_->activated || internal_->invalidated) return;
    internal_->activated = true;
    // Like the platform's connections, an active connection lives until it is invalidated.
    internal_->keepAlive = shared_from_this();
  }
  asio::post(internal_->strand, [weak = internal_->self] {
    if (auto self = weak.lock()) self->internal_->start();
  });
}

void XpcConnection::invalidate() {
  {
    std::lock_guard lock(internal_->mutex);
    if (internal_->invalidated) return;
    internal_->invalidated = true;
    if (!internal_->terminalError) {
      internal_->terminalError = invalidError("connection invalidated");
    }
  }
  // Keeps the connection alive until its teardown has run.
  asio::post(internal_->strand, [self = shared_from_this()] { self->internal_->teardown({}); });
}

bool XpcConnection::isInvalidated() const {
  std::lock_guard lock(internal_->mutex);
  return internal_->invalidated;
}

RemoteProxy XpcConnection::remoteObjectProxyWithErrorHandler(ProxyErrorHandler errorHandler) {
  return RemoteProxy(internal_->self, std::move(errorHandler));
}

std::optional<PeerCredentials> XpcConnection::peerCredentials() const {
  std::lock_guard lock(internal_->mutex);
  return internal_->peer;
}

int32_t XpcConnection::auditSessionIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->auditSessionIdentifier : 0;
}
int32_t XpcConnection::processIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->pid : 0;
}
uint32_t XpcConnection::effectiveUserIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->uid : 0;
}
uint32_t XpcConnection::effectiveGroupIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->gid : 0;
}

asio::any_io_executor XpcConnection::executor() const { return internal_->strand; }

void XpcConnection::dropNextRepliesForTesting(int count) {
  std::lock_guard lock(internal_->mutex);
  internal_->dropReplies = count;
}

void XpcConnection::duplicateNextRepliesForTesting(int count) {
  std::lock_guard lock(internal_->mutex);
  internal_->duplicateReplies = count;
}

void XpcConnection::killPeerForTesting() {
  asio::post(internal_->strand, [self = shared_from_this()] {
    if (self->internal_->socket) ::shutdown(self->internal_->socket->native_handle(), SHUT_RDWR);
  });
}

}  // namespace brellis::platform::xpc
