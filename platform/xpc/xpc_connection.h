#pragma once

#include <asio/any_io_executor.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/xpc/connection_limits.h"
#include "platform/xpc/endpoint.h"
#include "platform/xpc/exported_object.h"
#include "platform/xpc/interface_description.h"
#include "platform/xpc/peer_credentials.h"
#include "platform/xpc/remote_proxy.h"

namespace brellis::platform::xpc {

// The privileged option of a named service: the service lives in the system service directory
// (<state root>/xpc/system, or /run/brellis/xpc/system), where, without a state root, only a
// server running as root is trusted.
inline constexpr uint64_t kConnectionPrivileged = 0x1000;

// One XPC connection over a Unix domain socket (the stand-in for NSXPCConnection).
//
// A client connection is made from a service name, a named service with options, or an
// Endpoint; it is configured, then activate()d, which connects. A server connection is handed to
// the listener's delegate already connected but suspended: nothing is read from it until it is
// activate()d. All work of one connection (reading, dispatching to the exported object, reply
// blocks, proxy error handlers, interruption and invalidation handlers) runs on its own strand,
// over the process's socket thread (dispatch::socketExecutor()), which all connections share:
// those handlers must not block.
//
// Every message with a reply ends in exactly one reply or one error: kErrorConnectionInterrupted
// when a named service went away (the connection reconnects at the next message),
// kErrorConnectionInvalid when the connection was invalidated (by invalidate(), by a connect
// failure, by the end of an endpoint's listener, or by a protocol violation of the peer),
// kErrorConnectionReplyInvalid when the reply does not match the declared reply types or the
// peer dropped its reply block, kErrorCodeSigningRequirementFailure when the server does not
// satisfy the connection's code-signing requirement (then every later message fails the same
// way). On the end of a connection the interruption or invalidation handler runs before the
// pending messages' error handlers.
class XpcConnection : public std::enable_shared_from_this<XpcConnection> {
 public:
  using Handler = std::function<void()>;

  // NSXPCConnection initWithServiceName: a service in the user service directory.
  static std::shared_ptr<XpcConnection> makeWithServiceName(std::string serviceName,
                                                            ConnectionLimits limits = {});
  // initWithMachServiceName:options: — with kConnectionPrivileged the system service
  // directory; without it the user service directory, then the system one.
  static std::shared_ptr<XpcConnection> makeWithMachServiceName(std::string name, uint64_t options,
                                                                ConnectionLimits limits = {});
  // initWithListenerEndpoint:
  static std::shared_ptr<XpcConnection> makeWithEndpoint(Endpoint endpoint,
                                                         ConnectionLimits limits = {});

  ~XpcConnection();
  XpcConnection(const XpcConnection&) = delete;
  XpcConnection& operator=(const XpcConnection&) = delete;

  // Configuration, before activate(). Thread-safe.
  void setRemoteObjectInterface(std::shared_ptr<const InterfaceDescription> interface);
  void setExportedInterface(std::shared_ptr<const InterfaceDescription> interface);
  void setExportedObject(std::shared_ptr<ExportedObject> object);
  // Handlers may be set and cleared (empty function) at any time; the connection drops them
  // after it has been invalidated, so they may hold strong references without a cycle.
  void setInvalidationHandler(Handler handler);
  void setInterruptionHandler(Handler handler);
  // The requirement that the server's code must satisfy; checked against the credentials the
  // server presented when the connection was made. Throws foundation::ErrorException
  // (NSOSStatusErrorDomain -67052) when the text does not compile.
  void setCodeSigningRequirement(const std::string& requirementText);

  // Starts the connection: a client connects (asynchronously), a server starts reading.
  // Messages sent before activation are sent after it, in order. Idempotent.
  void activate();
  // Ends the connection for good: pending messages fail (kErrorConnectionInvalid unless the
  // connection had already ended for another reason), the invalidation handler (if still set)
  // runs once on the strand, later messages fail at once. Thread-safe, idempotent, never runs
  // a handler inline.
  void invalidate();
  bool isInvalidated() const;

  // A proxy whose messages report failures to `errorHandler`.
  RemoteProxy remoteObjectProxyWithErrorHandler(ProxyErrorHandler errorHandler);

  // The peer's identity as captured when the connection was made; 0 before that.
  int32_t auditSessionIdentifier() const;
  int32_t processIdentifier() const;
  uint32_t effectiveUserIdentifier() const;
  uint32_t effectiveGroupIdentifier() const;
  std::optional<PeerCredentials> peerCredentials() const;

  // The connection's strand.
  asio::any_io_executor executor() const;

  // The connection on whose strand the calling exported-object invocation runs, else null.
  static std::shared_ptr<XpcConnection> current();

  // Fault hooks for tests. Server side: the next n replies are not sent at all / sent twice.
  void dropNextRepliesForTesting(int count);
  void duplicateNextRepliesForTesting(int count);
  // Cuts the socket as if the peer process had died (both ends see the end of the stream).
  void killPeerForTesting();

  // Used by the listener and the proxy.
  struct Internal;
  explicit XpcConnection(std::unique_ptr<Internal> internal);
  Internal& internal() { return *internal_; }

 private:
  std::unique_ptr<Internal> internal_;
};

}  // namespace brellis::platform::xpc
