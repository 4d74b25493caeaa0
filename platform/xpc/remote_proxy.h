#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/foundation/error_record.h"
#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

class XpcConnection;

// The reply block of one call: receives the reply's arguments, already checked against the
// method's declared reply types.
using ReplyBlock = std::function<void(std::vector<Value>)>;
// Receives the error with which a message ended instead of a reply.
using ProxyErrorHandler = std::function<void(const foundation::ErrorRecord&)>;

// Thrown by RemoteProxy::call for a selector the remote interface does not have or arguments
// that do not match its declared types (a programming error of the caller; nothing is sent).
class ProxyUsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A proxy of the remote object, made by XpcConnection::remoteObjectProxyWithErrorHandler. Cheap
// to copy. For every call of a method with a reply, exactly one of `reply` and the proxy's error
// handler runs, once, on the connection's serial executor. For a one-way method `reply` is
// ignored, and the error handler runs only if the message cannot be sent.
class RemoteProxy {
 public:
  RemoteProxy() = default;
  RemoteProxy(std::weak_ptr<XpcConnection> connection, ProxyErrorHandler errorHandler);

  void call(std::string_view selector, std::vector<Value> arguments, ReplyBlock reply = {}) const;

 private:
  std::weak_ptr<XpcConnection> connection_;
  std::shared_ptr<const ProxyErrorHandler> errorHandler_;
};

}  // namespace brellis::platform::xpc
