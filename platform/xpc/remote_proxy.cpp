#include "platform/xpc/remote_proxy.h"

#include "platform/xpc/xpc_connection.h"
#include "platform/xpc/xpc_connection_internal.h"

namespace brellis::platform::xpc {

RemoteProxy::RemoteProxy(std::weak_ptr<XpcConnection> connection, ProxyErrorHandler errorHandler)
    : connection_(std::move(connection)),
      errorHandler_(std::make_shared<const ProxyErrorHandler>(std::move(errorHandler))) {}

void RemoteProxy::call(std::string_view selector, std::vector<Value> arguments,
                       ReplyBlock reply) const {
  auto connection = connection_.lock();
  if (!connection) {
    // The connection is gone: the message cannot be sent.
    if (errorHandler_ && *errorHandler_) (*errorHandler_)(invalidError("connection released"));
    return;
  }
  auto& internal = connection->internal();
  std::shared_ptr<const InterfaceDescription> interface;
  {
    std::lock_guard lock(internal.mutex);
    interface = internal.remoteInterface;
  }
  if (!interface) throw ProxyUsageError("the connection has no remote object interface");
  const MethodDescription* method = interface->find(selector);
  if (!method) {
    throw ProxyUsageError("selector " + std::string(selector) + " is not part of " +
                          interface->name());
  }
  if (auto mismatch = checkArguments(method->arguments, arguments)) {
    throw ProxyUsageError(std::string(selector) + ": " + *mismatch);
  }
  // Written on this thread; the reply or the error comes on the connection's strand. `method`
  // (held by `interface`) is read only during the call.
  internal.sendCall(method, std::move(arguments), std::move(reply), errorHandler_);
}

}  // namespace brellis::platform::xpc
